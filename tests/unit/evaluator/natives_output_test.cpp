// The output, comparison, reduction and set natives, called through the interpreter with the
// natives and actions made from environment/natives.kaz and actions.kaz; and those files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/internal.h"
#include "datatypes/issue.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "evaluator/natives_system.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::f32;
using test::pair;
using test::tuple;
using test::utf8_of;
using test::w;

namespace {

// ---- values built in C++ ----

struct V {
    Cell c;
    V(int32_t i) : c(cell::integer(i)) {}
    V(Cell x) : c(x) {}
};

Cell I(int32_t v) { return cell::integer(v); }
Cell F(double d) { return cell::float_(d); }
Cell lw(const char* name) { return w(name, TypeId::lit_word); }
Cell gw(const char* name) { return w(name, TypeId::get_word); }
Cell sw(const char* name) { return w(name, TypeId::set_word); }
Cell ref(const char* name) { return cell::make(TypeId::refinement, 0, symbol::intern(name), word::kNoIndex); }
Cell S(const char* utf8, TypeId type = TypeId::string) {
    Cell s = string::make_cell(16, type);
    text::append_utf8(s.data2, utf8);
    return s;
}
Cell blk(std::initializer_list<V> items, TypeId type = TypeId::block) {
    Cell b;
    block::init_cell(b, int32_t(items.size()));
    for (const V& v : items) block::append_cell(b, v.c);
    return cell::set_type(b, type);
}
Cell paren(std::initializer_list<V> items) { return blk(items, TypeId::paren); }
Cell path(std::initializer_list<V> items) { return blk(items, TypeId::path); }
Cell nl(Cell c) {
    c.header |= cell_flag::new_line;
    return c;
}
Cell point(float x, float y) { return cell::make(TypeId::point2d, f32(x), f32(y), 0); }

// ---- natives.kaz and actions.kaz ----

std::filesystem::path environment_dir() {
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path() / "environment";
}

// Reads the restricted syntax natives.kaz and actions.kaz keep to: lines of `name [spec]`, where
// a spec holds words, 'words, /refinements, set-words and blocks of words; `;` starts a comment
// line.
Cell read_block(const std::string& text, size_t& i) {
    Cell b;
    block::init_cell(b, 8);
    ++i;  // the opening bracket
    for (;;) {
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size()) throw std::runtime_error("unclosed block");
        if (text[i] == ']') {
            ++i;
            return b;
        }
        if (text[i] == '[') {
            block::append_cell(b, read_block(text, i));
            continue;
        }
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '[' && text[i] != ']') ++i;
        std::string token = text.substr(start, i - start);
        Cell c;
        if (token[0] == '\'') c = lw(token.c_str() + 1);
        else if (token[0] == '/') c = ref(token.c_str() + 1);
        else if (token.back() == ':') c = sw(token.substr(0, token.size() - 1).c_str());
        else c = w(token.c_str());
        block::append_cell(b, c);
    }
}

struct SpecLine {
    std::string name;
    Cell spec;
};

std::vector<SpecLine> read_specs(const char* file) {
    std::ifstream in(environment_dir() / file);
    EXPECT_TRUE(in.good()) << file;
    std::vector<SpecLine> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == ';') continue;
        size_t space = line.find(' ');
        size_t i = space + 1;
        EXPECT_EQ(line[i], '[') << line;
        Cell spec = read_block(line, i);
        EXPECT_EQ(i, line.size()) << "text after the spec: " << line;
        lines.push_back({line.substr(0, space), spec});
    }
    return lines;
}

constexpr const char* kActionNames[] = {
#define KAZ_ACTION(slot, cname, name, ...) name,
#include "datatypes/actions.def"
#undef KAZ_ACTION
};

// A native! or action! over its table: its spec block and its context.
Cell make_callable(TypeId type, uint32_t number, const Cell& spec) {
    Node ctx = context::make_from_spec(spec, true, false, context::function);
    Node more = series::alloc_cells(2);
    SeriesBuffer* b = memory::buffer_of(more);
    *series::reserve_cell(b) = context::cell_of(ctx);
    b = memory::buffer_of(more);
    *series::reserve_cell(b) = cell::none();
    return cell::make(type, number, spec.data2, more);
}

// The refinements the argument table of a callable counts.
int32_t refinement_count(const Cell& callable) {
    Node table = interp::argument_table(callable);
    SeriesBuffer* b = memory::buffer_of(table);
    uint32_t n = b->length();
    return n > 0 && is(b->cells()[n - 1], TypeId::integer) ? cell::get_integer(b->cells()[n - 1]) : 0;
}

