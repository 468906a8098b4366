#include <gtest/gtest.h>

#include "runtime/error.h"
#include "runtime/stack.h"
#include "runtime/throw.h"

using namespace kaz;

TEST(ErrorCatalog, CategoriesInOrderWithTheirIdCounts) {
    struct Case { ErrorCategory category; const char* name; int code; const char* title; int ids; };
    const Case kCases[] = {
        {ErrorCategory::throw_, "throw", 0, "Throw Error", 5},
        {ErrorCategory::note, "note", 100, "note", 1},
        {ErrorCategory::syntax, "syntax", 200, "Syntax Error", 7},
        {ErrorCategory::script, "script", 300, "Script Error", 94},
        {ErrorCategory::math, "math", 400, "Math Error", 3},
        {ErrorCategory::access, "access", 500, "Access Error", 15},
        {ErrorCategory::reserved1, "reserved1", 600, "Reserved1 Error", 0},
        {ErrorCategory::reserved2, "reserved2", 700, "Reserved2 Error", 0},
        {ErrorCategory::user, "user", 800, "User Error", 1},
        {ErrorCategory::internal, "internal", 900, "Internal Error", 14},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto& info = error::category_info(c.category);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.code, c.code);
        EXPECT_STREQ(info.title, c.title);
        int ids = 0;
        while (error::from_code(c.code + ids)) ++ids;
        EXPECT_EQ(ids, c.ids);
    }
}

TEST(ErrorCatalog, CodesFollowThePositionOfEachId) {
    struct Case { const char* category; const char* id; int code; ErrorId expected; };
    const Case kCases[] = {
        {"throw", "break", 0, ErrorId::throw__break_},
        {"throw", "while-cond", 4, ErrorId::throw__while_cond},
        {"script", "no-value", 300, ErrorId::script_no_value},
        {"script", "invalid-arg", 309, ErrorId::script_invalid_arg},  // field 11 of its category
        {"script", "kb-invalid-record", 393, ErrorId::script_kb_invalid_record},
        {"math", "positive", 402, ErrorId::math_positive},
        {"user", "message", 800, ErrorId::user_message},
        {"internal", "no-memory", 902, ErrorId::internal_no_memory},
        {"internal", "deprecated", 913, ErrorId::internal_deprecated},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.id);
        auto found = error::find(c.category, c.id);
        ASSERT_TRUE(found);
        EXPECT_EQ(*found, c.expected);
        EXPECT_EQ(error::code_of(c.expected), c.code);
        EXPECT_EQ(error::from_code(c.code), c.expected);
    }
    EXPECT_FALSE(error::find("script", "no-such-id"));
    EXPECT_FALSE(error::find("math", "no-value"));
    EXPECT_FALSE(error::from_code(394));
    EXPECT_FALSE(error::from_code(600));
}

TEST(ErrorCatalog, TemplatesAreTheSystemsTexts) {
    EXPECT_STREQ(error::info(ErrorId::script_past_end).template_, R"("out of range or past end")");
    EXPECT_STREQ(error::info(ErrorId::script_expect_arg).template_,
                 R"([:arg1 "does not allow" :arg2 "for its" :arg3 "argument"])");
    EXPECT_STREQ(error::info(ErrorId::internal_bad_path).template_, R"(["bad path:" arg1])");
    EXPECT_STREQ(error::info(ErrorId::user_message).template_, "arg1");
}

namespace {

// Raises inside a trap frame and returns the error value the trap received.
template <typename F>
Cell trap(F raise) {
    stack::frames_top = stack::frames_begin;
    stack::base = stack::data_top = stack::data_begin;
    frame::push_trap(cell::make(TypeId::word, 0, 1, 0xFFFFFFFF));
    try {
        raise();
    } catch (const Throw& t) {
        EXPECT_EQ(t.code, throw_code::error);
        EXPECT_TRUE(frame::empty_q());
        return *stack::top();
    }
    ADD_FAILURE() << "nothing raised";
    return cell::none();
}

}  // namespace

TEST(ErrorRaise, CarriesCategoryIdAndArguments) {
    Cell e = trap([] {
        error::raise(ErrorId::script_expect_arg, cell::integer(1), cell::integer(2), cell::logic(true));
    });
    ASSERT_TRUE(is(e, TypeId::error));
    EXPECT_EQ(error::id_of(e), ErrorId::script_expect_arg);
    EXPECT_EQ(error::category_info(error::info(*error::id_of(e)).category).code, 300);
    EXPECT_EQ(cell::get_integer(error::field(e, error::arg1)), 1);
    EXPECT_EQ(cell::get_integer(error::field(e, error::arg2)), 2);
    EXPECT_TRUE(is(error::field(e, error::arg3), TypeId::logic));
    EXPECT_TRUE(is(error::field(e, error::where), TypeId::word));  // filled from the frames
    EXPECT_EQ(error::report(e).substr(0, 70),
              "*** Script Error: 1 does not allow 2 for its true argument\n*** Where: ");

    Cell plain = trap([] { error::raise(ErrorId::internal_no_memory); });
    EXPECT_TRUE(is(error::field(plain, error::arg1), TypeId::none));
    EXPECT_EQ(error::report(plain).substr(0, 41), "*** Internal Error: not enough memory\n***");
}

TEST(RuntimeErrors, ReportTextsAndNumbers) {
    struct Case { int number; const char* text; };
    const Case kCases[] = {
        {1, "access violation"}, {6, "float denormal operan"}, {19, "stack error or overflow"},
        {34, "Bus error"}, {94, "out of memory"}, {95, "no CATCH for THROW"},
        {98, "assertion failed"}, {99, "unknown error"}, {100, "no value matched in CASE"},
        {101, "no value matched in SWITCH"}, {42, "unknown error code!"}, {0, "unknown error code!"},
    };
    for (const Case& c : kCases) EXPECT_STREQ(runtime::error_text(c.number), c.text);
    char out[1024];
    runtime::format_report(out, sizeof out, 42, 0x1234AB);
    EXPECT_STREQ(out, "*** Runtime Error 42: unknown error code!\n*** at: 001234ABh");
}

TEST(RuntimeErrors, QuitExitsWithTheNumber) {
    EXPECT_EXIT(runtime::quit(101, 0xDEADBEEF), testing::ExitedWithCode(101),
                "\\*\\*\\* Runtime Error 101: no value matched in SWITCH\n\\*\\*\\* at: DEADBEEFh");
    EXPECT_EXIT(runtime::quit(0, 0), testing::ExitedWithCode(0), "^$");
}

TEST(LowLevelThrow, ThresholdsPassOrCatch) {
    // A break passes a catcher that admits only up to continue and stops at one that admits it.
    uint32_t caught_by = 0;
    runtime::catch_upto(
        throw_code::break_,
        [&] {
            runtime::catch_upto(
                throw_code::continue_, [] { runtime::throw_code(throw_code::break_); },
                [&](uint32_t) { caught_by = 1; });
        },
        [&](uint32_t code) {
            caught_by = 2;
            EXPECT_EQ(code, throw_code::break_);
        });
    EXPECT_EQ(caught_by, 2u);
    EXPECT_EQ(runtime::pending_code, throw_code::break_);
}
