// The lexer: the corpus of loads and classifications, transcode's refinements, events to a
// callback, re-entrant scans, and what the collector is shown.
#include "evaluator/lexer.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/hooks.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/internal.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::utf8_of;

namespace {

Cell string_of(std::string_view utf8) { return test::str(utf8); }

#include "lexer_corpus.inc"

Cell binary_of(std::string_view bytes) {
    Node n = series::alloc_bytes(uint32_t(bytes.size()));
    SeriesBuffer* b = memory::buffer_of(n);
    std::memcpy(b->head, bytes.data(), bytes.size());
    b->tail = b->head + bytes.size();
    return cell::make(TypeId::binary, 0, n, 0);
}

// An error as the corpus writes it: "!" id, then the arguments, text as it is.
std::string describe(const Cell& error) {
    auto id = error::id_of(error);
    if (!id) return "!?";
    std::string out = std::string("!") + error::info(*id).name;
    for (error::Field f : {error::arg1, error::arg2, error::arg3}) {
        const Cell& a = error::field(error, f);
        if (is(a, TypeId::none)) continue;
        out += "|" + (is(a, TypeId::string) ? utf8_of(a) : test::mold_text(a));
    }
    return out;
}

// A value, or the error raised on the way to it.
struct Outcome : test::Outcome {
    std::string text() const { return error ? describe(raised) : test::mold_text(value, true); }
};

class Lexer : public testing::Test {
protected:
    static void SetUpTestSuite() {
        url::init();
        file::init();
        issue::init();
        map::init();
    }
    void SetUp() override {
        test::reset_stacks();
        lexer::kind_words = cell::none();
    }

    // Runs `body` under a trap, as a native runs.
    static Outcome trapped(const std::function<Cell()>& body) {
        return {test::trapped(body, word::from_c_string("lexer-test"))};
    }

    static Outcome transcode(const Cell& source, lexer::TranscodeOptions options = {}) {
        return trapped([&] { return lexer::transcode(source, options); });
    }
    static Outcome load(std::string_view bytes) { return transcode(binary_of(bytes)); }
    static std::string type_name(const Cell& type) {
        return is(type, TypeId::datatype) ? std::string(registry::name_of(TypeId(type.data1))) : test::mold_text(type);
    }
};

// ---- the corpus ----

TEST_F(Lexer, LoadsTheCorpus) {
    for (const LoadCase& c : kLoads) {
        SCOPED_TRACE(std::string(c.source));
        Outcome o = load(c.source);
        EXPECT_EQ(o.text(), c.expect);
    }
}

// What mold writes of the values loads back to the same values.
TEST_F(Lexer, MoldLoadsBackToTheSameValues) {
    for (const LoadCase& c : kLoads) {
        if (!c.again || c.expect.starts_with("!")) continue;
        SCOPED_TRACE(std::string(c.source));
        Outcome first = load(c.source);
        ASSERT_FALSE(first.error);
        Outcome again = transcode(string_of(test::mold_text(first.value, true)));
        ASSERT_FALSE(again.error) << again.text();
        EXPECT_EQ(test::mold_text(again.value, true), test::mold_text(first.value, true));
        EXPECT_EQ(block::compare(first.value, again.value, CompareOp::strict_equal), 0);
    }
}

TEST_F(Lexer, ClassifiesTheCorpus) {
    for (const ScanCase& c : kScans) {
        SCOPED_TRACE(std::string(c.source));
        Outcome prescan = transcode(binary_of(c.source), {.prescan = true});
        ASSERT_FALSE(prescan.error) << prescan.text();
        EXPECT_EQ(type_name(prescan.value), c.prescan);
        Outcome scan = transcode(binary_of(c.source), {.scan = true});
        ASSERT_FALSE(scan.error) << scan.text();
        EXPECT_EQ(type_name(scan.value), c.scan);
    }
}

// ---- values ----

TEST_F(Lexer, DecodesStringEscapesAndPicksTheUnit) {
    struct Case {
        std::string_view source;
        std::u32string_view text;
        uint32_t unit;
    };
    const Case cases[] = {
        {"\"abc\"", U"abc", 1},
        {"\"^\"^-^/^@^~^^^{^}\"", U"\"\t\n\0\x7F^{}"sv, 1},
        {"\"^a^Z^[^_^1\"", U"\x01\x1A\x1B\x1F" "1", 1},
        {"\"^(41)^(tab)^(LINE)^(null)^(back)^(page)^(esc)^(del)\"", U"A\t\n\0\x08\x0C\x1B\x7F"sv, 1},
        {"\"^(FF)\"", U"\xFF", 1},
        {"\"^(100)\"", U"\x100", 2},
        {"\"^(1F600)\"", U"\U0001F600", 4},
        {"\"\xC3\xA9\"", U"\xE9", 2},
        {"\"\xF0\x9F\x98\x80\"", U"\U0001F600", 4},
        {"{a\r\nb^}}", U"a\r\nb}", 1},
        {"%{a^/}%", U"a^/", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source));
        Outcome o = load(c.source);
        ASSERT_FALSE(o.error) << o.text();
        Cell s = memory::buffer_of(o.value.data2)->cells()[0];
        ASSERT_TRUE(is(s, TypeId::string));
        SeriesBuffer* b = memory::buffer_of(s.data2);
        EXPECT_EQ(b->unit(), c.unit);
        std::u32string text;
        for (uint8_t* p = b->head; p < b->tail; p += b->unit()) text += char32_t(string::get_char(p, b->unit()));
        EXPECT_EQ(text, c.text);
    }
}

