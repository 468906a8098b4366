// The math and system natives, called through the interpreter on code loaded by the lexer. The
// environment, files and the desktop opener are checked against the system itself.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "boot/startup.h"
#include "datatypes/block.h"
#include "datatypes/internal.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "evaluator/natives_math.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::f32;
using test::pair;
using test::tuple;
using test::utf8_of;
namespace fs = std::filesystem;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.141592653589793;

Cell text_cell(std::string_view utf8, TypeId type = TypeId::string) {
    Cell s = string::make_cell(uint32_t(utf8.size()) + 1, type);
    text::append_utf8(s.data2, std::string(utf8));
    return s;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Cell load(std::string_view code) { return lexer::load_text(text_cell(code)); }

void define(const char* name, const Cell& value) {
    Cell w = word::from_c_string(name);
    word::set(w, value);
}

// Values of the types whose literals the lexer leaves to their own modules, built as those
// types hold them.
Cell percent(double fraction) {
    Cell c = cell::float_(fraction);
    return cell::set_type(c, TypeId::percent);
}

class MathNatives : public testing::Test {
protected:
    static void SetUpTestSuite() {
        natives::init();  // start-up wires them in; suites before may have replaced some
        // Other suites of this program give words of the vocabulary test values of their own.
        reset();
        startup::run();
        define("ten-percent", percent(0.1));
        define("ten-fold", percent(10.0));
        define("four-fold", percent(4.0));
        define("nan-percent", percent(std::nan("")));
    }
    void SetUp() override { reset(); }
    static void reset() { test::reset_top_level(); }
    // Loads and evaluates code; returns its result, or the error! it raised.
    static Cell run(std::string_view code) { return test::evaluate(load(code)); }
    static std::optional<ErrorId> error_of(std::string_view code) {
        return test::error_id(run(code));
    }
    static std::string molded(std::string_view code) {
        Cell r = run(code);
        EXPECT_FALSE(is(r, TypeId::error)) << code << ": " << test::molded(r);
        return test::molded(r);
    }
    static bool truth(std::string_view code) {
        Cell r = run(code);
        EXPECT_TRUE(is(r, TypeId::logic)) << code << ": " << test::molded(r);
        return r.data1 != 0;
    }
    static double number(std::string_view code) {
        Cell r = run(code);
        EXPECT_TRUE(is(r, TypeId::float_)) << code << ": " << test::molded(r);
        return cell::get_float(r);
    }
    // Calls a native directly with one argument, as compiled code does: no type check first.
    static Cell call_native(uint32_t number, const Cell& value) {
        stack::push(value);
        frame::push_native(words::anon_tag);
        stack::push(value);
        int32_t refs[4] = {-1, -1, -1, -1};
        natives::at(number)(refs);
        Cell r = stack::base[0];
        reset();
        return r;
    }
};

// ---- trigonometry and logarithms ----

struct Exact { const char* code; double value; };

TEST_F(MathNatives, TrigonometryInDegreesGivesTheExactValues) {
    const Exact kCases[] = {
        {"sine 180", 0.0},          {"sine 0", 0.0},           {"sine 270", -1.0},
        {"sine -90", -1.0},         {"sine 90", 1.0},          {"sine 360", 0.0},
        {"cosine 90", 0.0},         {"cosine 180", -1.0},      {"cosine -270", 0.0},
        {"cosine 0", 1.0},          {"tangent 90", kInf},      {"tangent -90", -kInf},
        {"tangent 270", -kInf},     {"tangent 0", 0.0},        {"sine/radians pi", 0.0},
        {"cosine/radians pi / 2", 0.0}, {"tangent/radians pi / 2", kInf},
        {"tangent/radians 0 - (pi / 2)", -kInf},
        {"arcsine 1", 90.0},        {"arccosine 0", 90.0},     {"arccosine -1", 180.0},
        {"arctangent 1", 45.0},     {"arcsine/radians 1", kPi / 2},
        {"arctangent2 1 1", 45.0},  {"arctangent2 -1 0", -90.0}, {"arctangent2 0 -1", 180.0},
        {"arctangent2 1.0 0.0", 90.0}, {"arctangent2/radians 0 -1", kPi},
    };
    for (auto [code, value] : kCases) {
        SCOPED_TRACE(code);
        double r = number(code);
        EXPECT_EQ(r, value);
        EXPECT_FALSE(std::signbit(r) && value == 0.0);
    }
}

TEST_F(MathNatives, TrigonometryOfOtherAngles) {
    const Exact kCases[] = {
        {"sine 30", 0.5},     {"sine 30.0", 0.5},   {"sine 150", 0.5},  {"sine -30", -0.5},
        {"sine 750", 0.5},    {"cosine 60", 0.5},   {"cosine 300", 0.5}, {"cosine 120", -0.5},
        {"tangent 45", 1.0},  {"tangent 135", -1.0}, {"tangent 225", 1.0},
        {"sine/radians 1", std::sin(1.0)}, {"arctangent/radians 1", kPi / 4},
        {"arcsine 0.5", 30.0}, {"arccosine 0.5", 60.0},
    };
    for (auto [code, value] : kCases) {
        SCOPED_TRACE(code);
        EXPECT_NEAR(number(code), value, 1e-14);
    }
    // Outside the domain: NaN, not an error.
    EXPECT_TRUE(std::isnan(number("arcsine 2")));
    EXPECT_TRUE(std::isnan(number("arccosine -1.5")));
    EXPECT_TRUE(std::isnan(number("sine 1e400")));  // an infinite angle has no sine
}

TEST_F(MathNatives, LogarithmsExponentAndRoot) {
    const Exact kCases[] = {
        {"log-2 8", 3.0},       {"log-2 1024", 10.0},     {"log-2 0.5", -1.0},
        {"log-10 1000", 3.0},   {"log-10 ten-fold", 1.0}, {"log-10 0", -kInf},
        {"log-e 1", 0.0},       {"exp 0", 1.0},           {"exp 1", 2.718281828459045},
        {"square-root 16", 4.0}, {"square-root 2.25", 1.5}, {"square-root four-fold", 2.0},
        {"log-e 0", -kInf},     {"exp -1", 1 / 2.718281828459045},
    };
    for (auto [code, value] : kCases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(number(code), value);
    }
    EXPECT_TRUE(std::isnan(number("square-root -1")));
    EXPECT_TRUE(std::isnan(number("log-10 -1")));
    EXPECT_EQ(molded("log-2 8"), "3.0");
    EXPECT_EQ(error_of("log-2 \"8\""), ErrorId::script_expect_arg);
}

TEST_F(MathNatives, NaNQ) {
    EXPECT_TRUE(truth("NaN? square-root -1"));
    EXPECT_TRUE(truth("NaN? arcsine 2"));
    EXPECT_FALSE(truth("NaN? log-10 0"));  // infinite, not NaN
    EXPECT_FALSE(truth("NaN? 1.5"));
    EXPECT_FALSE(truth("NaN? 0"));
    EXPECT_FALSE(truth("NaN? ten-percent"));
    EXPECT_TRUE(truth("NaN? nan-percent"));
}

TEST_F(MathNatives, ZeroQ) {
    struct Case { const char* code; bool zero; };
    const Case kCases[] = {
        {"zero? 0", true},       {"zero? 1", false},        {"zero? -1", false},
        {"zero? 0.0", true},     {"zero? -0.0", true},      {"zero? 1e-300", false},
        {"zero? #\"^@\"", true}, {"zero? #\"0\"", false},
        {"zero? 0:00", true},    {"zero? 0:00:01", false},  {"zero? square-root -1", false},
        {"zero? $0", true},      {"zero? -$0.00", true},    {"zero? $0.00001", false},
        {"zero? USD$0", true},   {"zero? -$1", false},
    };
    for (auto [code, zero] : kCases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(truth(code), zero);
    }
    struct ValueCase { Cell value; bool zero; };
    const ValueCase kValues[] = {
        {percent(0.0), true},          {percent(-0.0), true},      {percent(0.01), false},
        {pair(0, 0), true},            {pair(0, 1), false},        {pair(-1, 0), false},
        {tuple({0, 0, 0}), true},      {tuple({0, 0, 1}), false},  {tuple({0, 0, 0, 0}), true},
        {tuple({1, 0, 0, 0}), false},  {tuple({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), true},
        {tuple({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}), false},
        // Points hold 32-bit float components.
        {cell::make(TypeId::point2d, f32(0.0f), f32(-0.0f)), true},
        {cell::make(TypeId::point2d, f32(0.0f), f32(0.5f)), false},
        {cell::make(TypeId::point3d, 0, 0, 0), true},
        {cell::make(TypeId::point3d, 0, 0, f32(1.0f)), false},
    };
    for (size_t i = 0; i < std::size(kValues); ++i) {
        SCOPED_TRACE(i);
        define("v", kValues[i].value);
        EXPECT_EQ(truth("zero? v"), kValues[i].zero);
    }
    // Any other value is not zero; the interpreter refuses it before the native sees it.
    EXPECT_FALSE(call_native(natives::zero_q, text_cell("a")).data1);
    EXPECT_EQ(error_of("zero? \"a\""), ErrorId::script_expect_arg);
    // A zero amount with its sign bit set is zero all the same.
    Cell negative_zero = cell::make(TypeId::money);
    negative_zero.header |= 1u << 14;
    define("v", negative_zero);
    EXPECT_TRUE(truth("zero? v"));
}

// ---- values and words ----

TEST_F(MathNatives, ConstructReadsTheSpecWithoutEvaluating) {
    EXPECT_EQ(molded("o: construct [a: 1 b: true c: none d: on e: no f: 1 + 2] reduce [o/a o/b o/c o/d o/e o/f]"),
              "[1 true none true false 1]");
    EXPECT_EQ(molded("o: construct [b: true c: none] reduce [type? o/b type? o/c]"), "[logic! none!]");
    EXPECT_EQ(molded("o: construct/only [b: true c: none] reduce [type? o/b type? o/c]"), "[word! word!]");
    EXPECT_EQ(molded("o: construct [a: b: 5] reduce [o/a o/b]"), "[5 5]");
    EXPECT_EQ(molded("p: construct [a: 1 b: 2] o: construct/with [b: 3 c: 4] p reduce [o/a o/b o/c p/b]"), "[1 3 4 2]");
}

TEST_F(MathNatives, ValueQAndUnset) {
    EXPECT_TRUE(truth("value? 'pi"));
    EXPECT_FALSE(truth("value? 'a-word-never-given-a-value"));
    EXPECT_TRUE(truth("x: 1 value? 'x"));
    EXPECT_TRUE(is(run("unset 'x"), TypeId::unset));
    EXPECT_FALSE(truth("value? 'x"));
    EXPECT_EQ(molded("a: b: c: 1 unset [a 3 \"s\" b] reduce [value? 'a value? 'b value? 'c]"), "[false false true]");
    // Every kind of word is looked up the same way.
    EXPECT_EQ(error_of("value? 1"), ErrorId::script_expect_arg);
    // The native itself reads every kind of word the same way, and any other value.
    for (const char* code : {"pi:", ":pi", "'pi"}) {
        SCOPED_TRACE(code);
        EXPECT_TRUE(call_native(natives::value_q, *block::cell_at(load(code), 0)).data1);
    }
    EXPECT_FALSE(call_native(natives::value_q, *block::cell_at(load("a:"), 0)).data1);
    EXPECT_TRUE(call_native(natives::value_q, cell::integer(1)).data1);
    EXPECT_FALSE(call_native(natives::value_q, cell::unset()).data1);
}

TEST_F(MathNatives, CaseConversionInPlace) {
    struct Case { const char* code; const char* result; };
    const Case kCases[] = {
        {"uppercase \"abc\"", "\"ABC\""},
        {"lowercase \"ÀÉÎ\"", "\"àéî\""},
        {"uppercase #\"a\"", "#\"A\""},
        {"lowercase #\"Σ\"", "#\"σ\""},
        {"uppercase/part \"abcd\" 2", "\"ABcd\""},
        {"uppercase/part \"abcd\" 2.9", "\"ABcd\""},
        {"uppercase/part \"abcd\" -1", "\"abcd\""},
        {"uppercase/part \"abcd\" 10", "\"ABCD\""},
        {"s: \"abcdef\" uppercase/part s skip s 3 s", "\"ABCdef\""},
        {"s: \"abc\" uppercase next s s", "\"aBC\""},
        {"uppercase next \"abc\"", "\"BC\""},
        // ÿ upper-cases to a code point above 0xFF: the string widens in place.
        {"s: \"aÿ\" uppercase s s", "\"AŸ\""},
        {"uppercase %file.txt", "%FILE.TXT"},
    };
    for (auto [code, result] : kCases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(molded(code), result);
    }
    EXPECT_EQ(error_of("uppercase/part \"abc\" \"ab\""), ErrorId::script_invalid_refine_arg);
    EXPECT_EQ(error_of("uppercase/part \"abc\" 1e10"), ErrorId::script_type_limit);
}

TEST_F(MathNatives, ExtendAddsOrUpdatesMapEntries) {
    EXPECT_EQ(molded("m: make map! [a 1] extend m [b 2 a 3] reduce [select m 'a select m 'b length? m]"), "[3 2 2]");
    EXPECT_EQ(molded("m: make map! [\"k\" 1] extend m [\"K\" 2] length? m"), "1");
    EXPECT_EQ(molded("m: make map! [\"k\" 1] extend/case m [\"K\" 2] length? m"), "2");
    EXPECT_EQ(molded("m: make map! [a 1] extend m make map! [c 3 a 4] reduce [select m 'a select m 'c]"), "[4 3]");
    EXPECT_EQ(molded("m: make map! [] same? m extend m [x 1]"), "true");
    EXPECT_EQ(error_of("extend make map! [] [a 1 b]"), ErrorId::script_invalid_arg);
    EXPECT_EQ(error_of("extend construct [a: 1] [b 2]"), ErrorId::internal_not_done);
}

// The new-line markers of every value of a block, from its first cell.
std::string markers(const Cell& block) {
    std::string out;
    SeriesBuffer* b = memory::buffer_of(block.data2);
    for (Cell* c = b->cells(); c < b->cells_end(); ++c) out += cell::new_line_q(*c) ? '1' : '0';
    return out;
}

TEST_F(MathNatives, NewLineMarkers) {
    struct Case { const char* code; const char* markers; };
    const Case kCases[] = {
        {"new-line [1 2 3] true", "100"},
        {"new-line next [1 2 3] true", "010"},
        {"new-line tail [1 2] true", "00"},
        {"new-line/all next [1 2 3] true", "011"},
        {"new-line/skip [1 2 3 4 5] true 2", "10101"},
        {"new-line/skip [1 2 3 4 5] true 1", "11111"},
        {"new-line/skip new-line/all [1 2 3 4 5] true false 2", "01010"},
        {"new-line/skip skip [1 2 3 4 5 6] 1 true 3", "010010"},
        {"new-line [\n 1 2] false", "00"},
        {"new-line pick [(1 2)] 1 true", "10"},
    };
    for (auto [code, expected] : kCases) {
        SCOPED_TRACE(code);
        Cell r = run(code);
        ASSERT_TRUE(is(r, TypeId::block) || is(r, TypeId::paren)) << test::molded(r);
        EXPECT_EQ(markers(r), expected);
    }
    // The result is the position given.
    EXPECT_EQ(molded("new-line next [1 2 3] false"), "[2 3]");
    EXPECT_EQ(molded("new-line/all [1 2] true"), "[\n    1\n    2\n]");
    EXPECT_EQ(error_of("new-line/skip [1 2] true 0"), ErrorId::script_out_of_range);
    EXPECT_EQ(error_of("new-line/skip [1 2] true -3"), ErrorId::script_out_of_range);

    EXPECT_TRUE(truth("new-line? [\n 1 2]"));  // the lexer marks a value after a line break
    EXPECT_FALSE(truth("new-line? next [\n 1 2]"));
    EXPECT_TRUE(truth("new-line? new-line [1 2] true"));
    EXPECT_FALSE(truth("new-line? tail new-line/all [1 2] true"));
    EXPECT_FALSE(truth("new-line? []"));
}

TEST_F(MathNatives, ContextQ) {
    EXPECT_TRUE(truth("o: construct [a: 1] same? o context? in o 'a"));
    EXPECT_TRUE(truth("own-context: func [arg] [context? 'arg] same? :own-context own-context 1"));
    EXPECT_TRUE(is(call_native(natives::context_q, cell::make(TypeId::word, 0, symbol::intern("loose"), word::kNoIndex)),
                   TypeId::none));
}

// ---- coercion ----

TEST_F(MathNatives, AsCoercesWithoutCopying) {
    struct Case { const char* code; const char* result; };
    const Case kCases[] = {
        {"as block! pick [(1 2)] 1", "[1 2]"},
        {"as paren! [1 2]", "(1 2)"},
        {"as path! [a b]", "a/b"},
        {"as set-path! pick [a/b] 1", "a/b:"},
        {"as string! %foo", "\"foo\""},
        {"as file! \"a b\"", "%\"a b\""},
        {"as url! \"http://x\"", "http://x"},
        {"as [] pick [(1)] 1", "[1]"},  // the type of an example value
        {"as \"\" %x", "\"x\""},
        {"as block! next [1 2 3]", "[2 3]"},
        {"b: [1 2] p: as paren! b append b 3 p", "(1 2 3)"},
        {"s: \"ab\" f: as file! s append f \"c\" s", "\"abc\""},
    };
    for (auto [code, result] : kCases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(molded(code), result);
    }
    for (const char* code : {"as string! [1]", "as block! \"a\"", "as hash! [1]", "as integer! \"1\"", "as binary! \"a\""}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(error_of(code), ErrorId::script_not_same_class);
    }
    Cell e = run("as string! [1]");
    EXPECT_EQ(error::field(e, error::arg1).data1, uint32_t(TypeId::block));
    EXPECT_EQ(error::field(e, error::arg2).data1, uint32_t(TypeId::string));
}

// ---- files ----

TEST_F(MathNatives, ToLocalFileGivesThePosixPath) {
    struct Case { const char* code; const char* path; };
    const Case kCases[] = {
        {"to-local-file %a/b.txt", "a/b.txt"},
        {"to-local-file %/home/u/x", "/home/u/x"},
        {"to-local-file %//srv/x", "/srv/x"},
        {"to-local-file %/c/windows", "/c/windows"},  // a letter is a directory, never a drive
        {"to-local-file %a%20b", "a b"},
        {"to-local-file %a\\b", "a\\b"},
        {"to-local-file \"c d\"", "c d"},
        {"to-local-file/full %/abs", "/abs"},
        {"to-local-file next %xy", "y"},
    };
    for (auto [code, path] : kCases) {
        SCOPED_TRACE(code);
        Cell r = run(code);
        ASSERT_TRUE(is(r, TypeId::string)) << test::molded(r);
        EXPECT_EQ(utf8_of(r), path);
    }
    Cell full = run("to-local-file/full %sub/x.txt");
    ASSERT_TRUE(is(full, TypeId::string));
    EXPECT_EQ(utf8_of(full), (fs::current_path() / "sub/x.txt").string());
}

// A scratch directory of the test's own, removed afterwards.
class Scratch {
public:
    Scratch() : dir_(fs::temp_directory_path() / ("kaz-math-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                                                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()))) {
        fs::create_directories(dir_);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const fs::path& dir() const { return dir_; }

private:
    fs::path dir_;
};

TEST_F(MathNatives, SizeQOfFiles) {
    Scratch scratch;
    fs::path data = scratch.dir() / "data.bin";
    std::ofstream(data, std::ios::binary) << std::string(1234, 'x');
    std::ofstream(scratch.dir() / "empty", std::ios::binary).flush();
    define("data-file", text_cell(data.string(), TypeId::file));
    define("empty-file", text_cell((scratch.dir() / "empty").string(), TypeId::file));
    define("scratch-dir", text_cell(scratch.dir().string(), TypeId::file));
    define("missing-file", text_cell((scratch.dir() / "missing").string(), TypeId::file));
    EXPECT_EQ(molded("size? data-file"), "1234");
    EXPECT_EQ(molded("size? empty-file"), "0");
    EXPECT_EQ(molded("size? scratch-dir"), "none");
    EXPECT_EQ(molded("size? append copy scratch-dir %/"), "none");
    EXPECT_EQ(molded("size? missing-file"), "none");
    // A file nobody here wrote: the test program itself, as the file system reports it.
    define("this-program", text_cell(fs::canonical("/proc/self/exe").string(), TypeId::file));
    EXPECT_EQ(molded("size? this-program"), std::to_string(fs::file_size("/proc/self/exe")));
    // A NUL would end the path early and name another file.
    EXPECT_EQ(error_of("size? append copy data-file \"^@x\""), ErrorId::script_invalid_arg);
}

// ---- waiting ----

TEST_F(MathNatives, WaitSleeps) {
    struct Case { const char* code; double seconds; };
    const Case kCases[] = {{"wait 0.05", 0.05}, {"wait 0:00:00.03", 0.03}, {"wait 0", 0.0}, {"wait -1", 0.0}};
    for (auto [code, seconds] : kCases) {
        SCOPED_TRACE(code);
        auto start = std::chrono::steady_clock::now();
        Cell r = run(code);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(is(r, TypeId::none)) << test::molded(r);
        EXPECT_GE(took.count(), seconds);
        EXPECT_LT(took.count(), seconds + 1.0);
    }
    for (const char* code : {"wait [1]", "wait none", "wait ten-percent"}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(error_of(code), ErrorId::script_invalid_arg);
    }
}

// ---- the process environment ----

std::optional<std::string> os_env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

TEST_F(MathNatives, SetEnvAndGetEnvReachTheProcessEnvironment) {
    EXPECT_EQ(molded("set-env \"KAZ_MATH_TEST\" \"héllo wörld\""), "\"héllo wörld\"");
    EXPECT_EQ(os_env("KAZ_MATH_TEST"), "héllo wörld");
    EXPECT_EQ(molded("get-env \"KAZ_MATH_TEST\""), "\"héllo wörld\"");
    EXPECT_EQ(molded("get-env 'KAZ_MATH_TEST"), "\"héllo wörld\"");
    EXPECT_EQ(molded("get-env \"kaz_math_test\""), "none");  // names are case-sensitive
    run("set-env 'KAZ_MATH_TEST \"2\"");
    EXPECT_EQ(os_env("KAZ_MATH_TEST"), "2");
    run("set-env \"KAZ_MATH_TEST\" \"\"");
    EXPECT_EQ(os_env("KAZ_MATH_TEST"), "");
    EXPECT_EQ(molded("get-env \"KAZ_MATH_TEST\""), "none");  // empty counts as absent
    run("set-env \"KAZ_MATH_TEST\" none");
    EXPECT_EQ(os_env("KAZ_MATH_TEST"), std::nullopt);
    EXPECT_EQ(molded("get-env \"KAZ_MATH_TEST\""), "none");
    // A variable set outside is seen.
    ASSERT_TRUE(os_env("PATH"));
    Cell path = run("get-env \"PATH\"");
    ASSERT_TRUE(is(path, TypeId::string));
    EXPECT_EQ(utf8_of(path), *os_env("PATH"));

    // Names the environment cannot hold, and text that a NUL would cut short.
    for (const char* code : {"set-env \"A=B\" \"x\"", "set-env \"\" \"x\"", "set-env \"KAZ_MATH^@X\" \"x\"",
                             "set-env \"KAZ_MATH_TEST\" \"a^@b\""}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(error_of(code), ErrorId::script_invalid_arg);
    }
    EXPECT_EQ(os_env("KAZ_MATH"), std::nullopt);
    EXPECT_EQ(os_env("KAZ_MATH_TEST"), std::nullopt);
    EXPECT_EQ(molded("get-env \"PATH=\""), "none");
    EXPECT_EQ(molded("get-env \"\""), "none");
}

TEST_F(MathNatives, ListEnvIsAMapOfTheProcessEnvironment) {
    run("set-env \"KAZ_MATH_CASE\" \"upper\" set-env \"kaz_math_case\" \"lower\"");
    define("env", run("list-env"));
    EXPECT_EQ(molded("type? env"), "map!");
    // Every variable the process started with that is still as it was.
    std::string initial = read_file("/proc/self/environ");
    size_t checked = 0;
    for (size_t at = 0; at < initial.size();) {
        size_t end = initial.find('\0', at);
        std::string entry = initial.substr(at, end - at);
        at = end + 1;
        size_t eq = entry.find('=', 1);
        if (eq == std::string::npos) continue;
        std::string name = entry.substr(0, eq), value = entry.substr(eq + 1);
        if (os_env(name.c_str()) != value) continue;
        SCOPED_TRACE(name);
        define("env-name", text_cell(name));
        Cell v = run("select/case env env-name");
        ASSERT_TRUE(is(v, TypeId::string)) << test::molded(v);
        EXPECT_EQ(utf8_of(v), value);
        ++checked;
    }
    EXPECT_GT(checked, 0u);
    // Names that differ only in case are two variables, and two entries.
    EXPECT_EQ(molded("select/case env \"KAZ_MATH_CASE\""), "\"upper\"");
    EXPECT_EQ(molded("select/case env \"kaz_math_case\""), "\"lower\"");
    run("set-env \"KAZ_MATH_CASE\" none set-env \"kaz_math_case\" none");
    EXPECT_EQ(molded("select/case list-env \"KAZ_MATH_CASE\""), "none");
}

// ---- the desktop opener ----

TEST_F(MathNatives, BrowseHandsTheTargetToTheDesktopOpener) {
    // An opener of our own in front of the path records the one argument it is given.
    Scratch scratch;
    fs::path opener = scratch.dir() / "xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"$0.out.tmp\" && mv \"$0.out.tmp\" \"$0.out\"\n";
    fs::permissions(opener, fs::perms::owner_all);
    fs::path out = scratch.dir() / "xdg-open.out";
    std::optional<std::string> saved_path = os_env("PATH");
    define("scratch-path", text_cell(scratch.dir().string() + ":" + saved_path.value_or("/bin:/usr/bin")));
    run("set-env \"PATH\" scratch-path");

    auto opened = [&](const char* code) -> std::string {
        fs::remove(out);
        Cell r = run(code);
        EXPECT_TRUE(is(r, TypeId::unset)) << test::molded(r);
        for (int i = 0; i < 500 && !fs::exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return read_file(out);
    };
    EXPECT_EQ(opened("browse http://example.com/a?b=1&c=2"), "1|http://example.com/a?b=1&c=2");
    EXPECT_EQ(opened("browse %\"/tmp/some file.txt\""), "1|/tmp/some file.txt");
    EXPECT_EQ(opened("browse %notes.txt"), "1|" + (fs::current_path() / "notes.txt").string());
    EXPECT_EQ(opened("browse %-v"), "1|" + (fs::current_path() / "-v").string());
    EXPECT_EQ(opened("browse %\"a;$(rm -rf x)`b`\""), "1|" + (fs::current_path() / "a;$(rm -rf x)`b`").string());
    // A target the opener would take for an option, or one a NUL would cut short.
    EXPECT_EQ(error_of("browse as url! \"--version\""), ErrorId::script_invalid_arg);
    EXPECT_EQ(error_of("browse as url! \"http://x^@y\""), ErrorId::script_invalid_arg);

    define("saved-path", saved_path ? text_cell(*saved_path) : cell::none());
    run("set-env \"PATH\" saved-path");
    EXPECT_EQ(os_env("PATH"), saved_path);
}

// ---- apply ----

TEST_F(MathNatives, ApplyCallsWithTheValuesOfABlock) {
    run("pair-up: func [a b] [reduce [a b]]");
    struct Case { const char* code; const char* result; };
    const Case kCases[] = {
        {"apply :add [1 2]", "3"},
        {"apply 'add [1 2]", "3"},
        {"apply :+ [1 2]", "3"},  // an op! is called as what it was made from
        {"apply 'pair-up [1 + 1 3]", "[2 3]"},
        {"apply :pair-up [1]", "[1 none]"},  // missing arguments are none
        {"apply 'pair-up []", "[none none]"},
        {"apply/safer 'pair-up [pi (1 + 1)]", "[3.141592653589793 2]"},
        {"apply 'append/only [[1] [2]]", "[1 [2]]"},  // a path gives the refinements
        {"apply 'append [[1] [2]]", "[1 2]"},
        {"apply :pair-up next [0 1 2]", "[1 2]"},
        {"o: construct [p: none] o/p: :pair-up apply 'o/p [1 2]", "[1 2]"},  // a field of an object
        {"o: construct [p: none] o/p: :append apply 'o/p/only [[1] [2]]", "[1 [2]]"},
    };
    for (auto [code, result] : kCases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(molded(code), result);
    }
    EXPECT_EQ(error_of("apply 'pi [1]"), ErrorId::script_invalid_arg);
    EXPECT_EQ(error_of("apply 'pi/x [1]"), ErrorId::script_invalid_arg);
    EXPECT_EQ(error_of("o: construct [a: 1] apply 'o/b [1]"), ErrorId::script_invalid_arg);
    // The frame is named by the word, or <applied> for a function given as a value.
    Cell named = run("apply 'add [1 \"a\"]");
    ASSERT_TRUE(is(named, TypeId::error));
    EXPECT_EQ(symbol::name(error::field(named, error::arg1).data2), "add");
    Cell anonymous = run("apply :add [1 \"a\"]");
    ASSERT_TRUE(is(anonymous, TypeId::error));
    EXPECT_EQ(symbol::name(error::field(anonymous, error::arg1).data2), "<applied>");
    // An unwind from the applied function travels on.
    EXPECT_EQ(molded("n: 0 loop 3 [n: n + 1 apply :break []] n"), "1");
}

// Waits for the interpreter to read refinements and their truths from an applied block (apply
// modes 1 and 2): it takes them only from a path so far.
TEST_F(MathNatives, ApplyReadsRefinementsFromTheBlock) {
    // Refinements as refinement! values, each followed by its truth and then its arguments.
    EXPECT_EQ(molded("apply :append [[1] [2] /only true]"), "[1 [2]]");
    EXPECT_EQ(molded("apply :append [[1] [2] /only false]"), "[1 2]");
    EXPECT_EQ(molded("apply :copy [[1 2 3] /part true 2]"), "[1 2]");
    // /all: every argument in spec order, a refinement as its truth; missing ones are false or none.
    EXPECT_EQ(molded("apply/all :copy [[1 2 3] true 2]"), "[1 2]");
    EXPECT_EQ(molded("apply/all :copy [[1 2 3] false 2]"), "[1 2 3]");
    EXPECT_EQ(molded("apply/all :copy [[1 2 3]]"), "[1 2 3]");
    EXPECT_EQ(error_of("apply/all :copy [[1 2 3] 1 2]"), ErrorId::script_expect_arg);
    // /safer: an inactive refinement's argument is one value, dropped without evaluation.
    EXPECT_EQ(molded("n: 0 apply/all/safer :copy [[1 2 3] false (n: 1 2)] n"), "0");
    EXPECT_EQ(molded("n: 0 apply/all :copy [[1 2 3] false (n: 1 2)] n"), "1");
}

}  // namespace
