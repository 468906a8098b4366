// block! — cell helpers, construction, mold and form, comparison, search, insertion, change,
// sort and the set operations.
#include "datatypes/block.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "datatypes/hash.h"
#include "datatypes/hooks.h"
#include "datatypes/internal.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/number.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/unicode.h"

namespace kaz::block {


namespace {

// ---- helpers ----

using series_::any_block_q;
using series_::notify;

SeriesBuffer* buffer_of(const Cell& block) { return memory::buffer_of(block.data2); }
uint32_t total(const Cell& block) { return buffer_of(block)->length(); }
Cell* cells(const Cell& block) { return buffer_of(block)->cells(); }

constexpr uint32_t kMaxCells = 0x7FFF'0000u / sizeof(Cell);

int32_t compare_cells(const Cell& a, const Cell& b, CompareOp op) {
    CompareAction c = registry::actions(type_of(a)).compare;
    return c ? c(a, b, op) : kNotComparable;
}

bool word_kind_q(TypeId t) { return t >= TypeId::word && t <= TypeId::issue; }
bool number_q(TypeId t) { return t == TypeId::integer || t == TypeId::float_ || t == TypeId::percent; }

// The kinds deep copy and deep take copy again.
bool copied_deep_q(TypeId t) { return series_::series_type_q(t); }

int32_t mold_one(const Cell& v, Node string, bool only, bool all, bool flat, const Cell* part,
                 int32_t limit, int32_t indent) {
    MoldAction m = registry::actions(type_of(v)).mold;
    if (!m) error::raise(ErrorId::internal_not_done);
    return m(v, string, only, all, flat, part, limit, indent);
}

using text::write;

// A new empty buffer of `capacity` cells (at least 1).
Node new_cells(int64_t capacity) {
    if (capacity > kMaxCells) error::raise(ErrorId::internal_no_memory);
    return series::alloc_cells(uint32_t(std::max<int64_t>(capacity, 1)));
}

// A copy of the cells [start, start + count) of a block in a new buffer, so that a source that
// shares the target's buffer is not disturbed by the change.
Node snapshot(const Cell& block, uint32_t start, uint32_t count) {
    Node n = new_cells(count);
    SeriesBuffer* to = memory::buffer_of(n);
    std::memcpy(to->head, cells(block) + start, size_t(count) * sizeof(Cell));
    to->tail = to->head + size_t(count) * sizeof(Cell);
    return n;
}

// Grows the buffer to hold `cells` cells from its head; returns it.
SeriesBuffer* ensure_room(const Cell& block, uint64_t count, bool doubled) {
    SeriesBuffer* b = buffer_of(block);
    uint64_t bytes = count * sizeof(Cell);
    if (bytes > 0x7FFF'0000ULL) error::raise(ErrorId::internal_no_memory);
    if (b->head + bytes > b->end()) {
        uint64_t want = doubled ? std::min<uint64_t>(bytes * 2, 0x7FFF'0000ULL) : bytes;
        b = series::expand(b, uint32_t(std::max<uint64_t>(want, 16)));
    }
    return b;
}

void changed(const Cell& series) {
    if (is(series, TypeId::hash)) hash::rehash(series);
}

// ---- find ----

enum class Mode { single, type, types, sequence };

struct Search {
    Mode mode = Mode::single;
    CompareOp op = CompareOp::find;
    Node seq_node = 0;       // the searched sequence
    uint32_t seq_head = 0;
    uint32_t seq_len = 0;
};

bool cell_matches(const Cell& c, const Cell& value, const Search& s) {
    switch (s.mode) {
        case Mode::type: return type_of(c) == TypeId(value.data1);
        case Mode::types: return typeset::has_q(value, type_of(c));
        default: return compare_cells(c, value, s.op) == 0;
    }
}

// Whether the sequence matches at `pos` of the block without passing `end` (exclusive).
bool sequence_matches(const Cell& block, uint32_t pos, uint32_t end, const Search& s) {
    if (uint64_t(pos) + s.seq_len > end) return false;
    for (uint32_t i = 0; i < s.seq_len; ++i) {
        Cell a = cells(block)[pos + i];
        Cell b = memory::buffer_of(s.seq_node)->cells()[s.seq_head + i];
        if (compare_cells(a, b, s.op) != 0) return false;
    }
    return true;
}

struct Found {
    int64_t position = -1;  // -1: no match
    uint32_t length = 1;    // cells matched
    bool forward = true;
    bool sequence = false;
    uint32_t step = 1;
};

Found search(const Cell& series, const Cell& value, const FindOptions& o) {
    Found f;
    Cell s = series;
    uint32_t n = total(s);
    if (n == 0) return f;
    if (!o.reverse && s.data1 >= n) return f;
    uint32_t h = std::min(s.data1, n);

    int64_t step = 1;
    if (o.skip) {
        if (!is(*o.skip, TypeId::integer))
            error::raise(ErrorId::script_invalid_refine_arg, series_::skip_word(), *o.skip);
        step = cell::get_integer(*o.skip);
        if (step < 1) error::raise(ErrorId::script_out_of_range, *o.skip);
    }
    f.step = uint32_t(step);

    int64_t limit = -1;
    if (o.part) {
        if (is(*o.part, TypeId::integer)) {
            int32_t count = cell::get_integer(*o.part);
            if (count < 1) return f;
            limit = int64_t(h) + count - 1;
        } else if (series_::same_series_q(s, *o.part)) {
            limit = o.part->data1;
        } else {
            error::raise(ErrorId::script_invalid_refine_arg, series_::part_word(), *o.part);
        }
        limit = std::min<int64_t>(limit, n - 1);
    }

    Search sr;
    sr.op = o.same ? CompareOp::same : o.case_ ? CompareOp::strict_equal : CompareOp::find;
    TypeId vt = type_of(value);
    if (!o.only) {
        if (vt == TypeId::datatype) {
            sr.mode = Mode::type;
        } else if (vt == TypeId::typeset) {
            sr.mode = Mode::types;
        } else if (any_block_q(vt)) {
            sr.mode = Mode::sequence;
            sr.seq_node = value.data2;
            uint32_t vn = memory::buffer_of(value.data2)->length();
            sr.seq_head = std::min(value.data1, vn);
            sr.seq_len = vn - sr.seq_head;
        }
    }
    uint32_t len = sr.mode == Mode::sequence ? sr.seq_len : 1;
    f.length = len;
    f.sequence = sr.mode == Mode::sequence;

    int64_t pos, end;
    if (o.last) {
        pos = limit >= 0 ? limit : sr.mode == Mode::sequence ? int64_t(n) - len : int64_t(n) - 1;
        end = 0;
        f.forward = false;
    } else if (o.reverse) {
        pos = limit >= 0 ? limit : int64_t(h) - (sr.mode == Mode::sequence ? len : 1);
        end = 0;
        f.forward = false;
    } else {
        pos = h;
        end = limit >= 0 ? limit + 1 : n;
    }
    if (pos < 0) return f;
    // A sequence never runs past the tail, nor past the limit of a forward walk.
    uint32_t seq_end = f.forward ? uint32_t(end) : n;

    for (;;) {
        bool hit;
        if (sr.mode == Mode::sequence) {
            hit = sequence_matches(s, uint32_t(pos), seq_end, sr);
        } else {
            if (pos >= int64_t(total(s))) {
                hit = false;
            } else {
                Cell c = cells(s)[pos];
                hit = cell_matches(c, value, sr);
            }
        }
        if (hit) {
            f.position = pos;
            return f;
        }
        if (o.match) return f;
        if (f.forward) {
            pos += step;
            if (pos >= end) return f;
        } else {
            pos -= step;
            if (pos < end) return f;
        }
    }
}

// ---- sort ----

namespace sort_flags {
constexpr int32_t reverse = 1;
constexpr int32_t all = 2;
constexpr int32_t shift = 2;  // the record size (with all) or the field offset above these
}  // namespace sort_flags

// The default comparator over records of cells: the first differing field decides; fields
// that cannot be compared are ordered by type id.
int32_t sort_compare(const uint8_t* pa, const uint8_t* pb, int32_t op, int32_t flags) {
    auto a = reinterpret_cast<const Cell*>(pa);
    auto b = reinterpret_cast<const Cell*>(pb);
    if (flags & sort_flags::reverse) std::swap(a, b);
    uint32_t fields = 1;
    if (flags & sort_flags::all) {
        fields = uint32_t(flags) >> sort_flags::shift;
    } else {
        uint32_t offset = uint32_t(flags) >> sort_flags::shift;
        a += offset;
        b += offset;
    }
    for (uint32_t i = 0; i < fields; ++i) {
        int32_t r = compare_cells(a[i], b[i], CompareOp(op));
        if (r == kNotComparable) r = int32_t(type_of(a[i])) - int32_t(type_of(b[i]));
        if (r != 0) return r;
    }
    return 0;
}

// The merge sort, and any sort that calls a Kaz function, order record numbers, not the cells:
// the cells stay in the series (where the collector sees them) until the order is known, a
// comparison that fails leaves the series as it found it, and a comparator that shrinks the
// series is caught before any cell is read past its tail. The comparator protocol has no
// context argument, so the running sort is found through `current`, saved and restored around
// nested sorts.
struct CallSort {
    Cell series;       // the sorted series, head at the first record
    uint32_t records;
    uint32_t width;    // cells per record
    Cell function;     // none!: the default comparison
    bool all;
    bool reverse;
    Cell record_a, record_b;  // with /all: the blocks that receive the two records
};
CallSort* current = nullptr;

int32_t map_result(const Cell& r) {
    switch (type_of(r)) {
        case TypeId::logic: return r.data1 ? 1 : -1;
        case TypeId::integer: return cell::get_integer(r);
        case TypeId::float_: {
            double d = cell::get_float(r);
            return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
        }
        case TypeId::none: return -1;
        default: return 1;
    }
}

void fill_record(const Cell& record_block, const Cell& series, uint32_t first, uint32_t width) {
    SeriesBuffer* b = buffer_of(record_block);
    b->tail = b->head + size_t(width) * sizeof(Cell);
    std::memcpy(b->head, cells(series) + first, size_t(width) * sizeof(Cell));
}

int32_t call_compare(const uint8_t* pa, const uint8_t* pb, int32_t op, int32_t flags) {
    CallSort& cs = *current;
    uint32_t ia, ib;
    std::memcpy(&ia, pa, 4);
    std::memcpy(&ib, pb, 4);
    uint32_t first_a = cs.series.data1 + ia * cs.width, first_b = cs.series.data1 + ib * cs.width;
    if (is(cs.function, TypeId::none)) {
        const Cell* c = cells(cs.series);
        return sort_compare(reinterpret_cast<const uint8_t*>(c + first_a),
                            reinterpret_cast<const uint8_t*>(c + first_b), op, flags);
    }
    Cell args[2];
    if (cs.all) {
        fill_record(cs.record_a, cs.series, first_a, cs.width);
        fill_record(cs.record_b, cs.series, first_b, cs.width);
        args[0] = cs.record_a;
        args[1] = cs.record_b;
    } else {
        args[0] = cells(cs.series)[first_a];
        args[1] = cells(cs.series)[first_b];
    }
    // (second, first): a positive answer, like true, puts the function's first argument first.
    if (!cs.reverse) std::swap(args[0], args[1]);
    if (!datatype_hooks.call_function) error::raise(ErrorId::internal_not_done);
    Cell r = datatype_hooks.call_function(cs.function, args, 2);
    if (total(cs.series) < cs.series.data1 + cs.records * cs.width)
        error::raise(ErrorId::script_past_end);
    return map_result(r);
}

// A byte series for the sort's record numbers and work area, kept alive on the data stack.
Node byte_area(uint32_t bytes) {
    Node n = series::alloc(std::max<uint32_t>(bytes, 16), 1, 0);
    stack::push(cell::make(TypeId::binary, 0, n, 0));
    return n;
}

void sort_records(CallSort& cs, bool stable, int32_t op, int32_t flags) {
    Cell* saved_top = stack::data_top;
    CallSort* outer = current;
    // An error on its way to a trap leaves the data stack to the trap.
    struct Restore {
        Cell* top;
        CallSort* outer;
        int unwinding = std::uncaught_exceptions();
        ~Restore() {
            if (std::uncaught_exceptions() == unwinding) stack::data_top = top;
            current = outer;
        }
    } restore{saved_top, outer};

    if (uint64_t(cs.records) * 4 > 0x7FFF'0000ULL) error::raise(ErrorId::script_too_long);
    Node order = byte_area(cs.records * 4);
    SeriesBuffer* ob = memory::buffer_of(order);
    for (uint32_t i = 0; i < cs.records; ++i) std::memcpy(ob->head + size_t(i) * 4, &i, 4);
    ob->tail = ob->head + size_t(cs.records) * 4;
    if (cs.all && !is(cs.function, TypeId::none)) {
        cs.record_a = *stack::push(cell::make(TypeId::block, 0, new_cells(cs.width), 0));
        cs.record_b = *stack::push(cell::make(TypeId::block, 0, new_cells(cs.width), 0));
    }
    current = &cs;
    sort::SeriesSpot items{order, 0};
    if (stable) {
        Node work = byte_area((cs.records / 2 + 1) * 4);
        sort::SeriesSpot area{work, 0};
        sort::Place w = sort::work_in(area);
        sort::merge_sort(sort::items_in(items), cs.records, 4, op, flags, call_compare, &w);
    } else {
        sort::quick_sort(sort::items_in(items), cs.records, 4, op, flags, call_compare);
    }

    // Apply the order: the records are read into a new buffer, then copied back in place.
    uint64_t cells_n = uint64_t(cs.records) * cs.width;
    Node sorted = new_cells(int64_t(cells_n));
    stack::push(cell::make(TypeId::block, 0, sorted, 0));
    if (total(cs.series) < cs.series.data1 + cells_n) error::raise(ErrorId::script_past_end);
    Cell* to = memory::buffer_of(sorted)->cells();
    const uint8_t* idx = memory::buffer_of(order)->head;
    const Cell* from = cells(cs.series) + cs.series.data1;
    for (uint32_t i = 0; i < cs.records; ++i) {
        uint32_t r;
        std::memcpy(&r, idx + size_t(i) * 4, 4);
        std::memcpy(to + size_t(i) * cs.width, from + size_t(r) * cs.width, size_t(cs.width) * sizeof(Cell));
    }
    std::memcpy(cells(cs.series) + cs.series.data1, to, size_t(cells_n) * sizeof(Cell));
}

// ---- set operations ----

// Records of `width` cells from a block's head, with a kHash table over the block (0: none).
struct Records {
    Cell block;
    uint32_t width;
    Node table;
};

// Whether a record whose first cell equals `c` under `op` is in `in`. Tables find only values
// of the same type, and a block is hashed by identity: any-block values are searched cell by
// cell instead.
bool has_record(const Records& in, const Cell& c, CompareOp op) {
    uint32_t n = total(in.block);
    uint32_t head = std::min(in.block.data1, n);
    if (in.table && !any_block_q(type_of(c)))
        return hashtable::find(in.table, c, head, in.width, op, false, false) != nullptr;
    for (uint32_t i = head; i < n; i += in.width) {
        Cell x = cells(in.block)[i];
        if (!any_block_q(type_of(x))) continue;
        if (compare_cells(x, c, op) == 0)
            return true;
    }
    return false;
}

// A kHash table over the block from its head, kept alive by a hash! cell on the data stack.
Node table_for(const Cell& block) {
    Cell b = block;
    Node t = hashtable::make(std::max<uint32_t>(length_from_head(b), 1), &b, hashtable::kHash, 0);
    stack::push(cell::make(TypeId::hash, b.data1, b.data2, t));
    return t;
}

}  // namespace

// ---- cell helpers ----

uint32_t length_from_head(const Cell& block) {
    uint32_t n = total(block);
    return block.data1 >= n ? 0 : n - block.data1;
}

bool step_next(Cell& block) {
    uint32_t n = total(block);
    if (block.data1 < n) ++block.data1;
    return block.data1 >= n;
}

Cell* head_cell(Cell& block) { return cells(block) + series_::clamp_head(block); }
Cell* tail_cell(const Cell& block) { return buffer_of(block)->cells_end(); }
bool at_tail_q(const Cell& block) { return block.data1 >= total(block); }
Cell* cell_at(const Cell& block, uint32_t index) { return cells(block) + index; }

void clear_from_head(const Cell& block) { clear_from_index(block, block.data1); }

void clear_from_index(const Cell& block, uint32_t index) {
    SeriesBuffer* b = buffer_of(block);
    if (index < b->length()) b->tail = b->head + size_t(index) * sizeof(Cell);
}

Cell* append_cell(const Cell& block, const Cell& value) {
    Cell v = value;
    SeriesBuffer* b = buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = v;
    return c;
}

void remove_last(Cell& block) {
    SeriesBuffer* b = buffer_of(block);
    if (b->tail > b->head) b->tail -= sizeof(Cell);
    series_::clamp_head(block);
}

const Cell& append_all(const Cell& target, const Cell& source) {
    Cell s = source;
    uint32_t n = length_from_head(s);
    SeriesBuffer* b = ensure_room(target, uint64_t(total(target)) + n, true);
    std::memcpy(b->tail, cells(s) + s.data1, size_t(n) * sizeof(Cell));
    b->tail += size_t(n) * sizeof(Cell);
    return target;
}

void insert_value(Cell& block, const Cell& value, bool advance_head, bool at_start) {
    Cell v = value;
    uint32_t at = at_start ? 0 : series_::clamp_head(block);
    SeriesBuffer* b = series_::open_gap(block, at, 1);
    b->cells()[at] = v;
    changed(block);
    if (advance_head) block.data1 = at + 1;
}

void insert_all(Cell& target, const Cell& source) {
    Cell s = source;
    uint32_t n = length_from_head(s);
    Node copy = snapshot(s, s.data1, n);
    uint32_t at = series_::clamp_head(target);
    series_::open_gap(target, at, n);
    std::memcpy(cells(target) + at, memory::buffer_of(copy)->head, size_t(n) * sizeof(Cell));
    changed(target);
    target.data1 = at + n;
}

void insert_return_value(Cell& block) { insert_value(block, stack::base[0], false, false); }
void append_return_value(const Cell& block) { append_cell(block, stack::base[0]); }
void append_second_arg() { append_cell(stack::base[0], stack::base[1]); }

Cell select_value(const Cell& block, const Cell& value) {
    uint32_t n = total(block);
    for (uint32_t i = std::min(block.data1, n); i < n; ++i) {
        if (compare_cells(cells(block)[i], value, CompareOp::find) == 0)
            return i + 1 < total(block) ? cells(block)[i + 1] : cell::none();
    }
    return cell::none();
}

std::optional<bool> remove_value(Cell& block, const Cell& value, bool from_start) {
    uint32_t n = total(block);
    for (uint32_t i = from_start ? 0 : std::min(block.data1, n); i < n; ++i) {
        if (compare_cells(cells(block)[i], value, CompareOp::find) == 0) {
            series_::remove_units(block, i, 1);
            changed(block);
            return i < block.data1;
        }
    }
    return std::nullopt;
}

Cell select_word(const Cell& block, const Cell& word, bool exact) {
    uint32_t n = total(block);
    uint32_t want = exact ? word.data2 : symbol::canonical_id(word.data2);
    for (uint32_t i = std::min(block.data1, n); i < n; ++i) {
        const Cell& c = cells(block)[i];
        TypeId t = type_of(c);
        if (t != TypeId::word && t != TypeId::set_word && t != TypeId::lit_word && t != TypeId::get_word)
            continue;
        uint32_t id = exact ? c.data2 : symbol::canonical_id(c.data2);
        if (id == want) return i + 1 < n ? cells(block)[i + 1] : cell::none();
    }
    return cell::none();
}

Cell* duplicate(const Cell& block, bool deep, bool any_block) {
    Cell s = block;
    uint32_t n = length_from_head(s);
    Node node = new_cells(n);
    Cell* result = stack::push(cell::make(type_of(s), 0, node, 0));
    SeriesBuffer* b = memory::buffer_of(node);
    std::memcpy(b->head, cells(s) + s.data1, size_t(n) * sizeof(Cell));
    b->tail = b->head + size_t(n) * sizeof(Cell);
    if (!deep) return result;
    for (uint32_t i = 0; i < n; ++i) {
        Cell c = memory::buffer_of(node)->cells()[i];
        TypeId t = type_of(c);
        if (t != TypeId::block && !(any_block && any_block_q(t) && t != TypeId::hash)) continue;
        Cell inner = *duplicate(c, true, any_block);
        stack::pop(1);
        inner.header = c.header;
        memory::buffer_of(node)->cells()[i] = inner;
    }
    return result;
}

Cell& init_cell(Cell& c, int32_t capacity) {
    Node n = new_cells(capacity);
    c = cell::make(TypeId::block, 0, n, 0);
    return c;
}

Cell& init_cell_fixed(Cell& c, int32_t capacity, bool fixed) {
    uint32_t count = uint32_t(std::max(capacity, 1));
    Node n = fixed ? series::alloc_heap(count, sizeof(Cell)) : series::alloc_cells_unset(count);
    c = cell::make(TypeId::block, 0, n, 0);
    return c;
}

namespace {
Cell spare_cell;
}  // namespace

Cell* make_in(Node parent, int32_t capacity) {
    Cell made;
    init_cell(made, capacity);
    if (!parent) return &(spare_cell = made);
    return append_cell(cell::make(TypeId::block, 0, parent, 0), made);
}

Cell* make_fixed_in(Node parent, int32_t capacity, bool fixed) {
    Cell made;
    init_cell_fixed(made, capacity, fixed);
    if (!parent) return &(spare_cell = made);
    return append_cell(cell::make(TypeId::block, 0, parent, 0), made);
}

Cell* push(const Cell& block) { return stack::push(block); }

Cell* push_new(int32_t capacity) {
    Cell c;
    init_cell(c, capacity);
    return stack::push(c);
}

// ---- mold and form ----

int32_t mold_cells(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
                   int32_t limit, int32_t indent) {
    Cell v = value;
    cycles::push(v.data2);
    bool indented = false;
    uint32_t start = std::min(v.data1, total(v));
    for (uint32_t i = start; i < total(v); ++i) {
        if (part && limit < 1) {
            cycles::pop();
            return limit;
        }
        Cell c = cells(v)[i];
        bool first = i == start;
        if (!flat && cell::new_line_q(c)) {
            if (!only && first) {
                indented = true;
                ++indent;
            }
            if (!(only && first)) limit = write(string, "\n", limit);
            limit = mold::indent(string, indent, limit);
        } else if (!first) {
            limit = write(string, " ", limit);
        }
        limit = mold_one(c, string, false, all, flat, part, limit, indent);
    }
    cycles::pop();
    if (indented) {
        --indent;
        limit = write(string, "\n", limit);
        limit = mold::indent(string, indent, limit);
    }
    return limit;
}

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    if (cycles::mold_marker(value, string, limit, true)) return limit;
    if (!only) limit = write(string, "[", limit);
    limit = mold_cells(value, string, only, all, flat, part, limit, indent);
    if (!only) limit = write(string, "]", limit);
    return limit;
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    if (cycles::mold_marker(value, string, limit, false)) return limit;
    Cell v = value;
    cycles::push(v.data2);
    for (uint32_t i = std::min(v.data1, total(v)); i < total(v); ++i) {
        if (part && limit < 1) break;
        Cell c = cells(v)[i];
        FormAction f = registry::actions(type_of(c)).form;
        if (!f) error::raise(ErrorId::internal_not_done);
        limit = f(c, string, part, limit);
        if (i + 1 < total(v)) {
            SeriesBuffer* s = memory::buffer_of(string);
            uint32_t last = s->used() ? string::get_char(s->tail - s->unit(), s->unit()) : 0;
            if (last != '\t' && last != '\n' && last != '\r') limit = write(string, " ", limit);
        }
    }
    cycles::pop();
    return limit;
}

// ---- make and to ----

namespace {

Cell shallow_copy(const Cell& spec, TypeId type) {
    Cell c = *duplicate(spec, false, false);
    stack::pop(1);
    c.header = uint32_t(type);
    return c;
}

Cell body_of(const Cell& value) {
    ReflectAction r = registry::actions(type_of(value)).reflect;
    if (!r) error::raise(ErrorId::internal_not_done);
    return r(value, sym::body);
}

Cell vector_to_block(const Cell& vector, TypeId type) {
    Cell v = vector;
    uint32_t n = series_::length_q(v);
    Node node = new_cells(n);
    uint32_t h = std::min(v.data1, series_::total_length(v));
    for (uint32_t i = 0; i < n; ++i) {
        Cell e = series_::unit_value(v, h + i);
        SeriesBuffer* b = memory::buffer_of(node);
        *series::reserve_cell(b) = e;
    }
    return cell::make(type, 0, node, 0);
}

Cell typeset_to_block(const Cell& ts, TypeId type) {
    Node node = new_cells(typeset::count(ts));
    Cell result = cell::make(type, 0, node, 0);
    for (int t = 1; t <= int(registry::max_id()); ++t) {
        if (!registry::registered_q(TypeId(t)) || !typeset::has_q(ts, TypeId(t))) continue;
        append_cell(result, registry::type_name(TypeId(t)).word);
    }
    return result;
}

Cell retyped(Cell c, TypeId type) {
    cell::set_type(c, type);
    return c;
}

}  // namespace

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    (void)proto;
    TypeId st = type_of(spec);
    if (any_block_q(st)) return shallow_copy(spec, type);
    if (st == TypeId::integer || st == TypeId::float_) {
        double d = st == TypeId::integer ? cell::get_integer(spec) : cell::get_float(spec);
        if (!number::fits_int32(d)) error::raise(ErrorId::script_bad_make_arg, cell::datatype(type), spec);
        Cell c;
        init_cell(c, int32_t(d));
        return retyped(c, type);
    }
    if (st == TypeId::object || st == TypeId::map) return retyped(body_of(spec), type);
    if (st == TypeId::vector) return vector_to_block(spec, type);
    error::raise(ErrorId::script_bad_make_arg, cell::datatype(type), spec);
}

Cell to(const Cell& proto, const Cell& spec, TypeId type) {
    (void)proto;
    TypeId st = type_of(spec);
    if (st == TypeId::object || st == TypeId::map) return retyped(body_of(spec), type);
    if (st == TypeId::vector) return vector_to_block(spec, type);
    if (st == TypeId::string) {
        if (!datatype_hooks.load_text) error::raise(ErrorId::internal_not_done);
        return retyped(datatype_hooks.load_text(spec), type);
    }
    if (st == TypeId::typeset) return typeset_to_block(spec, type);
    if (any_block_q(st)) return shallow_copy(spec, type);
    Cell c;
    init_cell(c, 1);
    append_cell(c, spec);
    return retyped(c, type);
}

// ---- compare ----

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    TypeId ta = type_of(a), tb = type_of(b);
    if (ta != tb) {
        bool literal = op == CompareOp::match_case || op == CompareOp::match;
        bool paths = (ta == TypeId::path && tb == TypeId::lit_path) || (ta == TypeId::lit_path && tb == TypeId::path);
        if (!literal || !paths) return kNotComparable;
    }
    if (a.data2 == b.data2 && a.data1 == b.data1) return 0;
    if (op == CompareOp::same) return -1;
    if (cycles::find_q(a.data2)) return cycles::find_q(b.data2) ? 0 : -1;

