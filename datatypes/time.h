// time! — a duration or time of day: seconds in a double, a child of float! that shares its
// cell, its arithmetic core and its comparison, and reads and writes hours, minutes and
// seconds.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::time {

inline constexpr double kSecondsPerHour = 3600.0;
inline constexpr double kSecondsPerMinute = 60.0;
// Seconds below this form as whole ("00").
inline constexpr double kSecondTolerance = 1e-06;

Cell* make_in_block(Node block, uint32_t high, uint32_t low);
Cell& init_cell(double seconds, Cell& c);
Cell* push(double seconds);

// Hours truncated toward zero (so -1.5 hours has hour -1); out of the integer range raises
// script type-limit.
int32_t get_hours(double seconds);
// Minutes of the magnitude, 0 to 59: -1.5 hours has minute 30.
int32_t get_minutes(double seconds);
// Appends "h:mm:ss" with fractional seconds when they are not whole; returns the limit less
// what was written.
int32_t form_text(double seconds, Node string, int32_t limit);
// 1, 2 or 3 for the words hour, minute and second in any letter case, else -1; when `value`
// is a time!, an unknown word raises script cannot-use instead.
int32_t field_index(const Cell& word, const Cell& value);
// integer! hours, integer! minutes or float! seconds (the signed remainder of a minute).
Cell get_field(const Cell& time, int32_t index);
[[noreturn]] void raise_bad_to_arg(const Cell& value);

// ---- actions ----
// make and to are one function; a time! spec is returned as it is.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// Reads a field; with a value, sets it in the time the path reached and answers the value.
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
void add();
void divide();
void multiply();
void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling);
void subtract();
bool even_q(const Cell& value);
bool odd_q(const Cell& value);
Cell pick(const Cell& time, int32_t index, const Cell& index_value);

// ---- registration ----
// float! must be registered first: time! copies its inherited entries.
void init();

}  // namespace kaz::time
