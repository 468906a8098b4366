#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "datatypes/hooks.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
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
using test::utf8_of;
using test::w;

namespace {

Cell sw(const char* name) { return w(name, TypeId::set_word); }
Cell lw(const char* name) { return w(name, TypeId::lit_word); }
Cell ref(const char* name) { return w(name, TypeId::refinement); }
Cell* cells_of(const Cell& block) { return memory::buffer_of(block.data2)->cells(); }
uint32_t length_of(const Cell& block) { return memory::buffer_of(block.data2)->length(); }
std::string molded(const Cell& v, bool all = false, bool flat = false) { return test::mold_text(v, false, all, flat); }
Cell int_(int32_t v) { return cell::integer(v); }

// The evaluation an object spec gets, as far as these tests write specs: `name: value` pairs,
// where a word value is read and a lit-word value gives the word.
Cell eval_pairs(const Cell& block) {
    for (uint32_t i = block.data1; i + 1 < length_of(block);) {
        Cell target = cells_of(block)[i];
        if (!is(target, TypeId::set_word)) {
            ++i;
            continue;
        }
        Cell v = cells_of(block)[i + 1];
        if (is(v, TypeId::word)) v = *word::get(v);
        else if (is(v, TypeId::lit_word)) cell::set_type(v, TypeId::word);
        word::set(target, v);
        i += 2;
    }
    return cell::unset();
}

struct Call {
    Cell handler;
    Node context;
    std::string name;
    std::vector<Cell> args;
    FrameKind kind;
};
std::vector<Call> calls;

void record_call(const Cell& handler, Node context, const Cell& name) {
    calls.push_back({handler, context, std::string(symbol::name(name.data2)),
                     std::vector<Cell>(stack::base, stack::data_top), frame::top()->kind()});
}

struct Outcome {
    Cell value;
    std::optional<ErrorId> error;
    Cell arg1, arg2;
};

template <typename F>
Outcome trapped(F body) {
    test::Outcome o = test::trapped(body, words::try_);
    if (!o.error) return {o.value, o.error, cell::none(), cell::none()};
    return {o.value, o.error, error::field(o.raised, error::arg1), error::field(o.raised, error::arg2)};
}

Cell make_object(const Cell& spec, const Cell& proto = cell::datatype(TypeId::object)) {
    return object::make(proto, spec, TypeId::object);
}

Cell field(const Cell& object, const char* name) {
    return *object::value_of_word(object, word::from_c_string(name));
}

// A function! with `spec` and `body`, its body bound to `object` first as a spec's would be.
Cell function_in(const Cell& object, const Cell& spec, const Cell& body) {
    if (is(object, TypeId::object)) context::bind_block(body, object.data1, true);
    function::make_value(spec, &body, kNoNode, 0, kNoNode, 0);
    Cell f = *stack::top();
    stack::pop(1);
    return f;
}

Cell handler() { return function_in(cell::none(), blk({w("word"), w("old"), w("new"), ref("local"), w("t")}), blk({})); }

class Objects : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        function::init();
        object::init();
        datatype_hooks.eval_block = eval_pairs;
        datatype_hooks.call_handler = record_call;
        calls.clear();
    }
    test::KeepHooks keep_hooks_;
};

}  // namespace

