// The calendar under date!: day numbers, weeks, field carries and zones.
#include "datatypes/calendar.h"

#include <cmath>

#include "datatypes/internal.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "platform/os.h"
#include "runtime/error.h"

namespace kaz::date {
namespace {

// ---- helpers ----

// Division and remainder rounded toward minus infinity, so that the calendar runs on through
// year 0 and the years before it with the same leap rule.
constexpr int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
constexpr int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Days from day 0 to 1 March of year y.
constexpr int64_t march1(int64_t y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }

// The hot paths shift years and days by whole 400-year cycles of 146097 days, which moves every
// date the packed word holds to a positive number: the divisions are then plain unsigned ones.
constexpr int64_t kShiftYears = 400 * 42;
constexpr int64_t kShiftDays = 146097 * 42;
constexpr uint64_t shifted_march1(uint64_t y) { return 365 * y + y / 4 - y / 100 + y / 400; }
static_assert(int64_t(shifted_march1(kShiftYears)) - kShiftDays == march1(0));

// The day number of any year, month and day: the month carried into the year first.
constexpr int64_t count_days(int64_t year, int64_t month, int64_t day) {
    int64_t m0 = month - 1;
    year += floor_div(m0, 12);
    month = floor_mod(m0, 12) + 1;
    int64_t m = (month + 9) % 12;  // March is 0: the leap day ends the counting year
    int64_t y = year - m / 10;
    return march1(y) + (m * 306 + 5) / 10 + (day - 1);
}
// The first and last day numbers the packed year can hold.
constexpr int64_t kFirstDay = count_days(kMinYear, 1, 1);
constexpr int64_t kLastDay = count_days(kMaxYear, 12, 31);
static_assert(count_days(1970, 1, 1) == kEpochDay);
static_assert(count_days(2024, 1, 1) == 739191);
static_assert(count_days(0, 3, 1) == 0);

[[noreturn]] void raise_limit() { error::raise(ErrorId::script_type_limit, cell::datatype(TypeId::date)); }

// 1 January of a year, and the Monday of its ISO week 1.
int64_t jan1(int64_t year) { return count_days(year, 1, 1); }
int64_t isoweek1(int64_t year, int32_t& jan1_weekday) {
    int64_t j = jan1(year);
    jan1_weekday = weekday_of(j);
    return jan1_weekday < 5 ? j + 1 - jan1_weekday : j + 8 - jan1_weekday;
}

void move_to_day(Cell& date, int64_t n) {
    uint32_t packed = packed_of(date);
    date.data1 = from_day_number(n, zone_of(packed), time_q(packed));
}

bool word_q(const Cell& c) {
    TypeId t = type_of(c);
    return t >= TypeId::word && t <= TypeId::refinement;
}

Cell time_cell(double seconds) {
    Cell c = cell::make(TypeId::time);
    return time::init_cell(seconds, c);
}

}  // namespace

Cell make_cell(uint32_t packed, double time) {
    Cell c = cell::make(TypeId::date, packed);
    cell::put_float(c, time);
    return c;
}

// ---- day numbers ----

bool leap_year_q(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int64_t day_number_of(int64_t year, int64_t month, int64_t day) { return count_days(year, month, day); }

int32_t day_number(uint32_t packed) {
    int32_t month = month_of(packed);
    if (month < 1 || month > 12) return int32_t(day_number_of(year_of(packed), month, day_of(packed)));
    uint64_t y = uint64_t(year_of(packed) + kShiftYears - (month <= 2));
    uint64_t m = month <= 2 ? uint64_t(month + 9) : uint64_t(month - 3);
    return int32_t(int64_t(shifted_march1(y) + (m * 306 + 5) / 10 + uint64_t(day_of(packed))) - 1 - kShiftDays);
}

uint32_t from_day_number(int64_t n, uint32_t zone, bool time_flag) {
    if (n < kFirstDay || n > kLastDay) raise_limit();
    uint64_t g = uint64_t(n + kShiftDays);
    // The year is estimated from the mean year of 365.2425 days, then corrected once: the
    // estimate is never early and at most a year late.
    uint64_t y = (10000 * g + 14780) / 3652425;
    if (g < shifted_march1(y)) --y;
    uint64_t r = g - shifted_march1(y);
    uint64_t k = (100 * r + 52) / 3060;  // months since March
    uint64_t month = (k + 2) % 12 + 1;
    int64_t year = int64_t(y + (k + 2) / 12) - kShiftYears;
    uint64_t day = r - (k * 306 + 5) / 10 + 1;
    return uint32_t(year) << 17 | uint32_t(month) << 12 | uint32_t(day) << 7 | (time_flag ? kTimeFlag : 0) |
           (zone & kZoneMask);
}

uint32_t from_fields(int64_t year, int64_t month, int64_t day, uint32_t zone, bool time_flag) {
    // Far beyond the calendar the sums below could overflow: such a date is out of it anyway.
    constexpr int64_t kFar = int64_t(1) << 40;
    if (year < -kFar || year > kFar || month < -kFar || month > kFar || day < -kFar || day > kFar) raise_limit();
    return from_day_number(day_number_of(year, month, day), zone, time_flag);
}

int32_t jan1_day_number(uint32_t packed) { return int32_t(jan1(year_of(packed))); }

int32_t isoweek1_start(uint32_t packed, int32_t& weekday) { return int32_t(isoweek1(year_of(packed), weekday)); }

int32_t weekday_of(int64_t n) { return int32_t(floor_mod(n + 2, 7)) + 1; }

int32_t yearday(uint32_t packed) { return day_number(packed) - jan1_day_number(packed) + 1; }

int32_t week(uint32_t packed) {
    int64_t w0 = floor_mod(jan1_day_number(packed) + 3, 7);  // 0 when 1 January is a Sunday
    int64_t yd = yearday(packed);
    return yd <= 7 - w0 ? 1 : int32_t((yd + w0 - 1) / 7 + 1);
}

int32_t isoweek(uint32_t packed) {
    int32_t year = year_of(packed);
    int32_t wd = 0;
    int64_t s = isoweek1(year, wd);
    int64_t n = day_number(packed);
    if (n < s) {
        // The last week of the year before.
        if (wd == 5) return 53;
        if (wd == 6) return leap_year_q(year - 1) ? 53 : 52;
        return 52;
    }
    int32_t next_wd = 0;
    int64_t next = isoweek1(int64_t(year) + 1, next_wd);
    return n < next ? int32_t((n - s) / 7 + 1) : 1;
}

// ---- time zones ----

int32_t zone_offset(uint32_t zone) {
    int32_t seconds = int32_t(zone >> 2 & 0xF) * 3600 + int32_t(zone & 3) * 900;
    return (zone & kZoneWest) ? -seconds : seconds;
}

double to_local(double time, uint32_t zone) { return time + zone_offset(zone); }
double to_utc(double time, uint32_t zone) { return time - zone_offset(zone); }

std::optional<uint32_t> zone_from_fields(bool negative, int32_t hours, int32_t minutes) {
    if (hours < 0 || hours > 15 || minutes < 0 || minutes > 59) return std::nullopt;
    uint32_t zone = uint32_t(hours) << 2 | uint32_t(minutes / 15);
    return negative && zone != 0 ? zone | kZoneWest : zone;
}

std::optional<uint32_t> zone_from_seconds(double seconds) {
    if (!std::isfinite(seconds)) return std::nullopt;
    double r = std::fmod(seconds, 16 * 3600.0);
    double magnitude = std::fabs(r);
    auto hours = int32_t(magnitude / 3600.0);
    auto minutes = int32_t(std::fmod(magnitude, 3600.0) / 60.0);
    return zone_from_fields(r < 0.0, hours, minutes);
}

int64_t normalize_time(int64_t n, double& time, uint32_t zone) {
    if (!std::isfinite(time)) raise_limit();
    // In whole seconds, so that quarter-hour zones (+5:45, -0:30) count in full.
    double offset = zone_offset(zone);
    double days = std::floor((time + offset) / kSecondsPerDay);
    if (std::fabs(days) > double(kLastDay - kFirstDay) + 2.0) raise_limit();
    double t = time - days * kSecondsPerDay;
    int64_t m = n + int64_t(days);
    // A time a rounding step from midnight may land on the wrong side of it.
    if (t + offset < 0.0) {
        t += kSecondsPerDay;
        --m;
    } else if (t + offset >= kSecondsPerDay) {
        t -= kSecondsPerDay;
        ++m;
    }
    time = t;
    return m;
}

// ---- setting fields ----

void set_time(Cell& date, double time, bool convert) {
    uint32_t packed = packed_of(date);
    uint32_t zone = zone_of(packed);
    if (convert) time = to_utc(time, zone);
    int64_t n = normalize_time(day_number(packed), time, zone);
    date.data1 = from_day_number(n, zone, time_q(packed));
    cell::put_float(date, time);
}

void set_year(Cell& date, int32_t year) {
    uint32_t p = packed_of(date);
    date.data1 = from_fields(year, month_of(p), day_of(p), zone_of(p), time_q(p));
}

void set_month(Cell& date, int32_t month) {
    uint32_t p = packed_of(date);
    date.data1 = from_fields(year_of(p), month, day_of(p), zone_of(p), time_q(p));
}

void set_day(Cell& date, int32_t day) {
    uint32_t p = packed_of(date);
    date.data1 = from_fields(year_of(p), month_of(p), day, zone_of(p), time_q(p));
}

void set_weekday(Cell& date, int32_t k) {
    int64_t n = day_number(packed_of(date));
    move_to_day(date, n + (int64_t(k) - 1) - floor_mod(n + 2, 7));
}

void set_yearday(Cell& date, int32_t k) { move_to_day(date, jan1_day_number(packed_of(date)) + int64_t(k) - 1); }

void set_week(Cell& date, int32_t k) {
    int64_t j = jan1_day_number(packed_of(date));
    int64_t w0 = floor_mod(j + 3, 7);
    move_to_day(date, k <= 1 ? j : j + 7 * int64_t(k) - w0 - 7);
}

void set_isoweek(Cell& date, int32_t k) {
    int32_t wd = 0;
    int64_t s = isoweek1_start(packed_of(date), wd);
    move_to_day(date, s + 7 * (int64_t(k) - 1));
}

void set_zone(Cell& date, uint32_t zone, bool keep_instant) {
    uint32_t packed = packed_of(date);
    zone &= kZoneMask;
    double time = time_of(date);
    if (!keep_instant) time = to_utc(to_local(time, zone_of(packed)), zone);
    int64_t n = normalize_time(day_number(packed), time, zone);
    date.data1 = from_day_number(n, zone, time_q(packed));
    cell::put_float(date, time);
}

// ---- reading ----

int32_t field_id(const Cell& word, const Cell& value) {
    if (word_q(word)) {
        struct Name { uint32_t symbol; Field field; };
        const Name kNames[] = {
            {sym::date, kDate},         {sym::year, kYear},       {sym::month, kMonth},
            {sym::day, kDay},           {sym::zone, kZone},       {sym::time, kTime},
            {sym::hour, kHour},         {sym::minute, kMinute},   {sym::second, kSecond},
            {sym::weekday, kWeekday},   {sym::yearday, kYearday}, {sym::julian, kYearday},
            {sym::timezone, kTimezone}, {sym::week, kWeek},       {sym::isoweek, kIsoweek},
        };
        uint32_t id = symbol::canonical_id(word.data2);
        for (const Name& n : kNames)
            if (symbol::canonical_id(n.symbol) == id) return n.field;
    }
    if (is(value, TypeId::time)) error::raise(ErrorId::script_cannot_use, word, value);
    return kNoField;
}

Cell get_field(const Cell& date, int32_t id) {
    uint32_t packed = packed_of(date);
    double local = to_local(time_of(date), zone_of(packed));
    switch (id) {
        case kDate: return make_cell(date_part(packed), 0.0);
        case kYear: return cell::integer(year_of(packed));
        case kMonth: return cell::integer(month_of(packed));
        case kDay: return cell::integer(day_of(packed));
        case kZone:
        case kTimezone: return time_q(packed) ? time_cell(zone_offset(zone_of(packed))) : cell::none();
        case kTime: return time_q(packed) ? time_cell(local) : cell::none();
        case kHour: return cell::integer(time::get_hours(local));
        case kMinute: return cell::integer(time::get_minutes(local));
        case kSecond: return cell::float_(std::fmod(local, 60.0));
        case kWeekday: return cell::integer(weekday_of(day_number(packed)));
        case kYearday: return cell::integer(yearday(packed));
        case kWeek: return cell::integer(week(packed));
        case kIsoweek: return cell::integer(isoweek(packed));
        default: return cell::none();
    }
}

int64_t to_epoch(const Cell& date) {
    double t = time_of(date);
    // A stored time is within a day or two of midnight; anything else is no date's.
    if (!(std::fabs(t) < 4 * kSecondsPerDay)) raise_limit();
    // Rounded half up: a stored time before midnight (east zones) rounds as one after it does.
    auto seconds = int64_t(std::floor(t + 0.5));
    return (int64_t(day_number(packed_of(date))) - kEpochDay) * 86400 + seconds;
}

void difference(Cell& date, const Cell& other) {
    double days = double(day_number(packed_of(date))) - double(day_number(packed_of(other)));
    double seconds = days * kSecondsPerDay + (time_of(date) - time_of(other));
    date.data1 = 0;
    time::init_cell(seconds, date);
}

// ---- making ----

Cell& init_cell(Cell& c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                int32_t nanoseconds) {
    if (year < kMinYear || year > kMaxYear) raise_limit();
    cell::set_type(c, TypeId::date);
    c.data1 = uint32_t(year) << 17 | uint32_t(month & 0xF) << 12 | uint32_t(day & 0x1F) << 7 | kTimeFlag;
    cell::put_float(c, hour * 3600.0 + minute * 60.0 + second + nanoseconds * 1e-9);
    return c;
}

Cell now(bool utc, bool precise) {
    platform::ClockReading r = platform::read_clock(utc, precise);
    Cell c = make_cell(from_fields(r.year, r.month, r.day, r.zone, true), 0.0);
    set_time(c, r.seconds, true);
    return c;
}

}  // namespace kaz::date