    uint32_t la = length_from_head(a), lb = length_from_head(b);
    switch (op) {
        case CompareOp::equal: case CompareOp::not_equal: case CompareOp::strict_equal:
        case CompareOp::match_case: case CompareOp::match: case CompareOp::find:
            if (la != lb) return 1;
            break;
        default: break;
    }
    if (la == 0) return 0;
    cycles::push(a.data2);
    cycles::push(b.data2);
    int32_t result = 0;
    uint32_t n = std::min(la, lb);
    for (uint32_t i = 0; i < n && result == 0; ++i) {
        Cell x = cells(a)[a.data1 + i], y = cells(b)[b.data1 + i];
        TypeId tx = type_of(x), ty = type_of(y);
        bool comparable = tx == ty || (word_kind_q(tx) && word_kind_q(ty)) || (number_q(tx) && number_q(ty));
        if (!comparable) {
            cycles::pop_n(2);
            return tx < ty ? -1 : 1;
        }
        result = compare_cells(x, y, op);
    }
    cycles::pop_n(2);
    if (result != 0) return result;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

// ---- eval-path ----

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    if (is(element, TypeId::integer)) {
        int32_t i = cell::get_integer(element);
        if (!value) return series_::pick(parent, i, element);
        return series_::poke(parent, i, element, *value);
    }
    if (!value) {
        if (is(element, TypeId::word) && !is(parent, TypeId::hash)) return select_word(parent, element, step.case_);
        FindOptions o;
        o.only = true;
        o.case_ = step.case_;
        return select(parent, element, o);
    }
    FindOptions o;
    o.case_ = step.case_;
    Cell found = find(parent, element, o);
    if (is(found, TypeId::none))
        error::raise(ErrorId::script_bad_path_set, step.path ? *step.path : parent, element);
    uint32_t at = found.data1 + 1;
    Cell target = parent;
    target.data1 = 0;
    return series_::poke(target, int32_t(at + 1), cell::integer(int32_t(at + 1)), *value);
}

// ---- search ----

Cell find(const Cell& series, const Cell& value, const FindOptions& options) {
    Found f = search(series, value, options);
    if (f.position < 0) return cell::none();
    Cell r = series;
    int64_t at = f.position;
    if (options.tail) at += f.sequence ? f.length : f.forward ? f.step : 1;
    r.data1 = uint32_t(std::min<int64_t>(at, total(series)));
    return r;
}

Cell select(const Cell& series, const Cell& value, const FindOptions& options) {
    FindOptions o = options;
    o.tail = o.match = false;
    Found f = search(series, value, o);
    if (f.position < 0) return cell::none();
    TypeId vt = type_of(value);
    bool whole = !o.only && (vt == TypeId::block || vt == TypeId::paren || (vt >= TypeId::path && vt <= TypeId::get_path));
    uint64_t at = uint64_t(f.position) + (whole ? f.length : 1);
    if (at >= total(series)) return cell::none();
    return cells(series)[at];
}

Cell put(const Cell& series, const Cell& key, const Cell& value, bool case_) {
    Cell s = series, k = key, v = value;
    FindOptions o;
    o.case_ = case_;
    Found f = search(s, k, o);
    uint32_t at = f.position < 0 ? total(s) : uint32_t(f.position) + 1;
    // The key is looked for again when the owner's handler ran: it may have changed the block.
    if (notify(s, words::put, &v, int32_t(at), f.position < 0 ? 2 : 1)) f = search(s, k, o);
    if (f.position < 0) {
        at = total(s);
        append_cell(s, k);
        append_cell(s, v);
        changed(s);
        notify(s, words::put_ed, &v, int32_t(at), 2);
        return v;
    }
    at = uint32_t(f.position) + 1;
    if (at >= total(s)) {
        append_cell(s, v);
    } else if (compare_cells(cells(s)[at], v, CompareOp::find) != 0) {
        cells(s)[at] = v;
    }
    changed(s);
    notify(s, words::put_ed, &v, int32_t(at), 1);
    return v;
}

// ---- insertion and change ----

namespace {

// The appends and inserts that need more than a store: spreading a block, /part, /dup, an
// owner to notify, a hash! to index, or a buffer to grow. Out of line, so that the store below
// stays a short call.
[[gnu::noinline]] Cell insert_cells(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup,
                                    bool append_) {
    Cell s = series, v = value;
    bool spread = !only && any_block_q(type_of(v));
    uint32_t count = spread ? length_from_head(v) : 1;
    if (count == 0) return series;
    if (part >= 0 && uint32_t(part) <= count) count = uint32_t(part);
    if (count == 0) return series;
    uint32_t h = series_::clamp_head(s);
    uint32_t n = total(s);
    uint32_t at = append_ ? n : h;
    uint64_t added = uint64_t(count) * uint64_t(std::max(dup, 1));
    if (added > kMaxCells || n + added > kMaxCells) error::raise(ErrorId::internal_no_memory);

    // The inserted cells are taken first: the source may share this buffer.
    Node source = 0;
    if (spread) {
        source = snapshot(v, std::min(v.data1, total(v)), count);
        stack::push(cell::make(TypeId::block, 0, source, 0));
    }
    if (notify(s, append_ ? words::append : gwords::insert, &v, int32_t(at), int32_t(added))) {
        h = series_::clamp_head(s);
        n = total(s);
        at = append_ ? n : h;
        if (n + added > kMaxCells) error::raise(ErrorId::internal_no_memory);
    }
    ensure_room(s, n + added, dup < 5);
    SeriesBuffer* b = series_::open_gap(s, at, uint32_t(added));
    uint8_t* dest = reinterpret_cast<uint8_t*>(b->cells() + at);
    if (spread) {
        std::memcpy(dest, memory::buffer_of(source)->head, size_t(count) * sizeof(Cell));
        stack::pop(1);
    } else {
        std::memcpy(dest, &v, sizeof(Cell));
    }
    if (added > count) memory::replicate(dest, size_t(count) * sizeof(Cell), size_t(added / count));
    changed(s);
    notify(s, append_ ? words::appended : words::inserted, &v, int32_t(at), int32_t(added));
    if (append_) {
        s.data1 = 0;
    } else {
        s.data1 = std::min<uint32_t>(at + uint32_t(added), total(s));
    }
    return s;
}

}  // namespace

Cell append(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append_) {
    // One cell at the tail of a block no one owns and with room left, which most appends are:
    // nothing to notify, grow or index, so the cell is simply stored.
    if (append_ && part < 0 && dup <= 1 && (only || !any_block_q(type_of(value))) && !is(series, TypeId::hash)) {
        SeriesBuffer* b = buffer_of(series);
        if (!(b->flags & series_flag::owned) && b->tail + sizeof(Cell) <= b->end() && b->length() < kMaxCells) {
            std::memcpy(b->tail, &value, sizeof(Cell));
            b->tail += sizeof(Cell);
            Cell s = series;
            s.data1 = 0;
            return s;
        }
    }
    return insert_cells(series, value, part, only, dup, append_);
}

Cell change(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool) {
    Cell s = series, v = value;
    uint32_t h = series_::clamp_head(s);
    uint32_t n = total(s);
    uint32_t remaining = n - h;
    bool spread = !only && any_block_q(type_of(v));
    uint32_t count = spread ? length_from_head(v) : 1;
    uint64_t inserted = uint64_t(count) * uint64_t(std::max(dup, 1));
    if (inserted > kMaxCells) error::raise(ErrorId::internal_no_memory);
    uint32_t replaced = 0;
    uint64_t size = 0;
    // The cells replaced, from the series as it stands: measured again after the owner's handler.
    auto measure = [&] {
        h = series_::clamp_head(s);
        n = total(s);
        remaining = n - h;
        replaced = uint32_t(std::min<uint64_t>(part >= 0 ? uint64_t(part) : inserted, remaining));
        size = uint64_t(n) - replaced + inserted;
        if (size > kMaxCells) error::raise(ErrorId::internal_no_memory);
    };
    measure();

    Node source = 0;
    if (spread) {
        source = snapshot(v, std::min(v.data1, total(v)), count);
        stack::push(cell::make(TypeId::block, 0, source, 0));
    }
    if (notify(s, words::change, &v, int32_t(h), int32_t(replaced))) measure();
    SeriesBuffer* b = ensure_room(s, size, true);
    Cell* base = b->cells();
    std::memmove(base + h + inserted, base + h + replaced, size_t(n - h - replaced) * sizeof(Cell));
    b->tail = b->head + size_t(size) * sizeof(Cell);
    if (inserted) {
        uint8_t* dest = reinterpret_cast<uint8_t*>(base + h);
        if (spread) {
            std::memcpy(dest, memory::buffer_of(source)->head, size_t(count) * sizeof(Cell));
        } else {
            std::memcpy(dest, &v, sizeof(Cell));
        }
        if (inserted > count) memory::replicate(dest, size_t(count) * sizeof(Cell), size_t(inserted / count));
    }
    if (spread) stack::pop(1);
    changed(s);
    notify(s, words::changed, &v, int32_t(h), int32_t(inserted));
    s.data1 = std::min<uint32_t>(h + uint32_t(inserted), total(s));
    return s;
}

// ---- copy and take ----

void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types) {
    series_::copy(value, result, part, deep, types);
    if (!deep && !types) return;
    if (is(result, TypeId::hash)) cell::set_type(result, TypeId::block);
    if (deep) {
        if (cycles::find_q(value.data2)) {
            cycles::reset();
            error::raise(ErrorId::internal_no_cycle);
        }
        cycles::push(value.data2);
    }
    for (uint32_t i = 0; i < total(result); ++i) {
        Cell c = cells(result)[i];
        TypeId t = type_of(c);
        bool wanted;
        if (!types) {
            wanted = copied_deep_q(t);
        } else {
            bool named = is(*types, TypeId::datatype) ? TypeId(types->data1) == t : typeset::has_q(*types, t);
            wanted = named && (copied_deep_q(t) || t == TypeId::bitset || t == TypeId::object ||
                               t == TypeId::error || t == TypeId::map);
        }
        if (!wanted) continue;
        CopyAction cp = registry::actions(t).copy;
        if (!cp) continue;
        Cell* slot = stack::push(cell::unset());
        cp(c, *slot, nullptr, deep, deep ? types : nullptr);
        Cell fresh = *slot;
        stack::pop(1);
        fresh.header = (fresh.header & cell_flag::type_mask) | (c.header & ~cell_flag::type_mask);
        cells(result)[i] = fresh;
    }
    if (deep) cycles::pop();
}