TEST_F(Objects, MakeFromABlockBindsEvaluatesAndClears) {
    Cell one = int_(1);
    one.header |= cell_flag::new_line;
    Cell spec = blk({sw("a"), one, sw("b"), lw("x"), sw("me"), w("self")});
    Cell o = make_object(spec);
    ASSERT_TRUE(is(o, TypeId::object));
    EXPECT_EQ(context::word_count(o.data1), 3u);
    EXPECT_EQ(field(o, "a").header, uint32_t(TypeId::integer));  // the new-line flag is cleared
    EXPECT_EQ(field(o, "b").data2, symbol::intern("x"));
    EXPECT_EQ(field(o, "me").data1, o.data1);  // self is the object
    EXPECT_EQ(field(o, "me").data2, o.data2);
    EXPECT_EQ(cells_of(spec)[0].data1, o.data1);  // the spec is bound to it
    for (uint32_t i = 0; i < 3; ++i) EXPECT_FALSE(context::word_at(o.data1, i)->header & cell_flag::assigned);
    EXPECT_EQ(context::owner_of(o.data1).data2, o.data2);
    EXPECT_NE(o.data2, 0u);
    EXPECT_NE(make_object(blk({})).data2, make_object(blk({})).data2);  // no prototype: new class

    Outcome bad = trapped([] { return make_object(int_(1)); });
    EXPECT_EQ(bad.error, ErrorId::syntax_malconstruct);
    datatype_hooks.eval_block = nullptr;
    EXPECT_EQ(trapped([] { return make_object(blk({})); }).error, ErrorId::internal_not_done);
}

TEST_F(Objects, PrototypesShareTheClassUnlessFieldsAreAdded) {
    Cell p = make_object(blk({sw("a"), int_(1), sw("b"), blk({w("a")})}));
    Cell same = make_object(blk({sw("a"), int_(5)}), p);
    Cell wider = make_object(blk({sw("c"), int_(2)}), p);
    EXPECT_EQ(same.data2, p.data2);
    EXPECT_NE(wider.data2, p.data2);
    EXPECT_EQ(cell::get_integer(field(same, "a")), 5);
    EXPECT_EQ(cell::get_integer(field(p, "a")), 1);
    EXPECT_EQ(cell::get_integer(field(wider, "a")), 1);

    // Series values are deep copies bound to the new object.
    Cell pb = field(p, "b"), wb = field(wider, "b");
    EXPECT_NE(wb.data2, pb.data2);
    EXPECT_EQ(cells_of(pb)[0].data1, p.data1);
    EXPECT_EQ(cells_of(wb)[0].data1, wider.data1);

    // From an object spec: fields merged, series copied, class new only when fields are added.
    Cell merged = make_object(make_object(blk({sw("b"), blk({}), sw("d"), int_(4)})), p);
    EXPECT_NE(merged.data2, p.data2);
    EXPECT_EQ(context::word_count(merged.data1), 3u);
    Cell replaced = make_object(make_object(blk({sw("A"), int_(9)})), p);
    EXPECT_EQ(replaced.data2, p.data2);
    EXPECT_EQ(cell::get_integer(field(replaced, "a")), 9);
}

TEST_F(Objects, FunctionFieldsAreRebound) {
    Cell p = make_object(blk({sw("a"), int_(1), sw("f"), cell::none()}));
    Cell f = function_in(p, blk({w("x")}), blk({w("a"), w("x")}));
    *context::value_at(p.data1, 1) = f;
    context::cell_of(f.data1).data2 = 5;  // as while f runs
    Cell q = make_object(blk({sw("c"), int_(2)}), p);
    context::cell_of(f.data1).data2 = 0;

    Cell g = field(q, "f");
    ASSERT_TRUE(is(g, TypeId::function));
    EXPECT_EQ(g.data2, f.data2);  // the spec is shared
    EXPECT_NE(g.data1, f.data1);  // a context of its own...
    EXPECT_EQ(context::cell_of(g.data1).data1, context::cell_of(f.data1).data1);  // ...sharing the words
    EXPECT_EQ(context::owner_of(g.data1).data3, g.data3);
    EXPECT_EQ(context::cell_of(g.data1).data2, 0u);  // the copy is not running
    Cell body = *function::more_cell(g, function::more_body);
    EXPECT_EQ(cells_of(body)[0].data1, q.data1);  // reads the copy's field
    EXPECT_EQ(cells_of(body)[1].data1, g.data1);
    EXPECT_TRUE(is(*function::more_cell(g, function::more_code), TypeId::unset));
    EXPECT_EQ(cells_of(*function::more_cell(f, function::more_body))[0].data1, p.data1);

    Cell r = make_object(blk({sw("f"), cell::none()}));
    function::make_value(blk({}), nullptr, kNoNode, 0, kNoNode, 0);
    *context::value_at(r.data1, 0) = *stack::top();
    stack::pop(1);
    Outcome bad = trapped([&] { return make_object(blk({}), r); });
    EXPECT_EQ(bad.error, ErrorId::script_bad_func_def);
    EXPECT_TRUE(is(bad.arg1, TypeId::function));
}

