#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
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
using test::str;
using test::utf8_of;
using test::w;

namespace {

Cell sw(const char* name) { return w(name, TypeId::set_word); }
Cell ref(const char* name) { return w(name, TypeId::refinement); }
Cell* cells_of(const Cell& block) { return memory::buffer_of(block.data2)->cells(); }
uint32_t length_of(const Cell& block) { return memory::buffer_of(block.data2)->length(); }

// The value of a built-in native or action, as start-up made it.
Cell builtin(const char* name) { return *word::get(w(name)); }
// Makes a native! or action! of the built-in's number from the given spec.
Cell remake(const Cell& original, const Cell& spec) {
    TypeId t = type_of(original);
    return native::make(cell::datatype(t), blk({spec, cell::integer(int32_t(original.data1))}), t);
}
Cell remake(const char* name) {
    Cell original = builtin(name);
    return remake(original, function::reflect(original, sym::spec));
}

struct Outcome {
    Cell value;
    std::optional<ErrorId> error;
    Cell arg1;
};

// Runs `body` inside a trap frame; the stacks are as before afterwards.
template <typename F>
Outcome trapped(F body) {
    test::Outcome o = test::trapped(body, words::try_);
    return {o.value, o.error, o.error ? error::field(o.raised, error::arg1) : cell::none()};
}

class Functions : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        function::init();
        // The type words a spec names; the environment sets them at start-up.
        for (TypeId t : {TypeId::integer, TypeId::block, TypeId::string}) {
            Cell word = registry::type_name(t).word;
            word::set(word, cell::datatype(t));
        }
    }
};

}  // namespace

TEST_F(Functions, SpecValidation) {
    const Cell int_types = blk({w("integer!")});
    struct Case {
        const char* name;
        Cell spec;
        std::optional<ErrorId> error;
        uint32_t flags;
    };
    const Case kCases[] = {
        {"plain arguments", blk({w("a"), w("b", TypeId::lit_word), w("c", TypeId::get_word)}), {}, 0},
        {"trace attribute", blk({blk({w("trace")}), w("a")}), {}, function::kTrace},
        {"no-trace attribute", blk({blk({w("no-trace")})}), {}, function::kNoTrace},
        {"attribute not a word", blk({blk({cell::integer(1)})}), ErrorId::script_bad_func_def, 0},
        {"typed, doc after the types", blk({w("a"), int_types, str("doc")}), {}, 0},
        {"doc before the types", blk({w("a"), str("doc"), int_types}), ErrorId::script_bad_func_def, 0},
        {"return: then /local", blk({w("a"), sw("return"), int_types, ref("local"), w("x")}), {}, 0},
        {"argument after return:", blk({sw("return"), int_types, w("a")}), ErrorId::script_bad_func_def, 0},
        {"return: twice", blk({sw("return"), int_types, sw("return"), int_types}), ErrorId::script_bad_func_def, 0},
        {"return: without types", blk({sw("return"), w("a")}), ErrorId::script_bad_func_def, 0},
        {"other set-word", blk({sw("result"), int_types}), ErrorId::script_bad_func_def, 0},
        {"refinement after /local", blk({ref("local"), w("x"), ref("only")}), ErrorId::script_bad_func_def, 0},
        {"lit-word local", blk({ref("local"), w("x", TypeId::lit_word)}), ErrorId::script_bad_func_def, 0},
        {"refinement then value", blk({ref("only"), cell::integer(3)}), ErrorId::script_bad_func_def, 0},
        {"refinement arguments", blk({w("a"), ref("only"), w("n"), int_types, ref("local"), w("x")}), {}, 0},
        {"an integer", blk({w("a"), cell::integer(1)}), ErrorId::script_bad_func_def, 0},
        {"type not a word", blk({w("a"), blk({cell::integer(1)})}), ErrorId::script_invalid_type_spec, 0},
        {"type word of a number", blk({w("a"), blk({w("fn-test-number")})}), ErrorId::script_invalid_type_spec, 0},
        {"type word unset", blk({w("a"), blk({w("fn-test-unset")})}), ErrorId::script_no_value, 0},
        {"duplicate in another case", blk({w("a"), w("b"), w("A")}), ErrorId::script_dup_vars, 0},
        {"refinement named as an argument", blk({w("a"), ref("a")}), ErrorId::script_dup_vars, 0},
    };
    Cell number_word = w("fn-test-number");
    word::set(number_word, cell::integer(5));
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Outcome o = trapped([&] { return cell::integer(int32_t(function::validate_spec(c.spec))); });
        EXPECT_EQ(o.error, c.error);
        if (!c.error) {
            EXPECT_EQ(uint32_t(cell::get_integer(o.value)), c.flags);
        }
    }
    // dup-vars names the later of the two.
    Outcome dup = trapped([&] { return cell::integer(int32_t(function::validate_spec(kCases[19].spec))); });
    EXPECT_EQ(symbol::name(dup.arg1.data2), "A");
}

