// series! — the actions every series type inherits.
#include "datatypes/series.h"
#include "datatypes/hash.h"
#include "datatypes/vector.h"

#include <algorithm>
#include <cstring>

#include "datatypes/internal.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kaz::series_ {


namespace {

// ---- helpers ----

Cell refinement_as_word(const Cell& refinement) {
    Cell w = refinement;
    cell::set_type(w, TypeId::word);
    return w;
}

uint8_t* unit_address(SeriesBuffer* b, uint32_t i) { return b->head + size_t(i) * b->unit(); }


// The rehash of a hash! whose cells changed.
void changed(const Cell& series) {
    if (is(series, TypeId::hash)) hash::rehash(series);
}

// Exchanges two runs of `bytes` bytes that do not overlap.
void swap_bytes(uint8_t* a, uint8_t* b, size_t bytes) {
    uint8_t tmp[64];
    while (bytes) {
        size_t n = std::min(bytes, sizeof tmp);
        std::memcpy(tmp, a, n);
        std::memcpy(a, b, n);
        std::memcpy(b, tmp, n);
        a += n;
        b += n;
        bytes -= n;
    }
}

// The position pick and poke address: 1-based from the head for i > 0, before the head for
// i < 0; -1 for 0 or outside the buffer.
int64_t pick_position(const Cell& series, int32_t i) {
    if (i == 0) return -1;
    int64_t pos = int64_t(std::min(series.data1, total_length(series))) + i - (i > 0 ? 1 : 0);
    if (pos < 0 || pos >= int64_t(total_length(series))) return -1;
    return pos;
}

Cell word_named(const char* name) { return word::from_c_string(name); }

}  // namespace

// ---- helpers ----

uint32_t length_from_head(Cell& series, bool whole) {
    uint32_t n = total_length(series);
    if (whole) return n;
    if (series.data1 >= n) {
        series.data1 = n;
        return 0;
    }
    return n - series.data1;
}

bool skip_within(Cell& series, int32_t n) {
    uint32_t total = total_length(series);
    int64_t h = int64_t(series.data1) + n;
    if (h >= 0 && h <= int64_t(total)) series.data1 = uint32_t(h);
    return series.data1 >= total;
}

uint32_t at_index(const Cell& series, int32_t i, bool at) {
    int64_t n = total_length(series);
    int64_t h = std::min<int64_t>(series.data1, n);
    int64_t target = at && i >= 1 ? h + i - 1 : h + i;
    return uint32_t(std::clamp<int64_t>(target, 0, n));
}

Cell part_word() { return refinement_as_word(words::part_refinement); }
Cell skip_word() { return refinement_as_word(words::skip_refinement); }
Cell compare_word() { return refinement_as_word(words::compare_refinement); }

int32_t part_count(const Cell& series, const Cell& part) {
    if (is(part, TypeId::integer)) return cell::get_integer(part);
    if (same_series_q(series, part)) {
        uint32_t n = total_length(series);
        return int32_t(std::min(part.data1, n)) - int32_t(std::min(series.data1, n));
    }
    error::raise(ErrorId::script_invalid_refine_arg, part_word(), part);
}

bool notify(const Cell& series, const Cell& action, const Cell* value, int32_t index, int32_t part) {
    return ownership::owned_q(series) && ownership::notify_change(series, action, value, index, part);
}

void remove_units(const Cell& series, uint32_t start, uint32_t count) {
    SeriesBuffer* b = buffer(series);
    uint32_t n = b->length();
    if (start >= n || count == 0) return;
    count = std::min(count, n - start);
    uint32_t unit = b->unit();
    uint8_t* from = unit_address(b, start);
    std::memmove(from, from + size_t(count) * unit, size_t(n - start - count) * unit);
    b->tail -= size_t(count) * unit;
}

// Inline in copy, where most copies of short strings pass.
[[gnu::always_inline]] static inline Node copy_units_inline(const Cell& series, uint32_t start, uint32_t count) {
    uint32_t unit = buffer(series)->unit();
    Node n = series::alloc(std::max<uint32_t>(count, 1), unit, 0);
    SeriesBuffer* from = buffer(series);  // may have moved
    SeriesBuffer* to = memory::buffer_of(n);
    memory::copy_bytes(to->head, from->head + size_t(start) * unit, size_t(count) * unit);
    to->tail = to->head + size_t(count) * unit;
    constexpr uint32_t kept = series_flag::owned | series_flag::big | series_flag::in_heap |
                              series_flag::mark | series_flag::centered;
    to->flags = (from->flags & ~kept) | (to->flags & kept & ~series_flag::owned);
    return n;
}