TEST_F(Objects, ChangeHandlersAreFoundAndCalled) {
    Outcome bad = trapped([] { return make_object(blk({sw("on-change*"), int_(1)})); });
    EXPECT_EQ(bad.error, ErrorId::script_bad_field_set);
    EXPECT_EQ(symbol::name(bad.arg1.data2), "on-change*");
    EXPECT_EQ(bad.arg2.data1, uint32_t(TypeId::integer));

    Cell spec = blk({sw("a"), int_(1), sw("on-change*"), handler()});
    Cell o = make_object(spec);
    ASSERT_NE(o.data3, 0u);
    Cell* info = memory::buffer_of(o.data3)->cells();
    EXPECT_EQ(info[0].data2, (1u << 16) | 2);  // position 1, /local and t
    EXPECT_EQ(info[1].data2 >> 16, object::kNoHandler);
    EXPECT_TRUE(calls.empty());  // making does not notify

    Cell a = cells_of(spec)[0];  // the spec's a:, bound to the object
    Cell* top = stack::data_top;
    CallFrame* frames = stack::frames_top;
    word::set(a, int_(2));
    EXPECT_EQ(stack::data_top, top);
    EXPECT_EQ(stack::frames_top, frames);
    ASSERT_EQ(calls.size(), 1u);
    const Call& c = calls[0];
    EXPECT_EQ(c.name, "on-change*");
    EXPECT_EQ(c.context, o.data1);
    EXPECT_EQ(c.kind, FrameKind::function);
    ASSERT_EQ(c.args.size(), 5u);  // word, old, new, then the inactive /local group
    EXPECT_EQ(symbol::name(c.args[0].data2), "a");
    EXPECT_EQ(cell::get_integer(c.args[1]), 1);
    EXPECT_EQ(cell::get_integer(c.args[2]), 2);
    EXPECT_TRUE(is(c.args[3], TypeId::logic) && is(c.args[4], TypeId::none));

    Cell changed = object::reflect(o, words::changed.data2);
    ASSERT_EQ(length_of(changed), 1u);
    EXPECT_EQ(symbol::name(cells_of(changed)[0].data2), "a");
    object::modify(o, words::changed, cell::logic(true), false);
    EXPECT_EQ(length_of(object::reflect(o, words::changed.data2)), 0u);

    // A handler field that no longer holds a function.
    *context::value_at(o.data1, 1) = int_(0);
    EXPECT_EQ(trapped([&] { word::set(a, int_(3)); return cell::none(); }).error, ErrorId::script_invalid_obj_evt);
    datatype_hooks.call_handler = nullptr;
    *context::value_at(o.data1, 1) = handler();
    EXPECT_EQ(trapped([&] { word::set(a, int_(3)); return cell::none(); }).error, ErrorId::internal_not_done);
}

TEST_F(Objects, DeepChangesReachTheOwner) {
    Cell data = blk({int_(1)});
    Cell deep = function_in(cell::none(),
                            blk({w("owner"), w("word"), w("target"), w("action"), w("new"), w("index"), w("part")}),
                            blk({}));
    Cell o = make_object(blk({sw("data"), data, sw("on-deep-change*"), deep}));
    Cell held = field(o, "data");
    ASSERT_TRUE(ownership::owned_q(held));
    EXPECT_TRUE(object::reflect(o, sym::owner).data1);
    EXPECT_TRUE(ownership::notify_change(held, words::appended, nullptr, 1, 1));
    ASSERT_EQ(calls.size(), 1u);
    const Call& c = calls[0];
    EXPECT_EQ(c.name, "on-deep-change*");
    ASSERT_EQ(c.args.size(), 7u);
    EXPECT_EQ(c.args[0].data1, o.data1);
    EXPECT_EQ(symbol::name(c.args[1].data2), "data");
    EXPECT_EQ(c.args[2].data2, held.data2);
    EXPECT_EQ(symbol::name(c.args[3].data2), "appended");
    EXPECT_TRUE(is(c.args[4], TypeId::none));
    EXPECT_EQ(cell::get_integer(c.args[5]), 1);

    object::modify(o, w("owner"), cell::logic(false), false);
    EXPECT_FALSE(ownership::owned_q(held));
    EXPECT_FALSE(object::reflect(o, sym::owner).data1);
}