TEST_F(Lexer, MakesWordsBoundToTheGlobalContext) {
    Outcome o = load("lexer-probe lexer-probe: #lexer-issue");
    ASSERT_FALSE(o.error);
    const Cell* cells = memory::buffer_of(o.value.data2)->cells();
    EXPECT_EQ(cells[0].data1, context::global);
    EXPECT_NE(cells[0].data3, word::kNoIndex);
    EXPECT_EQ(cells[1].data3, cells[0].data3);  // one slot for both
    EXPECT_TRUE(is(cells[2], TypeId::issue));
    EXPECT_EQ(cells[2].data3, word::kNoIndex);  // an issue's position is looked up when needed
}

TEST_F(Lexer, SyntaxErrorArgumentsAreTheirOwnValues) {
    Outcome o = load("[\n\n1A");
    ASSERT_EQ(o.error, ErrorId::syntax_invalid);
    EXPECT_TRUE(is(error::field(o.raised, error::arg1), TypeId::string));
    EXPECT_EQ(utf8_of(error::field(o.raised, error::arg1)), "(line 3)");
    EXPECT_EQ(error::field(o.raised, error::arg2).data1, uint32_t(TypeId::integer));
    EXPECT_EQ(utf8_of(error::field(o.raised, error::arg3)), "1A");
}

// ---- transcode ----

TEST_F(Lexer, TranscodeRefinements) {
    EXPECT_EQ(test::mold_text(transcode(string_of("1 2"), {.one = true}).value), "1");
    EXPECT_TRUE(is(transcode(string_of(""), {.one = true}).value, TypeId::unset));
    EXPECT_EQ(test::mold_text(transcode(string_of("1 2"), {.next = true}).value), "[1 \" 2\"]");
    EXPECT_EQ(test::mold_text(transcode(string_of("; c\n [a] b"), {.next = true}).value), "[\n    [a] \" b\"\n]");
    // Positions count characters in a string, bytes in a binary.
    EXPECT_EQ(test::mold_text(transcode(string_of("\xC3\xA9 2"), {.next = true}).value), "[\xC3\xA9 \" 2\"]");
    Outcome bytes = transcode(binary_of("\xC3\xA9 2"), {.next = true});
    EXPECT_EQ(memory::buffer_of(bytes.value.data2)->cells()[1].data1, 2u);

    Cell part = cell::integer(2);
    EXPECT_EQ(test::mold_text(transcode(string_of("12 3"), {.part = &part}).value), "[12]");
    Cell negative = cell::integer(-5);
    EXPECT_EQ(test::mold_text(transcode(string_of("12 3"), {.part = &negative}).value), "[]");
    Cell source = string_of("xx 1 2 3");
    source.data1 = 2;
    Cell end = source;
    end.data1 = 6;
    EXPECT_EQ(test::mold_text(transcode(source, {.part = &end}).value), "[1 2]");
    Cell other = string_of("1");
    EXPECT_EQ(transcode(source, {.part = &other}).error, ErrorId::script_not_same_type);

    Cell into = transcode(string_of("x")).value;
    Outcome appended = transcode(string_of("1 2"), {.into = &into});
    EXPECT_EQ(test::mold_text(appended.value), "[x 1 2]");
    EXPECT_EQ(appended.value.data2, into.data2);

    // A byte-order mark is skipped, and counted in the position given back.
    Outcome bom = transcode(binary_of("\xEF\xBB\xBF" "1 2"), {.next = true});
    EXPECT_EQ(test::mold_text(memory::buffer_of(bom.value.data2)->cells()[0]), "1");
    EXPECT_EQ(memory::buffer_of(bom.value.data2)->cells()[1].data1, 4u);

    EXPECT_TRUE(is(transcode(string_of(""), {.prescan = true}).value, TypeId::none));
    EXPECT_EQ(transcode(cell::integer(1)).error, ErrorId::script_invalid_arg);
}

