// PARSE: rules and inputs written as Kaz text and loaded by the lexer, run through the parse
// native; each case gives the molded result of its last expression, or the error it raises.
#include "evaluator/parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

struct Case {
    const char* code;
    const char* expected;  // the molded result, or "error <id>"
};

Cell string_of(std::string_view utf8) {
    Cell s = string::make_cell(uint32_t(utf8.size()) + 1);
    text::append_utf8(s.data2, utf8);
    return s;
}

Cell binary_of(std::string_view bytes) {
    Node n = series::alloc_bytes(uint32_t(bytes.size()) + 16);
    SeriesBuffer* b = memory::buffer_of(n);
    std::memcpy(b->head, bytes.data(), bytes.size());
    b->tail = b->head + bytes.size();
    return cell::make(TypeId::binary, 0, n, 0);
}

std::string bytes_of(const Cell& binary) {
    SeriesBuffer* b = memory::buffer_of(binary.data2);
    return std::string(reinterpret_cast<const char*>(b->head) + binary.data1, b->used() - binary.data1);
}

class Parse : public testing::Test {
protected:
    static void SetUpTestSuite() {
        static const bool ready = [] {
            parse::init(boot::root);
            natives::init_parse();
            return true;
        }();
        (void)ready;
    }
    void SetUp() override {
        reset();
        Cell tag = string_of("b");
        define("tag-b", cell::set_type(tag, TypeId::tag));
    }
    static void reset() { test::reset_top_level(); }
    // Loads and evaluates the text; the molded result, or "error <id>".
    static std::string eval(std::string_view code) {
        try {
            Cell block = lexer::load_text(string_of(code));
            return test::mold_text(interp::do_block(block));
        } catch (const Throw& t) {
            if (t.code != throw_code::error) return "throw " + std::to_string(t.code);
            Cell e = *stack::top();
            reset();
            std::optional<ErrorId> id = error::id_of(e);
            return id ? std::string("error ") + error::info(*id).name : "error ?";
        }
    }
    static void check(const Case* cases, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            SCOPED_TRACE(cases[i].code);
            EXPECT_EQ(eval(cases[i].code), cases[i].expected);
            // Every run, however it ended, leaves both shared stacks empty.
            EXPECT_EQ(series_::total_length(parse::rule_stack()), 0u);
            EXPECT_EQ(series_::total_length(parse::input_stack()), 0u);
        }
    }
    template <size_t N>
    static void check(const Case (&cases)[N]) { check(cases, N); }
    // The value of the last expression, for results checked in C++.
    static Cell run(std::string_view code) { return interp::do_block(lexer::load_text(string_of(code))); }
    static void define(const char* name, const Cell& value) {
        Cell w = word::from_c_string(name);
        word::set(w, value);
    }
};

// Definitions the cases share.
constexpr const char* kPrelude =
    "digit: make bitset! \"0123456789\" "
    "alpha: make bitset! [#\"a\" - #\"z\" #\"A\" - #\"Z\"] "
    "ws: make bitset! \" ^-^/\" ";