void define(const char* name, const Cell& value) {
    Cell word = w(name);
    word::set(word, value);
}

// ---- printed text ----

std::vector<std::pair<std::string, bool>> printed;
void capture(const Cell& string, bool new_line) { printed.emplace_back(utf8_of(string), new_line); }

// The natives of these tests, and loop and break to leave them through.
bool wanted_native(uint32_t number) {
    bool output = number >= natives::print && number <= natives::to_hex && number != natives::parse;
    return output || number == natives::sign_q || number == natives::debase || number == natives::enbase ||
           number == natives::loop || number == natives::break_;
}

class Natives : public testing::Test {
protected:
    // The suite keeps spec cells in C++ containers while it makes the natives: the collector
    // stays off for it (the scripts under tests/kaz run these natives with it on).
    static void SetUpTestSuite() {
        gc::set_enabled(false);
        actions::init_entries();
        natives::init();
        issue::init();  // to-hex answers issues
        define("event!", cell::datatype(TypeId::event));  // registered by the GUI engine
        for (std::string_view name : typeset::kStandardNames) define(std::string(name).c_str(), *typeset::standard(name));
        std::vector<SpecLine> natives_specs = read_specs("natives.kaz");
        for (uint32_t i = 0; i < natives_specs.size(); ++i)
            if (wanted_native(i + 1))
                define(natives_specs[i].name.c_str(), make_callable(TypeId::native, i + 1, natives_specs[i].spec));
        std::vector<SpecLine> action_specs = read_specs("actions.kaz");
        uint32_t slot = 1;
        for (const SpecLine& a : action_specs) {
            while (slot >= 7 && slot <= 9) ++slot;
            define(a.name.c_str(), make_callable(TypeId::action, slot++, a.spec));
        }
        print_hooks::add(capture, nullptr);
    }
    static void TearDownTestSuite() {
        print_hooks::remove(capture, nullptr);
        gc::set_enabled(true);
    }

    void SetUp() override {
        reset();
        printed.clear();
    }
    static void reset() { test::reset_top_level(); }
    // Evaluates code; returns its result, or the error! it raised.
    static Cell run(const Cell& code) { return test::evaluate(code); }
    static std::optional<ErrorId> error_of(const Cell& code) {
        return test::error_id(run(code));
    }
    static std::string molded(const Cell& code) {
        Cell r = run(code);
        EXPECT_FALSE(is(r, TypeId::error)) << "error " << int(*error::id_of(r));
        return test::molded(r);
    }
    static bool truth(const Cell& code) {
        Cell r = run(code);
        EXPECT_TRUE(is(r, TypeId::logic)) << test::molded(r);
        return r.data1 != 0;
    }
};

}  // namespace

// ---- natives.kaz and actions.kaz ----

TEST(SpecFiles, ListEveryNativeAndActionInTableOrder) {
    std::vector<SpecLine> n = read_specs("natives.kaz");
    ASSERT_EQ(n.size(), natives::kNatives);
    for (uint32_t i = 0; i < n.size(); ++i) EXPECT_EQ(n[i].name, natives::name_of(i + 1));

    std::vector<SpecLine> a = read_specs("actions.kaz");
    std::vector<std::string> expected;
    for (uint32_t slot = 1; slot <= 62; ++slot)
        if (slot < 7 || slot > 9) expected.emplace_back(kActionNames[slot - 1]);
    ASSERT_EQ(a.size(), expected.size());
    for (uint32_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].name, expected[i]);
}