// ---- events ----

// Records every event as "event type line token", and answers as told.
class Recorder : public lexer::Callback {
public:
    explicit Recorder(uint32_t mask = lexer::event::all) : Callback(mask) {}
    std::vector<std::string> events;
    std::function<bool(Cell (&)[5])> answer;
    bool call(Cell (&args)[5]) override {
        std::string line = std::string(symbol::name(args[0].data2)) + " " + type_text(args[2]) + " " +
                           std::to_string(cell::get_integer(args[3])) + " ";
        if (is(args[4], TypeId::pair))
            line += std::to_string(args[4].data2) + "x" + std::to_string(args[4].data3);
        else
            line += test::mold_text(args[4]);
        line += " @" + std::to_string(args[1].data1);
        events.push_back(line);
        return answer ? answer(args) : true;
    }
    static std::string type_text(const Cell& type) {
        if (is(type, TypeId::datatype)) return std::string(registry::name_of(TypeId(type.data1)));
        return is(type, TypeId::none) ? "none" : test::mold_text(type);
    }
};

bool event_q(const Cell (&args)[5], const Cell& word) { return args[0].data2 == word.data2; }

TEST_F(Lexer, EventsOfALoad) {
    // The words the environment gives the token kinds without a datatype.
    lexer::kind_words = transcode(string_of(
        "end error block-open block-close paren-open paren-close brace-open brace-close map-open "
        "path construct comment comma")).value;
    Recorder r;
    Outcome o = transcode(binary_of("[a \"s\"] ;c\n{x\ny}"), {.callback = &r});
    ASSERT_FALSE(o.error) << o.text();
    EXPECT_EQ(test::mold_text(o.value, true), "[a \"s\"]\n\"x^/y\"");
    const std::vector<std::string> expected = {
        "prescan block-open 1 1x2 @0",   "open block! 1 1x2 @0",
        "prescan word! 1 2x3 @2",        "scan word! 1 2x3 @2",
        "load word! 1 a @2",             "prescan string! 1 4x7 @6",
        "scan string! 1 4x7 @6",         "load string! 1 \"s\" @6",
        "prescan block-close 1 7x8 @6",  "close block! 1 7x8 @7",
        "scan comment 1 9x11 @10",       "prescan brace-open 2 12x13 @11",
        "open string! 2 12x13 @11",      "close string! 3 12x17 @16",
        "scan string! 3 12x17 @16",      "load string! 3 \"x^/y\" @16",
    };
    EXPECT_EQ(r.events, expected);
}

TEST_F(Lexer, EventsOfAScan) {
    Recorder r;
    Outcome o = transcode(binary_of("(1, 2) %{a}% 1A"), {.scan = true, .callback = &r});
    ASSERT_FALSE(o.error);
    EXPECT_EQ(type_name(o.value), "error!");
    const std::vector<std::string> expected = {
        "prescan point2D! 1 1x7 @6", "scan point2D! 1 1x7 @6",   "prescan string! 1 8x13 @12",
        "open string! 1 8x10 @7",    "close string! 1 11x13 @12", "scan string! 1 8x13 @12",
        "prescan error! 1 14x15 @14", "error error! 1 14x15 @14",
    };
    EXPECT_EQ(r.events, expected);
}

TEST_F(Lexer, AMaskSelectsTheEvents) {
    Recorder r(lexer::event::load);
    transcode(binary_of("a [b]"), {.callback = &r});
    EXPECT_EQ(r.events, (std::vector<std::string>{"load word! 1 a @1", "load word! 1 b @4"}));
}