TEST_F(Parse, MatchesStringsAndBlocksWithTheBasicRules) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse [] []", "true"},
        {"parse \"a\" []", "false"},
        {"parse \"\" [end]", "true"},
        {"parse \"abc\" [\"abc\"]", "true"},
        {"parse \"abc\" [\"ABC\"]", "true"},
        {"parse/case \"abc\" [\"ABC\"]", "false"},
        {"parse \"abc\" [\"ab\"]", "false"},
        {"parse \"abc\" [#\"a\" #\"B\" #\"c\"]", "true"},
        {"parse/case \"abc\" [#\"a\" #\"B\" #\"c\"]", "false"},
        {"parse \"abc\" [skip skip skip end]", "true"},
        {"parse \"ab\" [skip skip skip]", "false"},
        {"parse \"\" [\"\"]", "true"},
        {"parse \"\" [#\"a\"]", "false"},
        {"parse \"<b>x\" [tag-b \"x\"]", "true"},
        {"parse \"<B>x\" [tag-b \"x\"]", "true"},
        {"parse \"b x\" [tag-b \"x\"]", "false"},
        {"parse \"<b\" [tag-b]", "false"},
        {"parse \"a1\" [alpha digit]", "true"},
        {"parse \"1a\" [alpha digit]", "false"},
        {"parse \"x\" [(complement alpha)]", "false"},
        {"nd: complement digit parse \"x\" [nd]", "true"},
        {"parse \"héllo wörld\" [\"HÉLLO\" ws \"WÖRLD\"]", "true"},
        {"parse \"日本語\" [#\"日\" \"本語\"]", "true"},
        {"parse \"a😀b\" [skip #\"😀\" \"b\"]", "true"},
        {"parse \"été\" [\"ÉTÉ\"]", "true"},
        {"parse %dir/file.txt [thru #\"/\" \"file\" to end]", "true"},
        {"parse [a b c] ['a 'b 'c]", "true"},
        {"parse [a] ['a]", "true"},
        {"parse ['a] ['a]", "true"},
        {"parse [A] ['a]", "true"},
        {"parse/case [A] ['a]", "false"},
        {"parse [1 \"x\" #\"c\"] [integer! string! char!]", "true"},
        {"parse [1 2.5 x] [some number! word!]", "true"},
        {"parse [1 x] [integer! integer!]", "false"},
        {"parse [\"abc\"] [\"ABC\"]", "true"},
        {"parse/case [\"abc\"] [\"ABC\"]", "false"},
        {"parse [1 2] [quote 1 quote 2]", "true"},
        {"parse [a/b c] [path! word!]", "true"},
        {"parse [(1) [2]] [paren! block!]", "true"},
        {"parse make hash! [a 1] ['a integer!]", "true"},
        {"parse pick [(x + 1)] 1 ['x '+ integer!]", "true"},
        {"parse 'a/b/c ['a 'b 'c]", "true"},
    };
    check(cases);
}

TEST_F(Parse, AlternativesBacktrackToWhereTheBlockBegan) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse \"ab\" [\"a\" \"c\" | \"a\" \"b\"]", "true"},
        {"parse \"ab\" [[\"a\" \"c\"] | [\"a\" \"b\"]]", "true"},
        {"parse \"ac\" [\"a\" [\"b\" | \"c\"]]", "true"},
        {"parse \"ad\" [\"a\" [\"b\" | \"c\"]]", "false"},
        {"parse \"ab\" [\"x\" | \"y\" | \"a\" \"b\"]", "true"},
        {"parse \"ab\" [\"a\" | \"b\"]", "false"},
        {"parse \"b\" [[\"a\" | none] \"b\"]", "true"},
        {"r: [\"a\" r | \"b\"] parse \"aaab\" r", "true"},
        {"r: [\"(\" r \")\" | none] parse \"((()))\" r", "true"},
        {"r: [\"(\" r \")\" | none] parse \"((())\" r", "false"},
    };
    check(cases);
}