TEST_F(Natives, EveryActionSpecGivesItsEntryTheRefinementsItReads) {
    std::vector<SpecLine> a = read_specs("actions.kaz");
    const std::pair<const char*, int32_t> kCounts[] = {
        {"random", 3}, {"form", 1},  {"mold", 4},   {"round", 7},  {"append", 3}, {"change", 3},
        {"copy", 3},   {"find", 11}, {"insert", 3}, {"move", 1},   {"put", 1},    {"remove", 2},
        {"reverse", 2}, {"select", 9}, {"sort", 7}, {"take", 3},   {"trim", 6},   {"modify", 1},
        {"open", 5},   {"read", 6},  {"write", 8},
    };
    uint32_t slot = 1;
    for (const SpecLine& line : a) {
        while (slot >= 7 && slot <= 9) ++slot;
        int32_t expected = 0;
        for (auto [name, count] : kCounts)
            if (line.name == name) expected = count;
        EXPECT_EQ(refinement_count(make_callable(TypeId::action, slot, line.spec)), expected) << line.name;
        // A type without the action is reported with the action's first argument.
        Cell err = cell::none();
        try {
            actions::raise_lacks(TypeId::none, actions::Slot(slot));
        } catch (const Throw&) {
            err = *stack::top();
            reset();
        }
        Cell first = *block::cell_at(line.spec, 0);
        EXPECT_EQ(error::field(err, error::arg3).data2, first.data2) << line.name;
        ++slot;
    }
    // Every native spec makes an argument table: its type words all name types or typesets.
    std::vector<SpecLine> n = read_specs("natives.kaz");
    for (uint32_t i = 0; i < n.size(); ++i) {
        SCOPED_TRACE(n[i].name);
        try {
            interp::argument_table(make_callable(TypeId::native, i + 1, n[i].spec));
        } catch (const Throw&) {
            ADD_FAILURE() << "bad spec: " << test::molded(error::field(*stack::top(), error::arg1));
            reset();
        }
    }
    EXPECT_EQ(refinement_count(make_callable(TypeId::native, natives::do_, n[natives::do_ - 1].spec)), 4);
    EXPECT_EQ(refinement_count(make_callable(TypeId::native, natives::call, n[natives::call - 1].spec)), 7);
}

// ---- print ----

TEST_F(Natives, PrintFormsTheValueAndReducesABlock) {
    struct Case { Cell code; std::string text; bool new_line; };
    const Case kCases[] = {
        {blk({w("print"), S("abc")}), "abc", true},
        {blk({w("prin"), 12}), "12", false},
        {blk({w("print"), blk({1, w("add"), 1, 1, S("x")})}), "1 2 x", true},
        {blk({w("print"), blk({})}), "", true},
        {blk({w("prin"), S("été")}), "été", false},
        {blk({w("print"), blk({S("a"), blk({2, 3})})}), "a 2 3", true},
    };
    for (const Case& c : kCases) {
        printed.clear();
        Cell r = run(c.code);
        EXPECT_TRUE(is(r, TypeId::unset));
        ASSERT_EQ(printed.size(), 1u);
        EXPECT_EQ(printed[0].first, c.text);
        EXPECT_EQ(printed[0].second, c.new_line);
        EXPECT_EQ(natives::last_output_new_line, c.new_line);
    }
    // An error while reducing prints nothing.
    printed.clear();
    EXPECT_EQ(error_of(blk({w("print"), blk({1, w("no-such-word-here")})})), ErrorId::script_no_value);
    EXPECT_TRUE(printed.empty());
}

// ---- comparison ----

TEST_F(Natives, ComparisonNativesShareOneCore) {
    struct Case { const char* native; Cell a, b; std::optional<bool> result; };
    const Case kCases[] = {
        {"equal?", S("abc"), S("ABC"), true},       {"strict-equal?", S("abc"), S("ABC"), false},
        {"not-equal?", I(1), I(2), true},           {"equal?", I(1), F(1.0), true},
        {"equal?", S("1"), I(1), false},            {"not-equal?", S("1"), I(1), true},
        {"lesser?", I(1), I(2), true},              {"greater?", I(1), I(2), false},
        {"lesser-or-equal?", I(2), I(2), true},     {"greater-or-equal?", S("b"), S("a"), true},
        {"lesser?", S("a"), I(1), std::nullopt},    {"greater?", S("a"), I(1), std::nullopt},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.native) + " " + test::molded(c.a) + " " + test::molded(c.b));
        Cell code = blk({w(c.native), c.a, c.b});
        if (c.result) EXPECT_EQ(truth(code), *c.result);
        else EXPECT_EQ(error_of(code), ErrorId::script_invalid_compare);
    }
}

