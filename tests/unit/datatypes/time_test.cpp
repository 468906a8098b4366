#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>

#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/symbol.h"
#include "datatypes/registry.h"
#include "datatypes/time.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::block_of;

namespace {

Cell time_of(double seconds) {
    Cell c = cell::make(TypeId::time);
    return time::init_cell(seconds, c);
}

Cell percent_of(double fraction) {
    Cell c = cell::float_(fraction);
    return cell::set_type(c, TypeId::percent);
}

uint64_t bits_of(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

class Times : public testing::Test {
protected:
    void SetUp() override {
        test::clear_stacks();
        float_::init();  // time! copies its inherited entries from float!
        time::init();
    }
    void TearDown() override { test::clear_stacks(); }
    static Cell call(FrameAction action, const Cell& a, const Cell& b) { return test::invoke(action, {a, b}); }
    // The error `body` raises and its first argument.
    template <typename F>
    static std::pair<ErrorId, Cell> raised(F body) { return test::raised(body); }
    static Cell set_field(Cell& time, const Cell& element, const Cell& value) {
        return time::eval_path(time, element, &value, PathStep{});
    }
};

TEST_F(Times, MakeFromNumbersAndBlocks) {
    const Cell proto = cell::datatype(TypeId::time);
    struct Case { Cell spec; double seconds; };
    const Case kCases[] = {
        {cell::integer(90), 90.0},
        {cell::integer(-3600), -3600.0},
        {cell::float_(5.5), 5.5},
        {percent_of(0.5), 0.5},
        {time_of(-12.25), -12.25},
        {block_of({cell::integer(1), cell::integer(2), cell::integer(3)}), 3723.0},
        {block_of({cell::integer(-1), cell::integer(30), cell::integer(0)}), -5400.0},
        {block_of({cell::integer(-2), cell::integer(0), cell::float_(0.5)}), -7200.5},
        {block_of({cell::integer(2)}), 7200.0},
        {block_of({cell::integer(0), cell::integer(90)}), 5400.0},
        {block_of({cell::integer(0), cell::integer(0), cell::float_(1.5)}), 1.5},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.seconds);
        Cell made = time::make(proto, c.spec, TypeId::time);
        EXPECT_TRUE(is(made, TypeId::time));
        EXPECT_EQ(float_::get(made), c.seconds);
    }
    EXPECT_EQ(registry::actions(TypeId::time).to, time::make);

    const Cell kBad[] = {
        block_of({cell::integer(1), cell::integer(-2), cell::integer(0)}),
        block_of({cell::integer(1), cell::integer(2), cell::integer(3), cell::integer(4)}),
        block_of({}),
        block_of({cell::float_(1.0), cell::integer(0)}),
        block_of({cell::integer(1), cell::float_(2.5)}),
        block_of({cell::integer(1), cell::integer(0), cell::integer(-1)}),
        block_of({cell::integer(1), cell::integer(0), cell::make(TypeId::none)}),
        cell::logic(true),
        cell::make(TypeId::none),
    };
    for (const Cell& spec : kBad) {
        SCOPED_TRACE(int(type_of(spec)));
        auto [id, arg] = raised([&] { time::make(proto, spec, TypeId::time); });
        EXPECT_EQ(id, ErrorId::script_bad_to_arg);
        EXPECT_EQ(arg.data1, uint32_t(TypeId::time));
    }
}

TEST_F(Times, FormsAndMolds) {
    struct Case { double seconds; const char* text; };
    const Case kCases[] = {
        {5400.0, "1:30:00"},
        {5.5, "0:00:05.5"},
        {-90.0, "-0:01:30"},
        {360000.0, "100:00:00"},
        {0.0, "0:00:00"},
        {-0.0, "0:00:00"},
        {3723.25, "1:02:03.25"},
        {-5415.5, "-1:30:15.5"},
        {59.5, "0:00:59.5"},
        {0.1 + 0.2, "0:00:00.3"},  // six significant digits
        {1e-7, "0:00:00"},
        {12.0000001, "0:00:12"},
        {59.9999999, "0:01:00"},    // seconds that round to 60 carry into the minutes
        {3599.99999999, "1:00:00"},
        {-119.99999999, "-0:02:00"},
        {59.99994, "0:00:59.9999"},
        {600.0, "0:10:00"},
        {3.6e18, "1000000000000000:00:00"},  // hours beyond the integer range keep every digit
        {std::numeric_limits<double>::quiet_NaN(), "1.#NaN"},
        {-std::numeric_limits<double>::infinity(), "-1.#INF"},
    };
    const ActionTable& actions = registry::actions(TypeId::time);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Node formed = series::alloc_bytes(16), molded = series::alloc_bytes(16);
        int32_t expected = 100 - int32_t(std::strlen(c.text));
        EXPECT_EQ(actions.form(time_of(c.seconds), formed, nullptr, 100), expected);
        EXPECT_EQ(actions.mold(time_of(c.seconds), molded, false, true, false, nullptr, 100, 0), expected);
        EXPECT_EQ(test::byte_text(formed), c.text);
        EXPECT_EQ(test::byte_text(molded), c.text);
    }
}