TEST_F(Parse, RepetitionCountsAndRanges) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse \"aaa\" [3 #\"a\"]", "true"},
        {"parse \"aaa\" [2 #\"a\"]", "false"},
        {"parse \"aaa\" [1 2 #\"a\" #\"a\"]", "true"},
        {"parse \"aaaa\" [2 3 \"a\"]", "false"},
        {"parse \"aaa\" [2 3 \"a\"]", "true"},
        {"parse \"a\" [2 3 \"a\"]", "false"},
        {"parse \"abab\" [2 [\"a\" \"b\"]]", "true"},
        {"parse \"ababab\" [2 [\"a\" \"b\"]]", "false"},
        {"n: 2 parse \"aa\" [n \"a\"]", "true"},
        {"n: 1 m: 3 parse \"aaa\" [n m \"a\"]", "true"},
        {"parse \"\" [0 skip]", "true"},
        {"parse \"\" [0 0 skip]", "true"},
        {"parse \"a\" [0 skip skip]", "true"},
        {"parse \"\" [any \"a\"]", "true"},
        {"parse \"aaa\" [any \"a\"]", "true"},
        {"parse \"aaab\" [some \"a\" \"b\"]", "true"},
        {"parse \"b\" [some \"a\" \"b\"]", "false"},
        {"parse \"b\" [opt \"a\" \"b\"]", "true"},
        {"parse \"ab\" [opt \"a\" \"b\"]", "true"},
        {"parse \"123 45\" [some digit ws some digit]", "true"},
        {"parse \"x\" [some alpha]", "true"},
        {"parse \"aAbB\" [some [\"a\" | \"b\"]]", "true"},
        {"parse/case \"aAbB\" [some [\"a\" | \"b\"]]", "false"},
        {"parse [a a b] [some 'a 'b]", "true"},
        {"parse [1 2 3] [some integer!]", "true"},
        {"x: 'a parse [a a] [some x]", "true"},
        // A rule that cannot advance stops its loop.
        {"parse \"\" [any [none]]", "true"},
        {"parse \"a\" [some [opt \"b\"] \"a\"]", "true"},
        {"parse \"abc\" [any [to \"x\"] to end]", "true"},
        // A failed iteration gives back what it consumed.
        {"parse \"aab\" [any [2 skip \"x\"] \"aab\"]", "true"},
        {"parse \"ab\" [opt [skip \"x\"] \"ab\"]", "true"},
        // while has no progress check: it ends when its rule fails.
        {"s: \"aaa\" parse s [while [remove \"a\"]]", "true"},
        {"n: 0 parse \"\" [while [if (n < 5) (n: n + 1)]] n", "5"},
    };
    check(cases);
}

TEST_F(Parse, ToAndThruSearchForLiteralsAndRules) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse \"abc\" [to end]", "true"},
        {"parse \"\" [to end]", "true"},
        {"parse \"abxc\" [to \"x\" \"xc\"]", "true"},
        {"parse \"abxc\" [thru \"x\" \"c\"]", "true"},
        {"parse \"abc\" [to \"x\" to end]", "false"},
        {"parse \"aB\" [thru #\"b\"]", "true"},
        {"parse/case \"aB\" [thru #\"b\"]", "false"},
        {"parse \"aB\" [to #\"b\" skip]", "true"},
        {"parse \"ab1\" [to digit digit]", "true"},
        {"parse \"ab<b>c\" [thru tag-b \"c\"]", "true"},
        {"parse \"ab<b>c\" [to tag-b \"<b>c\"]", "true"},
        {"parse \"abXYc\" [thru \"xy\" \"c\"]", "true"},
        {"parse/case \"abXYc\" [thru \"xy\" \"c\"]", "false"},
        {"parse \"ab12\" [to [digit digit] \"12\"]", "true"},
        {"parse \"ab12\" [thru [\"1\" | \"2\"] \"2\"]", "true"},
        {"parse \"abc\" [thru [\"c\" end]]", "true"},
        {"parse \"abc\" [to [end]]", "true"},
        {"parse \"abc\" [to [\"x\"]]", "false"},
        {"parse [a 1 b] [to integer! integer! 'b]", "true"},
        {"parse [a 1 b] [thru 1 'b]", "true"},
        {"parse [a b c] [thru 'b 'c]", "true"},
        {"parse \"日本語\" [to #\"語\" skip]", "true"},
        {"parse \"aéb\" [thru #\"É\" \"b\"]", "true"},
        {"parse \"a😀b\" [to #\"😀\" 2 skip]", "true"},
        {"parse \"日本語\" [to #\"😀\"]", "false"},
        {"parse \"abc\" [to 1.5]", "error parse-rule"},
        {"parse \"abc\" [to 12]", "error parse-rule"},
    };
    check(cases);
}

