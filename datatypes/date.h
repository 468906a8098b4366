// date! — a calendar date with an optional time of day and zone, written 1-Jan-2024,
// 1-Jan-2024/10:30:00 or 1-Jan-2024/10:30:00+02:00. This module makes, forms, compares and
// computes with dates and reads and sets their fields; the calendar itself (the packed word, day
// numbers, weeks, zones) is calendar.h, in the same namespace.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/calendar.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::date {

Cell* push(uint32_t packed, double time);
Cell* make_in_block(Node block, uint32_t packed, double time);
// The date of a count of seconds since 1 January 1970 UTC: time flag set, zone 0; a negative
// count reaches back into the days before (-1 is 31-Dec-1969/23:59:59).
Cell from_epoch(int64_t seconds);
// Seconds since 1 January 1970 as an integer!; beyond its range raises script type-limit with
// integer!.
int32_t to_integer(const Cell& date);

// The arithmetic core: the date in argument 0 with, in argument 1, an integer! (days), a time!
// (seconds; the result has a time) or, to subtract, a date!. Day numbers and stored times are
// added apart, then whole days are carried out of the time under the date's zone. A date less
// a date is the integer! of whole days elapsed between them (rounded down); anything else is a
// date with the zone of argument 0. Raises script not-related for a date added to a date,
// invalid-type for another operand.
void do_math(MathOp op);

// ---- actions ----
// make checks that every field was in its range; to carries the ones that were not.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
void random(Cell& value, bool seed, bool secure, bool only);
// form and mold are one text: 1-Jan-2024/10:30:00+02:00; the month names come from
// system/locale/months.
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// Reads a field by accessor word or number (1-14); with a value, sets it in the date the path
// reached (carrying out-of-range values) and answers the value.
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
// The dates apart from their zones: the date parts, then the stored times (equal within the
// float tolerance for the equalities). Another type is not comparable.
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void add();
void subtract();
Cell pick(const Cell& date, int32_t index, const Cell& index_value);

// ---- registration ----
void init();

}  // namespace kaz::date