TEST_F(Natives, SameIsIdentity) {
    run(blk({sw("s"), S("abc")}));
    run(blk({sw("t"), blk({1, 2})}));
    struct Case { Cell code; bool same; };
    const Case kCases[] = {
        {blk({w("same?"), S("a"), S("a")}), false},
        {blk({w("same?"), w("s"), w("s")}), true},
        {blk({w("same?"), w("next"), w("s"), w("s")}), false},
        {blk({w("same?"), w("next"), w("s"), w("next"), w("s")}), true},
        {blk({w("same?"), w("t"), w("t")}), true},
        {blk({w("same?"), 1, 1}), true},
        {blk({w("same?"), 1, F(1.0)}), false},
        {blk({w("same?"), F(0.1), F(0.1)}), true},
        {blk({w("same?"), F(0.0), F(-0.0)}), false},  // bit for bit
        {blk({w("same?"), cell::none(), cell::none()}), true},
        {blk({w("same?"), tuple({1, 2, 3}), tuple({1, 2, 3})}), true},
        {blk({w("same?"), tuple({1, 2, 3}), tuple({1, 2, 3, 0})}), false},
        {blk({w("same?"), lw("a"), lw("a")}), true},
    };
    for (size_t i = 0; i < std::size(kCases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(truth(kCases[i].code), kCases[i].same);
    }
}

TEST_F(Natives, NotAndTypeQ) {
    EXPECT_TRUE(truth(blk({w("not"), cell::none()})));
    EXPECT_FALSE(truth(blk({w("not"), 0})));
    EXPECT_FALSE(truth(blk({w("not"), S("")})));
    Cell t = run(blk({w("type?"), S("x")}));
    EXPECT_TRUE(is(t, TypeId::datatype));
    EXPECT_EQ(t.data1, uint32_t(TypeId::string));
    Cell word = run(blk({path({w("type?"), w("word")}), 5}));
    ASSERT_TRUE(is(word, TypeId::word));
    EXPECT_EQ(symbol::name(word.data2), "integer!");
}

// ---- reduce and compose ----

TEST_F(Natives, ReduceEvaluatesEachExpression) {
    EXPECT_EQ(molded(blk({w("reduce"), blk({1, w("add"), 1, 1, S("x")})})), R"([1 2 "x"])");
    // The new-line markers of the results are cleared.
    EXPECT_EQ(molded(blk({w("reduce"), blk({1, nl(I(2))})})), "[1 2]");
    // A value that is not a block is one expression; a callable comes back as it is.
    run(blk({sw("v"), 7}));
    EXPECT_EQ(molded(blk({w("reduce"), lw("v")})), "7");
    define("p", paren({w("add"), 2, 3}));
    EXPECT_EQ(molded(blk({w("reduce"), w("p")})), "5");
    EXPECT_TRUE(is(run(blk({w("reduce"), gw("add")})), TypeId::action));
    // /into appends to a block target at its tail, whatever its position, and answers the
    // position after the values.
    run(blk({sw("out"), blk({w("a"), w("b")})}));
    EXPECT_EQ(molded(blk({path({w("reduce"), w("into")}), blk({1, w("add"), 1, 1}), w("next"), w("out")})), "[]");
    EXPECT_EQ(molded(blk({w("out")})), "[a b 1 2]");
    EXPECT_EQ(molded(blk({path({w("reduce"), w("into")}), lw("v"), w("tail"), w("out")})), "[]");
    EXPECT_EQ(molded(blk({w("out")})), "[a b 1 2 7]");
    // A break inside leaves it.
    EXPECT_EQ(molded(blk({w("loop"), 2, blk({w("reduce"), blk({1, path({w("break"), w("return")}), 9})})})), "9");
}

TEST_F(Natives, ComposeEvaluatesParens) {
    struct Case { Cell code; const char* result; };
    Cell compose_only = path({w("compose"), w("only")});
    Cell compose_deep = path({w("compose"), w("deep")});
    const Case kCases[] = {
        {blk({w("compose"), blk({paren({w("add"), 1, 1}), paren({blk({})}), paren({})})}), "[2]"},
        {blk({compose_only, blk({paren({blk({w("a"), w("b")})})})}), "[[a b]]"},
        {blk({compose_only, blk({paren({blk({})})})}), "[[]]"},
        {blk({w("compose"), blk({paren({blk({w("a"), w("b")})}), w("c")})}), "[a b c]"},
        {blk({w("compose"), blk({blk({paren({1})}), paren({S("s")})})}), R"([[(1)] "s"])"},
        {blk({compose_deep, blk({blk({paren({w("add"), 1, 2})}), 4})}), "[[3] 4]"},
        {blk({w("compose"), blk({paren({w("print"), S("side")}), 1})}), "[1]"},  // unset! adds nothing
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.result);
        EXPECT_EQ(molded(c.code), c.result);
    }
    run(blk({sw("out"), blk({w("z")})}));
    EXPECT_EQ(molded(blk({path({w("compose"), w("into")}), blk({paren({1}), 2}), w("out")})), "[z]");
    EXPECT_EQ(molded(blk({w("out")})), "[1 2 z]");
}

