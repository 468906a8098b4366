// error! — making errors from a code, a block or by catalog entry, the catalog built from
// errors.def, and the "*** " report.
#include "datatypes/error.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/hooks.h"
#include "datatypes/internal.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/unicode.h"

namespace kaz::error {

Cell catalog = cell::none();
Cell prototype = cell::none();

namespace {

// ---- helpers ----

constexpr const char* kFieldNames[] = {
#define KAZ_ERROR_FIELD(name) #name,
    KAZ_ERROR_FIELDS(KAZ_ERROR_FIELD)
#undef KAZ_ERROR_FIELD
};

// Category and id fields come after `code` and `type`.
constexpr uint32_t kFirstId = 2;
constexpr int32_t kNearCut = 40;

Cell* cells_of(Node n) { return memory::buffer_of(n)->cells(); }
uint32_t length_of(Node n) { return memory::buffer_of(n)->length(); }
uint32_t canon(uint32_t symbol) { return symbol::canonical_id(symbol); }
Cell* at(const Cell& error, Field f) { return context::value_at(error.data1, f); }

using text::write;

int32_t form_value(const Cell& v, Node string, const Cell* part, int32_t limit) {
    FormAction f = registry::actions(type_of(v)).form;
    if (!f) raise(ErrorId::internal_not_done);
    return f(v, string, part, limit);
}

int32_t mold_value(const Cell& v, Node string, bool flat, const Cell* part, int32_t limit) {
    MoldAction m = registry::actions(type_of(v)).mold;
    if (!m) raise(ErrorId::internal_not_done);
    return m(v, string, false, false, flat, part, limit, 0);
}

Cell word_named(const char* name) { return cell::make(TypeId::word, 0, symbol::intern(name), word::kNoIndex); }


// A template of errors.def: a string, a block of strings and (get-)words, or a word.
Cell template_value(std::string_view text) {
    size_t i = 0;
    auto skip_blanks = [&] {
        while (i < text.size() && text[i] == ' ') ++i;
    };
    auto item = [&]() -> Cell {
        if (text[i] == '"') {
            size_t end = text.find('"', i + 1);
            Cell s = string::from_utf8(text.substr(i + 1, end - i - 1));
            i = end + 1;
            return s;
        }
        size_t end = text.find_first_of(" ]", i);
        if (end == std::string_view::npos) end = text.size();
        std::string_view name = text.substr(i, end - i);
        i = end;
        bool get = name.front() == ':';
        if (get) name.remove_prefix(1);
        Cell w = word::from_c_string(std::string(name).c_str());
        if (get) w.header = uint32_t(TypeId::get_word);
        return w;
    };
    skip_blanks();
    if (text[i] != '[') return item();
    ++i;
    Cell b;
    block::init_cell(b, 4);
    for (skip_blanks(); i < text.size() && text[i] != ']'; skip_blanks()) block::append_cell(b, item());
    return b;
}

Node catalog_context() { return catalog.data1; }

// The category object at a catalog position, or null.
const Cell* category_at(uint32_t position) {
    if (!is(catalog, TypeId::object) || position >= context::word_count(catalog_context())) return nullptr;
    const Cell* c = context::value_at(catalog_context(), position);
    return is(*c, TypeId::object) ? c : nullptr;
}

// Position of a category (by its word) in the catalog, or -1.
int32_t category_position(const Cell& word) {
    if (!is(word, TypeId::word) || !is(catalog, TypeId::object)) return -1;
    int32_t p = context::find_symbol(catalog_context(), word.data2, true);
    return p >= 0 && category_at(uint32_t(p)) ? p : -1;
}

// Position of an id (by its word) in a category object, or -1.
int32_t id_position(const Cell& category, const Cell& word) {
    if (!is(word, TypeId::word)) return -1;
    int32_t p = context::find_symbol(category.data1, word.data2, true);
    return p >= int32_t(kFirstId) ? p : -1;
}

// A copy of the prototype: every field none!.
Cell new_error() {
    Cell p = prototype;
    Node ctx = context::make(kFieldCount, false, true, p.data1, context::object);
    for (uint32_t i = 0; i < kFieldCount; ++i) *context::value_at(ctx, i) = cell::none();
    Cell e = cell::make(TypeId::error, ctx, kClassId, 0);
    object::store(e);
    return e;
}

Cell from_error_code(int32_t code) {
    const Cell c = cell::integer(code);
    if (code < 0) raise(ErrorId::script_out_of_range, c);
    const Cell* category = category_at(uint32_t(code / 100));
    if (!category) raise(ErrorId::script_out_of_range, c);
    Node cctx = category->data1;
    uint32_t position = uint32_t(code % 100) + kFirstId;
    if (position >= context::word_count(cctx)) raise(ErrorId::script_out_of_range, c);
    Cell id_word = object::word_at(cctx, position);
    Cell type_word = object::word_at(catalog_context(), uint32_t(code / 100));
    Cell e = new_error();
    *at(e, Field::code) = c;
    *at(e, Field::type) = type_word;
    *at(e, Field::id) = id_word;
    return e;
}


// Turns the error into internal invalid-error, naming what could not be found.
void make_invalid(const Cell& error, const Cell& culprit) {
    Cell c = culprit;
    *at(error, Field::arg1) = c;
    *at(error, Field::type) = words::internal;
    *at(error, Field::id) = words::invalid_error;
    *at(error, Field::code) = cell::integer(code_of(ErrorId::internal_invalid_error));
}

// The category object and message the error names; an unknown type or id, or a message of
// another kind, turns the error into internal invalid-error.
bool find_message(const Cell& error, Cell& category, Cell& message) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        Cell type_word = *at(error, Field::type);
        int32_t cp = category_position(type_word);
        if (cp < 0) {
            make_invalid(error, type_word);
            continue;
        }
        category = *category_at(uint32_t(cp));
        Cell id_word = *at(error, Field::id);
        int32_t ip = id_position(category, id_word);
        if (ip < 0) {
            make_invalid(error, id_word);
            continue;
        }
        message = *context::value_at(category.data1, uint32_t(ip));
        if (is(message, TypeId::word)) {
            int32_t f = context::find_symbol(error.data1, message.data2, true);
            message = f >= 0 ? *context::value_at(error.data1, uint32_t(f)) : cell::none();
        }
        if (is(message, TypeId::string) || is(message, TypeId::block)) return true;
        make_invalid(error, id_word);
    }
    return false;
}