TEST_F(Objects, MoldAndForm) {
    Cell inner = make_object(blk({sw("b"), int_(1)}));
    Cell o = make_object(blk({sw("a"), int_(1), sw("w"), lw("x"), sw("c"), blk({int_(1), int_(2)}),
                              sw("on-change*"), handler()}));
    EXPECT_EQ(molded(o), "make object! [\n    a: 1\n    w: 'x\n    c: [1 2]\n]");
    EXPECT_EQ(molded(o, false, true), "make object! [a: 1 w: 'x c: [1 2]]");
    EXPECT_EQ(test::form_text(o), "a: 1\nw: 'x\nc: [1 2]");
    EXPECT_EQ(molded(o, true, true), "make object! [a: 1 w: 'x c: [1 2] on-change*: func [word old new /local t][]]");
    Cell inner_word = w("inner");
    word::set(inner_word, inner);
    Cell outer = make_object(blk({sw("i"), w("inner")}));
    EXPECT_EQ(molded(outer), "make object! [\n    i: make object! [\n        b: 1\n    ]\n]");
    EXPECT_EQ(molded(make_object(blk({}))), "make object! []");

    // A field holding its own object, and the part limit.
    *context::value_at(inner.data1, 0) = inner;
    EXPECT_EQ(molded(inner, false, true), "make object! [b: make object! [...]]");
    Cell s = string::make_cell(16);
    Cell part = int_(24);
    int32_t left = object::mold(o, s.data2, false, false, false, &part, 24, 0);
    EXPECT_EQ(utf8_of(s), "make object! [\n    a: 1\n]");
    EXPECT_EQ(left, 24 - int32_t(utf8_of(s).size()));
}

TEST_F(Objects, Reflection) {
    Cell o = make_object(blk({sw("a"), lw("x"), sw("p"), cell::make(TypeId::path, 0, blk({w("q")}).data2, 0)}));
    Cell words = object::reflect(o, sym::words);
    ASSERT_EQ(length_of(words), 2u);
    EXPECT_EQ(cells_of(words)[1].header, uint32_t(TypeId::word));
    EXPECT_EQ(cells_of(words)[1].data1, o.data1);
    Cell values = object::reflect(o, sym::values);
    EXPECT_EQ(values.data2, context::cell_of(o.data1).data2);  // the values themselves
    Cell body = object::reflect(o, sym::body);
    EXPECT_EQ(molded(body), "[\n    a: 'x\n    p: 'q\n]");
    EXPECT_EQ(cells_of(body)[0].data1, o.data1);
    EXPECT_EQ(cell::get_integer(object::reflect(o, sym::class_)), int32_t(o.data2));
    EXPECT_FALSE(object::reflect(o, sym::events_q).data1);
    EXPECT_EQ(trapped([&] { return object::reflect(o, sym::spec); }).error, ErrorId::internal_not_done);
}

