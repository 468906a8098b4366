// vector!: construction, molds, element arithmetic, comparison and insertion.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::blk;
using test::Outcome;
using test::str;
using test::utf8_of;

namespace {

Cell I(int32_t v) { return cell::integer(v); }
Cell C(uint32_t cp) { return char_::cell_of(cp); }
Cell F(double d) { return cell::float_(d); }
Cell P(double fraction) {
    Cell c = cell::float_(fraction);
    return cell::set_type(c, TypeId::percent);
}
Cell W(const char* name) { return word::from_c_string(name); }

Cell make(const Cell& spec) { return vector::make(cell::datatype(TypeId::vector), spec, TypeId::vector); }

struct Molded {
    std::string text;
    int32_t left;
};
Molded mold_of(const Cell& v, bool only = false, int32_t limit = INT32_MAX) {
    Cell s = string::make_cell(16);
    Cell part = I(limit);
    int32_t left = vector::mold(v, s.data2, only, false, false, limit == INT32_MAX ? nullptr : &part, limit, 0);
    return {utf8_of(s), left};
}
std::string molded(const Cell& v) { return mold_of(v).text; }
std::string formed(const Cell& v) {
    Cell s = string::make_cell(16);
    vector::form(v, s.data2, nullptr, INT32_MAX);
    return utf8_of(s);
}

// The elements from the head as doubles (every element type fits one exactly).
std::vector<double> elements(const Cell& v) {
    Cell b = vector::to_block(v);
    std::vector<double> out;
    for (uint32_t i = 0; i < block::length_from_head(b); ++i) {
        const Cell& c = *block::cell_at(b, i);
        out.push_back(is(c, TypeId::float_) || is(c, TypeId::percent) ? cell::get_float(c) : double(int32_t(c.data2)));
    }
    return out;
}

template <typename F>
Outcome trapped(F body) { return test::trapped(body, W("try")); }

// A frame action on two arguments; the result is argument 0.
Outcome call(FrameAction action, const Cell& a, const Cell& b) { return test::call(action, {a, b}, W("op")); }

Outcome scalar_left(MathOp op, const Cell& scalar, const Cell& v) {
    return trapped([&] {
        frame::push_native(W("op"));
        stack::push(scalar);
        stack::push(v);
        vector::scalar_math(op);
        Cell r = stack::base[0];
        frame::pop();
        return r;
    });
}

class Vector : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        vector::init();
    }
};