TEST_F(Times, FieldGetters) {
    struct Case { double seconds; int32_t hour, minute; double second; };
    const Case kCases[] = {
        {5415.5, 1, 30, 15.5},
        {-5400.0, -1, 30, -0.0},   // hours truncate toward zero, minutes of the magnitude
        {-5415.5, -1, 30, -15.5},
        {-90.0, 0, 1, -30.0},
        {360061.0, 100, 1, 1.0},
        {59.75, 0, 0, 59.75},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.seconds);
        Cell t = time_of(c.seconds);
        for (int32_t i = 1; i <= 3; ++i) {
            Cell by_path = time::eval_path(t, cell::integer(i), nullptr, PathStep{});
            Cell by_pick = time::pick(t, i, cell::integer(i));
            EXPECT_EQ(std::memcmp(&by_path, &by_pick, sizeof(Cell)), 0) << i;
            if (i < 3) {
                EXPECT_TRUE(is(by_path, TypeId::integer));
                EXPECT_EQ(cell::get_integer(by_path), i == 1 ? c.hour : c.minute);
            } else {
                EXPECT_TRUE(is(by_path, TypeId::float_));
                EXPECT_EQ(bits_of(float_::get(by_path)), bits_of(c.second));
            }
        }
    }
    for (int32_t bad : {0, 4, -1}) {
        auto [id, arg] = raised([&] { time::pick(time_of(1.0), bad, cell::integer(bad)); });
        EXPECT_EQ(id, ErrorId::script_out_of_range);
        EXPECT_EQ(cell::get_integer(arg), bad);
    }
    for (Cell element : {cell::integer(4), cell::integer(0), cell::logic(true), cell::float_(1.0)}) {
        auto [id, arg] = raised([&] { time::eval_path(time_of(1.0), element, nullptr, PathStep{}); });
        EXPECT_EQ(id, ErrorId::script_invalid_path);
    }
}

TEST_F(Times, FieldsByWord) {
    if (symbol::table == kNoNode) GTEST_SKIP() << "needs the symbol table booted";
    auto word = [](const char* name) { return cell::make(TypeId::word, 0, symbol::intern(name), 0xFFFFFFFF); };
    const Cell t = time_of(-5415.5);
    struct Case { const char* name; int32_t field; };
    const Case kCases[] = {{"hour", 1}, {"minute", 2}, {"second", 3}, {"HOUR", 1}, {"Minute", 2}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(time::field_index(word(c.name), none::value), c.field);
        Cell by_word = time::pick(t, 0, word(c.name));
        Cell by_index = time::get_field(t, c.field);
        EXPECT_EQ(std::memcmp(&by_word, &by_index, sizeof(Cell)), 0);
        Cell path = time::eval_path(t, word(c.name), nullptr, PathStep{});
        EXPECT_EQ(std::memcmp(&path, &by_index, sizeof(Cell)), 0);
    }
    EXPECT_EQ(time::field_index(word("day"), none::value), -1);
    EXPECT_EQ(raised([&] { time::pick(t, 0, word("day")); }).first, ErrorId::script_cannot_use);
    EXPECT_EQ(raised([&] { time::eval_path(t, word("day"), nullptr, PathStep{}); }).first,
              ErrorId::script_invalid_path);
    Cell changed = t;
    Cell minute = cell::integer(45);
    time::eval_path(changed, word("minute"), &minute, PathStep{});
    EXPECT_EQ(float_::get(changed), -6315.5);
}