TEST_F(Parse, PartLimitsTheInput) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse/part \"abc\" [\"ab\"] 2", "true"},
        {"parse/part \"abc\" [\"abc\"] 2", "false"},
        {"parse/part \"abc\" [to end] 2", "true"},
        {"parse/part \"abc\" [some skip] 1", "true"},
        {"parse/part \"abc\" [\"abc\"] 0", "false"},
        {"parse/part \"\" [\"x\"] 0", "true"},
        {"s: \"abcd\" parse/part s [\"abc\"] skip s 3", "true"},
        {"parse/part next \"abcd\" [\"bc\"] 2", "true"},
        {"parse/part \"abc\" [thru \"c\"] 2", "false"},
        {"parse/part [1 2 3] [some integer!] 2", "true"},
        // The limit is the parsed series': an inner series is read to its own end.
        {"parse/part [[1 2] 3 4] [into [2 integer!] integer!] 2", "true"},
        {"parse/part \"abc\" [\"ab\"] 2.0", "error invalid-refine-arg"},
        {"parse/part \"abc\" [\"ab\"] \"xy\"", "error invalid-refine-arg"},
    };
    check(cases);
}

TEST_F(Parse, WordsAndKeywords) {
    eval(kPrelude);
    const Case cases[] = {
        {"r: [\"a\" \"b\"] parse \"ab\" r", "true"},
        {"r: \"ab\" parse \"ab\" [r]", "true"},
        {"parse \"ab\" [SKIP Skip]", "true"},
        {"parse \"ab\" [\"a\" break \"x\"]", "false"},
        {"parse \"aab\" [some [\"a\" | break] \"b\"]", "true"},
        {"parse \"aa\" [some [\"a\" break] \"a\"]", "true"},
        {"parse \"a\" [some [reject] \"a\"]", "false"},
        {"parse \"a\" [any [reject] \"a\"]", "true"},
        {"parse \"a\" [fail]", "false"},
        {"parse \"a\" [fail | \"a\"]", "true"},
        {"parse \"a\" [fail \"a\"]", "false"},
        {"parse \"a\" [[\"a\" fail] | \"a\"]", "true"},
        {"parse \"a\" [none \"a\" none]", "true"},
        {"parse \"ab\" [\"a\" end]", "false"},
        {"parse \"ab\" [\"a\" not \"c\" \"b\"]", "true"},
        {"parse \"ab\" [\"a\" not \"b\" \"b\"]", "false"},
        {"parse \"ab\" [not [skip skip skip] \"ab\"]", "true"},
        {"parse \"ab\" [ahead \"a\" \"ab\"]", "true"},
        {"parse \"ab\" [ahead \"b\" \"ab\"]", "false"},
        {"parse \"ab\" [if (true) \"ab\"]", "true"},
        {"parse \"ab\" [if (none) \"ab\"]", "false"},
        {"parse \"aA\" [\"a\" case true \"A\"]", "true"},
        {"parse \"aa\" [\"a\" case true \"A\"]", "false"},
        {"parse \"aaA\" [case true \"a\" \"A\" \"a\"]", "true"},
        {"parse/case \"aA\" [case none \"A\" \"A\"]", "true"},
        {"parse \"ab\" [\"a\" p: \"b\" :p \"b\"]", "true"},
        {"parse \"ab\" [p: \"ab\" (q: p)] index? q", "1"},
        {"parse \"abc\" [\"a\" p: to end] p", "\"bc\""},
        {"s: \"xyz\" parse \"ab\" [:s]", "error parse-invalid-ref"},
        {"parse [a [b c] d] ['a into ['b 'c] 'd]", "true"},
        {"parse [a [b c] d] ['a into ['b] 'd]", "false"},
        {"parse [\"ab\"] [into [\"a\" \"b\"]]", "true"},
        {"parse [x] [into [skip]]", "false"},
        {"parse [[[1]]] [into [into [integer!]]]", "true"},
        {"r: ['b] parse [[b]] [into r]", "true"},
        {"parse \"ab\" [into [skip]]", "error parse-block"},
        {"parse [[a]] [into 'a]", "error parse-end"},
    };
    check(cases);
}

