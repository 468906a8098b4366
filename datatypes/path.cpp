// path!, lit-path!, set-path!, get-path! and paren!.
#include "datatypes/path.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz {
namespace {

using text::write;

Cell* push_as(Cell& c, TypeId t) {
    cell::set_type(c, t);
    return stack::push(c);
}

// The walk path mold and form share: each value, "/" between them, stopping once a /part
// limit is used up.
template <typename Each>
int32_t walk(const Cell& value, Node string, const Cell* part, int32_t limit, bool mold, Each each) {
    if (cycles::mold_marker(value, string, limit, mold)) return limit;
    Cell v = value;
    cycles::push(v.data2);
    for (uint32_t i = v.data1;; ++i) {
        SeriesBuffer* b = memory::buffer_of(v.data2);
        if (i >= b->length()) break;
        if (i > v.data1) limit = write(string, "/", limit);
        Cell c = b->cells()[i];
        limit = each(c, limit);
        if (part && limit < 1) break;
    }
    cycles::pop();
    return limit;
}

}  // namespace

namespace path {

Cell& init_cell(Cell& c, int32_t capacity) {
    block::init_cell(c, capacity);
    return cell::set_type(c, TypeId::path);
}

Cell* push(Cell& c) { return push_as(c, TypeId::path); }

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    TypeId st = type_of(spec);
    if (st == TypeId::integer || st == TypeId::float_ || st == TypeId::percent) {
        double d = st == TypeId::integer ? cell::get_integer(spec) : cell::get_float(spec);
        // Truncated toward zero; the block kinds clamp a capacity below 1 to 1.
        int32_t capacity = d >= 2147483647.0 ? -1 : d <= 0 || d != d ? 1 : int32_t(d);
        if (capacity < 0) error::raise(ErrorId::internal_no_memory);
        Cell c;
        init_cell(c, capacity);
        return cell::set_type(c, type);
    }
    if (!series_::any_block_q(st)) error::raise(ErrorId::script_bad_make_arg, cell::datatype(type), spec);
    return block::to(proto, spec, type);
}

Cell to(const Cell& proto, const Cell& spec, TypeId type) {
    TypeId st = type_of(spec);
    if (st == TypeId::object || st == TypeId::typeset || st == TypeId::map) {
        Cell c;
        init_cell(c, 1);
        block::append_cell(c, spec);
        return cell::set_type(c, type);
    }
    return block::to(proto, spec, type);
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    return walk(value, string, part, limit, false, [&](const Cell& c, int32_t left) {
        FormAction f = registry::actions(type_of(c)).form;
        if (!f) error::raise(ErrorId::internal_not_done);
        return f(c, string, part, left);
    });
}

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t) {
    return walk(value, string, part, limit, true, [&](const Cell& c, int32_t left) {
        MoldAction m = registry::actions(type_of(c)).mold;
        if (!m) error::raise(ErrorId::internal_not_done);
        return m(c, string, only, all, flat, part, left, 0);
    });
}

void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types) {
    block::copy(value, result, part, deep, types);
}

void init() {
    for (TypeId t : {TypeId::path, TypeId::lit_path, TypeId::set_path, TypeId::get_path})
        gc::define_refs(t, {.data2 = gc::Ref::block});
    registry::define(TypeId::path, {.make = make, .random = lacks, .to = to, .form = form,
                                    .mold = mold, .copy = copy, .sort = lacks, .trim = lacks});
    // The three kinds differ from path! only in their mold.
    registry::define(TypeId::lit_path, {.mold = lit_path::mold});
    registry::define(TypeId::set_path, {.mold = set_path::mold});
    registry::define(TypeId::get_path, {.mold = get_path::mold});
}

}  // namespace path

namespace lit_path {
Cell* push(Cell& c) { return push_as(c, TypeId::lit_path); }
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    limit = write(string, "'", limit);
    return path::mold(value, string, only, all, flat, part, limit, indent);
}
}  // namespace lit_path

namespace get_path {
Cell* push(Cell& c) { return push_as(c, TypeId::get_path); }
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    limit = write(string, ":", limit);
    return path::mold(value, string, only, all, flat, part, limit, indent);
}
}  // namespace get_path

namespace set_path {
Cell* push(Cell& c) { return push_as(c, TypeId::set_path); }
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    limit = path::mold(value, string, only, all, flat, part, limit, indent);
    return write(string, ":", limit);
}
}  // namespace set_path

namespace paren {

Cell* push(Cell& c) { return push_as(c, TypeId::paren); }

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    if (cycles::mold_marker(value, string, limit, true)) return limit;
    if (!only) limit = write(string, "(", limit);
    limit = block::mold_cells(value, string, only, all, flat, part, limit, indent);
    if (!only) limit = write(string, ")", limit);
    return limit;
}

void init() {
    gc::define_refs(TypeId::paren, {.data2 = gc::Ref::block});
    registry::define(TypeId::paren, {.mold = mold, .trim = lacks});
}

}  // namespace paren
}  // namespace kaz
