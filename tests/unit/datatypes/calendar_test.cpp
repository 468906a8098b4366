#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "datatypes/calendar.h"
#include "datatypes/float.h"
#include "runtime/error.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

struct DayCase { int16_t year; int8_t month, day; int32_t number; int8_t weekday; int16_t yearday; int8_t week, isoweek; };
struct CarryCase { int16_t year, month, day, to_year; int8_t to_month, to_day; };
struct MoveCase { int16_t year; int8_t month, day; char field; int32_t k; int16_t to_year; int8_t to_month, to_day; };
struct ZoneCase {
    int16_t year; int8_t month, day; double time; uint8_t zone;
    int16_t to_year; int8_t to_month, to_day; double to_time; int64_t epoch;
};
struct ZoneChangeCase {
    int16_t year; int8_t month, day; double time; uint8_t zone, new_zone;
    int16_t to_year; int8_t to_month, to_day; double to_time;
};
#include "tests/unit/datatypes/calendar_cases.inc"

uint32_t pack(int32_t year, int32_t month, int32_t day, uint32_t zone = 0, bool time = false) {
    return uint32_t(year) << 17 | uint32_t(month) << 12 | uint32_t(day) << 7 | (time ? date::kTimeFlag : 0) | zone;
}

// The packed word's year, month and day, for messages.
std::string ymd(uint32_t packed) {
    return std::to_string(date::day_of(packed)) + "-" + std::to_string(date::month_of(packed)) + "-" +
           std::to_string(date::year_of(packed));
}

Cell date_of(int32_t year, int32_t month, int32_t day, double time = 0.0, uint32_t zone = 0, bool time_flag = true) {
    return date::make_cell(pack(year, month, day, zone, time_flag), time);
}

// The calendar date of a cell, as "d-m-y".
std::string ymd(const Cell& c) { return ymd(date::packed_of(c)); }

class Calendar : public testing::Test {
protected:
    void SetUp() override { test::clear_stacks(); }
    void TearDown() override { test::clear_stacks(); }
};

