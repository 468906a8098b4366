#include "runtime/error.h"

#include <cstdio>

#include "platform/error_box.h"
#include "platform/process.h"
#include "runtime/console.h"
#include "runtime/hooks.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"

namespace kaz::error {
namespace {

constexpr CategoryInfo kCategories[] = {
#define KAZ_ERROR_CATEGORY(cname, name, code, title) {name, code, title},
#define KAZ_ERROR(cat, cname, name, tmpl)
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
};
static_assert(
    [] {
        for (int c = 0; c < kCategoryCount; ++c)
            if (kCategories[c].code != 100 * c) return false;
        return true;
    }(),
    "errors.def gives each category the code 100 x its position");

constexpr ErrorCategory kIdCategories[] = {
#define KAZ_ERROR_CATEGORY(cname, name, code, title)
#define KAZ_ERROR(cat, cname, name, tmpl) ErrorCategory::cat,
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
};

constexpr const char* kIdNames[] = {
#define KAZ_ERROR_CATEGORY(cname, name, code, title)
#define KAZ_ERROR(cat, cname, name, tmpl) name,
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
};

constexpr const char* kTemplates[] = {
#define KAZ_ERROR_CATEGORY(cname, name, code, title)
#define KAZ_ERROR(cat, cname, name, tmpl) tmpl,
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
};

// The catalog with each id's code: 100 x category position + position within the category.
struct Catalog {
    IdInfo ids[kIdCount];
    constexpr Catalog() : ids{} {
        int category = -1;
        int position = 0;
        for (size_t i = 0; i < kIdCount; ++i) {
            int c = int(kIdCategories[i]);
            if (c != category) {
                category = c;
                position = 0;
            }
            ids[i] = IdInfo{kIdCategories[i], kIdNames[i], kCategories[c].code + position,
                            kTemplates[i]};
            ++position;
        }
    }
};
constexpr Catalog kCatalog;
static_assert(kCatalog.ids[size_t(ErrorId::script_no_value)].code == 300);
static_assert(kCatalog.ids[size_t(ErrorId::script_invalid_arg)].code == 309);
static_assert(kCatalog.ids[size_t(ErrorId::internal_no_memory)].code == 902);

// How a report shows an argument before the datatypes can mold it.
std::string mold_argument(const Cell& value) {
    char buf[64];
    switch (type_of(value)) {
        case TypeId::none: return "none";
        case TypeId::unset: return "unset";
        case TypeId::logic: return value.data1 ? "true" : "false";
        case TypeId::integer: std::snprintf(buf, sizeof buf, "%d", cell::get_integer(value)); return buf;
        case TypeId::float_: std::snprintf(buf, sizeof buf, "%.16g", cell::get_float(value)); return buf;
        default: std::snprintf(buf, sizeof buf, "#[type %d]", int(type_of(value))); return buf;
    }
}

// The message template is Kaz source: "text", [items...] of strings and argument words, or
// a word. Written here for the report; the evaluator reads the same texts into the catalog.
std::string fill_template(std::string_view tmpl, const Cell* const args[3]) {
    std::string out;
    bool first = true;
    auto emit = [&](const std::string& piece) {
        if (!first) out += ' ';
        out += piece;
        first = false;
    };
    size_t i = 0;
    while (i < tmpl.size()) {
        char c = tmpl[i];
        if (c == '"') {
            size_t end = tmpl.find('"', i + 1);
            emit(std::string(tmpl.substr(i + 1, end - i - 1)));
            i = end + 1;
        } else if (c == '[' || c == ']' || c == ' ') {
            ++i;
        } else {
            size_t end = tmpl.find_first_of(" ]", i);
            if (end == std::string_view::npos) end = tmpl.size();
            std::string_view word = tmpl.substr(i, end - i);
            if (word.front() == ':') word.remove_prefix(1);
            int n = word == "arg1" ? 0 : word == "arg2" ? 1 : word == "arg3" ? 2 : -1;
            emit(n >= 0 && args[n] ? mold_argument(*args[n]) : std::string("none"));
            i = end;
        }
    }
    return out;
}

std::string report_text(ErrorId id, const Cell* const args[3]) {
    const IdInfo& e = info(id);
    return std::string("*** ") + category_info(e.category).title + ": " +
           fill_template(e.template_, args);
}

bool can_allocate() { return memory::node_table != nullptr && memory::state.node_first != nullptr; }

}  // namespace


const CategoryInfo& category_info(ErrorCategory c) { return kCategories[size_t(c)]; }
const IdInfo& info(ErrorId id) { return kCatalog.ids[size_t(id)]; }

std::optional<ErrorId> from_code(int code) {
    for (size_t i = 0; i < kIdCount; ++i)
        if (kCatalog.ids[i].code == code) return ErrorId(i);
    return std::nullopt;
}

std::optional<ErrorId> find(std::string_view category, std::string_view id) {
    for (size_t i = 0; i < kIdCount; ++i) {
        const IdInfo& e = kCatalog.ids[i];
        if (id == e.name && category == category_info(e.category).name) return ErrorId(i);
    }
    return std::nullopt;
}

namespace {
// An error made before the error! datatype is ready.
bool bare_record_q(const Cell& error) { return error.data1 == 0; }
}  // namespace

Cell create(ErrorId id, const Cell* a1, const Cell* a2, const Cell* a3) {
    if (runtime_hooks.make_error) return runtime_hooks.make_error(id, a1, a2, a3);
    Node fields = series::alloc_cells(kFieldCount);
    SeriesBuffer* b = memory::buffer_of(fields);
    Cell* f = b->cells();
    for (uint32_t i = 0; i < kFieldCount; ++i) f[i] = cell::none();
    f[code] = cell::integer(code_of(id));
    if (a1) f[arg1] = *a1;
    if (a2) f[arg2] = *a2;
    if (a3) f[arg3] = *a3;
    b->tail = b->head + kFieldCount * sizeof(Cell);
    return cell::make(TypeId::error, 0, fields, 0);
}

Cell& field(const Cell& error, Field f) {
    if (!bare_record_q(error) && runtime_hooks.error_field) return *runtime_hooks.error_field(error, f);
    return memory::buffer_of(error.data2)->cells()[f];
}

std::optional<ErrorId> id_of(const Cell& error) {
    const Cell& c = field(error, code);
    if (!is(c, TypeId::integer)) return std::nullopt;
    return from_code(cell::get_integer(c));
}

namespace {
[[noreturn]] void raise_args(ErrorId id, const Cell* a1, const Cell* a2, const Cell* a3) {
    if (!can_allocate()) {
        const Cell* args[3] = {a1, a2, a3};
        console::flush();
        platform::error_box("Kaz NoName App", report_text(id, args).c_str());
        platform::exit_process(-2);
    }
    // Copies first: the arguments may live in a buffer that making the error moves.
    Cell c1 = a1 ? *a1 : cell::none(), c2 = a2 ? *a2 : cell::none(), c3 = a3 ? *a3 : cell::none();
    Cell e = create(id, a1 ? &c1 : nullptr, a2 ? &c2 : nullptr, a3 ? &c3 : nullptr);
    if (runtime_hooks.raising) runtime_hooks.raising(e);
    raise_value(e);
}
}  // namespace

void raise(ErrorId id) { raise_args(id, nullptr, nullptr, nullptr); }
void raise(ErrorId id, const Cell& a1) { raise_args(id, &a1, nullptr, nullptr); }
void raise(ErrorId id, const Cell& a1, const Cell& a2) { raise_args(id, &a1, &a2, nullptr); }
void raise(ErrorId id, const Cell& a1, const Cell& a2, const Cell& a3) {
    raise_args(id, &a1, &a2, &a3);
}

void raise_value(const Cell& error) { frame::throw_error(error); }

namespace {

// The prepared no-memory error and its fields as made: a script may change the fields of the
// value it caught, and the next raise shows them as made again.
Cell no_memory = cell::none();
Cell no_memory_fields[kFieldCount];

void mark_no_memory() {
    gc::mark_cell(no_memory);
    gc::mark_cells(no_memory_fields, no_memory_fields + kFieldCount);
}

}  // namespace

void prepare_no_memory() {
    if (!is(no_memory, TypeId::none)) return;
    Cell e = create(ErrorId::internal_no_memory);
    for (uint32_t f = 0; f < kFieldCount; ++f) no_memory_fields[f] = field(e, Field(f));
    no_memory = e;
    gc::add_mark_callback(mark_no_memory);
}

void raise_no_memory() {
    if (is(no_memory, TypeId::none)) runtime::quit(94, KAZ_CALLER_ADDRESS());
    for (uint32_t f = 0; f < kFieldCount; ++f) field(no_memory, Field(f)) = no_memory_fields[f];
    // The interpreter's hook names the expression; a tracer it calls may run out of memory in
    // turn, which raises this error again, from inside the hook: that one is not traced.
    static bool in_hook = false;
    if (runtime_hooks.raising && !in_hook) {
        struct Leave {
            ~Leave() { in_hook = false; }
        } leave;
        in_hook = true;
        runtime_hooks.raising(no_memory);
    }
    raise_value(no_memory);
}

std::string report(const Cell& error) {
    if (!bare_record_q(error) && runtime_hooks.error_report) return runtime_hooks.error_report(error);
    auto id = id_of(error);
    if (!id) return "*** Internal Error: invalid error object field value: " +
                    mold_argument(field(error, code));
    const Cell* args[3] = {&field(error, arg1), &field(error, arg2), &field(error, arg3)};
    std::string text = report_text(*id, args);
    const Cell& where = field(error, error::where);
    text += "\n*** Where: ";
    text += is(where, TypeId::word) ? mold_argument(where) : std::string("???");
    const Cell& near = field(error, error::near);
    std::string near_text = is(near, TypeId::none) ? std::string() : mold_argument(near);
    if (near_text.size() > 40) near_text.resize(40);
    text += "\n*** Near : " + near_text;
    return text;
}

void show_untrapped(const Cell& error) {
    // An error raised while the report of another is made (memory ran out making it) is shown
    // from the catalog alone.
    static bool showing = false;
    if (showing) {
        auto id = id_of(error);
        const Cell* none[3] = {nullptr, nullptr, nullptr};
        std::string text = id ? report_text(*id, none) : std::string("*** Internal Error");
        platform::error_box("Kaz NoName App", text.c_str());
        platform::exit_process(-2);
    }
    showing = true;
    console::flush();
    platform::error_box("Kaz NoName App", report(error).c_str());
    platform::exit_process(-2);
}

}  // namespace kaz::error
