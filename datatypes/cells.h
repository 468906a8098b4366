// The words of the datatypes' cells, by name: each family's layout in one place. New code
// reads and writes cells through these; older code is converted as it changes. (Series values
// and plain scalars are in runtime/cell.h.)
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/cell.h"

namespace kaz {

// word!, set-word!, lit-word!, get-word!, refinement!: the context the word is bound to (0:
// none), its symbol, and its position in that context (word::kNoIndex until looked up).
namespace word_cell {
constexpr Node context(const Cell& c) { return c.data1; }
constexpr uint32_t symbol(const Cell& c) { return c.data2; }
constexpr uint32_t index(const Cell& c) { return c.data3; }
inline void bind(Cell& c, Node context, uint32_t index) {
    c.data1 = context;
    c.data3 = index;
}
inline void set_symbol(Cell& c, uint32_t symbol) { c.data2 = symbol; }
}  // namespace word_cell

// symbol!: the id of the earlier symbol its name equals without case (-1 for a canonical
// one), the node of its name as a string! (0 until made), the node of its UTF-8 name.
namespace symbol_cell {
constexpr uint32_t alias(const Cell& c) { return c.data1; }
constexpr Node string(const Cell& c) { return c.data2; }
constexpr Node utf8(const Cell& c) { return c.data3; }
}  // namespace symbol_cell

// context!: the word table, and the values (a block's node, or for values on the data stack
// the running call's first argument index plus one, 0 when not running); a copy of the cell
// that a callable keeps also names the context record.
namespace context_cell {
constexpr Node words(const Cell& c) { return c.data1; }
constexpr uint32_t values(const Cell& c) { return c.data2; }
constexpr Node record(const Cell& c) { return c.data3; }
inline void set(Cell& c, Node words, uint32_t values) {
    c.data1 = words;
    c.data2 = values;
}
}  // namespace context_cell

// object!, error!, port!: the context record, the class id, and the node of its change
// handlers' information (0 when it has none).
namespace object_cell {
constexpr Node context(const Cell& c) { return c.data1; }
constexpr uint32_t class_id(const Cell& c) { return c.data2; }
constexpr Node handlers(const Cell& c) { return c.data3; }
constexpr bool notifies_q(const Cell& c) { return c.data3 != 0; }
inline void set_context(Cell& c, Node context) { c.data1 = context; }
}  // namespace object_cell

// native!, action!, op!, function!, routine!: for natives and actions the number in their
// table, for the others the context record; the spec block; the more-block.
namespace callable_cell {
constexpr uint32_t number(const Cell& c) { return c.data1; }
constexpr Node context(const Cell& c) { return c.data1; }
constexpr Node spec(const Cell& c) { return c.data2; }
constexpr Node more(const Cell& c) { return c.data3; }
}  // namespace callable_cell

// map! and hash!: the block of cells, and the hash table's record.
namespace table_cell {
constexpr Node block(const Cell& c) { return c.data2; }
constexpr Node table(const Cell& c) { return c.data3; }
}  // namespace table_cell

// handle!: its kind (what the handle names), the native handle, and the index of the
// external-resource record that releases it (-1 when none does).
namespace handle_cell {
constexpr int32_t kind(const Cell& c) { return int32_t(c.data1); }
constexpr uint32_t value(const Cell& c) { return c.data2; }
constexpr int32_t resource(const Cell& c) { return int32_t(c.data3); }
constexpr Cell make(int32_t kind, uint32_t value, int32_t resource) {
    return cell::make(TypeId::handle, uint32_t(kind), value, uint32_t(resource));
}
}  // namespace handle_cell

// pair!: x and y, signed 32-bit integers in data2 and data3 (data1 unused, 0).
namespace pair_cell {
constexpr int32_t x(const Cell& c) { return int32_t(c.data2); }
constexpr int32_t y(const Cell& c) { return int32_t(c.data3); }
constexpr Cell make(int32_t x, int32_t y) { return cell::make(TypeId::pair, 0, uint32_t(x), uint32_t(y)); }
inline void set_x(Cell& c, int32_t x) { c.data2 = uint32_t(x); }
inline void set_y(Cell& c, int32_t y) { c.data3 = uint32_t(y); }
}  // namespace pair_cell

// point2D! and point3D!: the coordinates x, y (and z) as 32-bit floats in data1, data2 (and
// data3); a point2D! leaves data3 0.
namespace point_cell {
inline float get(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline uint32_t put(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}
// Coordinate i, 0 for x.
inline float coordinate(const Cell& c, int i) { return get(i == 0 ? c.data1 : i == 1 ? c.data2 : c.data3); }
inline void set_coordinate(Cell& c, int i, float v) { (i == 0 ? c.data1 : i == 1 ? c.data2 : c.data3) = put(v); }
inline Cell make2(float x, float y) { return cell::make(TypeId::point2d, put(x), put(y), 0); }
inline Cell make3(float x, float y, float z) { return cell::make(TypeId::point3d, put(x), put(y), put(z)); }
}  // namespace point_cell

// tuple!: n bytes (3 to 12) from the lowest byte of data1 on, the count in header bits 19-22;
// the bytes past n are always 0, so the three words compare and hash as they stand.
namespace tuple_cell {
inline constexpr uint32_t kMaxBytes = 12;
inline constexpr uint32_t kCountShift = 19;
inline constexpr uint32_t kCountMask = 0xFu << kCountShift;
constexpr uint32_t count(const Cell& c) { return (c.header & kCountMask) >> kCountShift; }
inline void set_count(Cell& c, uint32_t n) { c.header = (c.header & ~kCountMask) | (n << kCountShift); }
constexpr uint8_t byte(const Cell& c, uint32_t i) {
    uint32_t word = i < 4 ? c.data1 : i < 8 ? c.data2 : c.data3;
    return uint8_t(word >> (8 * (i % 4)));
}
inline void set_byte(Cell& c, uint32_t i, uint8_t b) {
    uint32_t& word = i < 4 ? c.data1 : i < 8 ? c.data2 : c.data3;
    uint32_t shift = 8 * (i % 4);
    word = (word & ~(0xFFu << shift)) | (uint32_t(b) << shift);
}
// A tuple of n bytes, all 0.
constexpr Cell make(uint32_t n) { return Cell{uint32_t(TypeId::tuple) | (n << kCountShift), 0, 0, 0}; }
}  // namespace tuple_cell

}  // namespace kaz