Cell take(const Cell& series, const Cell* part, bool deep, bool last) {
    Cell taken = series_::take(series, part, deep, last);
    if (is(taken, TypeId::none)) return taken;
    Cell* root = stack::push(taken);
    if (deep) {
        for (uint32_t i = 0; i < total(*root); ++i) {
            Cell c = cells(*root)[i];
            if (!copied_deep_q(type_of(c))) continue;
            CopyAction cp = registry::actions(type_of(c)).copy;
            if (!cp) continue;
            Cell* slot = stack::push(cell::unset());
            cp(c, *slot, nullptr, true, nullptr);
            Cell fresh = *slot;
            stack::pop(1);
            cells(*root)[i] = fresh;
        }
    }
    // A hash! taken from a hash! indexes its cells, as every hash! does.
    if (is(*root, TypeId::hash))
        root->data3 = hashtable::make(std::max<uint32_t>(total(*root), 1), root, hashtable::kHash, 0);
    Cell result = *root;
    stack::pop(1);
    if (!part && total(result) == 1) return cells(result)[0];
    return result;
}

// ---- swap and trim ----

void swap(Cell& series1, const Cell& series2) {
    Cell other = series2;
    if (!any_block_q(type_of(other))) error::raise(ErrorId::script_invalid_arg, other);
    if (at_tail_q(series1) || at_tail_q(other)) return;
    notify(series1, words::swap, nullptr, int32_t(series1.data1), 1);
    notify(other, words::swap, nullptr, int32_t(other.data1), 1);
    // The owners' handlers may have emptied either series.
    if (!at_tail_q(series1) && !at_tail_q(other)) {
        std::swap(cells(series1)[series1.data1], cells(other)[other.data1]);
        changed(series1);
        if (other.data2 != series1.data2) changed(other);
    }
    notify(series1, words::swaped, nullptr, int32_t(series1.data1), 1);
    notify(other, words::swaped, nullptr, int32_t(other.data1), 1);
}