// Sets TZ for the life of the object, then puts it back.
class TimeZone {
public:
    explicit TimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TimeZone() {
        if (saved_) setenv("TZ", saved_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST_F(Calendar, DayNumbersWeekdaysAndWeeksAgreeWithTheOracle) {
    for (const DayCase& c : kDays) {
        uint32_t packed = pack(c.year, c.month, c.day);
        SCOPED_TRACE(ymd(packed));
        EXPECT_EQ(date::day_number(packed), c.number);
        EXPECT_EQ(date::from_day_number(c.number, 0, false), packed);
        EXPECT_EQ(date::weekday_of(c.number), c.weekday);
        EXPECT_EQ(date::yearday(packed), c.yearday);
        EXPECT_EQ(date::week(packed), c.week);
        EXPECT_EQ(date::isoweek(packed), c.isoweek);
        EXPECT_EQ(date::leap_year_q(c.year), (c.year % 4 == 0 && c.year % 100 != 0) || c.year % 400 == 0);
    }
}

TEST_F(Calendar, EveryDayOfTheCalendarFollowsTheOneBefore) {
    // From the first day the packed year holds to the last, through year 0 and the years
    // before it: each day number is the day after the one before, February has its leap day
    // exactly in leap years, and the weekdays cycle.
    constexpr int kMonthDays[] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t first = date::day_number_of(date::kMinYear, 1, 1);
    int64_t last = date::day_number_of(date::kMaxYear, 12, 31);
    uint32_t previous = date::from_day_number(first, 0, false);
    ASSERT_EQ(previous, pack(date::kMinYear, 1, 1));
    int failures = 0;
    for (int64_t n = first + 1; n <= last && failures < 5; ++n) {
        uint32_t p = date::from_day_number(n, 0, false);
        int32_t y = date::year_of(previous), m = date::month_of(previous), d = date::day_of(previous);
        int length = m == 2 && date::leap_year_q(y) ? 29 : kMonthDays[m];
        uint32_t expected = d < length ? pack(y, m, d + 1) : m < 12 ? pack(y, m + 1, 1) : pack(y + 1, 1, 1);
        bool ok = p == expected && date::day_number(p) == n && date::weekday_of(n) % 7 == (date::weekday_of(n - 1) + 1) % 7;
        if (!ok) {
            ADD_FAILURE() << "day " << n << " is " << ymd(p) << " after " << ymd(previous);
            ++failures;
        }
        previous = p;
    }
    EXPECT_EQ(date::year_of(previous), date::kMaxYear);
}

TEST_F(Calendar, FieldsOutOfRangeCarry) {
    for (const CarryCase& c : kCarries) {
        SCOPED_TRACE(std::to_string(c.day) + "/" + std::to_string(c.month) + "/" + std::to_string(c.year));
        EXPECT_EQ(ymd(date::from_fields(c.year, c.month, c.day, 0, false)), ymd(pack(c.to_year, c.to_month, c.to_day)));
        // Setting the month, then the day, comes to the same date.
        Cell d = date_of(c.year, 1, 1);
        date::set_month(d, c.month);
        date::set_day(d, c.day);
        EXPECT_EQ(ymd(d), ymd(pack(c.to_year, c.to_month, c.to_day)));
    }
}

TEST_F(Calendar, SettingByWeekdayYeardayAndWeeksMovesTheDate) {
    for (const MoveCase& c : kMoves) {
        SCOPED_TRACE(std::string(1, c.field) + " " + std::to_string(c.k) + " on " + ymd(pack(c.year, c.month, c.day)));
        Cell d = date_of(c.year, c.month, c.day, 3600.0, 5 << 2);
        switch (c.field) {
            case 'w': date::set_weekday(d, c.k); break;
            case 'y': date::set_yearday(d, c.k); break;
            case 'W': date::set_week(d, c.k); break;
            default: date::set_isoweek(d, c.k); break;
        }
        EXPECT_EQ(ymd(d), ymd(pack(c.to_year, c.to_month, c.to_day)));
        // The zone, the time flag and the time stay.
        EXPECT_EQ(date::zone_of(date::packed_of(d)), 5u << 2);
        EXPECT_TRUE(date::time_q(date::packed_of(d)));
        EXPECT_EQ(date::time_of(d), 3600.0);
    }
}

TEST_F(Calendar, TimesCarryIntoTheDayUnderEveryZone) {
    for (const ZoneCase& c : kZoneCarries) {
        SCOPED_TRACE(ymd(pack(c.year, c.month, c.day)) + " time " + std::to_string(c.time) + " zone " +
                     std::to_string(c.zone));
        double t = c.time;
        int64_t n = date::normalize_time(date::day_number(pack(c.year, c.month, c.day)), t, c.zone);
        EXPECT_EQ(ymd(date::from_day_number(n, 0, false)), ymd(pack(c.to_year, c.to_month, c.to_day)));
        EXPECT_EQ(t, c.to_time);
        double local = date::to_local(t, c.zone);
        EXPECT_TRUE(local >= 0.0 && local < 86400.0) << local;

        // The epoch seconds are those of the instant, before and after normalising.
        Cell d = date_of(c.year, c.month, c.day, c.time, c.zone);
        EXPECT_EQ(date::to_epoch(d), c.epoch);
        date::set_time(d, c.time, false);
        EXPECT_EQ(ymd(d), ymd(pack(c.to_year, c.to_month, c.to_day)));
        EXPECT_EQ(date::time_of(d), c.to_time);
        EXPECT_EQ(date::to_epoch(d), c.epoch);
    }
}

TEST_F(Calendar, ChangingTheZoneKeepsTheInstantOrTheClock) {
    for (const ZoneChangeCase& c : kZoneChanges) {
        SCOPED_TRACE(ymd(pack(c.year, c.month, c.day)) + " time " + std::to_string(c.time) + " zone " +
                     std::to_string(c.zone) + " to " + std::to_string(c.new_zone));
        Cell d = date_of(c.year, c.month, c.day, c.time, c.zone);
        date::set_zone(d, c.new_zone, true);
        EXPECT_EQ(ymd(d), ymd(pack(c.to_year, c.to_month, c.to_day)));
        EXPECT_EQ(date::time_of(d), c.to_time);
        EXPECT_EQ(date::zone_of(date::packed_of(d)), c.new_zone);

        Cell clock = date_of(c.year, c.month, c.day, c.time, c.zone);
        date::set_zone(clock, c.new_zone, false);
        EXPECT_EQ(ymd(clock), ymd(pack(c.year, c.month, c.day)));
        EXPECT_EQ(date::to_local(date::time_of(clock), c.new_zone), date::to_local(c.time, c.zone));
    }
}

TEST_F(Calendar, EdgeCasesOfTheCalendar) {
    // 29 February of a common year is 1 March; day 0 of March 2024 is its leap day.
    EXPECT_EQ(date::from_fields(2023, 2, 29, 0, false), pack(2023, 3, 1));
    EXPECT_EQ(date::from_fields(2024, 3, 0, 0, false), pack(2024, 2, 29));
    // Day numbers named by the calendar's own definition.
    EXPECT_EQ(date::day_number(pack(1970, 1, 1)), 719468);
    EXPECT_EQ(date::day_number(pack(2024, 1, 1)), 739191);
    EXPECT_EQ(date::day_number(pack(0, 3, 1)), 0);
    // ISO weeks at the turn of the year.
    EXPECT_EQ(date::isoweek(pack(2021, 1, 1)), 53);  // a Friday
    EXPECT_EQ(date::isoweek(pack(2022, 1, 1)), 52);  // a Saturday after a common year
    EXPECT_EQ(date::isoweek(pack(2024, 12, 31)), 1);
    EXPECT_EQ(date::isoweek(pack(2017, 1, 1)), 52);  // a Sunday
    EXPECT_EQ(date::isoweek(pack(2005, 1, 1)), 53);  // a Saturday after the leap year 2004
    // Sunday weeks: 2023 starts on a Sunday, 2022 on a Saturday.
    EXPECT_EQ(date::week(pack(2023, 1, 7)), 1);
    EXPECT_EQ(date::week(pack(2023, 1, 8)), 2);
    EXPECT_EQ(date::week(pack(2022, 1, 1)), 1);
    EXPECT_EQ(date::week(pack(2022, 1, 2)), 2);
    int32_t weekday = 0;
    EXPECT_EQ(date::isoweek1_start(pack(2021, 6, 1), weekday), date::day_number(pack(2021, 1, 4)));
    EXPECT_EQ(weekday, 5);
    EXPECT_EQ(date::jan1_day_number(pack(2021, 6, 1)), date::day_number(pack(2021, 1, 1)));
    // 31 January with month 2 carries the day: 3 March, or 2 March in a leap year.
    Cell d = date_of(2023, 1, 31);
    date::set_month(d, 2);
    EXPECT_EQ(ymd(d), "3-3-2023");
    d = date_of(2024, 1, 31);
    date::set_month(d, 2);
    EXPECT_EQ(ymd(d), "2-3-2024");
    // Month 0 is December before; every month down to -11 stays in the year before.
    const int32_t kMonths[][3] = {{0, 2023, 12}, {-1, 2023, 11}, {-10, 2023, 2}, {-11, 2023, 1},
                                  {-12, 2022, 12}, {-23, 2022, 1}, {13, 2025, 1}, {24, 2025, 12}};
    for (auto [k, year, month] : kMonths) {
        SCOPED_TRACE(k);
        d = date_of(2024, 5, 10);
        date::set_month(d, k);
        EXPECT_EQ(ymd(d), ymd(pack(year, month, 10)));
    }
    // A year replaced on a leap day.
    d = date_of(2024, 2, 29);
    date::set_year(d, 2023);
    EXPECT_EQ(ymd(d), "1-3-2023");
    // The epoch itself.
    EXPECT_EQ(date::to_epoch(date_of(1970, 1, 1)), 0);
    EXPECT_EQ(date::to_epoch(date_of(1969, 12, 31, 86399.5)), 0);
}

TEST_F(Calendar, ZonesAreCountedInWholeSeconds) {
    // Quarter hours count in full: 0:10 local at -0:30 is stored as 0:40, and a stored 0:10
    // there is 23:40 of the day before.
    uint32_t minus_half = 0x40 | 2;
    EXPECT_EQ(date::zone_offset(minus_half), -1800);
    double t = 600.0;
    int64_t n = date::normalize_time(1000, t, minus_half);
    EXPECT_EQ(n, 999);
    EXPECT_EQ(date::to_local(t, minus_half), 86400.0 - 1200.0);
    // +5:45: a stored 23:00 is 4:45 of the next day.
    uint32_t nepal = 5 << 2 | 3;
    EXPECT_EQ(date::zone_offset(nepal), 20700);
    Cell d = date_of(2024, 12, 31, 0.0, nepal);
    date::set_time(d, 23 * 3600.0, false);
    EXPECT_EQ(ymd(d), "1-1-2025");
    EXPECT_EQ(date::to_local(date::time_of(d), nepal), 4 * 3600.0 + 45 * 60.0);
    // A clock time given in the zone: 1:00 at +5:45 is stored as 19:15 of the day before.
    d = date_of(2024, 1, 1, 0.0, nepal);
    date::set_time(d, 3600.0, true);
    EXPECT_EQ(ymd(d), "1-1-2024");
    EXPECT_EQ(date::time_of(d), 3600.0 - 20700.0);
    // 23:00 UTC moved to +02:00 with the instant kept is 1:00 of the next day.
    d = date_of(2024, 1, 1, 23 * 3600.0, 0);
    date::set_zone(d, 2 << 2, true);
    EXPECT_EQ(ymd(d), "2-1-2024");
    EXPECT_EQ(date::to_local(date::time_of(d), 2 << 2), 3600.0);
}

TEST_F(Calendar, ZoneBitsFromFieldsAndSeconds) {
    struct FieldCase { bool negative; int32_t hours, minutes; std::optional<uint32_t> zone; };
    const FieldCase kFields[] = {
        {false, 2, 0, 2 << 2},        {true, 5, 0, 0x40 | 5 << 2}, {false, 5, 45, 5 << 2 | 3},
        {true, 0, 30, 0x40 | 2},      {false, 0, 14, 0},           {true, 0, 0, 0},
        {false, 15, 59, 15 << 2 | 3}, {false, 16, 0, std::nullopt}, {true, 16, 0, std::nullopt},
        {false, 1, 60, std::nullopt}, {false, -1, 0, std::nullopt}, {false, 1, -15, std::nullopt},
    };
    for (const FieldCase& c : kFields) {
        SCOPED_TRACE(std::to_string(c.negative) + " " + std::to_string(c.hours) + ":" + std::to_string(c.minutes));
        EXPECT_EQ(date::zone_from_fields(c.negative, c.hours, c.minutes), c.zone);
    }
    struct SecondsCase { double seconds; std::optional<uint32_t> zone; };
    const SecondsCase kSeconds[] = {
        {-1800.0, 0x40 | 2},            // -0:30 keeps its sign
        {-899.0, 0},                    // under a quarter hour: no sign on zero
        {7200.0, 2 << 2},
        {-(5 * 3600.0 + 2700.0), 0x40 | 5 << 2 | 3},
        {17 * 3600.0, 1 << 2},          // hours taken modulo 16
        {-(16 * 3600.0 + 1800.0), 0x40 | 2},
        {NAN, std::nullopt},
        {INFINITY, std::nullopt},
    };
    for (const SecondsCase& c : kSeconds) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(date::zone_from_seconds(c.seconds), c.zone);
    }
}

TEST_F(Calendar, FieldsAreReadByWordAndId) {
    // 15-Jan-2024/10:30:15.5+05:45, stored as the local time less the offset.
    uint32_t zone = 5 << 2 | 3;
    double local = 10 * 3600.0 + 30 * 60.0 + 15.5;
    Cell d = date_of(2024, 1, 15, local - 20700.0, zone);
    struct Read { const char* word; int32_t id; Cell value; };
    const Read kReads[] = {
        {"year", date::kYear, cell::integer(2024)},
        {"MONTH", date::kMonth, cell::integer(1)},
        {"day", date::kDay, cell::integer(15)},
        {"zone", date::kZone, test::typed(TypeId::time, 20700.0)},
        {"timezone", date::kTimezone, test::typed(TypeId::time, 20700.0)},
        {"time", date::kTime, test::typed(TypeId::time, local)},
        {"hour", date::kHour, cell::integer(10)},
        {"minute", date::kMinute, cell::integer(30)},
        {"second", date::kSecond, cell::float_(15.5)},
        {"weekday", date::kWeekday, cell::integer(1)},
        {"yearday", date::kYearday, cell::integer(15)},
        {"Julian", date::kYearday, cell::integer(15)},
        {"week", date::kWeek, cell::integer(3)},
        {"isoweek", date::kIsoweek, cell::integer(3)},
    };
    for (const Read& r : kReads) {
        SCOPED_TRACE(r.word);
        EXPECT_EQ(date::field_id(test::w(r.word), cell::none()), r.id);
        Cell got = date::get_field(d, r.id);
        EXPECT_EQ(type_of(got), type_of(r.value));
        EXPECT_EQ(got.data1, r.value.data1);
        EXPECT_EQ(got.data2, r.value.data2);
        EXPECT_EQ(got.data3, r.value.data3);
    }
    Cell alone = date::get_field(d, date::kDate);
    EXPECT_TRUE(is(alone, TypeId::date));
    EXPECT_EQ(date::packed_of(alone), pack(2024, 1, 15));
    EXPECT_EQ(date::time_of(alone), 0.0);
    EXPECT_EQ(date::field_id(test::w("date"), cell::none()), date::kDate);

    // Without a time there is no zone and no time.
    Cell plain = date_of(2024, 1, 15, 0.0, 0, false);
    EXPECT_TRUE(is(date::get_field(plain, date::kZone), TypeId::none));
    EXPECT_TRUE(is(date::get_field(plain, date::kTime), TypeId::none));

    // Words that are no field: -1, unless time! asks, which cannot use them.
    EXPECT_EQ(date::field_id(test::w("month-name"), cell::none()), date::kNoField);
    EXPECT_EQ(date::field_id(cell::integer(3), cell::none()), date::kNoField);
    auto [id, arg] = test::raised([&] { date::field_id(test::w("month-name"), test::typed(TypeId::time, 1.0)); });
    EXPECT_EQ(id, ErrorId::script_cannot_use);
}

TEST_F(Calendar, DifferenceAndFieldMaking) {
    Cell a = date_of(2024, 3, 1, 3600.0);
    Cell b = date_of(2024, 2, 1, 7200.5);
    date::difference(a, b);
    EXPECT_TRUE(is(a, TypeId::time));
    EXPECT_EQ(float_::get(a), 29 * 86400.0 - 3600.5);

    Cell c = cell::make(TypeId::none);
    c.header |= cell_flag::new_line;
    date::init_cell(c, 2024, 2, 29, 23, 59, 58, 250'000'000);
    EXPECT_TRUE(is(c, TypeId::date));
    EXPECT_TRUE(cell::new_line_q(c));
    EXPECT_EQ(date::packed_of(c), pack(2024, 2, 29, 0, true));
    EXPECT_EQ(date::time_of(c), 86398.25);
}

TEST_F(Calendar, DatesBeyondTheYearsHeldRaiseTypeLimit) {
    Cell d = date_of(date::kMaxYear, 12, 31, 86000.0, 2 << 2);
    const Cell before = d;
    struct Step { const char* what; void (*run)(Cell&); };
    const Step kSteps[] = {
        {"a day on", [](Cell& x) { date::set_day(x, 32); }},
        {"a month on", [](Cell& x) { date::set_month(x, 13); }},
        {"a year on", [](Cell& x) { date::set_year(x, date::kMaxYear + 1); }},
        {"far years", [](Cell& x) { date::set_year(x, INT32_MAX); }},
        {"yearday far", [](Cell& x) { date::set_yearday(x, INT32_MAX); }},
        {"weekday far", [](Cell& x) { date::set_weekday(x, INT32_MIN); }},
        {"week far", [](Cell& x) { date::set_week(x, INT32_MAX); }},
        {"isoweek far", [](Cell& x) { date::set_isoweek(x, INT32_MIN); }},
        {"past midnight", [](Cell& x) { date::set_time(x, 86400.0, true); }},
        {"to the new zone", [](Cell& x) { date::set_zone(x, 14 << 2, true); }},
        {"an endless time", [](Cell& x) { date::set_time(x, INFINITY, false); }},
        {"no time at all", [](Cell& x) { date::set_time(x, NAN, false); }},
        {"a huge time", [](Cell& x) { date::set_time(x, -1e300, false); }},
    };
    for (const Step& s : kSteps) {
        SCOPED_TRACE(s.what);
        auto [id, arg] = test::raised([&] { s.run(d); });
        EXPECT_EQ(id, ErrorId::script_type_limit);
        EXPECT_TRUE(is(arg, TypeId::datatype) && arg.data1 == uint32_t(TypeId::date));
        EXPECT_EQ(std::memcmp(&d, &before, sizeof d), 0);
    }
    // The first day held, and the day before it.
    EXPECT_EQ(date::from_fields(date::kMinYear, 1, 1, 0, false), pack(date::kMinYear, 1, 1));
    EXPECT_EQ(test::raised([] { date::from_fields(date::kMinYear, 1, 0, 0, false); }).first, ErrorId::script_type_limit);
    EXPECT_EQ(test::raised([] {
                  Cell c = cell::make(TypeId::none);
                  date::init_cell(c, date::kMaxYear + 1, 1, 1, 0, 0, 0, 0);
              }).first,
              ErrorId::script_type_limit);
}

TEST_F(Calendar, NowReadsTheClockInTheLocalZone) {
    TimeZone tz("<+0545>-5:45");
    time_t before = time(nullptr);
    Cell local = date::now(false, false);
    Cell utc = date::now(true, true);
    time_t after = time(nullptr);

    uint32_t p = date::packed_of(local);
    EXPECT_TRUE(date::time_q(p));
    EXPECT_EQ(date::zone_of(p), 5u << 2 | 3);
    double t = date::to_local(date::time_of(local), date::zone_of(p));
    EXPECT_TRUE(t >= 0.0 && t < 86400.0);
    EXPECT_EQ(t, std::floor(t));  // whole seconds without /precise
    EXPECT_GE(date::to_epoch(local), int64_t(before));
    EXPECT_LE(date::to_epoch(local), int64_t(after));

    EXPECT_EQ(date::zone_of(date::packed_of(utc)), 0u);
    EXPECT_GE(date::to_epoch(utc), int64_t(before));
    EXPECT_LE(date::to_epoch(utc), int64_t(after) + 1);
}

}  // namespace