TEST_F(Natives, ComposeDeepOfABlockHoldingItselfFailsCleanly) {
    Cell self = blk({1});
    block::append_cell(self, self);
    EXPECT_EQ(error_of(blk({path({w("compose"), w("deep")}), self})), ErrorId::internal_too_deep);
    EXPECT_EQ(molded(blk({w("compose"), blk({1})})), "[1]");  // and all is well afterwards
}

// ---- set operations ----

TEST_F(Natives, SetOperationsDispatchOnTheType) {
    struct Case { Cell code; const char* result; };
    Cell ab = blk({w("a"), w("b")});
    const Case kCases[] = {
        {blk({w("union"), blk({1, 2, 2}), blk({2, 3})}), "[1 2 3]"},
        {blk({w("intersect"), blk({1, 2, 3}), blk({3, 2, 5})}), "[2 3]"},
        {blk({w("exclude"), blk({1, 2, 3}), blk({2})}), "[1 3]"},
        {blk({w("difference"), blk({1, 2, 3}), blk({2, 4})}), "[1 3 4]"},
        {blk({w("unique"), blk({1, 1, 2, 1})}), "[1 2]"},
        {blk({w("unique"), S("abAB")}), R"("ab")"},
        {blk({path({w("unique"), w("case")}), S("abAB")}), R"("abAB")"},
        {blk({path({w("unique"), w("skip")}), blk({1, 2, 1, 2, 3, 4}), 2}), "[1 2 3 4]"},
        {blk({w("union"), S("abc"), S("bcd")}), R"("abcd")"},
        {blk({w("exclude"), ab, blk({w("b")})}), "[a]"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.result);
        EXPECT_EQ(molded(c.code), c.result);
    }
    // typeset! and bitset! through their own cores.
    Cell ts = run(blk({w("union"), run(blk({w("make"), w("typeset!"), blk({w("integer!")})})),
                       run(blk({w("make"), w("typeset!"), blk({w("string!")})}))}));
    ASSERT_TRUE(is(ts, TypeId::typeset));
    EXPECT_TRUE(typeset::has_q(ts, TypeId::integer));
    EXPECT_TRUE(typeset::has_q(ts, TypeId::string));
    Cell bits = run(blk({w("intersect"), bitset::make_or_to(S("abc"), false), bitset::make_or_to(S("bcd"), false)}));
    ASSERT_TRUE(is(bits, TypeId::bitset));
    EXPECT_FALSE(bitset::member_q(bits, 'a'));
    EXPECT_TRUE(bitset::member_q(bits, 'b'));
    // Arguments of two kinds; block! and hash! count as one.
    Cell err = run(blk({w("union"), ab, S("ab")}));
    ASSERT_TRUE(is(err, TypeId::error));
    EXPECT_EQ(error::id_of(err), ErrorId::script_expect_val);
    EXPECT_EQ(error::field(err, error::arg1).data1, uint32_t(TypeId::block));
    EXPECT_EQ(error::field(err, error::arg2).data1, uint32_t(TypeId::string));
    EXPECT_EQ(error_of(blk({w("union"), bitset::make_or_to(S("a"), false), blk({})})), ErrorId::script_expect_val);
}

TEST_F(Natives, ComplementQ) {
    EXPECT_FALSE(truth(blk({w("complement?"), bitset::make_or_to(S("a"), false)})));
    EXPECT_TRUE(truth(blk({w("complement?"), bitset::make_or_to(blk({w("not"), S("a")}), false)})));
}

// ---- text ----

TEST_F(Natives, DehexAndEnhex) {
    struct Case { const char* native; Cell value; const char* result; };
    const Case kCases[] = {
        {"dehex", S("a%20b%C3%A9%41"), "a béA"},
        {"dehex", S("100%"), "100%"},
        {"dehex", S("%C3"), "%C3"},  // a lone lead byte stays as it was
        {"enhex", S("a b/é"), "a%20b%2F%C3%A9"},
        {"enhex", S("a b/é", TypeId::url), "a%20b/%C3%A9"},  // a URL keeps what URLs allow
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.result);
        Cell r = run(blk({w(c.native), c.value}));
        ASSERT_TRUE(is(r, TypeId::string));
        EXPECT_EQ(utf8_of(r), c.result);
    }
}

// ---- numbers ----

