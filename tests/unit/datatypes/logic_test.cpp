#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

// Empty stacks around every test; the three types registered by their own modules.
class Logic : public testing::Test {
protected:
    void SetUp() override {
        test::clear_stacks();
        unset::init();
        none::init();
        logic::init();
    }
    void TearDown() override { test::clear_stacks(); }
    // Calls a frame action with two arguments; returns the result slot.
    static Cell call(FrameAction action, const Cell& a, const Cell& b) { return test::invoke(action, {a, b}); }
    // Runs `body` under a trap; returns the error it raised.
    template <typename F>
    static Cell trapped(F body) {
        frame::push_trap(test::unbound_word());
        try {
            body();
        } catch (const Throw& t) {
            EXPECT_EQ(t.code, throw_code::error);
            Cell e = *stack::top();
            test::clear_stacks();
            return e;
        }
        ADD_FAILURE() << "nothing raised";
        test::clear_stacks();
        return cell::none();
    }
};

TEST_F(Logic, MoldsAndForms) {
    struct Case { Cell value; bool mold; bool all; const char* text; };
    const Case kCases[] = {
        {unset::value, false, false, ""},          {unset::value, true, false, "unset"},
        {unset::value, true, true, "#(unset)"},    {none::value, false, false, "none"},
        {none::value, true, false, "none"},        {none::value, true, true, "#(none)"},
        {logic::true_, false, false, "true"},      {logic::false_, false, false, "false"},
        {logic::true_, true, false, "true"},       {logic::false_, true, true, "#(false)"},
        {logic::true_, true, true, "#(true)"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        const ActionTable& actions = registry::actions(type_of(c.value));
        Node s = series::alloc_bytes(16);
        int32_t left = c.mold ? actions.mold(c.value, s, false, c.all, false, nullptr, 50, 0)
                              : actions.form(c.value, s, nullptr, 50);
        EXPECT_EQ(test::byte_text(s), c.text);
        EXPECT_EQ(left, 50 - int32_t(std::strlen(c.text)));
    }
}

TEST_F(Logic, Compares) {
    struct Case { Cell a, b; CompareOp op; int32_t expected; };
    const Cell t = logic::true_, f = logic::false_, u = unset::value, n = none::value;
    const Case kCases[] = {
        {u, u, CompareOp::equal, 0},           {u, u, CompareOp::same, 0},
        {u, u, CompareOp::sort, 0},            {u, u, CompareOp::lesser, kNotComparable},
        {u, n, CompareOp::equal, kNotComparable},
        {n, n, CompareOp::strict_equal, 0},    {n, n, CompareOp::find, 0},
        {n, n, CompareOp::case_sort, 0},       {n, n, CompareOp::greater, kNotComparable},
        {n, f, CompareOp::equal, kNotComparable},
        {n, cell::integer(0), CompareOp::not_equal, kNotComparable},
        {t, t, CompareOp::equal, 0},           {t, f, CompareOp::equal, 1},
        {f, t, CompareOp::not_equal, -1},      {t, f, CompareOp::sort, 1},  // true sorts after false
        {f, t, CompareOp::sort, -1},           {t, t, CompareOp::same, 0},
        {t, f, CompareOp::lesser, kNotComparable},
        {t, cell::integer(1), CompareOp::equal, kNotComparable},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << int(type_of(c.a)) << " vs " << int(type_of(c.b))
                                        << " op " << int(c.op));
        EXPECT_EQ(registry::actions(type_of(c.a)).compare(c.a, c.b, c.op), c.expected);
    }
}

TEST_F(Logic, MakeReadsNumbersToReadsPresence) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Cell percent_zero = cell::float_(0.0);
    cell::set_type(percent_zero, TypeId::percent);
    struct Case { Cell spec; bool make; bool to; };
    const Case kCases[] = {
        {cell::integer(0), false, true},  // to: any value but none and false is true
        {cell::integer(-7), true, true},
        {cell::float_(0.0), false, true},
        {cell::float_(-0.0), false, true},
        {cell::float_(nan), true, true},
        {cell::float_(1e-300), true, true},
        {percent_zero, false, true},
        {none::value, false, false},
        {logic::false_, false, false},
        {logic::true_, true, true},
        {unset::value, true, true},
        {cell::datatype(TypeId::none), true, true},
    };
    const Cell proto = cell::datatype(TypeId::logic);
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "type " << int(type_of(c.spec)));
        const ActionTable& actions = registry::actions(TypeId::logic);
        Cell made = actions.make(proto, c.spec, TypeId::logic);
        Cell converted = actions.to(proto, c.spec, TypeId::logic);
        ASSERT_TRUE(is(made, TypeId::logic));
        ASSERT_TRUE(is(converted, TypeId::logic));
        EXPECT_EQ(logic::get(made), uint32_t(c.make));
        EXPECT_EQ(logic::get(converted), uint32_t(c.to));
    }
    EXPECT_TRUE(is(unset::make(proto, cell::integer(3), TypeId::unset), TypeId::unset));
    EXPECT_TRUE(is(none::make(proto, logic::true_, TypeId::none), TypeId::none));
}

