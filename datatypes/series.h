// series! — the actions every series type shares: navigation, pick and poke, clear, remove,
// reverse, take, copy, move, random, and the helpers that clamp heads and read /part.
//
// series! itself is never the type of a value: it is registered so that block!, string! and
// image! (and through them every other series type) inherit these entries. Everything here works
// for any unit size: 16-byte cells, 1, 2 or 4-byte code points, bytes, vector elements.
//
// The module is kaz::series_ because kaz::series is the allocator's (runtime/memory.h).
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kaz::series_ {

// ---- helpers ----

inline SeriesBuffer* buffer(const Cell& series) { return memory::buffer_of(series.data2); }
// Units from the buffer start to the tail.
inline uint32_t total_length(const Cell& series) { return buffer(series)->length(); }
// The head at or past the tail.
inline bool at_tail_q(const Cell& series) { return series.data1 >= total_length(series); }
// Sets a head that lies past the tail to the tail; returns the head.
inline uint32_t clamp_head(Cell& series) {
    uint32_t n = total_length(series);
    if (series.data1 > n) series.data1 = n;
    return series.data1;
}
// Units from the head, clamping the head as above; with `whole`, the units from the buffer start.
uint32_t length_from_head(Cell& series, bool whole = false);
// Moves the head by n units when the result stays within the buffer; answers whether the head
// is then at the tail.
bool skip_within(Cell& series, int32_t n);
// The head `at` (1-based, `at` true) or `skip` (0-based) with index i gives, clamped to the
// buffer.
uint32_t at_index(const Cell& series, int32_t i, bool at);

// The series kinds whose values share one cell layout and the block actions.
constexpr bool any_block_q(TypeId t) {
    return t == TypeId::block || t == TypeId::paren || t == TypeId::hash ||
           (t >= TypeId::path && t <= TypeId::get_path);
}
constexpr bool any_string_q(TypeId t) {
    return t == TypeId::string || t == TypeId::file || t == TypeId::url || t == TypeId::tag ||
           t == TypeId::email || t == TypeId::ref;
}
// Every type whose cell is a series cell (data1 head, data2 buffer node).
constexpr bool series_type_q(TypeId t) {
    return any_block_q(t) || any_string_q(t) || t == TypeId::binary || t == TypeId::vector ||
           t == TypeId::image;
}
// Same type and same buffer: what /part accepts as an end position.
inline bool same_series_q(const Cell& a, const Cell& b) {
    return type_of(a) == type_of(b) && a.data2 == b.data2;
}

// A /part argument as a unit count from the head: an integer!, or a position in the same
// series (its head minus this head). Anything else raises script invalid-refine-arg with the
// word part and the argument.
int32_t part_count(const Cell& series, const Cell& part);
// The word naming a refinement in refinement errors (`part`, `skip`, `compare`).
Cell part_word();
Cell skip_word();
Cell compare_word();

// Tells the owner of an owned series about a change (nothing for an unowned one); true when
// the owner's handler ran. The handler is Kaz code: it may change this very series, so an
// action takes its positions and buffer pointers again after the notice it sends first.
bool notify(const Cell& series, const Cell& action, const Cell* value, int32_t index, int32_t part);

// Removes `count` units at absolute index `start`, closing the gap (count clamped to the tail).
void remove_units(const Cell& series, uint32_t start, uint32_t count);
// A new buffer holding `count` units copied from absolute index `start` of the source, with
// the source's flags except the placement and ownership bits; room for at least one unit.
Node copy_units(const Cell& series, uint32_t start, uint32_t count);
// Makes room for `count` units at absolute index `at`, moving the units after it up; the
// new units are left as they were. Returns the (possibly moved) buffer.
SeriesBuffer* open_gap(const Cell& series, uint32_t at, uint32_t count);

// The unit at absolute index i as a value: the cell of a block kind, a char! of a string
// kind, an integer! of a binary!, a number of a vector's element type.
Cell unit_value(const Cell& series, uint32_t i);


// ---- actions ----
void random(Cell& value, bool seed, bool secure, bool only);
Cell reflect(const Cell& value, uint32_t field);
void at();
void back();
void clear(Cell& series);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types);
void head();
void head_q();
void index_q();
int32_t length_q(const Cell& series);
Cell move(const Cell& origin, const Cell& target, const Cell* part);
void next();
Cell pick(const Cell& series, int32_t index, const Cell& index_value);
Cell poke(const Cell& series, int32_t index, const Cell& index_value, const Cell& value);
void remove(Cell& series, const Cell* part, const Cell* key);
void reverse(Cell& series, const Cell* part, const Cell* skip);
void skip();
void tail();
void tail_q();
// The taken units as a new series of the source's type (block! and the string types turn a
// single unit taken without /part into the element itself).
Cell take(const Cell& series, const Cell* part, bool deep, bool last);
Cell modify(const Cell& target, const Cell& field, const Cell& value, bool case_);

// ---- registration ----
void init();

}  // namespace kaz::series_