TEST_F(Natives, SignsOfNumbers) {
    Cell nan = F(std::nan(""));
    Cell minus_time = cell::make(TypeId::time);
    cell::put_float(minus_time, -5.0);
    struct Case { Cell v; int32_t sign; };
    const Case kCases[] = {{I(-3), -1}, {I(0), 0}, {I(7), 1},   {F(-0.0), 0},
                           {F(0.5), 1}, {nan, 0},  {minus_time, -1}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(test::molded(c.v));
        EXPECT_EQ(cell::get_integer(run(blk({w("sign?"), c.v}))), c.sign);
        EXPECT_EQ(truth(blk({w("negative?"), c.v})), c.sign < 0);
        EXPECT_EQ(truth(blk({w("positive?"), c.v})), c.sign > 0);
    }
}

TEST_F(Natives, MaxAndMin) {
    Cell nan = F(std::nan(""));
    struct Case { const char* native; Cell a, b; const char* result; };
    const Case kCases[] = {
        {"max", I(1), I(2), "2"},
        {"min", I(1), I(2), "1"},
        {"max", I(1), F(1.0), "1"},    // a tie gives the first for max
        {"min", I(1), F(1.0), "1.0"},  // and the second for min
        {"max", S("abc"), S("abd"), R"("abd")"},
        {"max", pair(1, 5), I(3), "3x5"},
        {"min", pair(1, 5), I(3), "1x3"},
        {"min", I(3), pair(1, 5), "1x3"},  // the number moves second
        {"max", pair(1, 5), pair(4, 2), "4x5"},
        {"max", pair(1, 5), F(2.9), "2x5"},
        {"max", tuple({10, 200, 30}), I(100), "100.200.100"},
        {"max", tuple({10, 200, 30}), I(300), "255.255.255"},
        {"min", tuple({10, 200, 30}), I(-4), "0.0.0"},
        {"max", tuple({1, 9, 3}), tuple({4, 5, 6}), "4.9.6"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.native) + " " + c.result);
        Cell r = run(blk({w(c.native), c.a, c.b}));
        ASSERT_FALSE(is(r, TypeId::error)) << int(*error::id_of(r));
        if (is(r, TypeId::pair)) EXPECT_EQ(std::to_string(int32_t(r.data2)) + "x" + std::to_string(int32_t(r.data3)), c.result);
        else if (is(r, TypeId::tuple)) EXPECT_EQ(std::to_string(r.data1 & 0xFF) + "." + std::to_string((r.data1 >> 8) & 0xFF) + "." + std::to_string((r.data1 >> 16) & 0xFF), c.result);
        else EXPECT_EQ(test::molded(r), c.result);
    }
    // NaN wins in both orders.
    for (bool nan_first : {true, false}) {
        Cell r = run(blk({w("max"), nan_first ? nan : I(1), nan_first ? I(1) : nan}));
        ASSERT_TRUE(is(r, TypeId::float_));
        EXPECT_TRUE(std::isnan(cell::get_float(r)));
    }
    // A pair against a float too big for it becomes a point.
    Cell p = run(blk({w("max"), pair(1, 5), F(1e10)}));
    ASSERT_TRUE(is(p, TypeId::point2d));
    EXPECT_EQ(p.data1, f32(1e10f));
    Cell q = run(blk({w("min"), point(1.5f, -2.0f), I(0)}));
    EXPECT_EQ(q.data1, f32(0.0f));
    EXPECT_EQ(q.data2, f32(-2.0f));
    EXPECT_EQ(error_of(blk({w("max"), S("a"), I(1)})), ErrorId::script_invalid_compare);
}

TEST_F(Natives, ShiftAndToHex) {
    struct Shift { Cell code; int32_t result; };
    Cell logical = path({w("shift"), w("logical")});
    Cell left = path({w("shift"), w("left")});
    const Shift kShifts[] = {
        {blk({w("shift"), -8, 1}), -4},
        {blk({logical, -8, 1}), 2147483644},
        {blk({w("shift"), 1, 40}), 0},
        {blk({w("shift"), -1, 40}), -1},
        {blk({w("shift"), 8, -3}), 8},
        {blk({left, 1, 31}), -2147483647 - 1},
        {blk({left, 1, 32}), 0},
        {blk({logical, -1, 32}), 0},
    };
    for (const Shift& s : kShifts) {
        SCOPED_TRACE(test::molded(s.code));
        EXPECT_EQ(cell::get_integer(run(s.code)), s.result);
    }
    Cell size = path({w("to-hex"), w("size")});
    EXPECT_EQ(molded(blk({w("to-hex"), 255})), "#000000FF");
    EXPECT_EQ(molded(blk({size, 255, 2})), "#FF");
    EXPECT_EQ(molded(blk({size, -1, 12})), "#FFFFFFFF");
    EXPECT_EQ(molded(blk({size, 0x1234, 3})), "#234");
    EXPECT_EQ(error_of(blk({size, 255, 0})), ErrorId::script_invalid_arg);
}

