#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::w;

// Code is built in C++ here: the lexer is tested on its own. Words are bound to the global
// context as the loader binds them.
namespace {

struct V {
    Cell c;
    V(int32_t i) : c(cell::integer(i)) {}
    V(Cell x) : c(x) {}
};

Cell sw(const char* name) { return w(name, TypeId::set_word); }
Cell lw(const char* name) { return w(name, TypeId::lit_word); }
Cell gw(const char* name) { return w(name, TypeId::get_word); }
Cell ref(const char* name) { return cell::make(TypeId::refinement, 0, symbol::intern(name), word::kNoIndex); }

Cell blk(std::initializer_list<V> items, TypeId type = TypeId::block) {
    Node n = series::alloc_cells(uint32_t(items.size()) + 1);
    for (const V& v : items) {
        SeriesBuffer* b = memory::buffer_of(n);
        *series::reserve_cell(b) = v.c;
    }
    return cell::make(type, 0, n, 0);
}

// A native! over the natives table: its spec block and its context.
Cell make_native(uint32_t number, const Cell& spec) {
    Node ctx = context::make_from_spec(spec, true, false, context::function);
    Node more = series::alloc_cells(2);
    SeriesBuffer* b = memory::buffer_of(more);
    *series::reserve_cell(b) = context::cell_of(ctx);
    b = memory::buffer_of(more);
    *series::reserve_cell(b) = cell::none();
    return cell::make(TypeId::native, number, spec.data2, more);
}

// A function! from a spec and a body, its body bound to its context.
Cell make_function(const Cell& spec, const Cell& body) {
    Node ctx = context::make_from_spec(spec, true, false, context::function);
    context::bind_block(body, ctx, false);
    Node more = series::alloc_cells(5);
    SeriesBuffer* b = memory::buffer_of(more);
    for (Cell c : {body, cell::unset(), cell::unset(), cell::unset(), cell::unset()}) *series::reserve_cell(b) = c;
    Cell fn = cell::make(TypeId::function, ctx, spec.data2, more);
    context::owner_of(ctx) = fn;
    return fn;
}

void define(const char* name, const Cell& value) {
    Cell word = w(name);
    word::set(word, value);
}

// An infix operator made from a native.
Cell op_of(const Cell& native) {
    Cell op = native;
    op.header = uint32_t(TypeId::op) | (uint32_t(TypeId::native) << 16);
    return op;
}

// A test native: adds two integers (the arithmetic actions are tested with their module).
void plus(const int32_t*) {
    stack::base[0] = cell::integer(cell::get_integer(stack::base[0]) + cell::get_integer(stack::base[1]));
}
void times(const int32_t*) {
    stack::base[0] = cell::integer(cell::get_integer(stack::base[0]) * cell::get_integer(stack::base[1]));
}
// Records its arguments and refinement positions.
std::string seen;
void probe(const int32_t* refs) {
    seen = std::to_string(cell::get_integer(stack::base[0])) + " " + std::to_string(refs[0]) + " " +
           std::to_string(refs[1]);
    if (refs[1] >= 0) seen += " " + std::to_string(cell::get_integer(stack::base[refs[1]]));
    stack::base[0] = cell::none();
}

class Interp : public testing::Test {
protected:
    static void SetUpTestSuite() {
        natives::define(108, plus);
        natives::define(109, times);
        natives::define(110, probe);
        Cell two = blk({w("a"), w("b")});
        define("plus-native", make_native(108, two));
        define("+", op_of(make_native(108, two)));
        define("*", op_of(make_native(109, two)));
        define("probe", make_native(110, blk({w("a"), ref("x"), ref("y"), w("v")})));
        define("if", make_native(natives::if_, blk({w("cond"), w("then-blk")})));
        define("either", make_native(natives::either, blk({w("cond"), w("t"), w("f")})));
        define("loop", make_native(natives::loop, blk({w("count"), w("body")})));
        define("repeat", make_native(natives::repeat, blk({lw("word"), w("value"), w("body")})));
        define("while", make_native(natives::while_, blk({w("cond"), w("body")})));
        define("any", make_native(natives::any, blk({w("conds")})));
        define("all", make_native(natives::all, blk({w("conds")})));
        define("break", make_native(natives::break_, blk({ref("return"), w("value")})));
        define("continue", make_native(natives::continue_, blk({})));
        define("return", make_native(natives::return_, blk({w("value")})));
        define("exit", make_native(natives::exit, blk({})));
        define("throw", make_native(natives::throw_, blk({w("value"), ref("name"), w("word")})));
        define("catch", make_native(natives::catch_, blk({w("block"), ref("name"), w("word")})));
        define("try", make_native(natives::try_, blk({w("block"), ref("all"), ref("keep")})));
        define("case", make_native(natives::case_, blk({w("cases"), ref("all")})));
        define("foreach", make_native(natives::foreach, blk({lw("word"), w("series"), w("body")})));
        define("remove-each", make_native(natives::remove_each, blk({lw("word"), w("data"), w("body")})));
        define("forall", make_native(natives::forall, blk({lw("word"), w("body")})));
        define("set", make_native(natives::set, blk({w("word"), w("value"), ref("any"), ref("case"), ref("only"), ref("some")})));
    }
    void SetUp() override { test::reset_top_level(); }
    // Evaluates code; returns its result, or the error id it raised as an error! cell's code.
    static Cell run(const Cell& code) { return test::evaluate(code); }
    static int32_t int_of(const Cell& code) {
        Cell r = run(code);
        EXPECT_TRUE(is(r, TypeId::integer)) << "type " << int(type_of(r));
        return cell::get_integer(r);
    }
    static std::optional<ErrorId> error_of(const Cell& code) {
        return test::error_id(run(code));
    }
};

}  // namespace