TEST_F(Functions, LocalSlotsAndInactiveRefinements) {
    EXPECT_EQ(function::count_local_slots(blk({w("a"), ref("local"), w("b"), str("doc"), w("c")}).data2, 0, false), 3);
    EXPECT_EQ(function::count_local_slots(blk({w("a"), ref("Local")}).data2, 0, true), 1);
    EXPECT_EQ(function::count_local_slots(blk({w("a")}).data2, 0, false), 0);
    EXPECT_EQ(function::count_local_slots(blk({w("a")}).data2, 0, true), -1);
    EXPECT_EQ(function::count_local_slots(blk({ref("local"), w("b")}).data2, 1, false), 0);  // past it

    Cell* before = stack::data_top;
    function::push_inactive_refinement(3);
    ASSERT_EQ(stack::data_top - before, 3);
    EXPECT_EQ(before[0].header, uint32_t(TypeId::logic));
    EXPECT_EQ(before[0].data1, 0u);
    EXPECT_TRUE(is(before[1], TypeId::none) && is(before[2], TypeId::none));
    function::push_inactive_refinement(0);
    EXPECT_EQ(stack::data_top - before, 3);
}

TEST_F(Functions, MakeValueBuildsTheCellContextAndMoreBlock) {
    Cell spec = blk({str("doc"), w("x"), ref("local"), w("y")});
    Cell inner = blk({w("x"), w("z")});
    Cell body = blk({sw("y"), w("x"), inner});
    Node ctx = function::make_value(spec, &body, kNoNode, 0, kNoNode, function::kTrace);
    Cell fn = *stack::top();
    stack::pop(1);

    EXPECT_EQ(fn.header, uint32_t(TypeId::function) | function::kTrace);
    EXPECT_EQ(fn.data1, ctx);
    // The function keeps its own copy of the spec, type blocks and all.
    EXPECT_NE(fn.data2, spec.data2);
    EXPECT_EQ(test::mold_text(cell::make(TypeId::block, 0, fn.data2, 0)), test::mold_text(spec));
    EXPECT_EQ(context::kind_of(ctx), uint32_t(context::function));
    EXPECT_TRUE(context::on_stack_q(ctx));
    EXPECT_EQ(context::word_count(ctx), 3u);  // x local y
    EXPECT_EQ(context::owner_of(ctx).data3, fn.data3);
    EXPECT_EQ(function::context_of(fn), ctx);

    ASSERT_EQ(memory::buffer_of(fn.data3)->length(), function::kMoreCells);
    Cell copy = *function::more_cell(fn, function::more_body);
    EXPECT_NE(copy.data2, body.data2);  // a deep copy...
    EXPECT_NE(cells_of(copy)[2].data2, inner.data2);
    EXPECT_EQ(cells_of(copy)[0].data1, ctx);  // ...bound to the function's context
    EXPECT_EQ(cells_of(copy)[1].data1, ctx);
    EXPECT_EQ(cells_of(cells_of(copy)[2])[0].data1, ctx);
    EXPECT_EQ(cells_of(cells_of(copy)[2])[1].data1, context::global);  // z is not the function's
    EXPECT_EQ(cells_of(body)[1].data1, context::global);  // the given body is untouched
    for (uint32_t i : {function::more_arg_table, function::more_code, function::more_op_source,
                       function::more_defining_context})
        EXPECT_TRUE(is(*function::more_cell(fn, i), TypeId::unset)) << i;

    // A spec not at its head is copied from its index; a code and a defining context are kept.
    Cell later = spec;
    later.data1 = 1;
    function::make_value(later, nullptr, kNoNode, 7, ctx, 0);
    Cell g = *stack::top();
    stack::pop(1);
    EXPECT_NE(g.data2, spec.data2);
    EXPECT_EQ(length_of(cell::make(TypeId::block, 0, g.data2, 0)), 3u);
    EXPECT_TRUE(is(*function::more_cell(g, function::more_body), TypeId::none));
    EXPECT_EQ(cell::get_integer(*function::more_cell(g, function::more_code)), 7);
    EXPECT_EQ(uint32_t(cell::get_integer(*function::more_cell(g, function::more_defining_context))), ctx);
}

