// hash! — making and converting, mold, copies that keep or rebuild the table, and the
// re-indexing after sort and trim.
#include "datatypes/hash.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::hash {
namespace {

// ---- helpers ----

// A table that indexes this very buffer: a cell made elsewhere may carry none (0).
bool own_table_q(const Cell& hash) {
    if (!hash.data3 || !memory::live_node_q(hash.data3)) return false;
    if (memory::buffer_of(hash.data3)->used() < sizeof(hashtable::Table)) return false;
    const hashtable::Table& t = hashtable::record(hash.data3);
    return t.kind == hashtable::kHash && t.block == hash.data2;
}


Cell as_hash(Cell c) {
    cell::set_type(c, TypeId::hash);
    return c;
}

}  // namespace

void rehash(const Cell& hash) {
    if (own_table_q(hash)) hashtable::rebuild(hash.data3, series_::total_length(hash));
}

Cell indexed(const Cell& block) {
    Cell* h = stack::push(as_hash(block));
    h->data3 = hashtable::make(std::max<uint32_t>(series_::total_length(*h), 1), h, hashtable::kHash, 0);
    Cell result = *h;
    stack::pop(1);
    return result;
}

void reindex(const Cell& hash, uint32_t from, uint32_t old_total) {
    if (!own_table_q(hash)) return;
    from = std::min(from, series_::total_length(hash));
    if (old_total > from) hashtable::remove_items(hash.data3, from, old_total - from);
    hashtable::index_block(hash.data3, from, 1);
}

// ---- actions ----

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    switch (type_of(spec)) {
        case TypeId::integer:
        case TypeId::float_: {
            int32_t n = is(spec, TypeId::integer)
                            ? cell::get_integer(spec)
                            : number::to_int32(cell::get_float(spec), ErrorId::script_out_of_range, spec);
            Cell b;
            block::init_cell(b, std::max(n, 1));
            return indexed(b);
        }
        case TypeId::block: {
            Cell b = *block::duplicate(spec, false, false);
            Cell result = indexed(b);
            stack::pop(1);
            return result;
        }
        case TypeId::hash: {
            Cell result = cell::unset();
            copy(spec, result, nullptr, false, nullptr);
            return result;
        }
        default:
            return to(proto, spec, type);
    }
}

Cell to(const Cell& proto, const Cell& spec, TypeId) {
    if (is(spec, TypeId::hash)) {
        Cell result = cell::unset();
        copy(spec, result, nullptr, false, nullptr);
        return result;
    }
    // A fresh block! of the value's cells, indexed as it is.
    Cell* b = stack::push(block::to(proto, spec, TypeId::block));
    Cell result = indexed(*b);
    stack::pop(1);
    return result;
}

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    if (!only) {
        text::append_ascii(string, "make hash! ");
        limit -= 11;
    }
    return block::mold(value, string, only, all, flat, part, limit, indent);
}

void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types) {
    Cell source = value;
    block::copy(source, result, part, deep, types);
    Cell r = as_hash(result);
    result = r;
    // A whole copy has the same cells at the same positions: the table is cloned.
    bool whole = source.data1 == 0 && !part && !deep && !types;
    if (whole && own_table_q(source)) {
        result.data3 = hashtable::copy(source.data3, r.data2);
        return;
    }
    r.data1 = 0;
    r.data3 = 0;
    Cell fresh = indexed(r);
    result.data3 = fresh.data3;
}

Cell sort(const Cell& series, const SortOptions& options) {
    Cell s = block::sort(series, options);
    // A negative /part sorts cells before the head: the whole block is indexed again.
    reindex(series, options.part ? 0 : series.data1, series_::total_length(series));
    return s;
}

void trim(Cell& series, const TrimOptions& options) {
    uint32_t before = series_::total_length(series);
    block::trim(series, options);
    reindex(series, series.data1, before);
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::hash, {.data2 = gc::Ref::block, .data3 = gc::Ref::table});
    registry::define(TypeId::hash, {.make = make, .random = lacks, .to = to, .mold = mold,
                                    .copy = copy, .sort = sort, .trim = trim});
}

}  // namespace kaz::hash