// Molds a value into a scratch string and writes at most `cut` characters of it.
int32_t write_cut(Node target, const Cell& value, bool flat, int32_t cut, int32_t limit) {
    const Cell v = value;
    Cell scratch = string::make_cell(uint32_t(cut) + 8);
    Cell part = cell::integer(cut);
    mold_value(v, scratch.data2, flat, &part, cut);
    int32_t length = int32_t(std::min<uint32_t>(length_of(scratch.data2), uint32_t(cut)));
    Cell out = cell::make(TypeId::string, 0, target, 0);
    string::concatenate(out, scratch, length, 0, false, string::ConcatMode::append);
    return limit - length;
}

// The names of the calling functions, from the frame that was on top when the error was
// raised down to the bottom, at most `depth` of them, innermost first.
template <typename Each>
void each_caller(uint32_t marker, int32_t depth, Each each) {
    uint32_t records = std::min<uint32_t>(marker, kaz::stack::kFrameRecords);
    for (uint32_t i = records; i-- > 0 && depth > 0;) {
        const CallFrame& f = kaz::stack::frames_begin[i];
        if (f.kind() != FrameKind::function && f.kind() != FrameKind::native) continue;
        if (f.symbol == 0 || f.symbol > symbol::count()) continue;
        if (f.symbol == words::body_tag.data2 || f.symbol == words::anon_tag.data2) continue;
        each(f.symbol);
        --depth;
    }
}

}  // namespace

// ---- catalog ----

void make_catalog(Node root) {
    if (is(catalog, TypeId::object)) return;

    Cell proto;
    object::init_cell(proto, kFieldCount);
    for (const char* name : kFieldNames) context::add_word(proto.data1, word_named(name), cell::none());
    proto.data2 = object::new_class_id();
    object::store(proto);

    Cell errors;
    object::init_cell(errors, kCategoryCount);
    errors.data2 = object::new_class_id();
    object::store(errors);
    size_t next = 0;
    for (int c = 0; c < kCategoryCount; ++c) {
        const CategoryInfo& info_c = category_info(ErrorCategory(c));
        Cell category;
        object::init_cell(category, 4);
        category.data2 = object::new_class_id();
        object::store(category);
        context::add_word(category.data1, word_named("code"), cell::integer(info_c.code));
        context::add_word(category.data1, word_named("type"), string::from_utf8(info_c.title));
        for (; next < kIdCount && int(info(ErrorId(next)).category) == c; ++next) {
            const IdInfo& entry = info(ErrorId(next));
            Cell message = template_value(entry.template_);
            context::add_word(category.data1, word_named(entry.name), message);
        }
        context::add_word(errors.data1, word_named(info_c.name), category);
    }

    SeriesBuffer* r = memory::buffer_of(root);
    *series::reserve_cell(r) = errors;
    *series::reserve_cell(r) = proto;
    catalog = errors;
    prototype = proto;
}