Node copy_units(const Cell& series, uint32_t start, uint32_t count) {
    return copy_units_inline(series, start, count);
}

SeriesBuffer* open_gap(const Cell& series, uint32_t at, uint32_t count) {
    SeriesBuffer* b = buffer(series);
    uint32_t unit = b->unit();
    uint64_t need = uint64_t(b->used()) + uint64_t(count) * unit;
    if (need > 0x7FFF'0000ULL) error::raise(ErrorId::internal_no_memory);
    if (b->head + need > b->end()) b = series::expand(b, uint32_t(std::max<uint64_t>(need * 2, 16)));
    uint8_t* p = unit_address(b, at);
    std::memmove(p + size_t(count) * unit, p, size_t(b->tail - p));
    b->tail += size_t(count) * unit;
    return b;
}

Cell unit_value(const Cell& series, uint32_t i) {
    SeriesBuffer* b = buffer(series);
    const uint8_t* p = unit_address(b, i);
    TypeId t = type_of(series);
    if (any_block_q(t) || t == TypeId::map) return *reinterpret_cast<const Cell*>(p);
    if (t == TypeId::vector) return vector::element_to_cell(series, p);
    if (t == TypeId::binary) return cell::integer(*p);
    return cell::make(TypeId::char_, 0, string::get_char(p, b->unit()), 0);
}

// ---- actions ----

void random(Cell& value, bool seed, bool secure, bool only) {
    if (seed) {
        SeriesBuffer* b = buffer(value);
        uint32_t h = std::min(value.data1, b->length());
        const uint8_t* start = unit_address(b, h);
        random::seed(murmur3::hash_bytes(start, uint32_t(b->tail - start)));
        value = cell::unset();
        return;
    }
    uint32_t len = length_from_head(value);
    if (only) {
        value = len == 0 ? cell::none() : unit_value(value, value.data1 + random::int_(secure, int32_t(len)) - 1);
        return;
    }
    if (len < 2) return;
    if (notify(value, words::random, nullptr, int32_t(value.data1), int32_t(len)))
        len = length_from_head(value);
    uint32_t h = value.data1;
    for (uint32_t i = h; i + 1 < h + len; ++i) {
        uint32_t j = i + uint32_t(random::int_(secure, int32_t(h + len - i))) - 1;
        if (j == i) continue;
        SeriesBuffer* b = buffer(value);
        swap_bytes(unit_address(b, i), unit_address(b, j), b->unit());
    }
    changed(value);
    notify(value, words::randomized, nullptr, int32_t(h), int32_t(len));
}

Cell reflect(const Cell& value, uint32_t field) {
    if (field != sym::owned) error::raise(ErrorId::internal_not_done);
    if (!ownership::owned_q(value)) return cell::none();
    const Cell* owner = ownership::owner_of(value.data2);
    return owner ? owner[0] : cell::none();
}

void at() {
    Cell& s = stack::base[0];
    const Cell& i = stack::base[1];
    if (!is(i, TypeId::integer)) error::raise(ErrorId::script_invalid_arg, i);
    s.data1 = at_index(s, cell::get_integer(i), true);
}

void skip() {
    Cell& s = stack::base[0];
    const Cell& i = stack::base[1];
    if (!is(i, TypeId::integer)) error::raise(ErrorId::script_invalid_arg, i);
    s.data1 = at_index(s, cell::get_integer(i), false);
}

void back() {
    Cell& s = stack::base[0];
    if (clamp_head(s) > 0) --s.data1;
}

void next() {
    Cell& s = stack::base[0];
    if (clamp_head(s) < total_length(s)) ++s.data1;
}

void head() { stack::base[0].data1 = 0; }
void tail() { stack::base[0].data1 = total_length(stack::base[0]); }

void head_q() { stack::base[0] = cell::logic(stack::base[0].data1 == 0); }
void tail_q() { stack::base[0] = cell::logic(at_tail_q(stack::base[0])); }
// The head as it stands, even past a shrunk tail.
void index_q() { stack::base[0] = cell::integer(int32_t(stack::base[0].data1 + 1)); }

int32_t length_q(const Cell& series) {
    uint32_t n = total_length(series);
    return series.data1 >= n ? 0 : int32_t(n - series.data1);
}

void clear(Cell& series) {
    uint32_t h = clamp_head(series);
    uint32_t n = total_length(series);
    if (h >= n) return;
    if (notify(series, words::clear, nullptr, int32_t(h), int32_t(n - h))) {
        h = clamp_head(series);
        n = total_length(series);
    }
    SeriesBuffer* b = buffer(series);
    b->tail = unit_address(b, h);
    changed(series);
    notify(series, words::cleared, nullptr, int32_t(h), int32_t(n - h));
}

void copy(const Cell& value, Cell& result, const Cell* part, bool, const Cell*) {
    Cell s = value;
    uint32_t n = total_length(s);
    int64_t start = std::min(s.data1, n);
    int64_t count = int64_t(n) - start;
    if (part) {
        if (is(*part, TypeId::pair)) {
            int32_t x = int32_t(part->data2), y = int32_t(part->data3);
            start += x < 0 ? int64_t(x) : int64_t(x) - 1;
            start = std::clamp<int64_t>(start, 0, n);
            count = y >= x ? int64_t(y) - x : 0;
        } else {
            count = part_count(s, *part);
        }
        if (count < 0) {
            int64_t from = std::max<int64_t>(start + count, 0);
            count = start - from;
            start = from;
        }
    }
    count = std::clamp<int64_t>(count, 0, int64_t(n) - start);
    Node node = copy_units_inline(s, uint32_t(start), uint32_t(count));
    // A string's data3 is its own conversion cache: never shared with the copy. `s`, not `value`:
    // the allocation may have moved where `value` lies.
    uint32_t data3 = is(s, TypeId::vector) ? s.data3 : 0;
    result = cell::make(type_of(s), 0, node, data3);
    result.header = s.header;
}

Cell move(const Cell& origin, const Cell& target, const Cell* part) {
    TypeId st = type_of(origin), tt = type_of(target);
    if (!series_type_q(tt))
        error::raise(ErrorId::script_expect_arg, words::move, cell::datatype(tt), word_named("target"));
    Cell src = origin, dst = target;
    uint32_t s = clamp_head(src);
    uint32_t n = total_length(src);
    if (s >= n) return target;
    int64_t want = 1;
    if (part) {
        if (!is(*part, TypeId::integer)) error::raise(ErrorId::script_invalid_refine_arg, part_word(), *part);
        want = cell::get_integer(*part);
        if (want < 1) return target;
    }
    uint32_t k = uint32_t(std::min<int64_t>(want, n - s));
    // The run as the source now stands: the owners' handlers may change either series.
    auto measure = [&] {
        s = clamp_head(src);
        n = total_length(src);
        k = s < n ? uint32_t(std::min<int64_t>(want, n - s)) : 0;
    };

    if (src.data2 != dst.data2) {
        bool src_text = any_string_q(st), dst_text = any_string_q(tt);
        if ((any_block_q(st) && dst_text) || (src_text && any_block_q(tt)))
            error::raise(ErrorId::script_move_bad, cell::datatype(st), cell::datatype(tt));
        uint32_t su = 0, du = 0;
        auto units = [&] {
            su = buffer(src)->unit();
            du = buffer(dst)->unit();
            if (su != du && !(src_text && dst_text))
                error::raise(ErrorId::script_move_bad, cell::datatype(st), cell::datatype(tt));
        };
        units();
        // The destination changes too: its owner hears of it as well.
        uint32_t d = clamp_head(dst);
        bool ran = notify(src, words::move, nullptr, int32_t(s), int32_t(k));
        ran |= notify(dst, words::move, nullptr, int32_t(d), int32_t(k));
        if (ran) {
            measure();
            d = clamp_head(dst);
            units();
        }
        if (k) {
            if (su > du) {
                string::widen_to(buffer(dst), su);
                du = su;
            }
            SeriesBuffer* to = open_gap(dst, d, k);
            SeriesBuffer* from = buffer(src);
            if (su == du) {
                std::memcpy(unit_address(to, d), unit_address(from, s), size_t(k) * su);
            } else {
                for (uint32_t i = 0; i < k; ++i)
                    string::put_char(unit_address(to, d + i), du, string::get_char(unit_address(from, s + i), su));
            }
            remove_units(src, s, k);
            changed(src);
            changed(dst);
        }
        notify(src, words::moved, nullptr, int32_t(s), int32_t(k));
        notify(dst, words::moved, nullptr, int32_t(d), int32_t(k));
        return target;
    }

    uint32_t d = 0;
    // Where the run goes in its own series; false when there is nothing to do.
    auto placed = [&] {
        d = std::min(dst.data1, n);
        if (k == 0 || d == s) return false;
        if (d > s && d != n && n - d < k) return false;
        return !(d > s && d < s + k);  // into its own run: nothing sensible to do
    };
    if (!placed()) return d == s ? target : origin;
    bool moving = true;
    if (notify(src, words::move, nullptr, int32_t(s), int32_t(k))) {
        measure();
        moving = placed();
    }
    if (moving) {
        SeriesBuffer* b = buffer(src);
        uint32_t unit = b->unit();
        size_t bytes = size_t(k) * unit;
        // The run waits in a series of its own: copying it may move this buffer.
        Node run = copy_units(src, s, k);
        b = buffer(src);
        uint32_t place;
        if (d > s) {
            // Closing the gap brings the unit at d down to d - k; the run goes after it.
            place = d == n ? n - k : d - k + 1;
            uint8_t* from = unit_address(b, s);
            std::memmove(from, from + bytes, size_t(place - s) * unit);
        } else {
            place = d;
            uint8_t* to = unit_address(b, d);
            std::memmove(to + bytes, to, size_t(s - d) * unit);
        }
        std::memcpy(unit_address(b, place), memory::buffer_of(run)->head, bytes);
        changed(src);
    }
    notify(src, words::moved, nullptr, int32_t(s), int32_t(k));
    return target;
}

Cell pick(const Cell& series, int32_t index, const Cell&) {
    int64_t pos = pick_position(series, index);
    return pos < 0 ? cell::none() : unit_value(series, uint32_t(pos));
}

Cell poke(const Cell& series, int32_t index, const Cell& index_value, const Cell& value) {
    int64_t pos = pick_position(series, index);
    if (pos < 0) error::raise(ErrorId::script_out_of_range, index_value);
    TypeId t = type_of(series);
    Cell v = value;
    if (t == TypeId::vector && type_of(v) != TypeId(series.data3)) error::raise(ErrorId::script_invalid_arg, v);
    if (any_string_q(t) && !is(v, TypeId::char_)) error::raise(ErrorId::script_invalid_arg, v);
    if (t == TypeId::binary && !is(v, TypeId::integer) && !is(v, TypeId::char_))
        error::raise(ErrorId::script_invalid_arg, v);
    if (notify(series, words::poke, &v, int32_t(pos), 1)) {
        pos = pick_position(series, index);
        if (pos < 0) error::raise(ErrorId::script_out_of_range, index_value);
    }
    uint32_t i = uint32_t(pos);
    SeriesBuffer* b = buffer(series);
    if (any_block_q(t) || t == TypeId::map) {
        b->cells()[i] = v;
        changed(series);
    } else if (t == TypeId::vector) {
        vector::set_element(unit_address(b, i), v, b->unit());
    } else if (t == TypeId::binary) {
        *unit_address(b, i) = uint8_t(v.data2);
    } else {
        b = string::widen_to(b, string::unit_for(v.data2));
        string::put_char(unit_address(b, i), b->unit(), v.data2);
    }
    notify(series, words::poked, &v, int32_t(i), 1);
    return v;
}

void remove(Cell& series, const Cell* part, const Cell* key) {
    uint32_t h = clamp_head(series);
    int64_t count = 1;
    if (part) count = part_count(series, *part);
    uint32_t start = h;
    if (key) {
        FindOptions o;
        o.case_ = true;
        FindAction find = registry::actions(type_of(series)).find;
        if (!find) error::raise(ErrorId::internal_not_done);
        Cell found = find(series, *key, o);
        if (is(found, TypeId::none)) {
            series = cell::none();
            return;
        }
        start = found.data1;
        count = 1 + (part ? std::max<int64_t>(count, 0) : 1);
    }
    uint32_t n = total_length(series);
    if (count < 1 || start >= n) return;
    uint32_t k = uint32_t(std::min<int64_t>(count, n - start));
    if (notify(series, gwords::remove, nullptr, int32_t(start), int32_t(k))) {
        n = total_length(series);
        k = start < n ? std::min(k, n - start) : 0;
    }
    remove_units(series, start, k);
    changed(series);
    notify(series, words::removed, nullptr, int32_t(start), int32_t(k));
}

void reverse(Cell& series, const Cell* part, const Cell* skip) {
    uint32_t h = clamp_head(series);
    uint32_t n = total_length(series);
    if (h >= n) return;
    int64_t count = part ? part_count(series, *part) : int64_t(n - h);
    if (count < 1) return;
    count = std::min<int64_t>(count, n - h);
    int64_t r = 1;
    if (skip) {
        if (!is(*skip, TypeId::integer)) error::raise(ErrorId::script_invalid_refine_arg, skip_word(), *skip);
        r = cell::get_integer(*skip);
        if (r == count) return;
        if (r < 1) error::raise(ErrorId::script_out_of_range, *skip);
        if (r > count || count % r != 0) error::raise(ErrorId::script_invalid_refine_arg, skip_word(), *skip);
    }
    if (notify(series, words::reverse, nullptr, int32_t(h), int32_t(count))) {
        h = clamp_head(series);
        n = total_length(series);
        count = std::min<int64_t>(part ? part_count(series, *part) : n - h, n - h);
        count -= count % r;  // whole records only
    }
    if (count > r) {
        SeriesBuffer* b = buffer(series);
        size_t record = size_t(r) * b->unit();
        uint8_t* lo = unit_address(b, h);
        uint8_t* hi = lo + size_t(count) * b->unit() - record;
        for (; lo < hi; lo += record, hi -= record) swap_bytes(lo, hi, record);
    }
    changed(series);
    notify(series, words::reversed, nullptr, int32_t(h), int32_t(count));
}

Cell take(const Cell& series, const Cell* part, bool, bool last) {
    Cell s = series;
    // The run taken, from the series as it stands: planned again after the owner's handler.
    uint32_t start = 0, k = 0;
    auto plan = [&] {
        uint32_t h = clamp_head(s);
        uint32_t n = total_length(s);
        if (h >= n) {
            start = k = 0;
            return false;
        }
        int64_t count = 1;
        if (part) {
            if (is(*part, TypeId::integer)) {
                count = cell::get_integer(*part);
            } else if (same_series_q(s, *part)) {
                uint32_t p = std::min(part->data1, n);
                count = p < h ? 0 : last ? int64_t(n) - p : int64_t(p) - h;
            } else {
                error::raise(ErrorId::script_invalid_refine_arg, part_word(), *part);
            }
        }
        if (count < 0 && !last) {
            start = uint32_t(std::max<int64_t>(int64_t(h) + count, 0));
            count = h - start;
            if (count == 0) count = 1;
        } else {
            if (count < 0) count = 1;
            count = std::clamp<int64_t>(count, 1, n - h);
            start = last ? n - uint32_t(count) : h;
        }
        k = uint32_t(count);
        return true;
    };
    if (!plan()) return cell::none();
    if (notify(s, words::take, nullptr, int32_t(start), int32_t(k))) plan();
    Node node = copy_units(s, start, k);
    remove_units(s, start, k);
    changed(s);
    uint32_t data3 = is(s, TypeId::vector) ? s.data3 : 0;
    Cell result = k ? cell::make(type_of(s), 0, node, data3) : cell::none();
    if (k) changed(result);
    notify(s, words::taken, nullptr, int32_t(start), int32_t(k));
    return result;
}

Cell modify(const Cell& target, const Cell& field, const Cell& value, bool) {
    if (field.data2 != sym::owned) return value;
    if (is(value, TypeId::none)) {
        ownership::unset_deep(target);
    } else if (is(value, TypeId::block) && total_length(value) >= value.data1 + 2 &&
               is(buffer(value)->cells()[value.data1], TypeId::object)) {
        const Cell* v = buffer(value)->cells() + value.data1;
        Cell owner = v[0], word = v[1];
        ownership::set_owner(target, owner, word);
    }
    return value;
}

// ---- registration ----

void init() {
    registry::define(TypeId::series, {.random = random, .reflect = reflect, .at = at, .back = back,
                                      .clear = clear, .copy = copy, .head = head, .head_q = head_q,
                                      .index_q = index_q, .length_q = length_q, .move = move,
                                      .next = next, .pick = pick, .poke = poke, .remove = remove,
                                      .reverse = reverse, .skip = skip, .tail = tail,
                                      .tail_q = tail_q, .take = take, .modify = modify});
}

}  // namespace kaz::series_