TEST_F(Functions, MakeActionsAndTheirErrors) {
    Cell proto = cell::datatype(TypeId::function);
    Outcome made = trapped([&] {
        return function::make(proto, blk({blk({w("a")}), blk({w("a")})}), TypeId::function);
    });
    ASSERT_FALSE(made.error);
    EXPECT_TRUE(is(made.value, TypeId::function));

    struct Case {
        const char* name;
        TypeId type;
        Cell spec;
        std::optional<ErrorId> error;
    };
    const Case kCases[] = {
        {"function from one block", TypeId::function, blk({blk({})}), ErrorId::script_bad_func_def},
        {"function body not a block", TypeId::function, blk({blk({}), cell::integer(1)}), ErrorId::script_bad_func_def},
        {"function from an integer", TypeId::function, cell::integer(1), ErrorId::script_bad_func_def},
        {"native 121", TypeId::native, blk({blk({}), cell::integer(121)}), ErrorId::script_bad_make_arg},
        {"native 0", TypeId::native, blk({blk({}), cell::integer(0)}), ErrorId::script_bad_make_arg},
        {"native 120: no built-in", TypeId::native, blk({blk({}), cell::integer(120)}), ErrorId::script_bad_make_arg},
        {"action 63", TypeId::action, blk({blk({}), cell::integer(63)}), ErrorId::script_bad_make_arg},
        {"action 9: compare has no word", TypeId::action, blk({blk({w("a"), w("b")}), cell::integer(9)}),
         ErrorId::script_bad_make_arg},
        {"native with three values", TypeId::native, blk({blk({}), cell::integer(3), cell::integer(3)}),
         ErrorId::script_bad_make_arg},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Outcome o = trapped([&] { return registry::actions(c.type).make(cell::datatype(c.type), c.spec, c.type); });
        EXPECT_EQ(o.error, c.error);
    }

    // A native is made with the built-in's own spec: its words may differ, nothing else.
    Cell type_of_ = builtin("type?");
    Cell spec = blk({str("doc"), w("v"), blk({w("any-type!")}), ref("word")});
    Cell n = remake(type_of_, spec);
    EXPECT_EQ(n.header, uint32_t(TypeId::native));
    EXPECT_EQ(n.data1, type_of_.data1);
    EXPECT_NE(n.data2, spec.data2);  // its own copy
    ASSERT_EQ(memory::buffer_of(n.data3)->length(), function::kNativeMoreCells);
    Node ctx = function::context_of(n);
    EXPECT_TRUE(is(*function::more_cell(n, 0), TypeId::context));
    EXPECT_EQ(function::more_cell(n, 0)->data1, context::cell_of(ctx).data1);
    EXPECT_EQ(context::word_count(ctx), 2u);
    EXPECT_TRUE(context::on_stack_q(ctx));
    // The argument table is built when the native is made, not at its first call.
    EXPECT_TRUE(is(*function::more_cell(n, function::more_arg_table), TypeId::block));
    EXPECT_EQ(function::more_cell(n, function::more_code), nullptr);
}