TEST_F(Parse, RaisesTheRuleErrors) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse \"a\" [a/b]", "error parse-rule"},
        {"parse \"a\" [undefined-word-here]", "error parse-rule"},
        {"w: 'x parse [x] [w]", "error parse-rule"},
        {"parse \"a\" [2 1 skip]", "error parse-rule"},
        {"parse \"a\" [2]", "error parse-rule"},
        {"parse \"a\" [1 2]", "error parse-rule"},
        {"parse \"a\" [-1 skip]", "error out-of-range"},
        {"parse \"a\" [any]", "error parse-end"},
        {"parse \"a\" [some]", "error parse-end"},
        {"parse \"a\" [opt]", "error parse-end"},
        {"parse \"a\" [to]", "error parse-end"},
        {"parse \"a\" [thru]", "error parse-end"},
        {"parse \"a\" [not]", "error parse-end"},
        {"parse \"a\" [ahead]", "error parse-end"},
        {"parse \"a\" [while]", "error parse-end"},
        {"parse \"a\" [copy x]", "error parse-end"},
        {"parse \"a\" [copy]", "error parse-end"},
        {"parse \"a\" [set x]", "error parse-end"},
        {"parse \"a\" [quote]", "error parse-end"},
        {"parse \"a\" [if]", "error parse-end"},
        {"parse \"a\" [if x]", "error parse-end"},
        {"parse \"a\" [case]", "error parse-end"},
        {"parse \"a\" [remove]", "error parse-end"},
        {"parse \"a\" [insert]", "error parse-end"},
        {"parse \"a\" [change]", "error parse-end"},
        {"parse \"a\" [change only]", "error parse-rule"},
        {"parse \"a\" [integer!]", "error parse-unsupported"},
        {"parse \"a\" [collect]", "error parse-end"},
        {"parse \"a\" [collect into]", "error parse-end"},
        {"parse \"a\" [collect [keep]]", "error parse-end"},
        {"parse \"a\" [keep skip]", "error parse-keep"},
        // An empty sub-rule is allowed after the other commands.
        {"parse \"\" [opt copy x]", "error parse-end"},
        {"parse [1] [copy x [] skip] x", "[]"},
    };
    check(cases);
}

TEST_F(Parse, CopyAndSetCaptureWhatMatched) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse \"abc\" [skip copy x 2 skip] x", "\"bc\""},
        {"parse \"abc\" [copy x to end] x", "\"abc\""},
        {"parse \"abc\" [copy x none to end] x", "\"\""},
        {"parse [1 2 3] [skip copy x 2 skip] x", "[2 3]"},
        {"parse %a/b.txt [copy d thru #\"/\" to end] d", "%a/"},
        {"parse \"abc\" [set x skip to end] x", "#\"a\""},
        {"parse [1 2] [set x integer! skip] x", "1"},
        {"parse [[1]] [set x block!] x", "[1]"},
        {"x: 9 parse \"\" [set x skip] x", "9"},
        {"parse \"\" [set x none] x", "none"},
        {"x: 9 parse \"b\" [copy x \"a\" | skip] x", "9"},
        {"parse \"ab\" [copy x [\"a\" | \"b\"] copy y skip] reduce [x y]", "[\"a\" \"b\"]"},
    };
    check(cases);
}