// ---- errors as values, for the runtime ----

Cell create_value(ErrorId error_id, const Cell* a1, const Cell* a2, const Cell* a3) {
    // Copies first: the arguments may live in a buffer that making the error moves.
    const Cell* given[3] = {a1, a2, a3};
    Cell args[3];
    for (int i = 0; i < 3; ++i) args[i] = given[i] ? *given[i] : cell::none();
    Cell e = from_error_code(code_of(error_id));
    for (int i = 0; i < 3; ++i) *at(e, Field(Field::arg1 + i)) = args[i];
    return e;
}

Cell* field_of(const Cell& error, Field f) { return at(error, f); }

std::string report_of(const Cell& error) {
    Cell s = string::make_cell(256);
    form(error, s.data2, nullptr, INT32_MAX);
    int32_t length = -1;
    const char* utf8 = string::to_utf8(s, length);
    return std::string(utf8, size_t(length));
}

// ---- helpers for the runtime ----

void set_where(const Cell& error, const Cell& value) {
    Cell v = value;
    Cell* w = at(error, Field::where);
    if (is(*w, TypeId::none)) *w = v;
}

uint32_t type_symbol(const Cell& error) {
    const Cell* c = at(error, Field::type);
    return word::any_word_type_q(type_of(*c)) ? c->data2 : 0;
}

uint32_t id_symbol(const Cell& error) {
    const Cell* c = at(error, Field::id);
    return word::any_word_type_q(type_of(*c)) ? c->data2 : 0;
}

