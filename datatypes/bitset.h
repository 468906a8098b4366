// bitset! — a set of non-negative integers, above all a class of characters for find and PARSE.
//
// A bitset cell is a series cell over a byte series whose head index is ignored: the bit of
// value n is in byte n >> 3 from the buffer's first used byte, under the mask 0x80 >> (n & 7).
// The stored bytes always hold the membership of the values they cover; the buffer's
// complement flag gives the membership of every value beyond them (a "not" set).
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kaz::bitset {

// ---- helpers ----

inline SeriesBuffer* buffer(const Cell& bitset) { return memory::buffer_of(bitset.data2); }
inline uint8_t* bits_pointer(const Cell& bitset) { return buffer(bitset)->head; }
inline uint8_t* bits_end(const Cell& bitset) { return buffer(bitset)->tail; }
inline uint32_t byte_count(const Cell& bitset) { return buffer(bitset)->used(); }
inline bool complement_q(const Cell& bitset) {
    return (buffer(bitset)->flags & series_flag::complement) != 0;
}
// True when n is not covered by the stored bytes (a negative n never is).
inline bool bit_outside_q(const Cell& bitset, int64_t n) {
    return n < 0 || uint64_t(n >> 3) >= byte_count(bitset);
}
// Whether n is a member: its bit when stored, else the complement flag; never for n < 0.
bool member_q(const Cell& bitset, int64_t n);

// Makes the stored bytes cover value n (when they do not yet), filling the new bytes with 0xFF
// for a complemented bitset and 0 for a plain one. May move the buffer; returns it.
SeriesBuffer* ensure_bit(const Cell& bitset, uint32_t n);
// Complements every stored byte.
void invert_bytes(SeriesBuffer* buffer);

// What the bitset dialect does with the values it meets.
enum class SpecMode : uint8_t { measure = 0, set = 1, test = 2, clear = 3 };
// Who runs the dialect: it picks the error for a value the dialect does not take.
enum class SpecCaller : uint8_t { make = 0, to = 1, series = 2 };

// The bitset dialect: a char!, integer! or float! (truncated), a string! (its code points), or a
// block of those with ranges `low - high` of chars or integers (nested blocks are walked too).
// Measure answers the byte count the values need, at least 1; set and clear change `bitset`
// and answer 0; test answers 1 when every value is a member, else 0.
int64_t process_spec(const Cell& spec, const Cell* bitset, SpecMode mode, SpecCaller caller);

// make (to_flag false) and to (true) from a spec: a size in bits, a bitset!, a binary!, a block
// beginning with the word `not` (a complemented set), or the dialect above.
Cell make_or_to(const Cell& spec, bool to_flag);

// The set operation of two bitsets as a new bitset: or~ and union, and~ and intersect, xor~ and
// difference, exclude; unique gives the first unchanged. Membership is exact for complemented
// operands of any lengths. A second operand that is not a bitset! raises script invalid-type.
Cell set_operation(const Cell& first, const Cell& second, MathOp op);
// The same on the current frame's arguments 0 and 1; the result replaces argument 0.
void do_math(MathOp op);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void negate(Cell& value);
void and_();
Cell complement(const Cell& value);
void or_();
void xor_();
Cell append(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
void clear(Cell& series);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types);
Cell find(const Cell& series, const Cell& value, const FindOptions& options);
int32_t length_q(const Cell& series);
Cell pick(const Cell& series, int32_t index, const Cell& index_value);
Cell poke(const Cell& series, int32_t index, const Cell& index_value, const Cell& value);
void remove(Cell& series, const Cell* part, const Cell* key);

// ---- registration ----
void init();

}  // namespace kaz::bitset