TEST_F(Lexer, ACallbackVetoesTokensAndValues) {
    Recorder skip_integers;
    skip_integers.answer = [](Cell (&args)[5]) {
        return !(event_q(args, words::prescan) && args[2].data1 == uint32_t(TypeId::integer));
    };
    EXPECT_EQ(test::mold_text(transcode(string_of("1 a 2 [3]"), {.callback = &skip_integers}).value), "[a []]");

    Recorder drop_words;
    drop_words.answer = [](Cell (&args)[5]) { return !(event_q(args, words::load) && is(args[4], TypeId::word)); };
    EXPECT_EQ(test::mold_text(transcode(string_of("1 a 2"), {.callback = &drop_words}).value), "[1 2]");

    Recorder not_loaded;
    not_loaded.answer = [](Cell (&args)[5]) { return !event_q(args, words::scan); };
    EXPECT_EQ(test::mold_text(transcode(string_of("1 a 2"), {.callback = &not_loaded}).value), "[]");
}

TEST_F(Lexer, ACallbackDecidesWhetherAnErrorIsRaised) {
    Recorder quiet;
    quiet.answer = [](Cell (&args)[5]) { return !event_q(args, words::error); };
    Outcome stopped = transcode(string_of("1 2 1A 3"), {.callback = &quiet});
    EXPECT_FALSE(stopped.error);
    EXPECT_TRUE(is(stopped.value, TypeId::none));
    EXPECT_EQ(quiet.events.back(), "error integer! 1 5x6 @5");

    Recorder loud;
    Outcome raised = transcode(string_of("[1 2"), {.callback = &loud});
    EXPECT_EQ(raised.error, ErrorId::syntax_missing);
    EXPECT_EQ(loud.events.back(), "error block! 1 1x5 @4");
}

TEST_F(Lexer, ACallbackMovesTheReadPosition) {
    // Back to the token's start: the token is read again.
    Recorder again;
    bool moved = false;
    again.answer = [&](Cell (&args)[5]) {
        if (event_q(args, words::scan) && !moved && args[4].data2 == 3) {
            moved = true;
            args[1].data1 = args[4].data2 - 1;
        }
        return true;
    };
    EXPECT_EQ(test::mold_text(transcode(string_of("a b c"), {.callback = &again}).value), "[a b b c]");

    // Forward, over a token.
    Recorder skip;
    skip.answer = [](Cell (&args)[5]) {
        if (event_q(args, words::load) && is(args[4], TypeId::word) && symbol::name(args[4].data2) == "a")
            args[1].data1 += 2;
        return true;
    };
    EXPECT_EQ(test::mold_text(transcode(string_of("a b c"), {.callback = &skip}).value), "[a c]");
}

// A position moved out of the input is taken as the nearest end of it.
TEST_F(Lexer, AMovedPositionIsClampedToTheInput) {
    Recorder past;
    past.answer = [](Cell (&args)[5]) {
        if (event_q(args, words::load)) args[1].data1 = 1'000'000;
        return true;
    };
    Cell source = string_of("xx a b c");
    source.data1 = 3;
    Outcome o = transcode(source, {.next = true, .callback = &past});
    ASSERT_FALSE(o.error);
    EXPECT_EQ(test::mold_text(o.value), "[a \"\"]");

    Recorder before;
    int moves = 0;
    before.answer = [&](Cell (&args)[5]) {
        if (event_q(args, words::load) && moves++ == 0) args[1].data1 = 0;
        return true;
    };
    EXPECT_EQ(test::mold_text(transcode(source, {.callback = &before}).value), "[a a b c]");

    Recorder bytes;
    bytes.answer = [](Cell (&args)[5]) {
        if (event_q(args, words::load)) args[1].data1 = 1'000'000;
        return true;
    };
    EXPECT_EQ(test::mold_text(transcode(binary_of("1 2"), {.callback = &bytes}).value), "[1]");
}

// A callback may load text itself: each scan keeps its own values and input.
TEST_F(Lexer, ScansNestInsideCallbacks) {
    Recorder outer;
    std::vector<std::string> inner_results;
    outer.answer = [&](Cell (&args)[5]) {
        if (event_q(args, words::load))
            inner_results.push_back(test::mold_text(lexer::load_text(string_of("[x \"y\"] z"))));
        return true;
    };
    Outcome o = transcode(string_of("1 \"two\" [3]"), {.callback = &outer});
    EXPECT_EQ(test::mold_text(o.value), "[1 \"two\" [3]]");
    EXPECT_EQ(inner_results.size(), 3u);
    for (const std::string& r : inner_results) EXPECT_EQ(r, "[[x \"y\"] z]");
}