TEST_F(Parse, RemoveInsertAndChangeModifyTheInput) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse s: \"ab\" [remove \"a\" \"b\"] s", "\"b\""},
        {"reduce [parse s: \"a1b2\" [any [remove digit | skip]] s]", "[true \"ab\"]"},
        {"parse s: \"abc\" [skip p: 2 skip remove p] s", "\"a\""},
        {"parse s: \"ac\" [skip insert \"b\" skip] s", "\"abc\""},
        {"reduce [parse s: \"ac\" [skip insert #\"b\" \"c\"] s]", "[true \"abc\"]"},
        {"parse s: \"bc\" [p: skip insert p \"a\" skip] s", "\"abc\""},
        {"parse s: [1 3] [skip insert 2 skip] s", "[1 2 3]"},
        {"parse s: [a] [insert [b c] 'b 'c 'a] s", "[b c a]"},
        {"parse s: [a] [insert only [b c] block! 'a] s", "[[b c] a]"},
        {"v: \"x\" parse s: \"ab\" [skip insert v skip] s", "\"axb\""},
        {"parse s: \"ab\" [skip insert (append copy \"X\" \"Y\") skip] s", "\"aXYb\""},
        {"parse s: \"axc\" [skip change \"x\" \"b\" skip] s", "\"abc\""},
        {"reduce [parse s: \"axxc\" [skip change some \"x\" \"b\" \"c\"] s]", "[true \"abc\"]"},
        {"parse s: \"abc\" [p: 2 skip change p \"X\" \"c\"] s", "\"Xc\""},
        {"parse s: [1 2 3] [skip change integer! [a b] 'a 'b integer!] s", "[1 a b 3]"},
        {"parse s: [1 2 3] [skip change only integer! [a b] block! integer!] s", "[1 [a b] 3]"},
        {"parse s: \"axc\" [skip change \"x\" (\"yy\") \"c\"] s", "\"ayyc\""},
        {"parse s: \"ab\" [opt change \"x\" \"y\" \"ab\"] s", "\"ab\""},
        {"parse \"ab\" [insert unset-word-here]", "error no-value"},
        {"parse \"ab\" [change skip unset-word-here]", "error no-value"},
        {"parse s: \"ab\" [p: skip insert p]", "error parse-rule"},
        {"parse s: \"ab\" [p: skip change p]", "error parse-rule"},
        {"parse \"ab\" [skip change skip]", "error parse-end"},
        {"parse \"ab\" [insert a/b]", "error parse-rule"},
    };
    check(cases);
}

TEST_F(Parse, CollectAndKeepGatherValues) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse [1 2 3] [collect [some [keep integer!]]]", "[1 2 3]"},
        {"parse [1 2] [collect set out [some [keep integer!]]]", "true"},
        {"parse [1 2] [collect set out [some [keep integer!]]] out", "[1 2]"},
        {"parse [1 a 2] [collect [any [keep integer! | skip]]]", "[1 2]"},
        {"parse \"a1b22\" [collect [any [keep some digit | skip]]]", "[#\"1\" \"22\"]"},
        {"parse \"ab\" [collect [keep pick 2 skip]]", "[#\"a\" #\"b\"]"},
        {"parse [1 2] [collect [keep copy x 2 skip]]", "[[1 2]]"},
        {"parse [1] [collect [keep copy x skip]]", "[[1]]"},
        {"parse [1] [collect [keep skip]]", "[1]"},
        {"parse [1 2] [collect [keep 2 skip]]", "[[1 2]]"},
        {"parse [1 2] [collect [keep pick 2 skip]]", "[1 2]"},
        {"parse \"x\" [collect [keep (1 + 1) skip]]", "[2]"},
        {"parse \"x\" [collect [keep pick ([a b]) skip]]", "[a b]"},
        {"parse \"x\" [collect [keep ([a b]) skip]]", "[[a b]]"},
        {"parse [1 [2 3]] [collect [keep integer! collect [into [some [keep integer!]]]]]", "[1 [2 3]]"},
        {"parse [1 2] [collect [keep integer! collect set y [keep integer!]]]", "[1]"},
        {"parse \"ab\" [collect [keep \"x\"] | collect [keep skip] skip]", "[#\"a\"]"},
        // An outermost collect makes the result even when the rules then fail.
        {"parse \"ab\" [collect [keep skip] \"x\"]", "[#\"a\"]"},
        {"out: copy \"\" parse \"a1b2\" [collect into out [any [keep digit | skip]]] out", "\"12\""},
        {"out: copy \"xy\" parse \"a12\" [collect into out [skip keep 2 skip]] out", "\"12xy\""},
        {"out: copy \"xy\" parse \"a12\" [collect after out [skip keep 2 skip]] out", "\"xy12\""},
        {"out: copy [] parse [1 a 2] [collect into out [any [keep integer! | skip]]] out", "[1 2]"},
        {"out: copy [z] parse [1 2] [collect into out [keep skip keep skip]] out", "[1 2 z]"},
        {"out: next \"_xy\" parse \"ab\" [collect into out [keep skip keep skip]] head out", "\"_abxy\""},
        {"out: next \"_xy\" parse \"ab\" [collect into out [keep to end]] index? out", "2"},
        {"s: \"ab\" parse s [collect into s [keep skip]]", "error parse-into-bad"},
        {"out: [] parse \"ab\" [collect into out [keep skip]]", "error parse-into-type"},
        {"out: 5 parse \"ab\" [collect into out [keep skip]]", "error parse-into-type"},
        {"parse \"ab\" [collect into [keep skip]]", "error parse-end"},
        {"parse \"ab\" [keep skip]", "error parse-keep"},
    };
    check(cases);
}