TEST_F(Vector, MakeAndMold) {
    struct Case {
        const char* name;
        std::function<Cell()> spec;
        std::string mold;
    };
    const Case kCases[] = {
        {"integers", [] { return blk({I(1), I(2), I(3)}); }, "make vector! [1 2 3]"},
        {"16-bit", [] { return blk({W("integer!"), I(16), blk({I(1), I(2), I(3)})}); }, "make vector! [integer! 16 [1 2 3]]"},
        {"count of floats", [] { return blk({W("float!"), I(32), I(3)}); }, "make vector! [float! 32 [0.0 0.0 0.0]]"},
        {"count and values", [] { return blk({W("integer!"), I(8), I(5), blk({I(1), I(2)})}); },
         "make vector! [integer! 8 [1 2 0 0 0]]"},
        {"more values than the count", [] { return blk({W("integer!"), I(8), I(1), blk({I(1), I(2)})}); },
         "make vector! [integer! 8 [1 2]]"},
        {"default width named", [] { return blk({W("float!"), I(64), blk({F(1.5)})}); }, "make vector! [1.5]"},
        {"empty block", [] { return blk({}); }, "make vector! [integer! 32 []]"},
        {"size", [] { return I(3); }, "make vector! [0 0 0]"},
        {"size as float", [] { return F(2.9); }, "make vector! [0 0]"},
        {"negative size", [] { return I(-4); }, "make vector! [integer! 32 []]"},
        {"chars", [] { return blk({C('a'), C('"'), C(0x20AC)}); }, "make vector! [#\"a\" #\"^\"\" #\"\u20AC\"]"},
        {"8-bit chars", [] { return blk({W("char!"), I(8), blk({C(0xE9), C('b')})}); }, "make vector! [char! 8 [#\"\u00E9\" #\"b\"]]"},
        {"floats", [] { return blk({F(1.5), F(-2.0)}); }, "make vector! [1.5 -2.0]"},
        {"32-bit floats", [] { return blk({W("float!"), I(32), blk({F(0.1)})}); }, "make vector! [float! 32 [0.1]]"},
        {"percents", [] { return blk({P(0.5), P(0.25)}); }, "make vector! [50% 25%]"},
        {"percents without width", [] { return blk({W("percent!"), blk({P(0.5)})}); }, "make vector! [50%]"},
        {"percents of any width", [] { return blk({W("percent!"), I(12), I(1)}); }, "make vector! [0%]"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(molded(make(c.spec())), c.mold);
    }
    EXPECT_EQ(formed(make(blk({P(0.5), P(0.25)}))), "50% 25%");
    EXPECT_EQ(formed(make(blk({C('a'), C('"')}))), "a \"");
    EXPECT_EQ(mold_of(make(blk({I(1), I(2)})), true).text, "1 2");
    EXPECT_EQ(mold_of(make(blk({W("integer!"), I(16), blk({I(1)})})), true).text, "integer! 16 [1]");
}

TEST_F(Vector, MakeErrors) {
    struct Case {
        const char* name;
        std::function<Cell()> spec;
        ErrorId error;
    };
    const Case kCases[] = {
        {"12-bit integers", [] { return blk({W("integer!"), I(12), blk({I(1)})}); }, ErrorId::script_bad_make_arg},
        {"string elements", [] { return blk({W("string!"), I(8), blk({I(1)})}); }, ErrorId::script_bad_make_arg},
        {"64-bit integers", [] { return blk({W("integer!"), I(64), I(1)}); }, ErrorId::script_bad_make_arg},
        {"16-bit floats", [] { return blk({W("float!"), I(16), I(1)}); }, ErrorId::script_bad_make_arg},
        {"type alone", [] { return blk({W("integer!")}); }, ErrorId::script_bad_make_arg},
        {"mixed values", [] { return blk({I(1), F(2.0)}); }, ErrorId::script_invalid_arg},
        {"wrong value in type form", [] { return blk({W("char!"), I(8), blk({I(1)})}); }, ErrorId::script_invalid_arg},
        {"missing width", [] { return blk({W("integer!"), blk({I(1)})}); }, ErrorId::script_invalid_spec_field},
        {"no count", [] { return blk({W("integer!"), I(32)}); }, ErrorId::script_invalid_spec_field},
        {"count of another type", [] { return blk({W("integer!"), I(32), str("x")}); }, ErrorId::script_invalid_spec_field},
        {"string values", [] { return blk({str("a")}); }, ErrorId::script_invalid_type},
        {"spec of another type", [] { return str("x"); }, ErrorId::internal_not_done},
        {"size out of range", [] { return F(3e10); }, ErrorId::script_out_of_range},
        {"size beyond memory", [] { return I(INT32_MAX); }, ErrorId::internal_no_memory},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(trapped([&] { return make(c.spec()); }).error, c.error);
    }
}

TEST_F(Vector, IntegerElementsWrapAtTheirWidth) {
    auto v8 = [](std::initializer_list<Cell> values) { return make(blk({W("integer!"), I(8), blk(values)})); };
    auto v32 = [](std::initializer_list<Cell> values) { return make(blk(values)); };
    struct Case {
        const char* name;
        Cell vector;
        FrameAction action;
        Cell operand;
        std::vector<double> expected;
    };
    const Case kCases[] = {
        {"127 + 1 in 8 bits", v8({I(127)}), vector::add, I(1), {-128}},
        {"100 * 3 in 8 bits", v8({I(100), I(-2)}), vector::multiply, I(3), {44, -6}},
        {"32-bit add wraps", v32({I(INT32_MAX)}), vector::add, I(1), {INT32_MIN}},
        {"32-bit multiply wraps", v32({I(65536)}), vector::multiply, I(65536), {0}},
        {"division truncates", v32({I(7), I(-7)}), vector::divide, I(2), {3, -3}},
        {"remainder", v32({I(7), I(-7)}), vector::remainder, I(3), {1, -1}},
        {"float scalar truncated", v32({I(10)}), vector::subtract, F(2.9), {8}},
        {"bitwise", v32({I(12)}), vector::and_, I(10), {8}},
        {"or", v32({I(12)}), vector::or_, I(3), {15}},
        {"xor", v32({I(12)}), vector::xor_, I(10), {6}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Outcome o = call(c.action, c.vector, c.operand);
        ASSERT_FALSE(o.error);
        EXPECT_EQ(o.value.data2, c.vector.data2);  // changed in place
        EXPECT_EQ(elements(c.vector), c.expected);
    }
    EXPECT_EQ(call(vector::divide, v32({I(1)}), I(0)).error, ErrorId::math_zero_divide);
    EXPECT_EQ(call(vector::remainder, v32({I(1)}), I(0)).error, ErrorId::math_zero_divide);
    EXPECT_EQ(call(vector::divide, v32({I(INT32_MIN)}), I(-1)).error, ErrorId::math_overflow);
    EXPECT_EQ(call(vector::add, v32({I(1)}), str("x")).error, ErrorId::internal_not_done);
    EXPECT_EQ(vector::int_op(INT32_MIN, 1, MathOp::subtract), INT32_MAX);
}

TEST_F(Vector, FloatAndPercentElements) {
    Cell v = make(blk({F(1.5), F(-2.0)}));
    ASSERT_FALSE(call(vector::multiply, v, I(2)).error);
    EXPECT_EQ(elements(v), (std::vector<double>{3.0, -4.0}));
    ASSERT_FALSE(call(vector::divide, v, F(0.0)).error);  // IEEE results, never an error
    EXPECT_EQ(elements(v), (std::vector<double>{INFINITY, -INFINITY}));
    EXPECT_EQ(call(vector::and_, v, I(1)).error, ErrorId::script_cannot_use);

    // 32-bit elements round each result to single precision.
    Cell single = make(blk({W("float!"), I(32), blk({F(1.0)})}));
    ASSERT_FALSE(call(vector::divide, single, I(3)).error);
    EXPECT_EQ(elements(single)[0], double(1.0f / 3.0f));

    Cell percents = make(blk({P(0.5)}));
    ASSERT_FALSE(call(vector::add, percents, P(0.25)).error);
    EXPECT_EQ(molded(percents), "make vector! [75%]");
}

TEST_F(Vector, ScalarOnTheLeft) {
    // A scalar on the left runs the same core: 10 - v changes v as v - 10 does.
    Cell v = make(blk({I(12), I(40)}));
    Outcome o = scalar_left(MathOp::subtract, I(10), v);
    ASSERT_FALSE(o.error);
    EXPECT_EQ(o.value.data2, v.data2);
    EXPECT_EQ(elements(v), (std::vector<double>{2, 30}));
    ASSERT_FALSE(scalar_left(MathOp::divide, I(2), v).error);
    EXPECT_EQ(elements(v), (std::vector<double>{1, 15}));
    ASSERT_FALSE(scalar_left(MathOp::remainder, I(4), v).error);
    EXPECT_EQ(elements(v), (std::vector<double>{1, 3}));
    ASSERT_FALSE(scalar_left(MathOp::subtract, I(0), v).error);  // v - 0: nothing changes
    EXPECT_EQ(elements(v), (std::vector<double>{1, 3}));
    Cell f = make(blk({F(4.0)}));
    ASSERT_FALSE(scalar_left(MathOp::divide, F(8.0), f).error);
    EXPECT_EQ(elements(f), (std::vector<double>{0.5}));

    // Dividing by a zero scalar fails before any element changes.
    Cell z = make(blk({I(5), I(0), I(2)}));
    EXPECT_EQ(scalar_left(MathOp::divide, I(0), z).error, ErrorId::math_zero_divide);
    EXPECT_EQ(elements(z), (std::vector<double>{5, 0, 2}));
}

TEST_F(Vector, CharElementsStayCodePoints) {
    // 8 and 16-bit char elements read back unsigned, so every one is a character.
    Cell narrow = make(blk({W("char!"), I(8), blk({C(0xE9)})}));
    Cell c = vector::element_to_cell(narrow, memory::buffer_of(narrow.data2)->head);
    EXPECT_TRUE(is(c, TypeId::char_));
    EXPECT_EQ(c.data2, 0xE9u);
    ASSERT_FALSE(call(vector::add, narrow, I(30)).error);  // wraps within the byte
    EXPECT_EQ(elements(narrow), (std::vector<double>{7}));

    // A 32-bit char element refuses a result that is no code point, changing nothing.
    Cell wide = make(blk({C('b'), C('a')}));
    EXPECT_EQ(call(vector::subtract, wide, I(98)).error, ErrorId::math_overflow);
    EXPECT_EQ(elements(wide), (std::vector<double>{'b', 'a'}));
    ASSERT_FALSE(call(vector::subtract, wide, I(97)).error);
    EXPECT_EQ(elements(wide), (std::vector<double>{1, 0}));
}

TEST_F(Vector, VectorWithVector) {
    Cell a = make(blk({W("integer!"), I(8), blk({I(100), I(2), I(3)})}));
    Cell b = make(blk({I(100), I(20)}));
    Outcome o = call(vector::add, a, b);
    ASSERT_FALSE(o.error);
    EXPECT_NE(o.value.data2, a.data2);
    EXPECT_NE(o.value.data2, b.data2);
    EXPECT_EQ(molded(o.value), "make vector! [200 22]");  // the wider width, the shorter length
    EXPECT_EQ(elements(a), (std::vector<double>{100, 2, 3}));
    EXPECT_EQ(elements(b), (std::vector<double>{100, 20}));

    Cell shifted = b;
    shifted.data1 = 1;
    EXPECT_EQ(elements(call(vector::multiply, shifted, b).value), (std::vector<double>{2000}));
    EXPECT_EQ(call(vector::add, a, make(blk({F(1.0)}))).error, ErrorId::script_not_same_type);
    EXPECT_EQ(call(vector::divide, b, make(blk({I(1), I(0)}))).error, ErrorId::math_zero_divide);
    Cell fa = make(blk({F(1.0), F(2.0)}));
    Cell fb = make(blk({W("float!"), I(32), blk({F(0.5), F(0.25)})}));
    EXPECT_EQ(molded(call(vector::subtract, fa, fb).value), "make vector! [0.5 1.75]");
}

TEST_F(Vector, Compare) {
    Cell a = make(blk({I(1), I(2)}));
    Cell a_again = make(blk({I(1), I(2)}));
    Cell longer = make(blk({I(1), I(2), I(3)}));
    Cell narrow = make(blk({W("integer!"), I(8), blk({I(1), I(2)})}));
    struct Case { Cell x, y; CompareOp op; int32_t expected; };
    const Case kCases[] = {
        {a, a_again, CompareOp::equal, 0},
        {a, narrow, CompareOp::equal, 0},        // the widths do not matter
        {a, longer, CompareOp::equal, 1},        // different lengths are unequal
        {a, longer, CompareOp::sort, -1},        // the shorter sorts first
        {longer, a, CompareOp::lesser, 1},
        {a, make(blk({I(1), I(3)})), CompareOp::lesser, -1},
        {a, a, CompareOp::same, 0},
        {a, a_again, CompareOp::same, -1},
        {make(blk({F(NAN), F(1.0)})), make(blk({F(NAN), F(2.0)})), CompareOp::sort, 0},
    };
    for (const Case& c : kCases) EXPECT_EQ(vector::compare(c.x, c.y, c.op), c.expected);
    EXPECT_EQ(vector::compare(a, I(1), CompareOp::equal), kNotComparable);
    EXPECT_EQ(trapped([&] { return I(vector::compare(a, make(blk({F(1.0)})), CompareOp::equal)); }).error,
              ErrorId::script_not_same_type);
}

TEST_F(Vector, AppendInsertAndChange) {
    Cell v = make(blk({I(1), I(2)}));
    Cell r = vector::append(v, blk({I(3), I(4), I(5)}), 2, false, 1, true);
    EXPECT_EQ(r.data1, 0u);
    EXPECT_EQ(molded(v), "make vector! [1 2 3 4]");
    vector::append(v, I(9), -1, false, 3, true);
    EXPECT_EQ(molded(v), "make vector! [1 2 3 4 9 9 9]");
    Cell at2 = v;
    at2.data1 = 1;
    r = vector::append(at2, blk({I(7), I(8)}), -1, false, 2, false);  // insert
    EXPECT_EQ(r.data1, 5u);
    EXPECT_EQ(molded(v), "make vector! [1 7 8 7 8 2 3 4 9 9 9]");
    EXPECT_EQ(registry::actions(TypeId::vector).insert, registry::actions(TypeId::vector).append);

    // A value of another type is refused before anything changes.
    EXPECT_EQ(trapped([&] { return vector::append(v, blk({I(1), F(2.0)}), -1, false, 1, true); }).error,
              ErrorId::script_invalid_arg);
    EXPECT_EQ(trapped([&] { return vector::append(v, C('a'), -1, false, 1, true); }).error,
              ErrorId::script_invalid_arg);
    EXPECT_EQ(vector::length_from_head(v), 11u);
    EXPECT_EQ(trapped([&] { return vector::append(v, I(1), -1, false, INT32_MAX, true); }).error,
              ErrorId::internal_no_memory);

    // change: /part replaces that many (shrinking or growing the vector), else as many as written.
    Cell w = make(blk({I(1), I(2), I(3), I(4)}));
    Cell w1 = w;
    w1.data1 = 1;
    r = vector::change(w1, I(9), 2, false, 1, false);
    EXPECT_EQ(molded(w), "make vector! [1 9 4]");
    EXPECT_EQ(r.data1, 2u);
    r = vector::change(w1, blk({I(5), I(6), I(7)}), -1, false, 1, false);
    EXPECT_EQ(molded(w), "make vector! [1 5 6 7]");
    EXPECT_EQ(r.data1, 4u);
    vector::change(w1, I(0), 1, false, 3, false);
    EXPECT_EQ(molded(w), "make vector! [1 0 0 0 6 7]");
    // A vector of the same element type and another width is converted element by element.
    vector::change(w, make(blk({W("integer!"), I(8), blk({I(-1), I(-2)})})), -1, false, 1, false);
    EXPECT_EQ(molded(w), "make vector! [-1 -2 0 0 6 7]");
    EXPECT_EQ(trapped([&] { return vector::change(w, make(blk({F(1.0)})), -1, false, 1, false); }).error,
              ErrorId::script_invalid_arg);
    // Changing a vector with itself reads it before writing.
    vector::change(w1, w, -1, false, 1, false);
    EXPECT_EQ(molded(w), "make vector! [-1 -1 -2 0 0 6 7]");
}

TEST_F(Vector, InheritedActionsReachTheElements) {
    Cell v = make(blk({W("integer!"), I(16), blk({I(-5), I(300)})}));
    const ActionTable& actions = registry::actions(TypeId::vector);
    ASSERT_NE(actions.pick, nullptr);
    Cell second = actions.pick(v, 2, I(2));
    EXPECT_TRUE(is(second, TypeId::integer));
    EXPECT_EQ(cell::get_integer(second), 300);
    EXPECT_EQ(actions.length_q(v), 2);
    EXPECT_EQ(actions.to, nullptr);
    EXPECT_EQ(actions.negate, nullptr);

    vector::append_int32(v, 70000);  // truncated to the 16-bit width
    EXPECT_EQ(elements(v), (std::vector<double>{-5, 300, 4464}));
    Cell tail = v;
    tail.data1 = 1;
    vector::clear_from_head(tail);
    EXPECT_EQ(elements(v), (std::vector<double>{-5}));
}

TEST_F(Vector, MoldStopsAtTheLimit) {
    Cell v = make(blk({I(10), I(20), I(30)}));  // make vector! [10 20 30]: 23 characters
    struct Case { int32_t limit; std::string text; int32_t left; };
    const Case kCases[] = {
        {100, "make vector! [10 20 30]", 77},
        {23, "make vector! [10 20 30]", 0},
        {18, "make vector! [10 2", 0},
        {14, "make vector! [", 0},
        {3, "mak", 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.limit);
        Molded m = mold_of(v, false, c.limit);
        EXPECT_EQ(m.text, c.text);
        EXPECT_EQ(m.left, c.left);
    }
}

}  // namespace