TEST_F(Logic, BitwiseOperatorsAndComplement) {
    struct Case { bool a, b, and_, or_, xor_; };
    const Case kCases[] = {
        {false, false, false, false, false},
        {false, true, false, true, true},
        {true, false, false, true, true},
        {true, true, true, true, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.a << " " << c.b);
        Cell a = cell::logic(c.a), b = cell::logic(c.b);
        EXPECT_EQ(logic::get(call(logic::and_, a, b)), uint32_t(c.and_));
        EXPECT_EQ(logic::get(call(logic::or_, a, b)), uint32_t(c.or_));
        EXPECT_EQ(logic::get(call(logic::xor_, a, b)), uint32_t(c.xor_));
        Cell flipped = logic::complement(a);
        EXPECT_TRUE(is(flipped, TypeId::logic));
        EXPECT_EQ(logic::get(flipped), uint32_t(!c.a));
    }
}

TEST_F(Logic, BitwiseOperatorRefusesANonLogicSecondArgument) {
    if (symbol::table == kNoNode) GTEST_SKIP() << "needs the symbol table booted";
    Cell e = trapped([] { call(logic::or_, logic::true_, cell::integer(1)); });
    ASSERT_EQ(error::id_of(e), ErrorId::script_expect_arg);
    EXPECT_EQ(error::field(e, error::arg2).data1, uint32_t(TypeId::integer));
    EXPECT_TRUE(is(error::field(e, error::arg3), TypeId::word));
    EXPECT_EQ(symbol::name(error::field(e, error::arg3).data2), "value2");
}

TEST_F(Logic, TruthTests) {
    struct Case { Cell value; bool truth; };
    const Case kCases[] = {
        {none::value, false},     {logic::false_, false}, {logic::true_, true},
        {unset::value, true},     {cell::integer(0), true}, {cell::float_(0.0), true},
        {cell::make(TypeId::block), true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "type " << int(type_of(c.value)));
        EXPECT_EQ(logic::cell_true_q(c.value, false), c.truth);
        stack::push(c.value);
        EXPECT_EQ(logic::top_true_q(), c.truth);
        EXPECT_EQ(logic::top_false_q(), !c.truth);
        stack::set_return(c.value);
        EXPECT_EQ(logic::return_false_q(), !c.truth);
        if (!is(c.value, TypeId::unset)) {
            EXPECT_EQ(logic::return_true_q(), c.truth);
        }
        test::clear_stacks();
    }

    Cell no_value = trapped([] { logic::cell_true_q(unset::value, true); });
    EXPECT_EQ(error::id_of(no_value), ErrorId::script_no_value);
    Cell no_return = trapped([] {
        stack::push(unset::value);
        stack::base = stack::top();
        logic::return_true_q();
    });
    EXPECT_EQ(error::id_of(no_return), ErrorId::script_no_return);
}

TEST_F(Logic, RandomIsTrueForHalfOfTheDraws) {
    random::init();
    // Seeding answers unset! and restarts the generator on the payload.
    Cell seed = logic::true_;
    logic::random(seed, true, false, false);
    EXPECT_TRUE(is(seed, TypeId::unset));
    std::mt19937 reference(1);
    int trues = 0;
    for (int i = 0; i < 20000; ++i) {
        Cell v = logic::false_;
        logic::random(v, false, false, false);
        ASSERT_TRUE(is(v, TypeId::logic));
        bool expected = (reference() & 0x7FFFFFFF) > 0x3FFFFFFF;
        ASSERT_EQ(logic::get(v), uint32_t(expected)) << "draw " << i;
        trues += int(expected);
    }
    EXPECT_NEAR(trues, 10000, 400);

    int secure_trues = 0;
    for (int i = 0; i < 4000; ++i) {
        Cell v = logic::false_;
        logic::random(v, false, true, false);
        secure_trues += int(logic::get(v));
    }
    EXPECT_NEAR(secure_trues, 2000, 200);
}

TEST_F(Logic, NoneAnswersNoneToSeriesActions) {
    const ActionTable& actions = registry::actions(TypeId::none);
    const Cell key = cell::integer(1);
    EXPECT_TRUE(is(actions.find(none::value, key, {}), TypeId::none));
    EXPECT_TRUE(is(actions.select(none::value, key, {}), TypeId::none));
    EXPECT_TRUE(is(actions.take(none::value, nullptr, false, false), TypeId::none));
    Cell cleared = logic::true_, removed = logic::true_;
    actions.clear(cleared);
    actions.remove(removed, nullptr, nullptr);
    EXPECT_TRUE(is(cleared, TypeId::none));
    EXPECT_TRUE(is(removed, TypeId::none));
    EXPECT_EQ(actions.length_q(none::value), -1);
    EXPECT_EQ(registry::actions(TypeId::unset).find, nullptr);
    EXPECT_EQ(registry::actions(TypeId::logic).length_q, nullptr);
}

}  // namespace