TEST_F(Parse, BinaryInputMatchesBytes) {
    eval(kPrelude);
    define("b-abc", binary_of("abc"));
    define("b-b", binary_of("b"));
    define("b-e-acute", binary_of("\xC3\xA9"));
    define("b-ab1", binary_of("ab1"));
    define("b-zero-ff", binary_of(std::string_view("\0\xFF\0", 3)));
    define("b-ff", binary_of("\xFF"));
    define("b-capital", binary_of("A"));
    define("b-source", binary_of("123 abc"));
    define("b-block", binary_of("[1 ]"));
    define("b-tag", binary_of("x<b>y"));
    const Case cases[] = {
        {"parse b-abc [\"abc\"]", "true"},
        {"parse b-abc [\"ABC\"]", "false"},
        {"parse b-abc [#\"a\" b-b skip]", "true"},
        {"parse b-abc [#\"A\" to end]", "false"},
        {"parse b-e-acute [\"é\"]", "true"},
        {"parse b-e-acute [#\"é\"]", "false"},
        {"parse b-ab1 [some alpha digit]", "true"},
        {"parse b-zero-ff [to b-ff 2 skip]", "true"},
        {"parse b-tag [skip tag-b \"y\"]", "true"},
        {"parse b-capital [set x skip] x", "65"},
        // A datatype rule reads the bytes as source text, one token at a time.
        {"parse b-source [integer! word! end]", "true"},
        {"parse b-source [word!]", "false"},
        {"parse b-source [integer!]", "false"},
        {"parse b-source [number! any-word!]", "true"},
        {"parse b-block [block!]", "true"},
    };
    check(cases);

    Cell copied = run("parse b-abc [skip copy x to end] x");
    ASSERT_TRUE(is(copied, TypeId::binary));
    EXPECT_EQ(bytes_of(copied), "bc");

    define("out", binary_of(""));
    EXPECT_EQ(eval("parse b-abc [collect into out [keep 2 skip] skip]"), "true");
    EXPECT_EQ(bytes_of(run("out")), "ab");
}

TEST_F(Parse, TraceCallbackSeesEveryEvent) {
    eval(kPrelude);
    eval("events: copy [] "
         "cb: func [event match? rule input stack] [append events event true] "
         "stop: func [event match? rule input stack] [false]");
    const Case cases[] = {
        {"clear events parse/trace \"a\" [\"a\"] :cb events", "[push fetch match pop end]"},
        {"clear events parse/trace \"a\" [[\"a\"]] :cb events", "[push fetch push fetch match pop pop end]"},
        {"clear events parse/trace \"aa\" [some [\"a\"]] :cb events",
         "[push fetch push push fetch match pop iterate fetch push fetch match pop iterate fetch push fetch "
         "match pop pop pop end]"},
        {"clear events parse/trace \"ab\" [copy x some skip] :cb events",
         "[push fetch push push match iterate fetch match iterate fetch pop pop pop end]"},
        {"clear events parse/trace \"a\" [(1) skip] :cb events", "[push fetch paren fetch match pop end]"},
        {"parse/trace \"abc\" [\"x\"] :stop", "true"},
        // Stopped, parse answers the match flag of that moment.
        {"parse/trace \"abc\" [\"abc\"] func [e m r i s] [e <> 'match]", "true"},
        {"parse/trace \"abc\" [\"x\"] func [e m r i s] [e <> 'match]", "false"},
        {"seen: none parse/trace \"ab\" [skip \"b\"] func [e m r i s] [if e = 'match [seen: index? i] true] seen",
         "3"},
        // The rule argument stands at the cursor; match? is the flag of that moment.
        {"idx: copy [] parse/trace \"ab\" [skip skip] func [e m r i s] [if e = 'fetch [append idx index? r] true] idx",
         "[1 2]"},
        {"ms: copy [] parse/trace \"ab\" [\"a\" \"x\" | \"ab\"] func [e m r i s] [if e = 'match [append ms m] true] ms",
         "[true false true]"},
        // A run inside a callback sees only its own frames.
        {"lens: copy [] parse/trace \"a\" [skip] func [e m r i s] [if e = 'end [parse/trace \"b\" [skip] "
         "func [e m r i s] [if e = 'push [append lens length? s] true]] true] lens",
         "[3]"},
    };
    check(cases);
}