TEST_F(Interp, OperatorsGroupFromTheLeft) {
    EXPECT_EQ(int_of(blk({1, w("+"), 2, w("*"), 3})), 9);
    EXPECT_EQ(int_of(blk({2, w("*"), 3, w("+"), 1})), 7);
    EXPECT_EQ(int_of(blk({w("plus-native"), 1, 2, w("*"), 10})), 21);  // the last argument takes the infix
    EXPECT_EQ(int_of(blk({blk({1, w("+"), 2}, TypeId::paren), w("*"), 3})), 9);
}

TEST_F(Interp, BlocksWordsAndAssignment) {
    EXPECT_TRUE(is(run(blk({})), TypeId::unset));
    EXPECT_EQ(int_of(blk({sw("x"), 5, sw("y"), w("x"), w("+"), 1, w("y")})), 6);
    Cell lit = run(blk({sw("z"), lw("foo"), w("z")}));
    EXPECT_EQ(lit.header, uint32_t(TypeId::word));  // a set-word followed by a lit-word assigns the word
    EXPECT_EQ(error_of(blk({sw("q")})), ErrorId::script_need_value);
    EXPECT_EQ(error_of(blk({w("never-set-anywhere")})), ErrorId::script_no_value);
    EXPECT_EQ(error_of(blk({w("+"), 1})), ErrorId::script_no_op_arg);
    EXPECT_EQ(error_of(blk({w("plus-native"), 1})), ErrorId::script_no_arg);
    Cell get = run(blk({gw("plus-native")}));
    EXPECT_TRUE(is(get, TypeId::native));  // a get-word does not call
}

TEST_F(Interp, ConditionalsAndLogic) {
    EXPECT_EQ(int_of(blk({w("if"), cell::logic(true), blk({1})})), 1);
    EXPECT_TRUE(is(run(blk({w("if"), cell::none(), blk({1})})), TypeId::none));
    EXPECT_EQ(int_of(blk({w("either"), cell::logic(false), blk({1}), blk({2})})), 2);
    EXPECT_EQ(int_of(blk({w("any"), blk({cell::none(), cell::logic(false), 3})})), 3);
    EXPECT_TRUE(is(run(blk({w("any"), blk({})})), TypeId::none));
    EXPECT_TRUE(is(run(blk({w("all"), blk({1, cell::none(), 2})})), TypeId::none));
    EXPECT_EQ(int_of(blk({w("all"), blk({1, 2})})), 2);
    EXPECT_EQ(int_of(blk({w("case"), blk({cell::logic(false), blk({1}), cell::logic(true), blk({2})})})), 2);
    EXPECT_EQ(error_of(blk({w("case"), blk({cell::logic(true)})})), ErrorId::script_need_value);
}