// ---- base encodings ----

// The bytes of a binary! from its head.
std::string bytes_of(const Cell& binary) {
    SeriesBuffer* b = memory::buffer_of(binary.data2);
    return {reinterpret_cast<const char*>(b->head) + binary.data1, b->length() - binary.data1};
}

TEST_F(Natives, EnbaseAndDebaseRoundTripPublishedVectors) {
    // RFC 4648 section 10, and the base58 examples of the IETF base58 draft.
    struct Case { int32_t base; std::string bytes; const char* text; };
    const Case kCases[] = {
        {64, "", ""},
        {64, "f", "Zg=="},
        {64, "fo", "Zm8="},
        {64, "foo", "Zm9v"},
        {64, "foob", "Zm9vYg=="},
        {64, "fooba", "Zm9vYmE="},
        {64, "foobar", "Zm9vYmFy"},
        {16, "foobar", "666F6F626172"},
        {16, std::string("\x00\xFF", 2), "00FF"},
        {2, "A\x81", "0100000110000001"},
        {58, "Hello World!", "2NEpo7TZRRrLZSi2U"},
        {58, "The quick brown fox jumps over the lazy dog.",
         "USm3fpXnKG5EUBx2ndxBDMPVciP5hGey2Jh4NDv6gmeo1LkMeiKrLJUUBk6Z"},
        {58, std::string("\x00\x00\x28\x7f\xb4\xcd", 6), "11233QC4"},
        {58, std::string("\x00\x00", 2), "11"},
    };
    Cell enbase = path({w("enbase"), w("base")});
    Cell debase = path({w("debase"), w("base")});
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Node n = series::alloc_bytes(uint32_t(c.bytes.size()));
        SeriesBuffer* b = memory::buffer_of(n);
        std::memcpy(series::reserve_bytes(b, uint32_t(c.bytes.size())), c.bytes.data(), c.bytes.size());
        Cell binary = cell::make(TypeId::binary, 0, n, 0);
        Cell text = run(blk({enbase, binary, c.base}));
        ASSERT_TRUE(is(text, TypeId::string));
        EXPECT_EQ(utf8_of(text), c.text);
        Cell back = run(blk({debase, S(c.text), c.base}));
        ASSERT_TRUE(is(back, TypeId::binary));
        EXPECT_EQ(bytes_of(back), c.bytes);
    }
    // A string is encoded as its UTF-8 bytes; 64 is the default base.
    EXPECT_EQ(utf8_of(run(blk({w("enbase"), S("é")}))), "w6k=");
    EXPECT_EQ(bytes_of(run(blk({w("debase"), S("w6k=")}))), "\xC3\xA9");
}

TEST_F(Natives, DebaseReadsLayoutAndCommentsAndRejectsBadText) {
    Cell debase = path({w("debase"), w("base")});
    struct Case { const char* text; int32_t base; std::optional<std::string> bytes; };
    const Case kCases[] = {
        {"ABC", 16, "\xAB"},                 // an odd last digit is dropped
        {"A B;C\n", 16, "\xAB"},             // blanks skipped, a comment to the line end
        {"ab\ncd", 16, "\xAB\xCD"},
        {"AG", 16, std::nullopt},
        {"\xC3\x81" "1", 16, std::nullopt},  // no character beyond ASCII is a digit
        {"0100 0001", 2, "A"},
        {"0100000", 2, std::nullopt},        // bits left over
        {"012", 2, std::nullopt},
        {"Zm9v\n Ym Fy", 64, "foobar"},
        {"Zm9vY", 64, "foo"},                // an unfinished group without = is dropped
        {"Z===", 64, std::nullopt},
        {"Zm9v!", 64, std::nullopt},
        {"2NEpo7TZRRrLZSi2U", 58, "Hello World!"},
        {"0OIl", 58, std::nullopt},          // not in the alphabet
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Cell r = run(blk({debase, S(c.text), c.base}));
        if (!c.bytes) {
            EXPECT_TRUE(is(r, TypeId::none));
            continue;
        }
        ASSERT_TRUE(is(r, TypeId::binary));
        EXPECT_EQ(bytes_of(r), *c.bytes);
    }
    EXPECT_EQ(error_of(blk({debase, S("00"), 10})), ErrorId::script_invalid_arg);
    EXPECT_EQ(error_of(blk({path({w("enbase"), w("base")}), S("a"), 32})), ErrorId::script_invalid_arg);
}

