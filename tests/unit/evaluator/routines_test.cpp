// Routines: C++ functions called from the language through routine! values, with their argument
// checks and conversions.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "boot/startup.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/routines.h"
#include "runtime/error.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

Cell load(std::string_view code) {
    Cell s = string::make_cell(uint32_t(code.size()) + 1);
    text::append_utf8(s.data2, std::string(code));
    return lexer::load_text(s);
}

// Makes a routine! from the text of its spec's contents and binds it to `name`.
void define_routine(const char* name, std::string_view spec, uint32_t id, TypeId returns,
                    bool cells = false) {
    Cell spec_block = load(spec);
    Cell r = *routine::make_value(spec_block, nullptr, id, uint32_t(returns), cells);
    Cell w = word::from_c_string(name);
    word::set(w, r);
}

int64_t last_count = -1;

class Routines : public testing::Test {
protected:
    static void SetUpTestSuite() {
        test::reset_top_level();
        startup::run();
        using routines::Arg;
        using routines::Result;
        uint32_t add = routines::define("test-add", [](const Arg* a, uint32_t n) {
            last_count = n;
            return Result{.integer = a[0].integer + a[1].integer};
        });
        uint32_t scale = routines::define("test-scale", [](const Arg* a, uint32_t) {
            return Result{.number = a[0].number * double(a[1].integer)};
        });
        uint32_t negate = routines::define("test-not", [](const Arg* a, uint32_t) {
            return Result{.integer = !a[0].integer};
        });
        uint32_t length = routines::define("test-length", [](const Arg* a, uint32_t) {
            return Result{.integer = int64_t(block::length_from_head(*a[0].cell))};
        });
        uint32_t second = routines::define_cells("test-second", [](Cell* const* a, uint32_t) {
            return static_cast<const Cell*>(a[1]);
        });
        uint32_t nothing = routines::define("test-nothing", [](const Arg*, uint32_t n) {
            last_count = n;
            return Result{.integer = 0};
        });
        define_routine("r-add", "a [integer!] b [integer!]", add, TypeId::integer);
        define_routine("r-scale", "x [float!] k [integer!]", scale, TypeId::float_);
        define_routine("r-not", "flag [logic!]", negate, TypeId::logic);
        define_routine("r-length", "items [series!]", length, TypeId::integer);
        define_routine("r-second", "a [any-type!] b [any-type!]", second, TypeId(0), true);
        define_routine("r-nothing", "v [any-type!]", nothing, TypeId(0));
        define_routine("r-badspec", "v [\"integer\"]", nothing, TypeId(0));
        define_routine("r-unknown", "v [integer!]", 999, TypeId::integer);
    }
    void SetUp() override { test::reset_top_level(); }
    static Cell run(std::string_view code) { return test::evaluate(load(code)); }
    static std::string molded(std::string_view code) { return test::molded(run(code)); }
};

TEST_F(Routines, ConvertArgumentsAndResultsByTheirDeclaredTypes) {
    struct Case { const char* code; const char* result; };
    const Case cases[] = {
        {"r-add 40 2", "42"},
        {"r-add -5 r-add 2 3", "0"},
        {"1 + r-add 1 1", "3"},
        {"r-scale 1.5 4", "6.0"},
        {"r-not false", "true"},
        {"r-not true", "false"},
        {"r-length next [a b c]", "2"},
        {"r-second 1 \"two\"", "\"two\""},
        // No return type: the return slot keeps what it held (the first argument's cell).
        {"r-nothing 7", "7"},
    };
    for (const Case& c : cases) EXPECT_EQ(molded(c.code), c.result) << c.code;
    run("r-add 1 2");
    EXPECT_EQ(last_count, 2);
}

TEST_F(Routines, RefuseArgumentsOutsideTheirTypesAndBadSpecs) {
    EXPECT_EQ(test::error_id(run("r-add 1 2.5")), ErrorId::script_expect_arg);
    EXPECT_EQ(test::error_id(run("r-length 5")), ErrorId::script_expect_arg);
    EXPECT_EQ(test::error_id(run("r-badspec 1")), ErrorId::script_invalid_type_spec);
    EXPECT_EQ(test::error_id(run("r-unknown 1")), ErrorId::internal_not_done);
}

TEST_F(Routines, CalledFromCxxThroughTheEntryPoint) {
    Cell r = *word::get(word::from_c_string("r-add"));
    Cell args[2] = {cell::integer(20), cell::integer(22)};
    Cell result = interp::call(r, args, 2);
    EXPECT_EQ(test::molded(result), "42");
}

TEST_F(Routines, FoundByName) {
    EXPECT_GT(routines::find("test-add"), 0u);
    EXPECT_EQ(routines::find("no-such-routine"), 0u);
}

}  // namespace
