// The action dispatch layer: entries called over native frames as the interpreter calls them,
// the comparison core, and the fast paths.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/internal.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::Outcome;
using actions::Slot;

namespace {

Cell B(std::initializer_list<Cell> cells, uint32_t head = 0) { return test::blk(cells, head); }
Cell S(const char* utf8) { return test::str(utf8); }
Cell I(int32_t v) { return cell::integer(v); }
Cell F(double d) { return cell::float_(d); }
Cell C(uint32_t cp) { return cell::make(TypeId::char_, 0, cp, 0); }
Cell T(bool b) { return cell::logic(b); }
Cell N() { return cell::none(); }
Cell w(const char* name) { return word::from_c_string(name); }

Cell at(Cell s, uint32_t head) {
    s.data1 = head;
    return s;
}

// The text of a string from its head (ASCII in these tests).
std::string text_of(Cell s) {
    std::string out;
    for (uint32_t i = s.data1; i < series_::total_length(s); ++i) out += char(string::char_at(s, i));
    return out;
}

std::string molded(const Cell& v) {
    Cell s = string::make_cell(16);
    actions::mold(v, s.data2, false, false, false, nullptr, 0x7FFFFFFF, 0);
    return text_of(s);
}

class Actions : public testing::Test {
protected:
    static void SetUpTestSuite() { actions::init_entries(); }

    void SetUp() override {
        test::reset_stacks();
        frame::unwinding = 0;
    }

    // Runs `body` under a trap with its result slot; an error raised inside is reported instead
    // of ending the run.
    template <typename F>
    static Outcome trapped(F body) {
        return test::trapped(
            [&] {
                stack::push(cell::unset());
                return body();
            },
            words::try_);
    }

    // Calls the entry of `slot` as the interpreter does: a native frame named by the action,
    // the arguments in its cells, one position per refinement.
    static Outcome entry(Slot slot, const char* name, std::vector<Cell> args, std::vector<int32_t> refs = {}) {
        return trapped([&] {
            frame::push_native(w(name));
            for (const Cell& a : args) stack::push(a);
            refs.resize(16, -1);
            actions::at(uint32_t(slot))(refs.data());
            Cell r = stack::base[0];
            frame::pop();
            return r;
        });
    }
    static Cell value(Slot slot, const char* name, std::vector<Cell> args, std::vector<int32_t> refs = {}) {
        Outcome o = entry(slot, name, std::move(args), std::move(refs));
        EXPECT_FALSE(o.error) << "error " << (o.error ? int(*o.error) : 0);
        return o.value;
    }
};

}  // namespace

TEST_F(Actions, ATypeWithoutTheActionRaisesExpectArgNamingItsFirstArgument) {
    Outcome o = entry(Slot::add, "add", {N(), I(1)});
    ASSERT_EQ(o.error, ErrorId::script_expect_arg);
    EXPECT_EQ(symbol::name(error::field(o.raised, error::arg1).data2), "add");
    EXPECT_EQ(error::field(o.raised, error::arg2).data1, uint32_t(TypeId::none));
    EXPECT_EQ(symbol::name(error::field(o.raised, error::arg3).data2), "value1");

    o = entry(Slot::length_q, "length?", {I(3)});
    ASSERT_EQ(o.error, ErrorId::script_expect_arg);
    EXPECT_EQ(symbol::name(error::field(o.raised, error::arg3).data2), "series");
}

TEST_F(Actions, MakeAndToDispatchOnTheNamedDatatypeOrThePrototype) {
    EXPECT_EQ(cell::get_integer(value(Slot::make, "make", {cell::datatype(TypeId::integer), F(2.9)})), 2);
    EXPECT_EQ(cell::get_integer(value(Slot::make, "make", {I(7), T(true)})), 1);
    EXPECT_EQ(text_of(value(Slot::to, "to", {cell::datatype(TypeId::string), B({I(1), I(2)})})), "12");
    // The datatype named, not datatype!, is the one that lacks make.
    Outcome o = entry(Slot::make, "make", {cell::datatype(TypeId::handle), I(1)});
    ASSERT_EQ(o.error, ErrorId::script_expect_arg);
    EXPECT_EQ(error::field(o.raised, error::arg2).data1, uint32_t(TypeId::handle));
}