TEST_F(Times, HoursOutOfTheIntegerRangeRaiseTypeLimit) {
    for (double seconds : {2147483648.0 * 3600.0, -2147483649.0 * 3600.0,
                           std::numeric_limits<double>::quiet_NaN()}) {
        SCOPED_TRACE(seconds);
        auto [id, arg] = raised([&] { time::pick(time_of(seconds), 1, cell::integer(1)); });
        EXPECT_EQ(id, ErrorId::script_type_limit);
        EXPECT_EQ(arg.data1, uint32_t(TypeId::integer));
    }
    EXPECT_EQ(time::get_hours(2147483647.0 * 3600.0), 2147483647);
    EXPECT_EQ(time::get_hours(-2147483648.0 * 3600.0 - 3599.0), -2147483647 - 1);
}

TEST_F(Times, FieldSetters) {
    struct Case { double seconds; int32_t field; Cell value; double expected; };
    const Case kCases[] = {
        {5400.0, 2, cell::integer(45), 6300.0},         // 1:30:00, minute 45: 1:45:00
        {5400.0, 3, cell::float_(7.5), 5407.5},          // second 7.5: 1:30:07.5
        {5400.0, 1, cell::integer(3), 12600.0},          // hour 3: 3:30:00
        {5415.0, 3, cell::integer(0), 5400.0},
        {-5400.0, 2, cell::integer(45), -6300.0},        // -1:30:00, minute 45: -1:45:00
        {-5400.0, 1, cell::integer(-2), -9000.0},        // hour -2: -2:30:00
        {-5415.0, 3, cell::integer(-5), -5405.0},        // -1:30:15, second -5: -1:30:05
        {-1800.0, 1, cell::integer(-1), -5400.0},        // -0:30:00, hour -1: -1:30:00
        {-90.0, 2, cell::integer(0), -30.0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.seconds << " field " << c.field);
        Cell t = time_of(c.seconds);
        Cell result = set_field(t, cell::integer(c.field), c.value);
        EXPECT_EQ(std::memcmp(&result, &c.value, sizeof(Cell)), 0);  // the value assigned
        EXPECT_TRUE(is(t, TypeId::time));
        EXPECT_EQ(float_::get(t), c.expected);
        if (c.field < 3) {
            EXPECT_EQ(cell::get_integer(time::get_field(t, c.field)), cell::get_integer(c.value));
        }
    }

    // Setting any field to the value it reads leaves the time exactly as it was.
    for (double seconds : {-5400.0, -5415.5, -90.0, -0.25, -86399.999, -360061.0, 5415.5, 0.0}) {
        for (int32_t field = 1; field <= 3; ++field) {
            SCOPED_TRACE(testing::Message() << seconds << " field " << field);
            Cell t = time_of(seconds);
            set_field(t, cell::integer(field), time::get_field(t, field));
            EXPECT_EQ(bits_of(float_::get(t)), bits_of(seconds));
        }
    }

    Cell t = time_of(5400.0);
    struct Bad { int32_t field; Cell value; };
    for (const Bad& b : {Bad{1, cell::float_(1.0)}, Bad{2, cell::logic(true)}, Bad{3, cell::make(TypeId::none)}}) {
        auto [id, arg] = raised([&] { set_field(t, cell::integer(b.field), b.value); });
        EXPECT_EQ(id, ErrorId::script_invalid_arg);
        EXPECT_EQ(type_of(arg), type_of(b.value));
    }
    EXPECT_EQ(float_::get(t), 5400.0);
}

