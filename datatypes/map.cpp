// map! — construction, lookups and updates through the table, reflection, molds, comparison
// and copies.
#include "datatypes/map.h"

#include <algorithm>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "runtime/case_fold.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::map {
namespace {

// ---- helpers ----

constexpr uint32_t kMaxCells = 0x7FFF'0000u / sizeof(Cell);

SeriesBuffer* buffer(const Cell& map) { return memory::buffer_of(map.data2); }
Cell* cells(const Cell& map) { return buffer(map)->cells(); }
uint32_t total(const Cell& map) { return buffer(map)->length(); }

// A removed pair's value cell has no type.
bool removed_q(const Cell& value) { return type_of(value) == TypeId::invalid; }

CompareOp op_of(bool case_, bool same) {
    return same ? CompareOp::same : case_ ? CompareOp::strict_equal : CompareOp::equal;
}

bool text_key_q(TypeId t) { return series_::any_string_q(t) || t == TypeId::binary; }

bool word_kind_q(TypeId t) { return t >= TypeId::word && t <= TypeId::get_word; }

// Where a key is, or where it would go.
struct Probe {
    int64_t position;  // of the key cell equal to the key, removed or not; -1 when absent
    uint32_t hash;
    uint32_t empty;    // absent: the empty bucket where the probe stopped
};

// Whether n bytes at a and b, n from sizeof(Word) to twice that, are the same: their first and
// last words, which overlap when n is short of twice.
template <typename Word>
inline bool same_ends_q(const uint8_t* a, const uint8_t* b, uint32_t n) {
    Word a0, a1, b0, b1;
    std::memcpy(&a0, a, sizeof(Word));
    std::memcpy(&b0, b, sizeof(Word));
    std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
    std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// Whether n bytes at a and b are the same: the short runs of most keys compared in words.
inline bool same_bytes_q(const uint8_t* a, const uint8_t* b, uint32_t n) {
    if (n >= 8 && n <= 16) return same_ends_q<uint64_t>(a, b, n);
    if (n >= 4 && n < 8) return same_ends_q<uint32_t>(a, b, n);
    if (n < 4) {
        for (uint32_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    return std::memcmp(a, b, n) == 0;
}

// A one-byte text key as its bytes from its head; null text when its buffer has wider units.
struct NarrowText {
    const uint8_t* text;
    uint32_t length;
};
inline NarrowText narrow_text(const Cell& string) {
    SeriesBuffer* b = memory::buffer_of(string.data2);
    if (b->unit() != 1) return {nullptr, 0};
    uint32_t n = b->used(), h = std::min(string.data1, n);
    return {b->head + h, n - h};
}

// Equality of a stored string! key with one-byte text as compare gives it for `fold` (equal)
// or not (strict-equal): 1 or 0, or -1 when compare must settle it (a buffer of wider units).
// Bytes that differ are folded as compare folds them, so a key that only shares the hash is
// told apart here, without the general comparison. Allocates nothing.
int32_t narrow_equal_q(const Cell& stored, NarrowText key, bool fold) {
    NarrowText a = narrow_text(stored);
    if (!a.text) return -1;
    if (a.length != key.length) return 0;
    if (same_bytes_q(a.text, key.text, a.length)) return 1;
    if (!fold) return 0;
    for (uint32_t i = 0; i < a.length; ++i)
        if (a.text[i] != key.text[i] && case_::upper_char(a.text[i]) != case_::upper_char(key.text[i])) return 0;
    return 1;
}

// The table's lookup for a map, keeping what an insertion needs: the key hashed once, and the
// bucket it would take. A map's buckets are never deleted (a removed pair keeps its bucket
// live), so an absent key ends its probe sequence at an empty bucket, which is where it goes.
Probe probe(const Cell& map, const Cell& key_in, CompareOp op) {
    Cell key = key_in;
    TypeId type = type_of(key);
    // Words of every kind are stored as set-word!.
    if (word_kind_q(type)) {
        type = TypeId::set_word;
        cell::set_type(key, type);
    }
    // A one-byte string! key is hashed from its bytes and, compared for equality, settled
    // without compare, which is only called for a wider buffer; nothing else here allocates,
    // so the arrays are read once and again only after a compare.
    NarrowText narrow{nullptr, 0};
    Probe p{-1, 0, 0};
    if (type == TypeId::string) {
        narrow = narrow_text(key);
        p.hash = narrow.text ? murmur3::hash_narrow_text(narrow.text, narrow.length, false)
                             : murmur3::hash_string(key, false);
        if (op != CompareOp::equal && op != CompareOp::strict_equal) narrow = {nullptr, 0};
    } else {
        p.hash = uint32_t(hashtable::hash_value(key, false));
    }
    CompareAction compare = registry::actions(type).compare;
    bool fold = op == CompareOp::equal;
    // A bucket whose tag is not the key's own holds another hash, or none: passed over without
    // reading its key.
    const hashtable::Table* t = &hashtable::record(map.data3);
    const hashtable::Bucket* slots = hashtable::slots(*t);
    const Cell* pairs = cells(map);
    uint32_t want = hashtable::live_tag(p.hash);
    uint32_t mask = t->buckets - 1, start = p.hash & mask, i = start, step = 1;
    for (;;) {
        uint32_t tag = slots[i].tag;
        if (tag == hashtable::kEmptyTag) {
            p.empty = i;
            return p;
        }
        if (tag == want) {
            uint32_t at = slots[i].key;
            Cell stored = pairs[at];
            if (type_of(stored) == type) {
                int32_t same = narrow.text ? narrow_equal_q(stored, narrow, fold) : -1;
                if (same < 0 && compare) {
                    same = compare(stored, key, op) == 0;
                    // The comparison may have allocated: every buffer may have moved.
                    t = &hashtable::record(map.data3);
                    slots = hashtable::slots(*t);
                    pairs = cells(map);
                    if (narrow.text) narrow = narrow_text(key);
                }
                if (same == 1) {
                    p.position = at;
                    return p;
                }
            }
        }
        i = (i + step++) & mask;
        // Every bucket visited: a full table, which only a table grown elsewhere can be.
        if (i == start) {
            p.empty = start;
            return p;
        }
    }
}

// The position of the key cell equal to `key` under `op`, removed or not; -1 when absent.
int64_t lookup(const Cell& map, const Cell& key, CompareOp op) { return probe(map, key, op).position; }

// The key as the map stores it: words of every kind as set-word!, text copied from its head.
Cell prepare_key(const Cell& key) {
    TypeId t = type_of(key);
    if (!valid_key_type_q(t)) error::raise(ErrorId::script_invalid_path, cell::datatype(t), key);
    Cell k = key;
    cell::clear_new_line(k);
    if (text_key_q(t)) {
        uint32_t n = series_::total_length(k);
        uint32_t h = std::min(k.data1, n);
        return cell::make(t, 0, series::copy_range(k.data2, h, n - h), 0);
    }
    if (t == TypeId::word || t == TypeId::lit_word || t == TypeId::get_word) cell::set_type(k, TypeId::set_word);
    return k;
}

// A stored key as find and reflect give it back: a set-word! as a word!.
Cell given_key(Cell key) {
    if (is(key, TypeId::set_word)) cell::set_type(key, TypeId::word);
    return key;
}

// A map's table grows at half full, not at the table's usual bound: lookups then meet half as
// many other buckets on their way. The keys are placed again in block order, so that keys of
// one hash are met in the order they were put; the buckets keep their hashes, so no key is read.
void grow_at_half(const Cell& map) {
    uint32_t buckets = hashtable::record(map.data3).buckets;
    if (uint64_t(hashtable::record(map.data3).occupied) * 2 < buckets) return;
    hashtable::resize_in_order(map.data3, buckets * 2);
}

// Indexes the key cell at `at` of a key found absent by `where`; the table holds the pairs
// before it.
void index_new_key(const Cell& map, uint32_t at, Probe where) {
    uint32_t buckets = hashtable::record(map.data3).buckets;
    grow_at_half(map);
    hashtable::Table& t = hashtable::record(map.data3);
    // Growing re-hashes every key: the bucket found before is then void.
    if (t.buckets != buckets || hashtable::bucket_state(t, where.empty) != hashtable::kEmpty)
        where.empty = hashtable::find_empty_bucket(map.data3, where.hash);
    hashtable::fill_bucket(t, where.empty, at, where.hash);
    ++t.count;
    ++t.occupied;
}

// Appends a new pair for a key found absent and adds it to the table.
void add_pair(const Cell& map, const Cell& key, const Cell& value, Probe where) {
    Cell m = map, v = value;
    Cell k = prepare_key(key);
    SeriesBuffer* b = buffer(m);
    uint32_t at = b->length();
    if (at + 2 > kMaxCells) error::raise(ErrorId::internal_no_memory);
    Cell* c = series::reserve_cells(b, 2);
    c[0] = k;
    c[1] = v;
    index_new_key(m, at, where);
}

// put, set-path and extend: none! removes the key; a removed key put again is live again.
Cell write(const Cell& map, const Cell& key, const Cell& value, bool case_) {
    Cell m = map, k = key, v = value;
    if (!valid_key_type_q(type_of(k))) error::raise(ErrorId::script_invalid_path, cell::datatype(type_of(k)), k);
    Probe where = probe(m, k, op_of(case_, false));
    int64_t at = where.position;
    if (is(v, TypeId::none)) {
        if (at >= 0) hashtable::delete_(m.data3, cells(m) + at);
        return v;
    }
    if (at < 0) {
        add_pair(m, k, v, where);
        return v;
    }
    if (removed_q(cells(m)[at + 1])) ++hashtable::record(m.data3).count;
    cells(m)[at + 1] = v;
    return v;
}

// The value cell of a live entry, or null.
const Cell* live_value(const Cell& map, const Cell& key, CompareOp op) {
    int64_t at = lookup(map, key, op);
    if (at < 0) return nullptr;
    const Cell* v = cells(map) + at + 1;
    return removed_q(*v) ? nullptr : v;
}

// Indexes a map's fresh block of pairs in place: keys normalised, new-line flags cleared, and a
// repeated key (compared without case) takes the later value while its pair leaves the block.
void index_pairs(const Cell& map) {
    Cell m = map;
    uint32_t n = total(m) & ~1u;
    uint32_t kept = 0;
    for (uint32_t r = 0; r < n; r += 2) {
        Cell k = cells(m)[r], v = cells(m)[r + 1];
        cell::clear_new_line(v);
        if (!valid_key_type_q(type_of(k))) error::raise(ErrorId::script_invalid_path, cell::datatype(type_of(k)), k);
        Probe where = probe(m, k, CompareOp::equal);
        if (where.position >= 0) {
            cells(m)[where.position + 1] = v;
            continue;
        }
        k = prepare_key(k);
        cells(m)[kept] = k;
        cells(m)[kept + 1] = v;
        index_new_key(m, kept, where);
        kept += 2;
    }
    buffer(m)->tail = buffer(m)->head + size_t(kept) * sizeof(Cell);
}

// A map over `block` (head 0), holding `pairs` pairs now.
Cell over_block(Node block, uint32_t pairs) {
    Cell* m = stack::push(cell::make(TypeId::map, 0, block, 0));
    // Handed in at its tail, the block is not indexed by the table: index_pairs does it.
    Cell at_tail = cell::make(TypeId::block, memory::buffer_of(block)->length(), block, 0);
    // Room for the pairs below half full (grow_at_half).
    m->data3 = hashtable::make(uint32_t(std::min<uint64_t>(uint64_t(pairs) * 2, kMaxCells)), &at_tail, hashtable::kMap, 0);
    index_pairs(*m);
    Cell result = *m;
    stack::pop(1);
    return result;
}

Cell empty(int64_t pairs) {
    if (pairs * 2 > kMaxCells) error::raise(ErrorId::internal_no_memory);
    Node block = series::alloc_cells(uint32_t(std::max<int64_t>(pairs * 2, 2)));
    return over_block(block, uint32_t(pairs));
}

// A shallow copy of the cells of a block from its head, as a new map.
Cell from_block(const Cell& spec) {
    Cell s = spec;
    uint32_t n = block::length_from_head(s);
    if (n % 2) error::raise(ErrorId::script_invalid_arg, spec);
    Node block = series::alloc_cells(std::max<uint32_t>(n, 2));
    SeriesBuffer* b = memory::buffer_of(block);
    std::memcpy(b->head, block::cell_at(s, s.data1), size_t(n) * sizeof(Cell));
    b->tail = b->head + size_t(n) * sizeof(Cell);
    return over_block(block, n / 2);
}

int32_t write_text(Node string, std::string_view text, int32_t limit) {
    text::append_ascii(string, text);
    return limit - int32_t(text.size());
}

int32_t mold_one(const Cell& v, Node string, bool all, bool flat, const Cell* part, int32_t limit,
                 int32_t indent) {
    MoldAction m = registry::actions(type_of(v)).mold;
    if (!m) error::raise(ErrorId::internal_not_done);
    return m(v, string, false, all, flat, part, limit, indent);
}

// The pairs, key and value molded and one space apart. Molding, each pair ends in a line
// feed and, unless `only` or `flat`, the body starts with one and each pair is indented at
// `level`; with `flat`, and when forming, pairs are separated instead (by a space, by a line
// feed).
int32_t mold_body(const Cell& map, Node string, bool only, bool all, bool flat, const Cell* part,
                  int32_t limit, int32_t level, bool molding) {
    Cell m = map;
    if (size(m) == 0) return limit;
    bool lines = molding && !only && !flat;
    if (lines) limit = write_text(string, "\n", limit);
    bool first = true;
    for (uint32_t i = 0; i + 1 < total(m); i += 2) {
        if (part && limit < 1) break;
        Cell k = cells(m)[i], v = cells(m)[i + 1];
        if (removed_q(v)) continue;
        if (!first && (flat || !molding)) limit = write_text(string, flat ? " " : "\n", limit);
        first = false;
        if (lines) limit = mold::indent(string, level, limit);
        limit = mold_one(k, string, all, flat, part, limit, level);
        limit = write_text(string, " ", limit);
        limit = mold_one(v, string, all, flat, part, limit, level);
        if (molding && !flat) limit = write_text(string, "\n", limit);
    }
    return limit;
}

int32_t compare_values(const Cell& a, const Cell& b, CompareOp op) {
    CompareAction c = registry::actions(type_of(a)).compare;
    return c ? c(a, b, op) : kNotComparable;
}

// Whether every live pair of `a` has its key in `b` with an equal value.
bool same_pairs_q(const Cell& a, const Cell& b, CompareOp op) {
    bool strict = op == CompareOp::strict_equal;
    CompareOp value_op = strict ? op : op == CompareOp::find ? op : CompareOp::equal;
    for (uint32_t i = 0; i + 1 < total(a); i += 2) {
        Cell k = cells(a)[i], v = cells(a)[i + 1];
        if (removed_q(v)) continue;
        if (strict) {
            const Cell* w = live_value(b, k, op);
            if (!w || compare_values(v, *w, value_op) != 0) return false;
            continue;
        }
        // Several keys of `b` may equal this one (case variants put with `case`).
        bool found = false;
        int32_t bucket = -1, end = 0, step = 0;
        while (Cell* c = hashtable::find_next(b.data3, k, bucket, end, step)) {
            Cell w = c[1];
            if (!removed_q(w) && compare_values(v, w, value_op) == 0) {
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

// The kinds a copy with a types argument copies again.
bool copyable_q(TypeId t) {
    return series_::series_type_q(t) || t == TypeId::bitset || t == TypeId::object ||
           t == TypeId::error || t == TypeId::map;
}

// Replaces the cell at `i` of the map's block by its copy.
void copy_cell(const Cell& map, uint32_t i, bool deep, const Cell* types) {
    Cell c = cells(map)[i];
    CopyAction cp = registry::actions(type_of(c)).copy;
    if (!cp) return;
    Cell* slot = stack::push(cell::unset());
    cp(c, *slot, nullptr, deep, types);
    Cell fresh = *slot;
    stack::pop(1);
    fresh.header = (fresh.header & cell_flag::type_mask) | (c.header & ~cell_flag::type_mask);
    cells(map)[i] = fresh;
}

bool named_q(const Cell& types, TypeId t) {
    return is(types, TypeId::datatype) ? TypeId(types.data1) == t : typeset::has_q(types, t);
}

}  // namespace

bool valid_key_type_q(TypeId t) {
    switch (t) {
        case TypeId::string: case TypeId::file: case TypeId::url: case TypeId::char_:
        case TypeId::integer: case TypeId::float_: case TypeId::word: case TypeId::set_word:
        case TypeId::lit_word: case TypeId::get_word: case TypeId::refinement: case TypeId::issue:
        case TypeId::pair: case TypeId::percent: case TypeId::tuple: case TypeId::binary:
        case TypeId::time: case TypeId::tag: case TypeId::email: case TypeId::date:
        case TypeId::money: case TypeId::ref: case TypeId::point2d: case TypeId::point3d:
            return true;
        default:
            return false;
    }
}

uint32_t size(const Cell& map) { return hashtable::record(map.data3).count; }

Cell* push(const Cell& map) { return stack::push(map); }

Cell& init_cell(Cell& c, const Cell* block, uint32_t capacity) {
    if (!block) {
        c = empty(capacity);
        return c;
    }
    Cell b = *block;
    if (b.data1 != 0) {
        c = from_block(b);
        return c;
    }
    uint32_t n = series_::total_length(b);
    if (n % 2) error::raise(ErrorId::script_invalid_arg, b);
    c = over_block(b.data2, n / 2);
    return c;
}

void extend(const Cell& map, const Cell& block, bool case_) {
    Cell m = map, b = block;
    uint32_t n = block::length_from_head(b);
    if (n % 2) error::raise(ErrorId::script_invalid_arg, b);
    uint64_t need = (uint64_t(total(m)) + n) * sizeof(Cell);
    if (need > uint64_t(kMaxCells) * sizeof(Cell)) error::raise(ErrorId::internal_no_memory);
    SeriesBuffer* mb = buffer(m);
    if (mb->head + need > mb->end()) series::expand(mb, uint32_t(need));
    for (uint32_t i = 0; i < n; i += 2) {
        Cell k = *block::cell_at(b, b.data1 + i), v = *block::cell_at(b, b.data1 + i + 1);
        write(m, k, v, case_);
    }
}

bool foreach_set_words(const Cell& words, Cell& map, uint32_t count) {
    Cell w = words;
    bool any = false;
    for (uint32_t i = 0; i < count; ++i) {
        Cell word = *block::cell_at(w, w.data1 + i);
        TypeId t = type_of(word);
        if (t != TypeId::word && t != TypeId::set_word && t != TypeId::get_word && t != TypeId::lit_word)
            error::raise(ErrorId::script_invalid_arg, word);
        while (map.data1 % 2 == 0 && map.data1 + 1 < total(map) && removed_q(cells(map)[map.data1 + 1]))
            map.data1 += 2;
        if (map.data1 < total(map)) {
            bool key = map.data1 % 2 == 0;
            Cell v = cells(map)[map.data1++];
            word::set(word, key ? given_key(v) : v);
            any = true;
        } else {
            word::set(word, cell::none());
        }
    }
    return any;
}

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId type) {
    switch (type_of(spec)) {
        case TypeId::block: case TypeId::paren: case TypeId::hash:
            return from_block(spec);
        case TypeId::integer: case TypeId::float_: {
            int32_t n = is(spec, TypeId::integer)
                            ? cell::get_integer(spec)
                            : number::to_int32(cell::get_float(spec), ErrorId::script_out_of_range, spec);
            if (n < 0) error::raise(ErrorId::script_out_of_range, spec);
            return empty(n);
        }
        case TypeId::map: {
            Cell result = cell::unset();
            copy(spec, result, nullptr, false, nullptr);
            return result;
        }
        default:
            error::raise(ErrorId::script_bad_to_arg, cell::datatype(type), spec);
    }
}

Cell to(const Cell& proto, const Cell& spec, TypeId type) {
    if (is(spec, TypeId::integer) || is(spec, TypeId::float_))
        error::raise(ErrorId::script_bad_to_arg, cell::datatype(type), spec);
    return make(proto, spec, type);
}

Cell reflect(const Cell& value, uint32_t field) {
    bool keys = field == sym::words || field == sym::body;
    bool values = field == sym::values || field == sym::body;
    if (!keys && !values) error::raise(ErrorId::internal_not_done);
    Cell m = value;
    uint32_t n = size(m) * (keys && values ? 2 : 1);
    Cell* out = stack::push(cell::unset());
    block::init_cell(*out, int32_t(n));
    for (uint32_t i = 0; i + 1 < total(m); i += 2) {
        Cell k = cells(m)[i], v = cells(m)[i + 1];
        if (removed_q(v)) continue;
        if (keys && values) {
            // One pair per line when the body is molded.
            k.header |= cell_flag::new_line;
            block::append_cell(*out, k);
        } else if (keys) {
            block::append_cell(*out, given_key(k));
        }
        if (values) block::append_cell(*out, v);
    }
    Cell result = *out;
    stack::pop(1);
    return result;
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    if (cycles::mold_marker(value, string, limit, false)) return limit;
    cycles::push(value.data2);
    limit = mold_body(value, string, false, false, false, part, limit, 0, false);
    cycles::pop();
    return limit;
}

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    if (cycles::mold_marker(value, string, limit, true)) return limit;
    if (!only) limit = write_text(string, "#[", limit);
    cycles::push(value.data2);
    int32_t before = limit;
    limit = mold_body(value, string, only, all, flat, part, limit, indent + 1, true);
    cycles::pop();
    if (only) return limit;
    if (limit != before && indent > 0 && !flat) limit = mold::indent(string, indent, limit);
    return write_text(string, "]", limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    if (value) return write(parent, element, *value, step.case_);
    const Cell* v = live_value(parent, element, op_of(step.case_, false));
    return v ? *v : cell::none();
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::map)) return kNotComparable;
    // Keeps maps apart in a sort, in no meaningful order.
    if (op == CompareOp::sort || op == CompareOp::case_sort)
        return a.data2 < b.data2 ? -1 : a.data2 > b.data2 ? 1 : 0;
    if (!equality_q(op)) return kNotComparable;
    if (a.data2 == b.data2 && a.data1 == b.data1) return 0;
    if (op == CompareOp::same) return -1;
    if (cycles::find_q(a.data2)) return cycles::find_q(b.data2) ? 0 : -1;
    if (size(a) != size(b)) return 1;
    if (size(a) == 0) return 0;
    cycles::push(a.data2);
    cycles::push(b.data2);
    bool same = same_pairs_q(a, b, op);
    cycles::pop_n(2);
    return same ? 0 : 1;
}

void clear(Cell& map) {
    hashtable::clear(map.data3);
    buffer(map)->tail = buffer(map)->head;
}

void copy(const Cell& value, Cell& result, const Cell*, bool deep, const Cell* types) {
    Cell m = value;
    if (deep) {
        if (cycles::find_q(m.data2)) {
            cycles::reset();
            error::raise(ErrorId::internal_no_cycle);
        }
        cycles::push(m.data2);
    }
    Cell* dup = block::duplicate(cell::make(TypeId::block, 0, m.data2, 0), false, false);
    dup->header = uint32_t(TypeId::map);
    dup->data3 = hashtable::copy(m.data3, dup->data2);
    Cell copied = *dup;
    for (uint32_t i = 0; i < total(copied); ++i) {
        Cell c = cells(copied)[i];
        TypeId t = type_of(c);
        bool value_cell = i % 2 == 1;
        if (value_cell && removed_q(c)) continue;
        if (types && value_cell && named_q(*types, t) && copyable_q(t)) {
            copy_cell(copied, i, deep, types);
        } else if (deep && series_::any_block_q(t)) {
            copy_cell(copied, i, true, nullptr);
        }
    }
    stack::pop(1);
    if (deep) cycles::pop();
    result = copied;
}

Cell find(const Cell& map, const Cell& value, const FindOptions& options) {
    int64_t at = lookup(map, value, op_of(options.case_, options.same));
    if (at < 0 || removed_q(cells(map)[at + 1])) return cell::none();
    return given_key(cells(map)[at]);
}

int32_t length_q(const Cell& map) { return int32_t(size(map)); }

Cell put(const Cell& map, const Cell& key, const Cell& value, bool case_) {
    return write(map, key, value, case_);
}

void remove(Cell& map, const Cell*, const Cell* key) {
    if (!key) error::raise(ErrorId::script_missing_arg);
    int64_t at = lookup(map, *key, CompareOp::strict_equal);
    if (at >= 0) hashtable::delete_(map.data3, cells(map) + at);
}

Cell select(const Cell& map, const Cell& value, const FindOptions& options) {
    const Cell* v = live_value(map, value, op_of(options.case_, options.same));
    return v ? *v : cell::none();
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::map, {.data2 = gc::Ref::block, .data3 = gc::Ref::table});
    registry::define(TypeId::map, {.make = make, .reflect = reflect, .to = to, .form = form,
                                   .mold = mold, .eval_path = eval_path, .compare = compare,
                                   .clear = clear, .copy = copy, .find = find, .length_q = length_q,
                                   .put = put, .remove = remove, .select = select});
}

}  // namespace kaz::map