TEST_F(Actions, LengthPickAndPokeConvertTheirArguments) {
    EXPECT_TRUE(is(value(Slot::length_q, "length?", {N()}), TypeId::none));
    EXPECT_EQ(cell::get_integer(value(Slot::length_q, "length?", {B({I(1), I(2), I(3)}, 1)})), 2);

    Cell abc = B({w("a"), w("b"), w("c")});
    struct Case { Cell index; const char* picked; };
    const Case kCases[] = {{I(3), "c"}, {T(true), "a"}, {T(false), "b"}, {C(2), "b"}, {F(2.9), "b"}};
    for (const Case& c : kCases) {
        Cell r = value(Slot::pick, "pick", {abc, c.index});
        EXPECT_EQ(symbol::name(r.data2), c.picked);
    }
    EXPECT_EQ(entry(Slot::pick, "pick", {abc, F(1e12)}).error, ErrorId::script_type_limit);

    value(Slot::poke, "poke", {abc, T(false), I(9)});
    EXPECT_EQ(molded(abc), "[a 9 c]");
}

TEST_F(Actions, FormAndMoldCutTheirTextToThePartLimit) {
    Cell b = B({I(123), I(456)});
    struct Case { Slot slot; const char* name; std::vector<Cell> args; std::vector<int32_t> refs; const char* text; };
    const Case kCases[] = {
        {Slot::form, "form", {b}, {}, "123 456"},
        {Slot::form, "form", {b, I(3)}, {1}, "123"},
        {Slot::form, "form", {b, I(0)}, {1}, ""},
        {Slot::form, "form", {b, I(-5)}, {1}, ""},
        {Slot::mold, "mold", {b}, {}, "[123 456]"},
        {Slot::mold, "mold", {b}, {0}, "123 456"},                 // /only
        {Slot::mold, "mold", {b, I(5)}, {-1, -1, -1, 1}, "[123 "},  // /part 5
        {Slot::mold, "mold", {b, I(5)}, {0, -1, -1, 1}, "123 4"},   // /only/part 5
        {Slot::mold, "mold", {b, I(100)}, {-1, -1, -1, 1}, "[123 456]"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Cell r = value(c.slot, c.name, c.args, c.refs);
        ASSERT_TRUE(is(r, TypeId::string));
        EXPECT_EQ(text_of(r), c.text);
    }
}

TEST_F(Actions, InsertionNormalisesPartAndDup) {
    struct Case {
        const char* name;
        Slot slot;
        Cell value;
        std::optional<Cell> part;  // /part argument
        std::optional<Cell> dup;   // /dup argument
        const char* result;        // the target molded from its head afterwards
    };
    Cell src = B({I(1), I(2), I(3), I(4)});
    const Case kCases[] = {
        {"plain append", Slot::append, I(5), {}, {}, "[0 5]"},
        {"append block splices", Slot::append, src, {}, {}, "[0 1 2 3 4]"},
        {"part count", Slot::append, src, I(2), {}, "[0 1 2]"},
        {"part position", Slot::append, at(src, 1), at(src, 3), {}, "[0 2 3]"},
        {"negative part takes the items before", Slot::append, at(src, 3), I(-2), {}, "[0 2 3]"},
        {"negative part stops at the head", Slot::append, at(src, 1), I(-5), {}, "[0 1]"},
        {"part zero does nothing", Slot::append, src, I(0), {}, "[0]"},
        {"negative part at the head does nothing", Slot::append, src, I(-1), {}, "[0]"},
        {"dup", Slot::append, I(7), {}, I(3), "[0 7 7 7]"},
        {"dup zero does nothing", Slot::append, I(7), {}, I(0), "[0]"},
        {"insert at the head", Slot::insert, I(5), {}, {}, "[5 0]"},
        {"change with a float dup", Slot::change, I(9), {}, F(2.5), "[9 9]"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell target = B({I(0)});
        std::vector<Cell> args{target, c.value};
        std::vector<int32_t> refs{-1, -1, -1};
        if (c.part) {
            refs[0] = int32_t(args.size());
            args.push_back(*c.part);
        }
        if (c.dup) {
            refs[2] = int32_t(args.size());
            args.push_back(*c.dup);
        }
        Cell r = value(c.slot, c.name, args, refs);
        EXPECT_EQ(r.data2, target.data2);  // the target series comes back
        EXPECT_EQ(molded(at(target, 0)), c.result);
    }
}

TEST_F(Actions, InsertionRejectsPartsItCannotMeasure) {
    Cell target = B({});
    // A length for a value that is no series.
    Outcome o = entry(Slot::append, "append", {target, I(5), I(1)}, {2});
    ASSERT_EQ(o.error, ErrorId::script_invalid_part);
    EXPECT_EQ(cell::get_integer(error::field(o.raised, error::arg1)), 1);
    // A position in another series.
    o = entry(Slot::append, "append", {target, B({I(1)}), B({I(1)})}, {2});
    EXPECT_EQ(o.error, ErrorId::script_invalid_refine_arg);
    EXPECT_EQ(entry(Slot::append, "append", {target, S("ab"), F(1.0)}, {2}).error, ErrorId::script_invalid_refine_arg);
}

TEST_F(Actions, CopyTakesItsKindFromADatatypeOrTypeset) {
    Cell src = B({I(1), I(2), I(3)});
    Cell r = value(Slot::copy, "copy", {src, I(2)}, {1});
    EXPECT_NE(r.data2, src.data2);
    EXPECT_EQ(molded(r), "[1 2]");
    Outcome o = entry(Slot::copy, "copy", {src, I(1)}, {-1, -1, 1});
    ASSERT_EQ(o.error, ErrorId::script_expect_arg);
    EXPECT_EQ(symbol::name(error::field(o.raised, error::arg3).data2), "kind");
}

TEST_F(Actions, RefinementsReachTheirOptions) {
    Cell b = B({I(1), I(2), I(1), I(2)});
    // find/last: the second 1; find/tail: just after the first.
    EXPECT_EQ(value(Slot::find, "find", {b, I(1)}, {-1, -1, -1, -1, -1, -1, -1, 0}).data1, 2u);
    EXPECT_EQ(value(Slot::find, "find", {b, I(1)}, {-1, -1, -1, -1, -1, -1, -1, -1, -1, 0}).data1, 1u);
    // select/skip 2 looks at every other value only.
    Cell pairs = B({I(2), I(1), I(1), I(3)});
    EXPECT_EQ(cell::get_integer(value(Slot::select, "select", {pairs, I(1), I(2)}, {-1, -1, -1, -1, -1, -1, 2})), 3);
    // sort/reverse, take/last, reverse/part, remove/part, trim/head.
    EXPECT_EQ(molded(value(Slot::sort, "sort", {B({I(2), I(3), I(1)})}, {-1, -1, -1, -1, -1, 0})), "[3 2 1]");
    EXPECT_EQ(cell::get_integer(value(Slot::take, "take", {B({I(1), I(2)})}, {-1, -1, 0})), 2);
    Cell r = B({I(1), I(2), I(3)});
    value(Slot::reverse, "reverse", {r, I(2)}, {1, -1});
    EXPECT_EQ(molded(r), "[2 1 3]");
    value(Slot::remove, "remove", {r, I(2)}, {1, -1});
    EXPECT_EQ(molded(r), "[3]");
    EXPECT_EQ(text_of(value(Slot::trim, "trim", {S("  a  ")}, {0})), "a  ");
}

TEST_F(Actions, EvalPathEntryAndTheTypedDispatcher) {
    Cell b = B({I(10), I(20)});
    EXPECT_EQ(cell::get_integer(value(Slot::eval_path, "eval-path", {b, I(2)})), 20);
    value(Slot::eval_path, "eval-path", {b, I(1), I(5)}, {2});
    EXPECT_EQ(molded(b), "[5 20]");

    Outcome o = entry(Slot::eval_path, "eval-path", {I(3), I(1)});
    ASSERT_EQ(o.error, ErrorId::script_bad_path_type2);
    EXPECT_EQ(error::field(o.raised, error::arg2).data1, uint32_t(TypeId::integer));

    // With the path known: the path cut after the element that failed.
    Cell path = B({w("a"), w("b"), w("c")});
    cell::set_type(path, TypeId::path);
    o = trapped([&] {
        PathStep step;
        step.path = &path;
        step.index = 1;
        return actions::eval_path(I(3), w("b"), nullptr, step);
    });
    ASSERT_EQ(o.error, ErrorId::script_bad_path_type);
    EXPECT_EQ(molded(error::field(o.raised, error::arg3)), "a/b");
}

TEST_F(Actions, TheComparisonCore) {
    struct Case { Cell a, b; CompareOp op; std::optional<bool> result; };  // nullopt: invalid-compare
    const Case kCases[] = {
        {I(1), I(1), CompareOp::equal, true},
        {I(1), F(1.0), CompareOp::equal, true},
        {S("abc"), S("ABC"), CompareOp::equal, true},
        {S("abc"), S("ABC"), CompareOp::strict_equal, false},
        {S("a"), I(1), CompareOp::equal, false},
        {S("a"), I(1), CompareOp::not_equal, true},
        {S("a"), I(1), CompareOp::lesser, std::nullopt},
        {S("a"), I(1), CompareOp::greater_or_equal, std::nullopt},
        {I(1), I(2), CompareOp::lesser, true},
        {I(2), I(2), CompareOp::lesser_or_equal, true},
        {I(2), I(2), CompareOp::greater, false},
        {T(false), I(0), CompareOp::equal, false},  // a logic! equals only a logic!
        {T(true), T(true), CompareOp::equal, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(molded(c.a) + " " + std::to_string(int(c.op)) + " " + molded(c.b));
        Outcome o = trapped([&] { return cell::logic(actions::compare_values(c.a, c.b, c.op)); });
        if (!c.result) {
            EXPECT_EQ(o.error, ErrorId::script_invalid_compare);
        } else {
            ASSERT_FALSE(o.error);
            EXPECT_EQ(o.value.data1 != 0, *c.result);
        }
    }
}

// Callables of one type compare by their table number (natives, actions, operators) or their
// more-block (functions, routines), and only for equality, sorting and identity.
TEST_F(Actions, CallablesCompareByTypeAndNumberForEqualityOnly) {
    Cell add1 = cell::make(TypeId::action, uint32_t(Slot::add), 0, 0);
    Cell add2 = cell::make(TypeId::action, uint32_t(Slot::add), 1, 1);
    Cell sub = cell::make(TypeId::action, uint32_t(Slot::subtract), 0, 0);
    Cell fn1 = cell::make(TypeId::function, 1, 2, 3);
    Cell fn2 = cell::make(TypeId::function, 1, 2, 4);
    Cell op_add = add1;
    op_add.header = uint32_t(TypeId::op) | (uint32_t(TypeId::action) << 16);
    EXPECT_EQ(actions::compare(add1, add2, CompareOp::equal), 0);
    EXPECT_EQ(actions::compare(add1, op_add, CompareOp::equal), kNotComparable);
    EXPECT_EQ(actions::compare(add1, add2, CompareOp::lesser), kNotComparable);
    EXPECT_EQ(actions::compare(add1, add2, CompareOp::sort), 0);
    EXPECT_NE(actions::compare(add1, sub, CompareOp::equal), 0);
    EXPECT_EQ(actions::compare(fn1, fn1, CompareOp::equal), 0);
    EXPECT_NE(actions::compare(fn1, fn2, CompareOp::equal), 0);
    EXPECT_EQ(actions::compare(add1, fn1, CompareOp::equal), kNotComparable);
    EXPECT_EQ(actions::compare(add1, I(1), CompareOp::equal), kNotComparable);
}

TEST_F(Actions, MathFastPath) {
    Cell name = w("add");
    struct Case { MathOp op; Cell a, b; Cell expected; };
    const Case kCases[] = {
        {MathOp::add, I(2), I(3), I(5)},
        {MathOp::add, I(2147483647), I(1), F(2147483648.0)},
        {MathOp::subtract, I(-2147483647 - 1), I(1), F(-2147483649.0)},
        {MathOp::multiply, I(65536), I(65536), F(4294967296.0)},
        {MathOp::or_, I(12), I(3), I(15)},
        {MathOp::and_, I(12), I(6), I(4)},
        {MathOp::xor_, I(12), I(6), I(10)},
        {MathOp::multiply, F(1.5), F(2.0), F(3.0)},
        {MathOp::subtract, F(1.5), F(2.0), F(-0.5)},
        {MathOp::add, I(1), F(0.5), F(1.5)},  // through the add entry of integer!
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(molded(c.a) + " " + std::to_string(int(c.op)) + " " + molded(c.b));
        Cell* top = stack::data_top;
        Cell* r = actions::math_op(c.op, name, c.a, c.b);
        EXPECT_EQ(r, top);  // pushed
        EXPECT_EQ(type_of(*r), type_of(c.expected));
        if (is(c.expected, TypeId::integer)) EXPECT_EQ(cell::get_integer(*r), cell::get_integer(c.expected));
        else EXPECT_EQ(cell::get_float(*r), cell::get_float(c.expected));
        stack::data_top = top;
    }
    EXPECT_EQ(stack::frames_top, stack::frames_begin);
}

TEST_F(Actions, CompareFastPath) {
    Cell name = w("lesser?");
    struct Case { CompareOp op; Cell a, b; bool expected; };
    const Case kCases[] = {
        {CompareOp::lesser, I(1), I(2), true},   {CompareOp::greater, I(1), I(2), false},
        {CompareOp::not_equal, I(1), I(2), true}, {CompareOp::greater_or_equal, I(2), I(2), true},
        {CompareOp::equal, S("a"), S("A"), true}, {CompareOp::lesser, I(1), F(1.5), true},
    };
    for (const Case& c : kCases) {
        Cell* top = stack::data_top;
        Cell* r = actions::compare_op(c.op, name, c.a, c.b);
        ASSERT_TRUE(is(*r, TypeId::logic));
        EXPECT_EQ(r->data1 != 0, c.expected);
        stack::data_top = top;
    }
    EXPECT_EQ(trapped([&] { return *actions::compare_op(CompareOp::lesser, name, S("a"), I(1)); }).error,
              ErrorId::script_invalid_compare);
}

TEST_F(Actions, SeriesAndPathIndexFastPaths) {
    using actions::SeriesOp;
    Cell b = B({I(1), I(2), I(3)});
    Cell past = at(b, 5);
    Cell name = w("next");
    struct Case { SeriesOp op; Cell v; Cell expected; };
    const Case kCases[] = {
        {SeriesOp::length_q, at(b, 1), I(2)}, {SeriesOp::length_q, past, I(0)},
        {SeriesOp::index_q, at(b, 2), I(3)},  {SeriesOp::head_q, b, T(true)},
        {SeriesOp::tail_q, at(b, 3), T(true)}, {SeriesOp::tail_q, at(b, 2), T(false)},
        {SeriesOp::next, at(b, 3), at(b, 3)},  {SeriesOp::next, at(b, 1), at(b, 2)},
        {SeriesOp::back, b, b},                {SeriesOp::back, past, at(b, 2)},
        {SeriesOp::head, at(b, 2), b},         {SeriesOp::tail, b, at(b, 3)},
        {SeriesOp::length_q, at(S("abcd"), 1), I(3)},  // through the length? entry
        {SeriesOp::next, S("ab"), at(S("ab"), 1)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(c.op));
        Cell* top = stack::data_top;
        Cell r = *actions::series_op(c.op, c.v, name);
        EXPECT_EQ(type_of(r), type_of(c.expected));
        if (is(r, TypeId::block) || is(r, TypeId::string)) EXPECT_EQ(r.data1, c.expected.data1);
        else EXPECT_EQ(r.data2 | r.data1, c.expected.data2 | c.expected.data1);
        stack::data_top = top;
    }

    Cell* top = stack::data_top;
    EXPECT_EQ(cell::get_integer(*actions::eval_path_index(at(b, 1), 2, name)), 3);
    EXPECT_TRUE(is(*actions::eval_path_index(at(b, 1), 3, name), TypeId::none));
    EXPECT_TRUE(is(*actions::eval_path_index(b, 0, name), TypeId::none));
    Cell ch = *actions::eval_path_index(S("xyz"), 2, name);  // through the eval-path entry
    EXPECT_TRUE(is(ch, TypeId::char_));
    EXPECT_EQ(ch.data2, uint32_t('y'));
    stack::data_top = top;
}