TEST_F(Functions, AMadeNativeOrActionAgreesWithItsBuiltIn) {
    struct Case {
        const char* name;
        const char* builtin;
        Cell spec;
        bool fits;
    };
    Cell any = blk({w("any-type!")});
    const Case kCases[] = {
        {"other words and doc strings", "type?", blk({w("x"), any, str("doc"), ref("word")}), true},
        {"the types as a typeset", "type?", blk({w("x"), blk({w("default!"), w("unset!")}), ref("word")}), true},
        {"a refinement missing", "type?", blk({w("x"), any}), false},
        {"a refinement renamed", "type?", blk({w("x"), any, ref("name")}), false},
        {"an argument more", "type?", blk({w("x"), any, w("y"), any, ref("word")}), false},
        {"no type block: unset! is refused", "type?", blk({w("x"), ref("word")}), false},
        {"a narrower type", "if", blk({w("c"), any, w("t"), blk({w("integer!")})}), false},
        {"a wider type", "if", blk({w("c"), any, w("t"), any}), false},
        {"literal for evaluated", "if", blk({w("c"), any, w("t", TypeId::lit_word), blk({w("block!")})}), false},
        {"a word twice", "if", blk({w("c"), any, w("c"), blk({w("block!")})}), false},
        {"a stray value", "if", blk({w("c"), any, w("t"), blk({w("block!")}), cell::integer(1)}), false},
        {"a type word that names no type", "if", blk({w("c"), any, w("t"), blk({w("if")})}), false},
        {"return type left out", "back", blk({w("s"), blk({w("series!"), w("port!")})}), false},
        {"an action's own", "back",
         blk({w("s"), blk({w("series!"), w("port!")}), sw("return"), blk({w("series!"), w("port!")})}), true},
        {"set-word other than return", "back",
         blk({w("s"), blk({w("series!"), w("port!")}), sw("result"), blk({w("series!"), w("port!")})}), false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Outcome o = trapped([&] { return remake(builtin(c.builtin), c.spec); });
        EXPECT_EQ(o.error, c.fits ? std::nullopt : std::optional(ErrorId::script_bad_make_arg));
    }
    // Every built-in can be made again from its own spec.
    for (const char* name : {"if", "foreach", "parse", "print", "append", "find", "mold", "make"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(trapped([&] { return remake(name); }).error);
    }
}

TEST_F(Functions, OpsWrapCallablesOfTwoArguments) {
    auto fn = [](Cell spec) {
        Cell body = blk({});
        function::make_value(spec, &body, kNoNode, 0, kNoNode, 0);
        Cell f = *stack::top();
        stack::pop(1);
        return f;
    };
    Cell two = fn(blk({w("a"), w("b"), ref("local"), w("t")}));
    Cell o = op::make(cell::datatype(TypeId::op), two, TypeId::op);
    EXPECT_EQ(o.header, uint32_t(TypeId::op) | (uint32_t(TypeId::function) << 16));
    EXPECT_EQ(function::op_source_type(o), TypeId::function);
    EXPECT_EQ(o.data3, two.data3);
    EXPECT_EQ(function::more_cell(two, function::more_op_source)->data3, two.data3);
    Cell back = function::unwrap_op(o);
    EXPECT_EQ(back.header, two.header);
    EXPECT_EQ(function::context_of(o), two.data1);

    Cell n = remake("add");
    Cell on = op::make(cell::datatype(TypeId::op), n, TypeId::op);
    EXPECT_EQ(function::op_source_type(on), TypeId::action);
    EXPECT_EQ(function::unwrap_op(on).header, uint32_t(TypeId::action));
    EXPECT_EQ(function::context_of(on), function::context_of(n));

    struct Case {
        const char* name;
        Cell source;
        ErrorId error;
    };
    const Case kCases[] = {
        {"three arguments", fn(blk({w("a"), w("b"), w("c")})), ErrorId::script_bad_op_spec},
        {"one argument", fn(blk({w("a")})), ErrorId::script_bad_op_spec},
        {"literal left argument", fn(blk({w("a", TypeId::lit_word), w("b")})), ErrorId::script_bad_op_spec},
        {"a refinement", fn(blk({w("a"), w("b"), ref("only")})), ErrorId::script_bad_op_spec},
        {"not callable", cell::integer(1), ErrorId::script_invalid_type},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Outcome r = trapped([&] { return op::make(cell::datatype(TypeId::op), c.source, TypeId::op); });
        EXPECT_EQ(r.error, c.error);
    }
    Outcome fit = trapped([&] { return op::make(cell::datatype(TypeId::op), fn(blk({w("a"), w("b", TypeId::lit_word)})), TypeId::op); });
    EXPECT_FALSE(fit.error);  // only the left argument must be evaluated
}

TEST_F(Functions, MoldAndForm) {
    Cell spec = blk({w("a"), w("b")});
    Cell body = blk({w("a"), w("b")});
    function::make_value(spec, &body, kNoNode, 0, kNoNode, 0);
    Cell f = *stack::top();
    function::make_value(spec, nullptr, kNoNode, 0, kNoNode, 0);
    Cell bodiless = *stack::top();
    stack::pop(2);
    Cell n = remake("print");
    Cell a = remake("reflect");
    Cell of = op::make(cell::datatype(TypeId::op), f, TypeId::op);
    Cell on = op::make(cell::datatype(TypeId::op), a, TypeId::op);
    Cell r_block = *routine::make_value(spec, &body, 1, 0, false);
    Cell word_body = w("code");
    Cell r_word = *routine::make_value(spec, &word_body, 1, 0, false);
    stack::pop(2);

    struct Case {
        Cell value;
        const char* mold;
        const char* form;
    };
    const Case kCases[] = {
        {n, "make native! [[value [any-type!]]]", "?native?"},
        {a, "make action! [[value [any-type!] field [word!]]]", "?action?"},
        {of, "make op! func [a b][a b]", "?op?"},
        {on, "make op! [[value [any-type!] field [word!]]]", "?op?"},
        {f, "func [a b][a b]", "?function?"},
        {bodiless, "func [a b] none", "?function?"},
        {r_block, "routine [a b][a b]", "?routine?"},
        {r_word, "routine [a b] code", "?routine?"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.mold);
        EXPECT_EQ(test::mold_text(c.value), c.mold);
        Cell s = string::make_cell(16);
        int32_t left = registry::actions(type_of(c.value)).form(c.value, s.data2, nullptr, 100);
        EXPECT_EQ(utf8_of(s), c.form);
        EXPECT_EQ(left, 100 - int32_t(std::string(c.form).size()));
    }
    Cell s = string::make_cell(16);
    EXPECT_EQ(function::mold(f, s.data2, false, false, false, nullptr, 100, 0), 100 - 15);
}

TEST_F(Functions, ReflectAndCompare) {
    Cell spec = blk({w("a"), ref("local"), w("b")});
    Cell body = blk({w("a")});
    Node ctx = function::make_value(spec, &body, kNoNode, 0, kNoNode, 0);
    Cell f = *stack::top();
    stack::pop(1);
    Cell n = remake("repeat");
    Cell on = op::make(cell::datatype(TypeId::op), remake("equal?"), TypeId::op);

    // The spec given back is a copy, type blocks and all: the calls rely on the function's own.
    Cell s = function::reflect(f, sym::spec);
    EXPECT_NE(s.data2, spec.data2);
    EXPECT_NE(s.data2, f.data2);
    EXPECT_EQ(s.data1, 0u);
    EXPECT_EQ(test::mold_text(s), test::mold_text(spec));
    Cell typed_spec = function::reflect(builtin("if"), sym::spec);
    EXPECT_NE(cells_of(typed_spec)[1].data2, cells_of(function::reflect(builtin("if"), sym::spec))[1].data2);
    Cell b = function::reflect(f, sym::body);
    // A copy of the body: changing it must not change what the function runs.
    EXPECT_NE(b.data2, function::more_cell(f, function::more_body)->data2);
    ASSERT_EQ(length_of(b), 1u);
    EXPECT_EQ(cells_of(b)[0].data2, w("a").data2);
    Cell words = function::reflect(f, sym::words);
    ASSERT_EQ(length_of(words), 3u);
    EXPECT_NE(words.data2, context::words_node(ctx));
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(cells_of(words)[i].data1, ctx);
    EXPECT_EQ(uint32_t(cell::get_integer(function::reflect(n, sym::body))), builtin("repeat").data1);
    EXPECT_EQ(uint32_t(cell::get_integer(function::reflect(on, sym::body))), builtin("equal?").data1);
    EXPECT_EQ(trapped([&] { return function::reflect(n, sym::words); }).error, ErrorId::internal_not_done);
    EXPECT_EQ(trapped([&] { return function::reflect(f, sym::self); }).error, ErrorId::internal_not_done);

    Cell n2 = remake("forever");
    EXPECT_EQ(function::compare(n, n, CompareOp::equal), 0);
    EXPECT_EQ(function::compare(n, n2, CompareOp::sort), -1);
    EXPECT_EQ(function::compare(n2, n, CompareOp::same), 1);
    EXPECT_EQ(function::compare(n, n2, CompareOp::lesser), kNotComparable);
    EXPECT_EQ(function::compare(n, f, CompareOp::equal), kNotComparable);
    Cell g = f;
    g.data1 = 0;  // functions compare by their more-block
    EXPECT_EQ(function::compare(f, g, CompareOp::strict_equal), 0);
}

TEST_F(Functions, CollectLocals) {
    struct Case {
        const char* name;
        Cell spec;
        Cell body;
        const char* result;
    };
    const Case kCases[] = {
        {"sets a spec word", blk({w("a")}), blk({sw("a"), cell::integer(1)}), "[a]"},
        {"set-words at any depth", blk({w("a")}),
         blk({sw("b"), cell::integer(1), cell::make(TypeId::paren, 0, blk({sw("c"), w("d")}).data2, 0)}),
         "[a /local b c]"},
        {"case variants are one word", blk({w("a")}), blk({sw("b"), sw("B")}), "[a /local b]"},
        {"loop words", blk({}), blk({w("foreach"), blk({w("k"), w("v", TypeId::get_word)}), w("s"), blk({}),
                                     w("repeat"), w("i"), cell::integer(3), blk({})}),
         "[/local k v i]"},
        {"a spec word in another kind", blk({w("a", TypeId::lit_word)}), blk({sw("a")}), "['a]"},
        {"existing locals", blk({w("a"), ref("local"), w("t")}), blk({sw("t"), sw("u")}), "[a /local t u]"},
        {"externs", blk({w("a"), ref("extern"), w("x"), ref("local"), w("y")}), blk({sw("x"), sw("z")}),
         "[a /local y z]"},
        {"externs only", blk({w("a"), ref("extern"), w("x")}), blk({sw("x")}), "[a]"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Outcome o = trapped([&] { return function::collect_locals(c.spec, c.body); });
        ASSERT_FALSE(o.error);
        EXPECT_EQ(test::mold_text(o.value), c.result);
        EXPECT_NE(o.value.data2, c.spec.data2);
    }
    Outcome bad = trapped([&] {
        return function::collect_locals(blk({w("a"), cell::integer(1), ref("extern"), w("x")}), blk({}));
    });
    EXPECT_EQ(bad.error, ErrorId::script_bad_func_extern);
    EXPECT_EQ(cell::get_integer(bad.arg1), 1);
}

TEST_F(Functions, RoutinesCountTheirArguments) {
    Cell spec = blk({w("a"), blk({w("integer!")}), w("b"), sw("return"), blk({w("integer!")})});
    Cell r = *routine::make_value(spec, nullptr, 3, uint32_t(TypeId::integer), true);
    stack::pop(1);
    EXPECT_EQ(type_of(r), TypeId::routine);
    EXPECT_TRUE(r.header & routine::kVariant);
    EXPECT_EQ(routine::arity(r), 2u);
    EXPECT_EQ(cell::get_integer(*function::more_cell(r, function::more_code)), 3);
    EXPECT_EQ(cell::get_integer(*function::more_cell(r, function::more_defining_context)), int32_t(TypeId::integer));
    EXPECT_TRUE(is(*function::more_cell(r, function::more_body), TypeId::none));
    EXPECT_EQ(context::owner_of(r.data1).header, r.header);
    EXPECT_EQ(registry::actions(TypeId::routine).make, nullptr);
    EXPECT_EQ(registry::actions(TypeId::routine).reflect, registry::actions(TypeId::function).reflect);
}
