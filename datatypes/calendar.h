// The calendar under date!: the packed date word, serial day numbers in the proleptic
// Gregorian calendar, week numberings, field setting with carry, and the time-zone arithmetic
// that keeps a date's stored time consistent with its zone. No state of its own.
//
// A date! cell: data1 the packed word, data2-data3 the stored time (a double of seconds).
//
// Packed word: bits 17-31 the year (signed: an arithmetic shift right by 17 gives it), bit 16
// the time flag, bits 12-15 the month, bits 7-11 the day, bits 0-6 the zone: bit 6 set west of
// UTC, bits 2-5 whole hours, bits 0-1 quarter hours. The word without its zone and time flag
// orders chronologically as a signed number.
//
// Stored time: the local clock time minus the zone offset, counted from the local midnight of
// the stored (local) date. Normalisation keeps 0 <= stored time + offset < 86400.
//
// Day numbers: day 0 is 1 March of year 0; 1 January 1970 is day 719468. Years run from
// kMinYear to kMaxYear, what the 15 bits hold: a date carried beyond them raises script
// type-limit with date! instead of wrapping into another year.
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/cell.h"

namespace kaz::date {

inline constexpr int32_t kMinYear = -16384;
inline constexpr int32_t kMaxYear = 16383;
inline constexpr int32_t kEpochDay = 719468;  // 1 January 1970
inline constexpr double kSecondsPerDay = 86400.0;

inline constexpr uint32_t kZoneMask = 0x7F;
inline constexpr uint32_t kZoneWest = 1u << 6;
inline constexpr uint32_t kTimeFlag = 1u << 16;

// The accessor fields of date! paths, `pick` and `now`.
enum Field : int32_t {
    kNoField = -1,
    kDate = 1,
    kYear = 2,
    kMonth = 3,
    kDay = 4,
    kZone = 5,
    kTime = 6,
    kHour = 7,
    kMinute = 8,
    kSecond = 9,
    kWeekday = 10,
    kYearday = 11,  // also `julian`
    kTimezone = 12,
    kWeek = 13,
    kIsoweek = 14,
};

// ---- the packed word ----
constexpr int32_t year_of(uint32_t packed) { return int32_t(packed) >> 17; }
constexpr int32_t month_of(uint32_t packed) { return int32_t(packed >> 12 & 0xF); }
constexpr int32_t day_of(uint32_t packed) { return int32_t(packed >> 7 & 0x1F); }
constexpr uint32_t zone_of(uint32_t packed) { return packed & kZoneMask; }
constexpr bool time_q(uint32_t packed) { return (packed & kTimeFlag) != 0; }
// The date alone: the word without its zone and time flag, as dates compare.
constexpr uint32_t date_part(uint32_t packed) { return packed & ~(kZoneMask | kTimeFlag); }

// ---- the cell ----
inline uint32_t packed_of(const Cell& date) { return date.data1; }
inline double time_of(const Cell& date) { return cell::get_float(date); }
// A date! of `packed` and the stored `time`.
Cell make_cell(uint32_t packed, double time);

// ---- day numbers ----
bool leap_year_q(int32_t year);
// The day number of a year, month and day; months and days outside their ranges count on
// (month 13 is January of the next year, day 0 the last day of the month before).
int64_t day_number_of(int64_t year, int64_t month, int64_t day);
int32_t day_number(uint32_t packed);
// The packed word of a day number, with the zone bits and time flag given. Raises script
// type-limit with date! when the year falls outside kMinYear..kMaxYear.
uint32_t from_day_number(int64_t n, uint32_t zone, bool time_flag);
// year/month/day carried through the day number, as from_day_number.
uint32_t from_fields(int64_t year, int64_t month, int64_t day, uint32_t zone, bool time_flag);

int32_t jan1_day_number(uint32_t packed);
// The day number of the Monday that starts ISO week 1 of the date's year; `weekday` receives
// the weekday (1 Monday .. 7 Sunday) of its 1 January.
int32_t isoweek1_start(uint32_t packed, int32_t& weekday);
// 1 Monday .. 7 Sunday.
int32_t weekday_of(int64_t n);
// 1 for 1 January.
int32_t yearday(uint32_t packed);
// Weeks that start on Sunday, week 1 holding 1 January.
int32_t week(uint32_t packed);
int32_t isoweek(uint32_t packed);

// ---- time zones ----
// Seconds east of UTC: +-(hours x 3600 + quarters x 900).
int32_t zone_offset(uint32_t zone);
double to_local(double time, uint32_t zone);
double to_utc(double time, uint32_t zone);
// The zone bits of an offset given as a signed count of hours and minutes, minutes counted
// down to whole quarters; nothing when the hours pass 15 or the minutes leave 0-59. The sign
// is the offset's own, so a zone between -1:00 and 0:00 stays west. A zero offset has no sign.
std::optional<uint32_t> zone_from_fields(bool negative, int32_t hours, int32_t minutes);
// The zone bits of an offset in seconds, taken modulo 16 hours (its sign kept), down to whole
// quarters; nothing for an offset that is not finite.
std::optional<uint32_t> zone_from_seconds(double seconds);

// Carries whole days out of `time` (a stored time) into day number `n`, so that the local
// time `time` + offset of `zone` lies in 0..86400; returns the new day number (from_day_number
// tells whether the calendar holds it). Raises script type-limit with date! for a time that is
// not finite or that carries more days than the calendar spans.
int64_t normalize_time(int64_t n, double& time, uint32_t zone);

// ---- setting fields (the zone and time flag stay; out-of-range numbers carry over) ----
// Stores a new time: with `convert` the time is a local clock time, turned into the stored
// form first; the day is normalised. The time flag is left as it is.
void set_time(Cell& date, double time, bool convert);
void set_year(Cell& date, int32_t year);
// Month 0 is December of the year before, 13 January of the next; the day is carried after
// (31 January with month 2 is 2 or 3 March).
void set_month(Cell& date, int32_t month);
// The day counted from day 0 of the month.
void set_day(Cell& date, int32_t day);
// Day k of the date's Monday-based week; values outside 1-7 reach into the weeks around it.
void set_weekday(Cell& date, int32_t k);
void set_yearday(Cell& date, int32_t k);
// The Sunday that starts week k (1 January for k <= 1).
void set_week(Cell& date, int32_t k);
// The Monday of ISO week k.
void set_isoweek(Cell& date, int32_t k);
// Gives the date another zone. With `keep_instant` the date and local clock move to show the
// same instant in the new zone; without it the local clock stays and the instant moves.
void set_zone(Cell& date, uint32_t zone, bool keep_instant);

// ---- reading ----
// The field id of an accessor word (in any letter case), or kNoField; for a word that is not
// an accessor and a time! `value` (time! shares the table), raises script cannot-use with the
// word and the value instead.
int32_t field_id(const Cell& word, const Cell& value);
// The value of a field: a date! (kDate, with no time or zone), integer!, time! (kZone,
// kTimezone, kTime; none! when the date has no time) or float! (kSecond, local seconds
// modulo 60). Hours and minutes are those of the local time.
Cell get_field(const Cell& date, int32_t id);
// Seconds since 1 January 1970 UTC, the stored time rounded to the nearest second (halves up);
// the caller checks the range it needs. A stored time more than a few days from midnight (no
// normalised date has one) raises script type-limit with date!.
int64_t to_epoch(const Cell& date);
// Turns `date` into a time! of the seconds from `other` to it.
void difference(Cell& date, const Cell& other);

// ---- making ----
// A date! from fields as the system reports them: time flag set, zone 0. The fields are taken
// as they are (the caller's clock or file system gives valid ones); a year outside the
// calendar raises script type-limit with date!.
Cell& init_cell(Cell& c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                int32_t second, int32_t nanoseconds);
// The current date and time of day, with the local zone (UTC and zone 0 with `utc`); with
// `precise` the time has the fraction of the second. The local clock is shown as the system
// gives it; an offset that is no whole number of quarter hours keeps the quarters below it.
Cell now(bool utc, bool precise);

}  // namespace kaz::date
