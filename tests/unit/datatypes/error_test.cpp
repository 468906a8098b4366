#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "boot/boot.h"
#include "datatypes/hooks.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
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
using test::w;

namespace {

Cell sw(const char* name) { return w(name, TypeId::set_word); }
Cell lw(const char* name) { return w(name, TypeId::lit_word); }
Cell* cells_of(const Cell& block) { return memory::buffer_of(block.data2)->cells(); }
uint32_t length_of(const Cell& block) { return memory::buffer_of(block.data2)->length(); }
std::string molded(const Cell& v, bool flat = false) { return test::mold_text(v, false, false, flat); }

// `name: value` pairs, a lit-word value giving its word: what these error specs need.
Cell eval_pairs(const Cell& block) {
    for (uint32_t i = block.data1; i + 1 < length_of(block); i += 2) {
        Cell target = cells_of(block)[i];
        Cell v = cells_of(block)[i + 1];
        if (is(v, TypeId::lit_word)) cell::set_type(v, TypeId::word);
        word::set(target, v);
    }
    return cell::unset();
}

template <typename F>
Outcome trapped(F body) { return test::trapped(body, words::try_); }

Cell make_error(const Cell& spec) { return error::make(cell::datatype(TypeId::error), spec, TypeId::error); }
Cell& slot(const Cell& e, error::Field f) { return *context::value_at(e.data1, f); }

class Errors : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        function::init();
        object::init();
        error::init();
        error::make_catalog(boot::root);
        datatype_hooks.eval_block = eval_pairs;
    }
    test::KeepHooks keep_hooks_;
};

constexpr ErrorId kAllIds[] = {
#define KAZ_ERROR_CATEGORY(cname, name, code, title)
#define KAZ_ERROR(cat, cname, name, tmpl) ErrorId::cat##_##cname,
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
};

}  // namespace

TEST_F(Errors, TheCatalogHoldsEveryCategoryAndTemplate) {
    Node catalog = error::catalog.data1;
    ASSERT_EQ(context::word_count(catalog), uint32_t(error::kCategoryCount));
    for (int c = 0; c < error::kCategoryCount; ++c) {
        const error::CategoryInfo& info = error::category_info(ErrorCategory(c));
        SCOPED_TRACE(info.name);
        EXPECT_EQ(symbol::name(context::word_at(catalog, uint32_t(c))->data2), info.name);
        Cell category = *context::value_at(catalog, uint32_t(c));
        ASSERT_TRUE(is(category, TypeId::object));
        EXPECT_EQ(cell::get_integer(*context::value_at(category.data1, 0)), info.code);
        EXPECT_EQ(utf8_of(*context::value_at(category.data1, 1)), info.title);
    }
    EXPECT_EQ(context::word_count(context::value_at(catalog, 6)->data1), 2u);  // reserved1: code, type
    Node script = context::value_at(catalog, 3)->data1;
    EXPECT_EQ(symbol::name(context::word_at(script, 11)->data2), "invalid-arg");

    // Every template, molded back, is the source text it was built from.
    for (ErrorId id : kAllIds) {
        const error::IdInfo& entry = error::info(id);
        SCOPED_TRACE(entry.name);
        Node category = context::value_at(catalog, uint32_t(entry.code / 100))->data1;
        uint32_t position = uint32_t(entry.code % 100) + 2;
        EXPECT_EQ(symbol::name(context::word_at(category, position)->data2), entry.name);
        const Cell message = *context::value_at(category, position);
        if (is(message, TypeId::string)) {
            EXPECT_EQ('"' + utf8_of(message) + '"', entry.template_);  // long strings mold in braces
        } else {
            EXPECT_EQ(molded(message), entry.template_);
        }
    }
}