void trim(Cell& series, const TrimOptions&) {
    uint32_t h = series_::clamp_head(series);
    uint32_t n = total(series);
    if (notify(series, words::trim, nullptr, int32_t(h), int32_t(n - h))) {
        h = series_::clamp_head(series);
        n = total(series);
    }
    Cell* c = cells(series);
    uint32_t kept = h;
    for (uint32_t i = h; i < n; ++i)
        if (!is(c[i], TypeId::none)) c[kept++] = c[i];
    buffer_of(series)->tail = buffer_of(series)->head + size_t(kept) * sizeof(Cell);
    changed(series);
    notify(series, words::trimmed, nullptr, int32_t(h), int32_t(kept - h));
}

// ---- sort ----

Cell sort(const Cell& series, const SortOptions& o) {
    Cell s = series;
    const uint32_t head = s.data1;
    uint32_t h = 0;
    int64_t n = 0;
    // The cells sorted, from the series as it stands: measured again after the owner's handler.
    auto measure = [&] {
        s.data1 = head;
        h = series_::clamp_head(s);
        n = total(s) - h;
        if (!o.part || n == 0) return;
        int64_t p = series_::part_count(s, *o.part);
        if (p < 0) {
            int64_t from = std::max<int64_t>(int64_t(h) + p, 0);
            n = int64_t(h) - from;
            s.data1 = h = uint32_t(from);
        } else if (p < n) {
            n = p;
        }
    };
    measure();
    if (n == 0) return s;
    int64_t width = 1;
    if (o.skip) {
        if (!is(*o.skip, TypeId::integer))
            error::raise(ErrorId::script_invalid_refine_arg, series_::skip_word(), *o.skip);
        width = cell::get_integer(*o.skip);
        if (width < 1 || n < width || n % width != 0)
            error::raise(ErrorId::script_invalid_refine_arg, series_::skip_word(), *o.skip);
    }
    if (o.all && !o.skip) error::raise(ErrorId::script_bad_refines);
    int64_t records = n / width;

    int32_t flags = o.reverse ? sort_flags::reverse : 0;
    if (o.all) flags |= sort_flags::all | int32_t(width << sort_flags::shift);
    bool calls = false;
    if (o.compare) {
        TypeId ct = type_of(*o.compare);
        if (ct == TypeId::function || ct == TypeId::native || ct == TypeId::action ||
            ct == TypeId::op || ct == TypeId::routine) {
            calls = true;
        } else if (ct == TypeId::integer) {
            if (!o.skip || o.all) error::raise(ErrorId::script_bad_refines);
            int32_t field = cell::get_integer(*o.compare);
            if (field < 1 || field > width) error::raise(ErrorId::script_out_of_range, *o.compare);
            flags |= int32_t(field - 1) << sort_flags::shift;
        } else {
            error::raise(ErrorId::script_invalid_refine_arg, series_::compare_word(), *o.compare);
        }
    }
    int32_t op = int32_t(o.case_ ? CompareOp::case_sort : CompareOp::sort);

    if (notify(s, words::sort, nullptr, int32_t(h), int32_t(n))) {
        measure();
        records = n / width;  // whole records only
        n = records * width;
    }
    if (records > 1) {
        if (calls || o.stable) {
            CallSort cs{s, uint32_t(records), uint32_t(width), calls ? *o.compare : cell::none(), o.all,
                        o.reverse, cell::none(), cell::none()};
            sort_records(cs, o.stable, op, flags);
        } else {
            // Without Kaz code nothing allocates while it runs, and a quicksort only exchanges
            // records: the cells are sorted in place.
            sort::SeriesSpot items{s.data2, uint32_t(h * sizeof(Cell))};
            sort::quick_sort(sort::items_in(items), uint32_t(records), uint32_t(width * sizeof(Cell)), op,
                             flags, sort_compare);
        }
        changed(s);
    }
    notify(s, words::sorted, nullptr, int32_t(h), int32_t(n));
    return s;
}