TEST_F(Objects, PathsSelectAndPut) {
    Cell o = make_object(blk({sw("a"), int_(1), sw("u"), cell::none(), sw("on-change*"), handler()}));
    *context::value_at(o.data1, 1) = cell::unset();
    Cell path = cell::make(TypeId::path, 0, blk({w("o"), w("a")}).data2, 0);
    auto step = [&](bool last, bool get) {
        PathStep s;
        s.path = &path;
        s.last = last;
        s.get = get;
        return s;
    };

    Cell el = w("A");
    Cell got = object::eval_path(o, el, nullptr, step(true, false));
    EXPECT_EQ(cell::get_integer(got), 1);
    EXPECT_EQ(el.data1, o.data1);  // rebound in place
    EXPECT_EQ(el.data3, 0u);

    Cell v = int_(7);
    EXPECT_EQ(cell::get_integer(object::eval_path(o, el, &v, step(true, false))), 7);
    EXPECT_EQ(cell::get_integer(field(o, "a")), 7);
    EXPECT_TRUE(context::word_at(o.data1, 0)->header & cell_flag::assigned);
    ASSERT_EQ(calls.size(), 1u);  // notified once, with the old and new values
    EXPECT_EQ(cell::get_integer(calls[0].args[1]), 1);
    EXPECT_EQ(cell::get_integer(calls[0].args[2]), 7);

    struct Case {
        const char* name;
        const char* element;
        bool last, get, set;
        std::optional<ErrorId> error;
    };
    const Case kCases[] = {
        {"missing, last", "zz", true, false, false, ErrorId::script_invalid_path},
        {"missing, set", "zz", true, false, true, ErrorId::script_invalid_path},
        {"missing, not last", "zz", false, false, false, ErrorId::script_unset_path},
        {"missing, get-path", "zz", true, true, false, {}},
        {"unset, last", "u", true, false, false, ErrorId::script_invalid_path},
        {"unset, not last", "u", false, false, false, ErrorId::script_unset_path},
        {"unset, get-path", "u", true, true, false, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell e = w(c.element);
        Outcome r = trapped([&] { return object::eval_path(o, e, c.set ? &v : nullptr, step(c.last, c.get)); });
        EXPECT_EQ(r.error, c.error);
        if (c.error) {
            EXPECT_EQ(symbol::name(r.arg2.data2), c.element);
        } else {
            EXPECT_TRUE(is(r.value, TypeId::unset));
        }
    }
    Outcome not_word = trapped([&] { return object::eval_path(o, int_(1), nullptr, step(true, false)); });
    EXPECT_EQ(not_word.error, ErrorId::script_invalid_path);

    EXPECT_EQ(cell::get_integer(object::select(o, lw("a"), FindOptions{})), 7);
    EXPECT_TRUE(is(object::select(o, w("zz"), FindOptions{}), TypeId::none));
    EXPECT_EQ(trapped([&] { return object::select(o, int_(1), FindOptions{}); }).error, ErrorId::script_invalid_type);
    object::put(o, w("a"), int_(8), false);
    EXPECT_EQ(cell::get_integer(field(o, "a")), 8);
    EXPECT_EQ(trapped([&] { return object::put(o, w("zz"), int_(8), false); }).error, ErrorId::script_invalid_path);
}

TEST_F(Objects, SetFields) {
    struct Case {
        const char* name;
        Cell value;
        bool any, whole, some;
        std::optional<ErrorId> error;
        const char* result;  // the values molded, or the field the error names
    };
    Cell unset_second = blk({int_(5), cell::unset()});
    const Case kCases[] = {
        {"one value", int_(5), false, false, false, {}, "[5 5 5]"},
        {"block shorter", blk({int_(5), int_(6)}), false, false, false, {}, "[5 6 none]"},
        {"skipping none", blk({int_(5), cell::none()}), false, false, true, {}, "[5 2 3]"},
        {"whole block", blk({int_(5)}), false, true, false, {}, "[[5] [5] [5]]"},
        {"unset refused", unset_second, false, false, false, ErrorId::script_need_value, "b"},
        {"unset let through", unset_second, true, false, false, {}, "[5 unset none]"},
        {"from an object", make_object(blk({sw("C"), int_(9), sw("z"), int_(0)})), false, false, false, {}, "[1 2 9]"},
        {"from an object with unset", make_object(blk({sw("c"), cell::unset()})), false, false, false,
         ErrorId::script_need_value, "c"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell o = make_object(blk({sw("a"), int_(1), sw("b"), int_(2), sw("c"), int_(3)}));
        if (std::string(c.name) == "from an object with unset") *context::value_at(c.value.data1, 0) = cell::unset();
        Outcome r = trapped([&] {
            object::set_fields(o, c.value, c.any, c.whole, c.some);
            return cell::none();
        });
        EXPECT_EQ(r.error, c.error);
        if (c.error) {
            EXPECT_EQ(symbol::name(r.arg1.data2), c.result);
            EXPECT_EQ(cell::get_integer(field(o, "a")), 1);  // nothing changed
        } else {
            EXPECT_EQ(molded(object::reflect(o, sym::values)), c.result);
        }
    }

    // With a handler: the handler fields keep their value but are marked; the others notify.
    Cell h = handler();
    Cell o = make_object(blk({sw("a"), int_(1), sw("on-change*"), h, sw("b"), int_(2)}));
    object::set_fields(o, int_(0), false, false, false);
    EXPECT_TRUE(is(field(o, "on-change*"), TypeId::function));
    EXPECT_EQ(length_of(object::reflect(o, words::changed.data2)), 3u);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(symbol::name(calls[1].args[0].data2), "b");
}

TEST_F(Objects, ConstructCopyAndCompare) {
    Cell c = object::construct(blk({sw("a"), sw("b"), w("true"), sw("c"), w("none"), sw("d")}), nullptr, false);
    EXPECT_EQ(molded(object::reflect(c, sym::values)), "[true true none none]");
    EXPECT_TRUE(is(field(c, "a"), TypeId::logic));
    EXPECT_TRUE(is(field(c, "c"), TypeId::none));
    Cell only = object::construct(blk({sw("a"), w("true")}), &c, true);
    EXPECT_TRUE(is(field(only, "a"), TypeId::word));
    EXPECT_TRUE(is(field(c, "a"), TypeId::logic));  // the prototype is copied, not changed
    EXPECT_EQ(only.data2, c.data2);

    Cell o = make_object(blk({sw("a"), int_(1), sw("b"), blk({int_(2)}), sw("f"), cell::none()}));
    *context::value_at(o.data1, 2) = function_in(o, blk({}), blk({w("a")}));
    Cell shallow, deep;
    object::copy(o, shallow, nullptr, false, nullptr);
    object::copy(o, deep, nullptr, true, nullptr);
    EXPECT_NE(shallow.data1, o.data1);
    EXPECT_EQ(shallow.data2, o.data2);
    EXPECT_EQ(field(shallow, "b").data2, field(o, "b").data2);
    EXPECT_NE(field(deep, "b").data2, field(o, "b").data2);
    Cell g = field(shallow, "f");
    EXPECT_EQ(cells_of(*function::more_cell(g, function::more_body))[0].data1, shallow.data1);
    Cell part = int_(1);
    EXPECT_EQ(trapped([&] { Cell r; object::copy(o, r, &part, false, nullptr); return r; }).error,
              ErrorId::script_invalid_refine_arg);

    Cell x = make_object(blk({sw("a"), int_(1), sw("b"), blk({int_(2)})}));
    Cell y = make_object(blk({sw("A"), int_(1), sw("b"), blk({int_(2)})}));
    Cell z = make_object(blk({sw("a"), int_(1), sw("b"), blk({int_(3)})}));
    EXPECT_EQ(object::compare(x, y, CompareOp::equal), 0);
    EXPECT_NE(object::compare(x, y, CompareOp::strict_equal), 0);
    EXPECT_NE(object::compare(x, z, CompareOp::equal), 0);
    EXPECT_EQ(object::compare(x, z, CompareOp::lesser), -1);
    EXPECT_NE(object::compare(x, y, CompareOp::same), 0);
    EXPECT_EQ(object::compare(x, int_(1), CompareOp::equal), kNotComparable);
    // Objects that hold themselves still compare.
    *context::value_at(x.data1, 1) = x;
    *context::value_at(y.data1, 1) = y;
    EXPECT_NE(object::compare(x, y, CompareOp::equal), 0);
    EXPECT_EQ(object::compare(x, x, CompareOp::equal), 0);
}