TEST_F(Parse, NestedRunsShareTheStacksAndUnwindCleanly) {
    eval(kPrelude);
    const Case cases[] = {
        {"parse \"ab\" [skip (r: parse [x y] [some word!]) skip] r", "true"},
        {"parse \"ab\" [skip (r: parse \"q\" [collect [keep skip]]) skip] r", "[#\"q\"]"},
        {"parse \"ab\" [some [p: skip (parse [1] [integer! (parse \"z\" [\"z\"])])]]", "true"},
        {"parse/trace \"ab\" [2 skip] func [e m r i s] [parse \"x\" [\"x\"]]", "true"},
        {"f: func [] [parse \"a\" [(return 5)] 6] f", "5"},
        {"loop 3 [parse \"a\" [(break)]] parse \"b\" [\"b\"]", "true"},
        {"catch [parse \"a\" [(throw 7)]]", "7"},
        {"try [parse \"ab\" [skip (parse \"c\" [a/b])]] parse \"q\" [\"q\"]", "true"},
        {"parse \"ab\" [skip (parse \"c\" [undefined-rule-word])]", "error parse-rule"},
        {"parse/trace \"a\" [skip] func [e m r i s] [1 / 0]", "error zero-divide"},
    };
    check(cases);
}

TEST_F(Parse, DeepRulesEndInTheStackError) {
    const Case cases[] = {
        {"r: [r] parse \"a\" r", "error parse-stack"},
        {"r: [\"a\" r | \"b\"] parse append/dup copy \"\" \"a\" 4000 r", "error parse-stack"},
        {"r: [\"a\" r | \"b\"] parse append append/dup copy \"\" \"a\" 3000 \"b\" r", "true"},
        {"r: [some [into r | skip]] b: [1] loop 2000 [b: reduce [b]] parse b r", "error parse-stack"},
    };
    check(cases);
}

// The rule stack a callback is given: frames of three cells, the command codes in the pairs.
TEST_F(Parse, TraceCallbackSeesTheFramesOnTheRuleStack) {
    eval("frames: copy [] "
         "parse/trace \"ab\" [copy x some skip] func [e m r i s] [if e = 'push [append/only frames copy s] true]");
    Cell frames = run("frames");
    ASSERT_EQ(block::length_from_head(frames), 3u);
    Cell last = *block::cell_at(frames, 2);
    ASSERT_EQ(block::length_from_head(last), 9u);
    auto at = [&](uint32_t i) { return *block::cell_at(last, i); };
    // The block frame of the whole rules: marker, positions, the block.
    EXPECT_TRUE(is(at(0), TypeId::none));
    EXPECT_TRUE(is(at(1), TypeId::triple));
    EXPECT_TRUE(is(at(2), TypeId::block));
    // copy: its word at the bottom, the command code -4.
    EXPECT_TRUE(is(at(3), TypeId::word));
    EXPECT_TRUE(is(at(5), TypeId::pair));
    EXPECT_EQ(int32_t(at(5).data2), -4);
    // some: min 1, max unlimited, first iteration; the command code -1.
    EXPECT_EQ(int32_t(at(6).data1), 1);
    EXPECT_EQ(int32_t(at(6).data2), -1);
    EXPECT_EQ(int32_t(at(6).data3), 1);
    EXPECT_EQ(int32_t(at(7).data1), 2);  // the cursor was on `some`
    EXPECT_EQ(int32_t(at(8).data2), -1);
}

}  // namespace