// ---- set operations ----

void set_operation(MathOp op, bool case_, const Cell* skip) {
    int64_t width = 1;
    if (skip) {
        if (!is(*skip, TypeId::integer) || cell::get_integer(*skip) < 1)
            error::raise(ErrorId::script_invalid_refine_arg, series_::skip_word(), *skip);
        width = cell::get_integer(*skip);
    }
    Cell* saved = stack::data_top;
    Cell first = stack::base[0], second = stack::base[1];
    series_::clamp_head(first);
    bool two = op != MathOp::unique;
    if (two) series_::clamp_head(second);
    uint64_t capacity = length_from_head(first) + (op == MathOp::union_ ? length_from_head(second) : 0);
    if (capacity > kMaxCells) error::raise(ErrorId::internal_no_memory);
    Cell* result = stack::push(cell::make(TypeId::block, 0, new_cells(int64_t(capacity)), 0));
    Node result_table = table_for(*result);
    CompareOp eq = case_ ? CompareOp::strict_equal : CompareOp::equal;

    auto pass = [&](const Cell& from, const Cell* other, bool keep_found) {
        Records in{other ? *other : cell::none(), uint32_t(width), other ? table_for(*other) : 0};
        Records out{*result, uint32_t(width), result_table};
        for (uint32_t i = from.data1; i < total(from); i += uint32_t(width)) {
            Cell c = cells(from)[i];
            if (other && has_record(in, c, eq) != keep_found) continue;
            if (has_record(out, c, eq)) continue;
            uint32_t at = total(*result);
            uint32_t w = uint32_t(std::min<int64_t>(width, total(from) - i));
            for (uint32_t k = 0; k < w; ++k) append_cell(*result, cells(from)[i + k]);
            int32_t rebuilt = 0;
            hashtable::put_rebuilding(result_table, cells(*result) + at, &rebuilt);
        }
    };
    switch (op) {
        case MathOp::unique: pass(first, nullptr, false); break;
        case MathOp::union_: pass(first, nullptr, false); pass(second, nullptr, false); break;
        case MathOp::intersect: pass(first, &second, true); break;
        case MathOp::exclude: pass(first, &second, false); break;
        case MathOp::difference: pass(first, &second, false); pass(second, &first, false); break;
        default: error::raise(ErrorId::internal_not_done);
    }
    bool hashed = is(first, TypeId::hash) || (two && is(second, TypeId::hash));
    Cell r = *result;
    if (hashed) hashtable::rebuild(result_table, total(r));
    stack::data_top = saved;
    stack::base[0] = cell::make(hashed ? TypeId::hash : type_of(first), 0, r.data2, hashed ? result_table : 0);
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::block, {.data2 = gc::Ref::block});
    registry::define(TypeId::block, {.make = make, .to = to, .form = form, .mold = mold,
                                     .eval_path = eval_path, .compare = compare, .append = append,
                                     .change = change, .copy = copy, .find = find, .insert = append,
                                     .put = put, .select = select, .sort = sort, .swap = swap,
                                     .take = take, .trim = trim});
}

}  // namespace kaz::block
