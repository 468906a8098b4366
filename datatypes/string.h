// string! — text series of 1, 2 or 4 bytes per code point; widens in place. The base of every
// other text type: file!, url!, tag!, email!, ref!, and binary! and vector! where they do not
// register their own actions, run this module's code.
//
// The module extends kaz::string, which runtime/unicode.h opens for the unit readers and the
// UTF-8/UTF-16 conversions: both are the string buffer's helpers.
//
// Positions, lengths and /part counts are in code points (units). Every helper that may widen
// or grow a buffer returns the possibly moved buffer; any allocation may move any buffer, so
// pointers into buffers are re-derived from nodes after each call that allocates.
#pragma once

#include <cstdint>
#include <string_view>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace kaz::string {

// The text types that share these actions and keep their own type.
constexpr bool any_string_q(TypeId t) {
    return t == TypeId::string || t == TypeId::file || t == TypeId::url || t == TypeId::tag ||
           t == TypeId::email || t == TypeId::ref;
}

// ---- buffer helpers ----

// Units from the head to the tail; a head past the tail is first lowered to the tail.
uint32_t length_from_head(Cell& string);
// The address of the head unit, the head clamped as above. Valid until the next allocation.
uint8_t* head_pointer(Cell& string);
bool at_tail_q(const Cell& string);
// The code point at an absolute unit index, counted from the buffer's first used unit.
uint32_t char_at(const Cell& string, uint32_t index);
// The unit index from the head of the first unit equal to cp, or -1.
int32_t find_char(const Cell& string, uint32_t cp);
// Empties the buffer, sets its unit to 1 and the head to 0.
Cell& reset(Cell& string);
// Makes `c` a new empty string! of unit 1 with room for `capacity` code points (0 means 1).
Cell& init_cell(Cell& c, uint32_t capacity);
// A new empty string! of unit 1 with room for `capacity` code points.
Cell make_cell(uint32_t capacity, TypeId type = TypeId::string);
// A new string! (or other text type) holding the UTF-8 text.
Cell from_utf8(std::string_view utf8, TypeId type = TypeId::string);
// Lowers the tail to the first used unit + count when that lies inside the capacity and below
// the tail; never raises it.
SeriesBuffer* truncate_buffer(SeriesBuffer* buffer, uint32_t count);
// Removes count units at an absolute unit index, closing the gap; nothing at or past the tail.
Cell& remove_units(Cell& string, uint32_t index, uint32_t count);

// Appends cp at the tail. Unit 1 takes code points below 0x80 only: 0x80-0xFFFF widen it to 2,
// larger ones to 4; unit 2 widens to 4 from 0x10000.
SeriesBuffer* add_code_point(SeriesBuffer* buffer, uint32_t cp);
// Stores cp over the unit at `p`, inside the used area. Unit 1 keeps code points up to 0xFF.
SeriesBuffer* write_char(SeriesBuffer* buffer, uint8_t* p, uint32_t cp);
// Stores cp at a unit index from the first used unit, widening as write_char does, growing the
// buffer when the index lies past its capacity and moving the tail just after the stored unit
// when that lies beyond it.
SeriesBuffer* poke_char(SeriesBuffer* buffer, uint32_t index, uint32_t cp);
// Inserts cp at a unit index (the rest moves up one unit), widening as add_code_point does.
SeriesBuffer* insert_char(SeriesBuffer* buffer, uint32_t index, uint32_t cp);

enum class ConcatMode : uint8_t { append = 0, insert = 1, overwrite = 2 };
// Copies the source's code points from its head (a symbol! source: its name from index 0):
// append at the tail, insert at `offset` units past the destination's head, or overwrite from
// there (a tail lying further is kept). `part` -1, or beyond the source's length, takes it all.
// The destination widens to the source's unit first; a narrower source is converted while it
// is copied (with `per_char` it is copied one code point at a time with the widening rules of
// add_code_point and write_char instead). A string concatenated into itself is handled.
SeriesBuffer* concatenate(Cell& destination, const Cell& source, int32_t part, uint32_t offset,
                          bool per_char, ConcatMode mode);
// Appends each byte of a NUL-terminated text as a code point.
SeriesBuffer* append_c_string(Node string, const char* bytes);
// Appends `count` bytes as code points.
void append_bytes(Node string, const uint8_t* bytes, uint32_t count);
// Moves `count` code points from the source's head to the destination's head, then removes
// them from the source: the series! move between strings of different units.
void move_units_into(Cell& source, Cell& destination, uint32_t count);
// Pushes a copy of the cell on the data stack.
Cell* push(const Cell& string);

// Upper-case hexadecimal text, held by value.
struct Hex {
    char text[9];
    uint8_t length;
    std::string_view view() const { return {text, length}; }
};
Hex byte_to_hex(uint8_t byte);
// Untrimmed: always 8 digits. Trimmed: without the leading sign digits ("F" of a negative
// value, "0" of another), and "00" for zero.
Hex int_to_hex(int32_t value, bool trim);

// Decimal text to double, correctly rounded; `error` is set to -1 (and 0.0 returned) when the
// text is not entirely one number.
double scan_float(const char* text, uint32_t length, int32_t& error);

// The first value the text from its head loads as (unset! when it holds none); a syntax error
// in that value is raised. `to pair!` and its kin read their text through it.
Cell scan_first(const Cell& text);

// Builds a string! from external text: encoding 0 UTF-8, -1 UTF-16LE (length in bytes for
// both). Into the string `target` when it is one (its content replaced), else a new string.
// Any other encoding raises internal feature-na.
Cell load_encoded(const uint8_t* text, uint32_t length, const Cell& target, int32_t encoding);
Cell* load_encoded_in_block(Node block, const uint8_t* text, uint32_t length, int32_t encoding);
Cell* load_encoded_push(const uint8_t* text, uint32_t length, int32_t encoding);

// Exchanges the byte ranges [a, a + na) and [a + na, a + na + nb) in place.
void rotate_regions(uint8_t* a, uint32_t na, uint32_t nb);

// Appends the escaped form of cp as text molding writes it ("^/", "^(1E)", "^^"...); with
// `all` every code point above 0x7F is written in the hexadecimal form. Returns the code points
// written.
uint32_t mold_char(Node string, uint32_t cp, bool all);

// The code-point comparison that sorting, finding and PARSE share: -1, 0 or 1. Case folds to
// upper case unless op is strict_equal or case_sort. With `prefix` (PARSE) only the second
// string's length is compared.
int32_t compare_strings(const Cell& a, const Cell& b, CompareOp op, bool prefix);

// PARSE helpers.
bool match_at_head(const Cell& input, const Cell& value, CompareOp op);
bool tag_at_head_q(const Cell& input, const Cell& tag);
bool head_in_bitset_q(const Cell& input, const Cell& bitset);


// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
Cell append(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
Cell change(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
Cell find(const Cell& series, const Cell& value, const FindOptions& options);
Cell insert(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
Cell select(const Cell& series, const Cell& value, const FindOptions& options);
Cell sort(const Cell& series, const SortOptions& options);
void swap(Cell& series1, const Cell& series2);
Cell take(const Cell& series, const Cell* part, bool deep, bool last);
void trim(Cell& series, const TrimOptions& options);

// The string case of the natives unique, union, intersect, exclude and difference: a new
// string of the first argument's type (head 0). `second` is ignored by unique; `skip` (null
// when absent) gives records of that many code points keyed by their first.
Cell set_operation(const Cell& first, const Cell* second, MathOp op, bool case_, const Cell* skip);

// ---- registration ----
void init();

}  // namespace kaz::string
