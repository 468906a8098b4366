#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "datatypes/date.h"
#include "datatypes/registry.h"
#include "runtime/error.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

struct FieldsCase { int32_t fields[8]; uint8_t count; const char* text; int64_t epoch; bool in_range; };
struct EpochCase { int32_t seconds; const char* text; };
struct ShiftCase { int32_t fields[8]; int32_t days; int32_t seconds; const char* text; };
struct ApartCase { int32_t a[8]; int32_t b[8]; int32_t days; };
#include "tests/unit/datatypes/date_cases.inc"

class Date : public testing::Test {
protected:
    void SetUp() override { test::clear_stacks(); }
    void TearDown() override { test::clear_stacks(); }
};

// A block of the first `count` integers.
Cell block_of(const int32_t* fields, uint32_t count) {
    Cell b = test::blk({});
    for (uint32_t i = 0; i < count; ++i) block::append_cell(b, cell::integer(fields[i]));
    return b;
}

// The date `to` makes of all eight fields: day, month, year, hour, minute, second, zone.
Cell timed(const int32_t* fields) { return date::to(cell::none(), block_of(fields, 8), TypeId::date); }

std::string fields_text(const int32_t* fields, uint32_t count) { return test::mold_text(block_of(fields, count)); }

TEST_F(Date, BlocksOfFieldsCarryAsTheOracleDoes) {
    for (const FieldsCase& c : kFields) {
        Cell spec = block_of(c.fields, c.count);
        SCOPED_TRACE(test::mold_text(spec));
        Cell d = date::to(cell::none(), spec, TypeId::date);
        EXPECT_EQ(test::form_text(d), c.text);
        EXPECT_EQ(date::to_epoch(d), c.epoch);
        // make takes the fields only when none of them had to carry.
        test::Outcome made = test::trapped([&] { return date::make(cell::none(), spec, TypeId::date); });
        if (c.in_range) {
            ASSERT_FALSE(made.error);
            EXPECT_EQ(test::form_text(made.value), c.text);
        } else {
            EXPECT_EQ(made.error, ErrorId::script_bad_to_arg);
        }
    }
}

TEST_F(Date, EpochSecondsAreDatesInUtc) {
    for (const EpochCase& c : kEpochs) {
        SCOPED_TRACE(c.seconds);
        Cell d = date::to(cell::none(), cell::integer(c.seconds), TypeId::date);
        EXPECT_EQ(test::form_text(d), c.text);
        EXPECT_EQ(date::to_integer(d), c.seconds);
    }
    // Beyond the integer's range the seconds do not fit.
    Cell far = date::to(cell::none(), test::blk({cell::integer(1), cell::integer(1), cell::integer(2100)}), TypeId::date);
    EXPECT_EQ(test::error_of([&] { date::to_integer(far); }), ErrorId::script_type_limit);
}

TEST_F(Date, DaysAndTimesMoveTheLocalClockInItsZone) {
    for (const ShiftCase& c : kShifts) {
        SCOPED_TRACE(fields_text(c.fields, 8) + " + " + std::to_string(c.days) + " days " + std::to_string(c.seconds) + " s");
        Cell d = test::invoke(date::add, {timed(c.fields), cell::integer(c.days)});
        Cell t = cell::make(TypeId::time);
        cell::put_float(t, c.seconds);
        d = test::invoke(date::add, {d, t});
        EXPECT_EQ(test::form_text(d), c.text);
        // The same moves undone in the other order come back to the start.
        Cell back = test::invoke(date::subtract, {test::invoke(date::subtract, {d, cell::integer(c.days)}), t});
        EXPECT_EQ(test::form_text(back), test::form_text(timed(c.fields)));
    }
}

TEST_F(Date, DatesApartAreTheWholeDaysBetweenTheirInstants) {
    for (const ApartCase& c : kApart) {
        SCOPED_TRACE(fields_text(c.a, 8) + " - " + fields_text(c.b, 8));
        Cell days = test::invoke(date::subtract, {timed(c.a), timed(c.b)});
        ASSERT_TRUE(is(days, TypeId::integer));
        EXPECT_EQ(cell::get_integer(days), c.days);
    }
}

TEST_F(Date, ArithmeticBeyondTheCalendarIsRefused) {
    Cell last = date::to(cell::none(), test::blk({cell::integer(31), cell::integer(12), cell::integer(date::kMaxYear)}),
                         TypeId::date);
    EXPECT_EQ(test::call(date::add, last, cell::integer(1)).error, ErrorId::script_type_limit);
    EXPECT_EQ(test::call(date::add, last, cell::integer(INT32_MIN)).error, ErrorId::script_type_limit);
    EXPECT_EQ(test::error_of([] { date::from_epoch(INT64_C(1) << 50); }), ErrorId::script_type_limit);
    // A failed move leaves the date as it was.
    EXPECT_EQ(test::form_text(last), "31-Dec-16383");
}

}  // namespace