TEST_F(Interp, LoopsWithBreakAndContinue) {
    EXPECT_EQ(int_of(blk({sw("n"), 0, w("loop"), 5, blk({sw("n"), w("n"), w("+"), 1}), w("n")})), 5);
    EXPECT_TRUE(is(run(blk({w("loop"), 0, blk({1})})), TypeId::none));
    EXPECT_EQ(int_of(blk({w("loop"), 10, blk({blk({w("break"), w("return")}, TypeId::path), 42})})), 42);
    // repeat: the body's change of the word does not change the iteration.
    EXPECT_EQ(int_of(blk({sw("sum"), 0, w("repeat"), w("i"), 3, blk({sw("sum"), w("sum"), w("+"), w("i"), sw("i"), 10}), w("sum")})), 6);
    // continue skips the rest of the body.
    EXPECT_EQ(int_of(blk({sw("k"), 0, w("repeat"), w("i"), 4, blk({w("if"), w("i"), w("*"), 0, w("+"), 1, blk({w("continue")}), sw("k"), 99}), w("k")})), 0);
    Cell wres = run(blk({sw("m"), 0, w("while"), blk({w("if"), cell::logic(true), blk({cell::logic(true)})}), blk({w("break")})}));
    EXPECT_TRUE(is(wres, TypeId::unset));
    EXPECT_EQ(error_of(blk({w("break")})), ErrorId::throw__break_);
}

TEST_F(Interp, BreakCannotCrossTryAll) {
    Cell r = run(blk({w("loop"), 2, blk({blk({w("try"), w("all")}, TypeId::path), blk({w("break")})})}));
    EXPECT_TRUE(is(r, TypeId::error));
    EXPECT_EQ(error::id_of(r), ErrorId::throw__break_);
}

TEST_F(Interp, FunctionsReturnAndExit) {
    define("add3", make_function(blk({w("a"), w("b"), w("c")}), blk({w("a"), w("+"), w("b"), w("+"), w("c")})));
    EXPECT_EQ(int_of(blk({w("add3"), 1, 2, 3})), 6);
    define("early", make_function(blk({w("x")}), blk({w("if"), w("x"), blk({w("return"), 1}), 2})));
    EXPECT_EQ(int_of(blk({w("early"), cell::logic(true)})), 1);
    EXPECT_EQ(int_of(blk({w("early"), cell::logic(false)})), 2);
    define("leave", make_function(blk({}), blk({w("exit"), 5})));
    EXPECT_TRUE(is(run(blk({w("leave")})), TypeId::unset));
    // return from inside a loop inside the function.
    define("find-3", make_function(blk({}), blk({w("repeat"), w("i"), 10, blk({w("if"), w("i"), w("*"), 1, blk({}), w("if"), cell::logic(true), blk({w("return"), w("i"), w("*"), 3})}), 0})));
    EXPECT_EQ(int_of(blk({w("find-3")})), 3);
    EXPECT_EQ(error_of(blk({w("return"), 1})), ErrorId::throw__return_);
    // Nested calls: each call's arguments live on the data stack in its own frame.
    define("twice", make_function(blk({w("n")}), blk({w("n"), w("+"), w("n")})));
    EXPECT_EQ(int_of(blk({w("twice"), w("twice"), w("twice"), 1})), 8);
}

TEST_F(Interp, RefinementsThroughPaths) {
    run(blk({w("probe"), 7}));
    EXPECT_EQ(seen, "7 -1 -1");
    Cell path = blk({w("probe"), w("y")}, TypeId::path);
    run(blk({path, 7, 8}));
    EXPECT_EQ(seen, "7 -1 1 8");
    Cell both = blk({w("probe"), w("x"), w("y")}, TypeId::path);
    run(blk({both, 1, 2}));
    EXPECT_EQ(seen, "1 1 1 2");  // /x takes no argument: both point after a
    Cell twice = blk({w("probe"), w("y"), w("y")}, TypeId::path);
    EXPECT_EQ(error_of(blk({twice, 1, 2, 3})), ErrorId::script_dup_refine);
    Cell wrong = blk({w("probe"), w("nope")}, TypeId::path);
    EXPECT_EQ(error_of(blk({wrong, 1})), ErrorId::script_no_refine);
}

TEST_F(Interp, ThrowAndCatch) {
    EXPECT_EQ(int_of(blk({w("catch"), blk({w("loop"), 3, blk({w("throw"), 9}), 1})})), 9);
    Cell named = blk({w("throw"), w("name")}, TypeId::path);
    Cell catch_b = blk({w("catch"), w("name")}, TypeId::path);
    EXPECT_EQ(int_of(blk({catch_b, blk({catch_b, blk({named, 1, lw("a")}), lw("b")}), lw("a")})), 1);
    EXPECT_EQ(error_of(blk({w("throw"), 1})), ErrorId::throw__throw_);
}

TEST_F(Interp, TryMakesTheErrorTheResult) {
    Cell r = run(blk({w("try"), blk({w("undefined-word-here")})}));
    ASSERT_TRUE(is(r, TypeId::error));
    EXPECT_EQ(error::id_of(r), ErrorId::script_no_value);
    EXPECT_EQ(int_of(blk({w("try"), blk({1, w("+"), 1})})), 2);
}