// ---- memory ----

TEST_F(Natives, StatsReportsMemory) {
    Cell bytes = run(blk({w("stats")}));
    ASSERT_TRUE(is(bytes, TypeId::integer));
    EXPECT_GT(cell::get_integer(bytes), 0);
    // Memory taken shows.
    Cell big = blk({});
    for (int i = 0; i < 20000; ++i) block::append_cell(big, I(i));
    EXPECT_GT(cell::get_integer(run(blk({w("stats")}))), cell::get_integer(bytes));

    Cell info = run(blk({path({w("stats"), w("info")})}));
    ASSERT_TRUE(is(info, TypeId::block));
    ASSERT_EQ(block::length_from_head(info), 5u);
    Cell nodes = *block::cell_at(info, 0);
    ASSERT_TRUE(is(nodes, TypeId::block));
    ASSERT_GE(block::length_from_head(nodes), 1u);
    Cell first = *block::cell_at(nodes, 0);
    EXPECT_TRUE(cell::new_line_q(first));
    int32_t free = cell::get_integer(*block::cell_at(first, 0));
    int32_t used = cell::get_integer(*block::cell_at(first, 1));
    EXPECT_GT(used, 0);
    EXPECT_EQ(free + used, cell::get_integer(*block::cell_at(first, 2)));
    EXPECT_TRUE(is(*block::cell_at(info, 1), TypeId::block));
    EXPECT_TRUE(is(*block::cell_at(info, 2), TypeId::block));
    EXPECT_GT(cell::get_integer(*block::cell_at(info, 3)), cell::get_integer(*block::cell_at(info, 4)));
}

// ---- binding ----

TEST_F(Natives, BindAndIn) {
    Node ctx = context::make_from_spec(blk({w("a"), w("b")}), false, false, context::object);
    Cell obj = cell::make(TypeId::object, ctx, 0, 0);
    context::owner_of(ctx) = obj;
    define("obj", obj);

    Cell code = blk({w("a"), w("c"), w("self"), blk({w("b")})});
    Cell bound = run(blk({w("bind"), code, w("obj")}));
    ASSERT_EQ(bound.data2, code.data2);  // in place
    Cell* cells = memory::buffer_of(code.data2)->cells();
    EXPECT_EQ(cells[0].data1, ctx);
    EXPECT_EQ(cells[0].data3, 0u);
    EXPECT_NE(cells[1].data1, ctx);  // the context lacks c
    EXPECT_EQ(cells[2].data1, ctx);  // self reads as the object
    EXPECT_EQ(memory::buffer_of(cells[3].data2)->cells()[0].data1, ctx);

    Cell fresh = blk({w("b")});
    Cell copied = run(blk({path({w("bind"), w("copy")}), fresh, w("obj")}));
    EXPECT_NE(copied.data2, fresh.data2);
    EXPECT_EQ(memory::buffer_of(copied.data2)->cells()[0].data1, ctx);
    EXPECT_NE(memory::buffer_of(fresh.data2)->cells()[0].data1, ctx);

    Cell one = run(blk({w("bind"), lw("b"), w("obj")}));
    EXPECT_EQ(one.data1, ctx);
    EXPECT_EQ(one.data3, 1u);
    // Bound to the context of a word.
    Cell lit = one;
    cell::set_type(lit, TypeId::lit_word);
    Cell via_word = run(blk({w("bind"), lw("a"), lit}));
    EXPECT_EQ(via_word.data1, ctx);

    Cell in_word = run(blk({w("in"), w("obj"), lw("b")}));
    ASSERT_TRUE(is(in_word, TypeId::word));
    EXPECT_EQ(in_word.data1, ctx);
    EXPECT_EQ(in_word.data3, 1u);
    Cell from_refinement = run(blk({w("in"), w("obj"), ref("a")}));
    EXPECT_TRUE(is(from_refinement, TypeId::word));
    EXPECT_EQ(from_refinement.data1, ctx);
    EXPECT_TRUE(is(run(blk({w("in"), w("obj"), lw("zz")})), TypeId::none));
    // A native's own words.
    Cell arg_word = run(blk({w("in"), gw("equal?"), lw("value2")}));
    ASSERT_TRUE(is(arg_word, TypeId::word));
    EXPECT_EQ(arg_word.data3, 1u);
    EXPECT_TRUE(is(run(blk({w("in"), gw("equal?"), lw("value3")})), TypeId::none));
}
