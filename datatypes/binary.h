// binary! — the byte series: a child of string! whose buffer always has 1-byte units and never
// widens. It inherits navigation, search, sort, take and the other series actions; it has its
// own conversion, text form (base-16 digits between "#{" and "}"), byte comparison, insertion
// of other values as bytes, trimming of zero bytes and the bitwise actions.
//
// Any allocation may move any buffer: the pointers the helpers return are valid until the next
// allocation only.
#pragma once

#include <cstdint>
#include <span>

#include "datatypes/actions.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kaz::binary {

// ---- helpers ----

// Bytes from the head to the tail; 0 when the head lies past the tail.
uint32_t byte_count(const Cell& binary);
// The address of the head byte, the head taken no further than the tail.
uint8_t* head_pointer(const Cell& binary);
// Makes `c` a new empty binary! with room for `capacity` bytes (a multiple of 16, and 16 for 0).
Cell& init_cell(Cell& c, uint32_t capacity);
Cell make_cell(uint32_t capacity);
// A new binary! holding a copy of the bytes, which must not lie in a series buffer.
Cell from_bytes(std::span<const uint8_t> bytes);
// The bytes a native reads from a binary! (from its head) or from a text value (its UTF-8 from
// its head, made in the value's conversion cache). Reached through the node: valid across
// allocations, for as long as the holder keeps it.
struct Source {
    Node node;
    uint32_t start;
    uint32_t size;
    const uint8_t* data() const { return memory::buffer_of(node)->head + start; }
    std::span<const uint8_t> bytes() const { return {data(), size}; }
};
// The value must be a binary! or of a text type (string!, file!, url!, tag!, email!, ref!).
Source source_of(const Cell& value);

// How a /part count limits a block of values turned into bytes: by the values taken (each
// bringing all its bytes) or by the bytes across them. A single value is cut to the count of
// bytes either way.
enum class PartUnit : uint8_t { bytes, values };
enum class InsertMode : uint8_t { append, insert, change };
// Writes the bytes of `value`, `dup` times (none below 1), at the tail (append), at the head
// (insert) or over the bytes at the head (change, which replaces the value's byte count or,
// with a /part count, that many bytes). The bytes of a value: a char!'s UTF-8; an integer! as
// one byte (-128 to 255, else script invalid-arg); a binary!'s bytes and the text types' UTF-8
// from their heads; a tuple!'s bytes; each value of a block!, paren! or hash! in turn, walking
// the blocks inside (a block met again while it is walked brings nothing). Any other value is
// formed for change and refused with script bad-make-arg otherwise. A result longer than the
// largest series raises internal no-memory. The owner of the series is told before and after.
// Answers the series at index 0 (append) or just past the written bytes.
Cell insert(const Cell& series, const Cell& value, int32_t part, int32_t dup, InsertMode mode,
            PartUnit unit = PartUnit::bytes);

// ---- actions ----
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void and_();
Cell complement(const Cell& value);
void or_();
void xor_();
// append and insert: one function, told apart by `append`.
Cell append(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
Cell change(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
void trim(Cell& series, const TrimOptions& options);

// ---- registration ----
// string! must be registered first.
void init();

}  // namespace kaz::binary
