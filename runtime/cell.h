// The value cell: every Kaz value is one 16-byte cell of four 32-bit words.
#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>

#include "runtime/numbered.h"

namespace kaz {

// Datatype ids; see types.def.
enum class TypeId : uint8_t {
    invalid = 0,
#define KAZ_TYPE(id, cname, ...) cname = id,
#include "runtime/types.def"
#undef KAZ_TYPE
};
// The ids in the order types.def lists them.
inline constexpr int kTypeIds[] = {
#define KAZ_TYPE(id, ...) id,
#include "runtime/types.def"
#undef KAZ_TYPE
};
static_assert(numbered_from_one(kTypeIds), "types.def numbers the types from 1 without gaps");
// The last type of types.def.
inline constexpr int kMaxTypeId = int(std::size(kTypeIds));
inline constexpr int kTypeCapacity = 57; // ids 0-56
static_assert(kMaxTypeId < kTypeCapacity);

// A node is a 32-bit handle naming a series buffer; 0 is "no node".
using Node = uint32_t;
inline constexpr Node kNoNode = 0;

// Header: type id in bits 0-7; the bits above are flags, kept when the type changes.
// 16-byte aligned, as every place a cell lives is: the compiler then moves a cell as one
// vector load and store, not as four words (a store pair a whole-cell load cannot forward).
struct alignas(16) Cell {
    uint32_t header;
    uint32_t data1;
    uint32_t data2;
    uint32_t data3;
};
static_assert(sizeof(Cell) == 16 && std::is_trivially_copyable_v<Cell>);

namespace cell_flag {
inline constexpr uint32_t type_mask = 0xFF;
inline constexpr uint32_t assigned = 1u << 13;  // word of a kind-2 context assigned by compiled code
inline constexpr uint32_t new_line = 1u << 30;  // mold breaks the line before this value
}  // namespace cell_flag

constexpr TypeId type_of(const Cell& c) { return TypeId(c.header & cell_flag::type_mask); }
constexpr bool is(const Cell& c, TypeId t) { return type_of(c) == t; }

namespace cell {

// Replaces the type id, keeping the flag bits above it.
inline Cell& set_type(Cell& c, TypeId t) {
    c.header = (c.header & ~cell_flag::type_mask) | uint32_t(t);
    return c;
}
inline void clear_new_line(Cell& c) { c.header &= ~cell_flag::new_line; }
inline bool new_line_q(const Cell& c) { return (c.header & cell_flag::new_line) != 0; }

inline Cell& copy(const Cell& source, Cell& target) {
    if (&source != &target) target = source;
    return target;
}

// Doubles live in data2-data3, low word first.
inline double get_float(const Cell& c) {
    double d;
    std::memcpy(&d, &c.data2, sizeof d);
    return d;
}
inline void put_float(Cell& c, double d) { std::memcpy(&c.data2, &d, sizeof d); }

constexpr Cell make(TypeId t, uint32_t d1 = 0, uint32_t d2 = 0, uint32_t d3 = 0) {
    return Cell{uint32_t(t), d1, d2, d3};
}
constexpr Cell unset() { return make(TypeId::unset); }
constexpr Cell none() { return make(TypeId::none); }
constexpr Cell logic(bool b) { return make(TypeId::logic, b ? 1 : 0); }
constexpr Cell integer(int32_t v) { return make(TypeId::integer, 0, uint32_t(v)); }
constexpr Cell datatype(TypeId t) { return make(TypeId::datatype, uint32_t(t)); }
inline Cell float_(double d) {
    Cell c = make(TypeId::float_);
    put_float(c, d);
    return c;
}

constexpr int32_t get_integer(const Cell& c) { return int32_t(c.data2); }

}  // namespace cell

// ---- the words of each family of cells, by name ----
// New code reads and writes cells through these; older code is converted as it changes.

// A series value (block!, string!, binary!... and the path and text types): its position, and
// the node of its buffer.
namespace series_cell {
constexpr uint32_t head(const Cell& c) { return c.data1; }
constexpr Node node(const Cell& c) { return c.data2; }
inline void set_head(Cell& c, uint32_t index) { c.data1 = index; }
constexpr Cell make(TypeId t, Node node, uint32_t head = 0) { return cell::make(t, head, node, 0); }
}  // namespace series_cell

// A value held in data2 alone: integer!, char!, issue!'s symbol.
namespace scalar_cell {
constexpr uint32_t value(const Cell& c) { return c.data2; }
}  // namespace scalar_cell
}  // namespace kaz