TEST_F(Times, Arithmetic) {
    struct Case { FrameAction action; Cell a, b; TypeId type; double expected; };
    const Cell hour = time_of(3600.0), half = time_of(1800.0);
    const Case kCases[] = {
        {time::add, hour, half, TypeId::time, 5400.0},
        {time::add, hour, cell::integer(5), TypeId::time, 3605.0},
        {time::add, hour, cell::float_(0.5), TypeId::time, 3600.5},
        {time::subtract, hour, half, TypeId::time, 1800.0},
        {time::subtract, half, hour, TypeId::time, -1800.0},
        {time::multiply, hour, cell::integer(2), TypeId::time, 7200.0},
        {time::multiply, half, cell::float_(1.5), TypeId::time, 2700.0},
        {time::divide, hour, half, TypeId::float_, 2.0},      // a ratio
        {time::divide, hour, cell::integer(4), TypeId::time, 900.0},
        {integer::multiply, cell::integer(2), hour, TypeId::time, 7200.0},
        {float_::add, cell::float_(1.5), time_of(1.0), TypeId::time, 2.5},
        {registry::actions(TypeId::time).remainder, time_of(3700.0), hour, TypeId::time, 100.0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.expected);
        Cell r = call(c.action, c.a, c.b);
        EXPECT_EQ(type_of(r), c.type);
        EXPECT_EQ(float_::get(r), c.expected);
    }

    auto [id, arg] = raised([&] { call(time::multiply, hour, half); });
    EXPECT_EQ(id, ErrorId::script_not_related);
    auto [id2, arg2] = raised([&] { call(time::subtract, hour, cell::make(TypeId::date)); });
    EXPECT_EQ(id2, ErrorId::script_not_related);

    const ActionTable& t = registry::actions(TypeId::time);
    const ActionTable& f = registry::actions(TypeId::float_);
    EXPECT_EQ(t.compare, f.compare);
    EXPECT_EQ(t.negate, f.negate);
    EXPECT_EQ(t.absolute, f.absolute);
    EXPECT_EQ(t.random, f.random);
    EXPECT_EQ(t.power, nullptr);
    EXPECT_EQ(t.and_, nullptr);
    EXPECT_EQ(t.find, nullptr);
}

TEST_F(Times, Rounding) {
    struct Case { double seconds; Cell scale; bool use_scale, down, floor; double expected; };
    const Case kCases[] = {
        {5429.6, {}, false, false, false, 5430.0},
        {-5429.5, {}, false, false, false, -5430.0},    // half away from zero
        {90.9, {}, false, true, false, 90.0},           // /down
        {-90.1, {}, false, false, true, -91.0},         // /floor
        {5429.0, cell::integer(60), true, false, false, 5400.0},  // integer scale: back to seconds
        {5820.0, time_of(900.0), true, false, false, 5400.0},
        {100.26, cell::float_(0.5), true, false, false, 100.5},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.seconds);
        Cell v = time_of(c.seconds);
        time::round(v, c.use_scale ? &c.scale : nullptr, false, c.down, false, c.floor, false, false);
        EXPECT_TRUE(is(v, TypeId::time));
        EXPECT_EQ(float_::get(v), c.expected);
    }
    Cell money = cell::make(TypeId::money);
    auto [id, arg] = raised([&] {
        Cell v = time_of(1.0);
        time::round(v, &money, false, false, false, false, false, false);
    });
    EXPECT_EQ(id, ErrorId::script_not_related);
    EXPECT_EQ(arg.data1, uint32_t(TypeId::money));
}

TEST_F(Times, EvenAndOddLookAtWholeSecondsOfTheMinute) {
    struct Case { double seconds; bool even; };
    const Case kCases[] = {
        {2.0, true}, {61.0, false}, {0.0, true}, {1.9999999, true}, {-3.0, false},
        {-4.0000001, true}, {59.9999999, true}, {3599.0, false}, {7.5, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(time::even_q(time_of(c.seconds)), c.even);
        EXPECT_EQ(time::odd_q(time_of(c.seconds)), !c.even);
    }
    // A time that is not finite has no whole seconds: neither even nor odd, as for float!.
    for (double x : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(time::even_q(time_of(x)));
        EXPECT_FALSE(time::odd_q(time_of(x)));
    }
}

}  // namespace