void fill_stack(const Cell& error) {
    Cell e = error;
    Cell marker = *at(e, Field::stack);
    if (!is(marker, TypeId::integer) || cell::get_integer(marker) < 0) return;
    int32_t depth = datatype_hooks.stack_trace_depth ? datatype_hooks.stack_trace_depth() : 0;
    if (depth <= 0) depth = 1;
    Cell names;
    block::init_cell(names, 20);
    each_caller(uint32_t(cell::get_integer(marker)), depth, [&](uint32_t symbol) {
        block::append_cell(names, word::from_symbol(symbol));
    });
    *at(e, Field::stack) = names;
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    const Cell s = spec;
    if (is(s, TypeId::integer)) return from_error_code(cell::get_integer(s));
    if (!is(s, TypeId::block)) raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::error), s);
    const uint32_t length = length_of(s.data2);
    const Cell first = s.data1 < length ? cells_of(s.data2)[s.data1] : cell::none();

    if (is(first, TypeId::word)) {
        int32_t cp = category_position(first);
        if (cp < 0) raise(ErrorId::script_invalid_spec_field, words::type);
        if (s.data1 + 1 >= length) raise(ErrorId::script_invalid_spec_field, words::id);
        const Cell second = cells_of(s.data2)[s.data1 + 1];
        if (!is(second, TypeId::word)) raise(ErrorId::script_invalid_arg, second);
        int32_t ip = id_position(*category_at(uint32_t(cp)), second);
        if (ip < 0) raise(ErrorId::script_invalid_spec_field, words::id);
        Cell e = new_error();
        *at(e, Field::code) = cell::integer(cp * 100 + ip - int32_t(kFirstId));
        *at(e, Field::type) = cell::make(TypeId::word, first.data1, first.data2, first.data3);
        *at(e, Field::id) = cell::make(TypeId::word, second.data1, second.data2, second.data3);
        return e;
    }
    if (is(first, TypeId::set_word)) {
        Cell e = new_error();
        context::bind_block(s, e.data1, true);
        if (!datatype_hooks.eval_block) raise(ErrorId::internal_not_done);
        datatype_hooks.eval_block(s);
        int32_t cp = category_position(*at(e, Field::type));
        if (cp < 0) raise(ErrorId::script_invalid_spec_field, words::type);
        int32_t ip = id_position(*category_at(uint32_t(cp)), *at(e, Field::id));
        if (ip < 0) raise(ErrorId::script_invalid_spec_field, words::id);
        *at(e, Field::code) = cell::integer(cp * 100 + ip - int32_t(kFirstId));
        return e;
    }
    raise(ErrorId::internal_invalid_error);
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    const Cell e = value;
    // An error made before this datatype was ready is a bare record: its report is the runtime's.
    if (!e.data1) return limit - int32_t(text::append_utf8(string, report(e)));
    limit = write(string, "*** ", limit);
    Cell category = cell::none(), message = cell::none();
    if (find_message(e, category, message)) {
        const Cell title = *context::value_at(category.data1, 1);
        limit = form_value(title, string, part, limit);
        limit = write(string, ": ", limit);
        if (is(message, TypeId::string)) {
            limit = form_value(message, string, part, limit);
        } else {
            const bool syntax = canon(type_symbol(e)) == canon(words::syntax.data2);
            for (uint32_t i = message.data1; i < length_of(message.data2); ++i) {
                if (i > message.data1) limit = write(string, " ", limit);
                Cell item = cells_of(message.data2)[i];
                if (is(item, TypeId::word) || is(item, TypeId::get_word)) {
                    int32_t f = context::find_symbol(e.data1, item.data2, true);
                    Cell v = f >= 0 ? *context::value_at(e.data1, uint32_t(f)) : cell::none();
                    limit = syntax ? form_value(v, string, part, limit)
                                   : mold_value(v, string, false, part, limit);
                } else {
                    limit = form_value(item, string, part, limit);
                }
            }
        }
    }

    limit = write(string, "\n*** Where: ", limit);
    Cell where_value = *at(e, Field::where);
    if (is(where_value, TypeId::word) || is(where_value, TypeId::string))
        limit = form_value(where_value, string, part, limit);
    else
        limit = write(string, "???", limit);

    limit = write(string, "\n*** Near : ", limit);
    const Cell near_value = *at(e, Field::near);
    limit = write_cut(string, near_value, true, kNearCut, limit);

    int32_t depth = datatype_hooks.stack_trace_depth ? datatype_hooks.stack_trace_depth() : 0;
    Cell trace = *at(e, Field::stack);
    if (depth > 0 && (is(trace, TypeId::integer) || is(trace, TypeId::block))) {
        limit = write(string, "\n*** Stack: ", limit);
        if (is(trace, TypeId::block)) {
            limit = form_value(trace, string, part, limit);
        } else {
            bool first = true;
            each_caller(uint32_t(std::max(cell::get_integer(trace), 0)), depth, [&](uint32_t symbol) {
                if (!first) limit = write(string, " ", limit);
                first = false;
                limit -= int32_t(text::append_utf8(string, std::string(symbol::name(symbol))));
            });
        }
    }

    Cell files = *at(e, Field::files);
    if (is(files, TypeId::block)) {
        limit = write(string, "\n*** Files: ", limit);
        limit = write_cut(string, files, false, kNearCut, limit);
    }
    return limit;
}

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    if (!value.data1) return form(value, string, part, limit);
    if (cycles::find_q(value.data1)) return write(string, "make error! [...]", limit);
    if (!only) limit = write(string, "make error! [", limit);
    limit = object::mold_fields(value, string, only, all, flat, !flat, part, limit, indent + 1);
    if (only) return limit;
    if (!flat) limit = kaz::mold::indent(string, indent, limit);
    return write(string, "]", limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    if (value && word::any_word_type_q(type_of(element)) && canon(element.data2) == canon(sym::code))
        raise(ErrorId::script_invalid_path_set, step.path ? *step.path : element);
    return object::eval_path(parent, element, value, step);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::error)) return kNotComparable;
    Cell x = a, y = b;
    cell::set_type(x, TypeId::object);
    cell::set_type(y, TypeId::object);
    return object::compare(x, y, op);
}

void init() {
    gc::define_refs(TypeId::error, {.data1 = gc::Ref::block, .data3 = gc::Ref::series_opt});
    registry::define(TypeId::error, {.make = make, .form = form, .mold = mold,
                                     .eval_path = eval_path, .compare = compare, .put = lacks,
                                     .modify = lacks});
}

}  // namespace kaz::error