TEST_F(Errors, MakeFromCodesAndBlocks) {
    struct Case {
        const char* name;
        Cell spec;
        std::optional<ErrorId> made;  // the error made, by its code
        std::optional<ErrorId> raised;
        const char* argument;  // the raised error's arg1, molded
    };
    const Case kCases[] = {
        {"code 300", cell::integer(300), ErrorId::script_no_value, {}, nullptr},
        {"code 0", cell::integer(0), ErrorId::throw__break_, {}, nullptr},
        {"code 913", cell::integer(913), ErrorId::internal_deprecated, {}, nullptr},
        {"negative code", cell::integer(-1), {}, ErrorId::script_out_of_range, "-1"},
        {"no such category", cell::integer(1000), {}, ErrorId::script_out_of_range, "1000"},
        {"past the ids", cell::integer(394), {}, ErrorId::script_out_of_range, "394"},
        {"category without ids", cell::integer(600), {}, ErrorId::script_out_of_range, "600"},
        {"category and id", blk({w("math"), w("zero-divide")}), ErrorId::math_zero_divide, {}, nullptr},
        {"in another case", blk({w("Script"), w("No-Value")}), ErrorId::script_no_value, {}, nullptr},
        {"unknown id", blk({w("script"), w("no-such-id")}), {}, ErrorId::script_invalid_spec_field, "id"},
        {"code as id", blk({w("script"), w("code")}), {}, ErrorId::script_invalid_spec_field, "id"},
        {"unknown category", blk({w("nowhere"), w("no-value")}), {}, ErrorId::script_invalid_spec_field, "type"},
        {"no id", blk({w("script")}), {}, ErrorId::script_invalid_spec_field, "id"},
        {"id not a word", blk({w("script"), cell::integer(1)}), {}, ErrorId::script_invalid_arg, "1"},
        {"fields set", blk({sw("type"), lw("access"), sw("id"), lw("cannot-open"), sw("arg1"), str("f")}),
         ErrorId::access_cannot_open, {}, nullptr},
        {"fields naming no id", blk({sw("type"), lw("math"), sw("id"), lw("no-value")}), {},
         ErrorId::script_invalid_spec_field, "id"},
        {"block of numbers", blk({cell::integer(1), cell::integer(2)}), {}, ErrorId::internal_invalid_error, nullptr},
        {"empty block", blk({}), {}, ErrorId::internal_invalid_error, nullptr},
        {"a string", str("x"), {}, ErrorId::script_bad_make_arg, "error!"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Outcome o = trapped([&] { return make_error(c.spec); });
        EXPECT_EQ(o.error, c.raised);
        if (c.raised) {
            if (c.argument) {
                EXPECT_EQ(molded(error::field(o.raised, error::arg1)), c.argument);
            }
            continue;
        }
        const Cell e = o.value;
        ASSERT_TRUE(is(e, TypeId::error));
        EXPECT_EQ(e.data2, error::kClassId);
        EXPECT_EQ(e.data3, 0u);
        EXPECT_EQ(context::word_count(e.data1), uint32_t(error::kFieldCount));
        EXPECT_EQ(error::id_of(e), c.made);
        const error::IdInfo& info = error::info(*c.made);
        EXPECT_EQ(symbol::canonical_id(slot(e, error::type).data2),
                  symbol::canonical_id(symbol::intern(error::category_info(info.category).name)));
        EXPECT_EQ(symbol::canonical_id(slot(e, error::id).data2), symbol::canonical_id(symbol::intern(info.name)));
        EXPECT_EQ(type_of(slot(e, error::type)), TypeId::word);
    }
}

TEST_F(Errors, TheReport) {
    auto made = [](ErrorId id, Cell a1 = cell::none(), Cell a2 = cell::none(), Cell a3 = cell::none()) {
        return error::create(id, &a1, &a2, &a3);
    };
    Cell unknown_id = made(ErrorId::script_no_value, w("x"));
    slot(unknown_id, error::id) = w("nope");
    Cell unknown_type = made(ErrorId::script_no_value, w("x"));
    slot(unknown_type, error::type) = w("nowhere");
    Cell located = made(ErrorId::math_zero_divide);
    slot(located, error::where) = w("divide");
    Cell long_near = made(ErrorId::math_zero_divide);
    slot(long_near, error::near) = blk({str("abcdefghij"), str("abcdefghij"), str("abcdefghij"), str("x")});
    slot(long_near, error::where) = str("here");
    Cell with_files = made(ErrorId::math_overflow);
    slot(with_files, error::files) = blk({w("a.kaz")});

    struct Case {
        const char* name;
        Cell error;
        const char* report;
    };
    const Case kCases[] = {
        {"word argument", made(ErrorId::script_no_value, w("x")),
         "*** Script Error: x has no value\n*** Where: ???\n*** Near : none"},
        {"script arguments are molded", made(ErrorId::script_invalid_arg, str("abc")),
         "*** Script Error: invalid argument: \"abc\"\n*** Where: ???\n*** Near : none"},
        {"syntax arguments are formed", made(ErrorId::syntax_invalid, str("word"), str("foo"), str("line 2")),
         "*** Syntax Error: word invalid foo at line 2\n*** Where: ???\n*** Near : none"},
        {"message from a word", made(ErrorId::user_message, str("boom")),
         "*** User Error: boom\n*** Where: ???\n*** Near : none"},
        {"unknown id", unknown_id,
         "*** Internal Error: invalid error object field value: nope\n*** Where: ???\n*** Near : none"},
        {"unknown category", unknown_type,
         "*** Internal Error: invalid error object field value: nowhere\n*** Where: ???\n*** Near : none"},
        {"where", located, "*** Math Error: attempt to divide by zero\n*** Where: divide\n*** Near : none"},
        {"near cut at 40", long_near,
         "*** Math Error: attempt to divide by zero\n*** Where: here\n"
         "*** Near : [\"abcdefghij\" \"abcdefghij\" \"abcdefghij\" "},
        {"files", with_files,
         "*** Math Error: math or number overflow\n*** Where: ???\n*** Near : none\n*** Files: [a.kaz]"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(test::form_text(c.error), c.report);
        EXPECT_EQ(error::report(c.error), c.report);
    }
    EXPECT_EQ(error::id_of(unknown_id), ErrorId::internal_invalid_error);

    // The stack line, while the environment asks for one.
    Cell traced = made(ErrorId::math_zero_divide);
    slot(traced, error::stack) = blk({w("f"), w("g")});
    EXPECT_EQ(test::form_text(traced).find("Stack"), std::string::npos);
    datatype_hooks.stack_trace_depth = [] { return 1; };
    EXPECT_EQ(test::form_text(traced), "*** Math Error: attempt to divide by zero\n*** Where: ???\n*** Near : none\n"
                              "*** Stack: f g");
}

TEST_F(Errors, MoldPathsAndComparison) {
    Cell a1 = w("x");
    Cell e = error::create(ErrorId::script_no_value, &a1, nullptr, nullptr);
    EXPECT_EQ(molded(e, true),
              "make error! [code: 300 type: 'script id: 'no-value arg1: 'x arg2: none arg3: none near: none "
              "where: none stack: none files: none]");
    EXPECT_EQ(molded(e).substr(0, 40), "make error! [\n    code: 300\n    type: 's");

    PathStep step;
    step.last = true;
    Cell arg1 = w("arg1");
    EXPECT_EQ(error::eval_path(e, arg1, nullptr, step).data2, a1.data2);
    Cell v = cell::integer(5);
    error::eval_path(e, arg1, &v, step);
    EXPECT_EQ(cell::get_integer(slot(e, error::arg1)), 5);
    Cell code = w("code");
    Outcome refused = trapped([&] { return error::eval_path(e, code, &v, step); });
    EXPECT_EQ(refused.error, ErrorId::script_invalid_path_set);
    EXPECT_EQ(cell::get_integer(error::eval_path(e, code, nullptr, step)), 300);

    Cell same = make_error(cell::integer(300));
    slot(same, error::arg1) = cell::integer(5);
    EXPECT_EQ(error::compare(e, same, CompareOp::equal), 0);
    EXPECT_NE(error::compare(e, make_error(cell::integer(301)), CompareOp::equal), 0);
    Cell as_object = e;
    cell::set_type(as_object, TypeId::object);
    EXPECT_EQ(error::compare(e, as_object, CompareOp::equal), kNotComparable);
    EXPECT_EQ(e.header, uint32_t(TypeId::error));
}

TEST_F(Errors, RaisedErrorsAreErrorObjects) {
    Outcome o = trapped([] {
        frame::push_native(w("caller"));
        frame::push_native(w("divide"));
        error::raise(ErrorId::script_expect_arg, w("divide"), cell::datatype(TypeId::integer), w("value2"));
        return cell::none();
    });
    ASSERT_EQ(o.error, ErrorId::script_expect_arg);
    Cell e = o.raised;
    EXPECT_TRUE(is(e, TypeId::error));
    EXPECT_NE(e.data1, 0u);
    EXPECT_EQ(e.data2, error::kClassId);
    EXPECT_EQ(&error::field(e, error::arg2), context::value_at(e.data1, error::arg2));
    EXPECT_EQ(symbol::name(error::field(e, error::where).data2), "divide");
    ASSERT_TRUE(is(error::field(e, error::stack), TypeId::integer));
    const std::string head = "*** Script Error: divide does not allow integer! for its value2 argument\n*** Where: divide";
    EXPECT_EQ(error::report(e).substr(0, head.size()), head);

    // The frames are gone, their records are not: the names are kept before they are reused.
    error::fill_stack(e);
    Cell names = error::field(e, error::stack);
    ASSERT_TRUE(is(names, TypeId::block));
    EXPECT_EQ(molded(names), "[divide]");
    datatype_hooks.stack_trace_depth = [] { return 5; };
    slot(e, error::stack) = cell::integer(3);
    error::fill_stack(e);
    EXPECT_EQ(molded(error::field(e, error::stack)), "[divide caller]");

    error::set_where(e, w("other"));
    EXPECT_EQ(symbol::name(error::field(e, error::where).data2), "divide");
    EXPECT_EQ(symbol::name(error::type_symbol(e)), "script");
    EXPECT_EQ(symbol::name(error::id_symbol(e)), "expect-arg");
}