// The collector is shown the values of every running scan, its source and its callback.
TEST_F(Lexer, RunningScansShowTheirCellsToTheCollector) {
    std::vector<Cell> seen;
    auto visit = [](const Cell& c, void* out) { static_cast<std::vector<Cell>*>(out)->push_back(c); };
    auto seen_q = [&](const Cell& c) {
        for (const Cell& s : seen)
            if (type_of(s) == type_of(c) && s.data2 == c.data2) return true;
        return false;
    };
    Cell source = string_of("\"one\" [\"two\"] three");
    Cell inner_source = string_of("\"four\"");
    Cell inner_string = cell::none();
    Recorder inner;
    inner.answer = [&](Cell (&args)[5]) {
        if (event_q(args, words::load)) {
            inner_string = args[4];
            seen.clear();
            lexer::for_each_live(visit, &seen);
        }
        return true;
    };
    Recorder outer;
    std::vector<Cell> loaded;
    outer.answer = [&](Cell (&args)[5]) {
        if (event_q(args, words::load)) {
            loaded.push_back(args[4]);
            if (loaded.size() == 2) transcode(inner_source, {.callback = &inner});
        }
        return true;
    };
    transcode(source, {.callback = &outer});
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_TRUE(seen_q(loaded[0]));         // "one", at the outer scan's top level
    EXPECT_TRUE(seen_q(loaded[1]));         // "two", inside its open block
    EXPECT_TRUE(seen_q(inner_string));      // "four", the inner scan's
    EXPECT_TRUE(seen_q(source));
    EXPECT_TRUE(seen_q(inner_source));
    seen.clear();
    lexer::for_each_live(visit, &seen);
    EXPECT_FALSE(seen_q(loaded[0]));        // no scan runs now
}

// A Kaz callback's events come from the block that begins its body; calling it is the
// interpreter's.
TEST_F(Lexer, KazCallbacks) {
    auto function_with_body = [](std::string_view body_text) {
        Cell body = transcode(string_of(body_text)).value;
        Node more = series::alloc_cells(5);
        SeriesBuffer* b = memory::buffer_of(more);
        b->cells()[0] = body;
        b->tail = b->head + 5 * sizeof(Cell);
        return cell::make(TypeId::function, 0, 0, more);
    };
    EXPECT_EQ(lexer::event_mask(function_with_body("[load scan] true")), lexer::event::load | lexer::event::scan);
    EXPECT_EQ(lexer::event_mask(function_with_body("[LOAD 1 \"x\" close] true")), lexer::event::load | lexer::event::close);
    EXPECT_EQ(lexer::event_mask(function_with_body("[foo] true")), 0u);
    EXPECT_EQ(lexer::event_mask(function_with_body("true [load]")), lexer::event::all);
    EXPECT_EQ(lexer::event_mask(function_with_body("")), lexer::event::all);

    // A Kaz callback hears the events it asks for, with their values.
    Cell heard = test::evaluate(lexer::load_text(string_of("heard: copy []")));
    Cell callback = test::evaluate(lexer::load_text(
        string_of("func [event input type line token] [[load] append heard reduce [event token] true]")));
    ASSERT_TRUE(is(callback, TypeId::function));
    EXPECT_EQ(test::mold_text(transcode(string_of("1 a"), {.trace = &callback}).value), "[1 a]");
    EXPECT_EQ(test::mold_text(heard), "[load 1 load a]");
    Cell not_a_function = cell::integer(1);
    EXPECT_EQ(transcode(string_of("1"), {.trace = &not_a_function}).error, ErrorId::script_invalid_arg);
}

TEST_F(Lexer, LoadsTextForTheLowerLayers) {
    ASSERT_NE(datatype_hooks.load_text, nullptr);
    EXPECT_EQ(test::mold_text(datatype_hooks.load_text(string_of("a [b]"))), "[a [b]]");
    EXPECT_EQ(lexer::scan_type(reinterpret_cast<const uint8_t*>("a: 1"), 4), int32_t(TypeId::set_word));
    EXPECT_EQ(lexer::scan_type(reinterpret_cast<const uint8_t*>("1A"), 2), -1);
}

}  // namespace