TEST_F(Interp, SetWithBlocksOfWords) {
    run(blk({w("set"), blk({w("a1"), w("a2")}), blk({1})}));
    EXPECT_EQ(cell::get_integer(*word::get(w("a1"))), 1);
    EXPECT_TRUE(is(*word::get(w("a2")), TypeId::none));
    run(blk({w("set"), lw("a2"), 5}));
    Cell some = blk({w("set"), w("some")}, TypeId::path);
    run(blk({some, blk({w("a1"), w("a2")}), blk({3, cell::none()})}));
    EXPECT_EQ(cell::get_integer(*word::get(w("a2"))), 5);  // /some keeps it
}

TEST_F(Interp, SeriesLoops) {
    EXPECT_EQ(int_of(blk({sw("t"), 0, w("foreach"), w("x"), blk({1, 2, 3}), blk({sw("t"), w("t"), w("+"), w("x")}), w("t")})), 6);
    // Several words take the next items; past the end they get none!.
    run(blk({w("foreach"), blk({w("p"), w("q")}), blk({1, 2, 3}), blk({sw("last-q"), w("q")})}));
    EXPECT_TRUE(is(*word::get(w("last-q")), TypeId::none));
    EXPECT_EQ(error_of(blk({w("foreach"), blk({}), blk({1}), blk({})})), ErrorId::script_invalid_arg);
    // remove-each drops the items whose body result is true and returns the series at its start.
    Cell kept = run(blk({w("remove-each"), w("x"), blk({1, 2, 3, 4}), blk({w("x"), w("*"), 0, w("+"), w("x"), w("*"), 1, w("+"), 0, w("if"), cell::logic(true), blk({cell::none()})})}));
    ASSERT_TRUE(is(kept, TypeId::block));
    EXPECT_EQ(block::length_from_head(kept), 4u);
    Cell emptied = run(blk({w("remove-each"), w("x"), blk({1, 2, 3}), blk({cell::logic(true)})}));
    EXPECT_EQ(block::length_from_head(emptied), 0u);
    // forall walks the series held by the word and puts it back at its head after a normal end.
    run(blk({sw("s"), blk({5, 6, 7}), sw("n"), 0, w("forall"), w("s"), blk({sw("n"), w("n"), w("+"), 1})}));
    EXPECT_EQ(cell::get_integer(*word::get(w("n"))), 3);
    EXPECT_EQ(word::get(w("s"))->data1, 0u);
    run(blk({sw("s"), blk({5, 6, 7}), w("forall"), w("s"), blk({w("break")})}));
    EXPECT_EQ(word::get(w("s"))->data1, 0u);
}

// Parens and blocks take no frame: their nesting is bounded on the C++ stack, and reaching the
// bound is the stack-overflow error, which the script can trap; evaluation then goes on.
TEST_F(Interp, NestingBeyondTheStackFloorOverflows) {
    Cell nested = blk({1, w("+"), 1}, TypeId::paren);
    for (int i = 0; i < 20000; ++i) nested = blk({nested}, TypeId::paren);
    const char* saved = interp::state.stack_floor;
    // A floor a little below here: far fewer levels than the nesting reach it.
    interp::state.stack_floor = static_cast<const char*>(__builtin_frame_address(0)) - (256 << 10);
    std::optional<ErrorId> error = error_of(blk({nested}));
    interp::state.stack_floor = saved;
    EXPECT_EQ(error, ErrorId::internal_stack_overflow);
    EXPECT_EQ(int_of(blk({blk({blk({2, w("*"), 3}, TypeId::paren)}, TypeId::paren)})), 6);
}

// Natives keep their refinements in fixed arrays: a spec with more than they hold is refused
// when its argument table is built, never written past.
TEST_F(Interp, ANativeWithMoreRefinementsThanTheCallHoldsIsRefused) {
    Node spec = series::alloc_cells(interp::kMaxRefinements + 2);
    for (uint32_t i = 0; i <= interp::kMaxRefinements; ++i) {
        SeriesBuffer* b = memory::buffer_of(spec);
        *series::reserve_cell(b) = ref(("r" + std::to_string(i)).c_str());
    }
    define("many", make_native(natives::if_, cell::make(TypeId::block, 0, spec, 0)));
    EXPECT_EQ(error_of(blk({w("many")})), ErrorId::internal_limit_hit);
}
