// string!: molded text and its escapes, comparison, conversions, and every series action of
// the text types with its refinements, checked through the action functions.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/hooks.h"
#include "datatypes/char.h"
#include "datatypes/integer.h"
#include "datatypes/internal.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::binary;
using test::error_of;
using test::Outcome;
using test::str;
using test::trapped;
using test::unbound_word;
using test::utf8_of;

namespace {

// A string whose buffer has the given unit whatever its text.
Cell str_unit(std::string_view utf8, uint32_t unit) {
    Cell s = str(utf8);
    SeriesBuffer* b = string::widen_to(memory::buffer_of(s.data2), unit);
    EXPECT_EQ(b->unit(), unit);
    return s;
}

Cell block(std::initializer_list<Cell> cells) {
    Node n = series::alloc_cells(uint32_t(cells.size()));
    SeriesBuffer* b = memory::buffer_of(n);
    for (const Cell& c : cells) *series::reserve_cell(b) = c;
    return cell::make(TypeId::block, 0, n, 0);
}

Cell ch(uint32_t cp) { return char_::cell_of(cp); }
Cell at(Cell s, uint32_t index) {
    s.data1 = index;
    return s;
}

uint32_t unit_of(const Cell& s) { return memory::buffer_of(s.data2)->unit(); }

std::string molded(const Cell& v, bool all = false) { return test::mold_text(v, false, all); }

// A bitset! of the given code points (bits from the most significant bit of each byte).
Cell bitset(std::initializer_list<uint32_t> members, bool complement = false) {
    uint32_t top = 0;
    for (uint32_t m : members) top = std::max(top, m);
    uint32_t bytes = (top >> 3) + 1;
    Node n = series::alloc_bytes(bytes);
    SeriesBuffer* b = memory::buffer_of(n);
    std::memset(b->head, 0, bytes);
    for (uint32_t m : members) b->head[m >> 3] |= uint8_t(0x80 >> (m & 7));
    b->tail = b->head + bytes;
    if (complement) b->flags |= series_flag::complement;
    return cell::make(TypeId::bitset, 0, n, 0);
}

class String : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        integer::init();
        series_::init();
        string::init();
        char_::init();
        datatype_hooks.call_function = nullptr;
    }
    test::KeepHooks keep_hooks_;
};

// ---- mold and form ----

TEST_F(String, MoldsWithEscapesAndDelimiters) {
    struct Case {
        std::string in;
        bool all;
        std::string out;
    };
    const std::string fifty(50, 'x'), forty_nine(49, 'x');
    const Case kCases[] = {
        {"a\tb", false, "\"a^-b\""},
        {forty_nine, false, "\"" + forty_nine + "\""},
        {"a\nb\nc", false, "\"a^/b^/c\""},
        {"a\nb\nc\nd", false, "{a^/b^/c^/d}"},
        {"a\"b", false, "{a\"b}"},
        {"\"{a}", false, "{\"{a}}"},
        {"\"{a", false, "{\"^{a}"},
        {"a}\"", false, "{a^}\"}"},
        {"\"{a{b}", false, "{\"^{a^{b^}}"},
        {"{a}", false, "\"{a}\""},
        {"\"^", false, "{\"^^}"},
        {std::string("\x1E", 1), false, "\"^(1E)\""},
        {"\x7F", false, "\"^~\""},
        {"\xC2\x9F", false, "\"^(9F)\""},
        {"\xC2\x85", false, "\"^(85)\""},
        {"\xC2\xA0", false, "\"\xC2\xA0\""},
        {"\xC2\xA0", true, "\"^(A0)\""},
        {"\xC3\xA9", false, "\"\xC3\xA9\""},
        {"\xC3\xA9", true, "\"^(E9)\""},
        {"\xF0\x9F\x98\x80", true, "\"^(1F600)\""},
        {std::string("\0\x1B\x1F^", 4), false, "\"^@^[^_^^\""},
        {std::string("\x01\x08\x0B\x1D", 4), false, "\"^A^H^K^]\""},
        {"", false, "\"\""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(molded(str(c.in), c.all), c.out);
    }
    EXPECT_EQ(molded(str(fifty)), "{" + fifty + "}");
}

TEST_F(String, MoldChoosesBracesByTheTextFromTheHeadNotThePart) {
    EXPECT_EQ(molded(at(str(std::string(48, 'x') + "ab"), 48)), "\"ab\"");
    Cell out = string::make_cell(16);
    Cell part = cell::integer(2);
    string::mold(str(std::string(50, 'x')), out.data2, false, false, false, &part, 2, 0);
    EXPECT_EQ(utf8_of(out), "{xx}");
    EXPECT_EQ(molded(at(str("abc"), 7)), "\"\"");  // a head past the tail reads as the tail
}

TEST_F(String, MoldAndFormPartLimitsSubtractWhatIsWritten) {
    Cell out = string::make_cell(16);
    Cell part = cell::integer(3);
    int32_t left = string::mold(str("abcdef"), out.data2, false, false, false, &part, 3, 0);
    EXPECT_EQ(utf8_of(out), "\"abc\"");
    EXPECT_EQ(left, -2);

    Cell formed = string::make_cell(16);
    EXPECT_EQ(string::form(str("abcdef"), formed.data2, &part, 4), 0);
    EXPECT_EQ(utf8_of(formed), "abcd");
    EXPECT_EQ(string::form(str("xy"), formed.data2, nullptr, 10), 8);
    EXPECT_EQ(utf8_of(formed), "abcdxy");
    EXPECT_EQ(string::form(str("zz"), formed.data2, &part, -1), -1);
    EXPECT_EQ(utf8_of(formed), "abcdxy");
}

TEST_F(String, CharMoldsAndForms) {
    struct Case {
        uint32_t cp;
        bool all;
        const char* out;
    };
    const Case kCases[] = {
        {'a', false, "#\"a\""},       {'\t', false, "#\"^-\""},       {'\n', false, "#\"^/\""},
        {0, false, "#\"^@\""},        {'"', false, "#\"^\"\""},       {'^', false, "#\"^^\""},
        {0x7F, false, "#\"^~\""},     {0x1E, false, "#\"^(1E)\""},    {0x85, false, "#\"^(85)\""},
        {0xE9, false, "#\"\xC3\xA9\""}, {0xE9, true, "#\"^(E9)\""},   {0x1F600, true, "#\"^(1F600)\""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.cp);
        EXPECT_EQ(molded(ch(c.cp), c.all), c.out);
    }
    Cell out = string::make_cell(16);
    EXPECT_EQ(char_::mold(ch(0x1E), out.data2, false, false, false, nullptr, 10, 0), 2);  // #"^(1E)"
    EXPECT_EQ(char_::form(ch(0x20AC), out.data2, nullptr, 10), 9);
    EXPECT_EQ(utf8_of(out), "#\"^(1E)\"\xE2\x82\xAC");
}

TEST_F(String, HexTexts) {
    EXPECT_EQ(string::int_to_hex(0x1E, true).view(), "1E");
    EXPECT_EQ(string::int_to_hex(0x1F600, true).view(), "1F600");
    EXPECT_EQ(string::int_to_hex(0, true).view(), "00");
    EXPECT_EQ(string::int_to_hex(-2, true).view(), "E");
    EXPECT_EQ(string::int_to_hex(0x1E, false).view(), "0000001E");
    EXPECT_EQ(string::int_to_hex(-2, false).view(), "FFFFFFFE");
    EXPECT_EQ(string::byte_to_hex(0xA7).view(), "A7");
}

// ---- comparison ----

TEST_F(String, ComparesByCodePoint) {
    struct Case {
        Cell a, b;
        CompareOp op;
        int32_t result;
    };
    const Case kCases[] = {
        {str("Hello"), str("hELLO"), CompareOp::equal, 0},
        {str("Hello"), str("hELLO"), CompareOp::strict_equal, -1},
        {str("abc"), str("abcd"), CompareOp::lesser, -1},
        {str("abd"), str("abcd"), CompareOp::lesser, 1},
        {str("abc"), str("ab"), CompareOp::equal, 1},
        {str("abc"), str(""), CompareOp::lesser, 1},
        {str(""), str(""), CompareOp::lesser, 0},
        {str("a"), str("B"), CompareOp::sort, -1},
        {str("a"), str("B"), CompareOp::case_sort, 1},
        {str("abc", TypeId::file), str("abc"), CompareOp::equal, 0},
        {str("abc"), str("abc", TypeId::file), CompareOp::lesser, kNotComparable},
        {str("abc"), str("abc", TypeId::file), CompareOp::strict_equal, kNotComparable},
        {str("abc"), cell::integer(1), CompareOp::equal, kNotComparable},
        {str("\xC3\xA9t\xC3\xA9"), str_unit("\xC3\x89T\xC3\x89", 4), CompareOp::equal, 0},
        {str("a"), str("a"), CompareOp::same, -1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(c.op));
        EXPECT_EQ(string::compare(c.a, c.b, c.op), c.result);
    }
    Cell s = str("x");
    EXPECT_EQ(string::compare(s, s, CompareOp::same), 0);
}

TEST_F(String, PrefixComparisonAndParseHelpers) {
    EXPECT_EQ(string::compare_strings(str("abcdef"), str("ABC"), CompareOp::equal, true), 0);
    EXPECT_EQ(string::compare_strings(str("ab"), str("abc"), CompareOp::equal, true), 1);
    EXPECT_EQ(string::compare_strings(str("ab"), str(""), CompareOp::find, true), 1);
    EXPECT_EQ(string::compare_strings(str("ab"), str(""), CompareOp::equal, true), 0);

    EXPECT_TRUE(string::match_at_head(str("Hello"), str("he"), CompareOp::equal));
    EXPECT_FALSE(string::match_at_head(str("Hello"), str("he"), CompareOp::strict_equal));
    EXPECT_TRUE(string::match_at_head(str("Hello"), ch('h'), CompareOp::equal));
    EXPECT_FALSE(string::match_at_head(str("Hello"), ch('h'), CompareOp::strict_equal));
    EXPECT_TRUE(string::match_at_head(str("<b>x"), str("b", TypeId::tag), CompareOp::equal));
    EXPECT_FALSE(string::match_at_head(str("<bx"), str("b", TypeId::tag), CompareOp::equal));
    EXPECT_FALSE(string::match_at_head(str("x"), cell::integer(1), CompareOp::equal));

    Cell digits = bitset({'0', '1', '2'});
    EXPECT_TRUE(string::head_in_bitset_q(str("1x"), digits));
    EXPECT_FALSE(string::head_in_bitset_q(str("x1"), digits));
    EXPECT_FALSE(string::head_in_bitset_q(str("\xE2\x82\xAC"), digits));
    EXPECT_TRUE(string::head_in_bitset_q(str("\xE2\x82\xAC"), bitset({'a'}, true)));
}

// ---- buffer helpers ----

TEST_F(String, WideningThresholdsDifferForAppendingAndStoring) {
    Cell a = str("ab");
    string::add_code_point(memory::buffer_of(a.data2), 0xE9);
    EXPECT_EQ(unit_of(a), 2u);
    EXPECT_EQ(utf8_of(a), "ab\xC3\xA9");

    Cell p = str("ab");
    string::poke_char(memory::buffer_of(p.data2), 1, 0xE9);
    EXPECT_EQ(unit_of(p), 1u);
    EXPECT_EQ(utf8_of(p), "a\xC3\xA9");
    string::poke_char(memory::buffer_of(p.data2), 3, 0x1F600);
    EXPECT_EQ(unit_of(p), 4u);
    EXPECT_EQ(utf8_of(p), std::string("a\xC3\xA9\0\xF0\x9F\x98\x80", 8));

    Cell w = str("abc");
    string::write_char(memory::buffer_of(w.data2), memory::buffer_of(w.data2)->head + 2, 0x20AC);
    EXPECT_EQ(utf8_of(w), "ab\xE2\x82\xAC");

    Cell i = str("ac");
    string::insert_char(memory::buffer_of(i.data2), 1, 'b');
    EXPECT_EQ(utf8_of(i), "abc");
    EXPECT_EQ(string::find_char(at(i, 1), 'c'), 1);
    EXPECT_EQ(string::find_char(i, 'z'), -1);
    string::remove_units(i, 0, 2);
    EXPECT_EQ(utf8_of(i), "c");
}

TEST_F(String, ConcatenatesInEveryMode) {
    Cell d = at(str("abcd"), 1);
    string::concatenate(d, str("XY"), -1, 1, false, string::ConcatMode::insert);
    EXPECT_EQ(utf8_of(at(d, 0)), "abXYcd");
    string::concatenate(d, str("1234567"), 3, 4, false, string::ConcatMode::overwrite);
    EXPECT_EQ(utf8_of(at(d, 0)), "abXYc123");
    string::concatenate(d, str_unit("z", 2), -1, 0, false, string::ConcatMode::append);
    EXPECT_EQ(utf8_of(at(d, 0)), "abXYc123z");
    EXPECT_EQ(unit_of(d), 2u);  // the destination takes the source's unit

    Cell narrow = str("ab");
    string::concatenate(narrow, str_unit("cd", 4), -1, 0, true, string::ConcatMode::append);
    EXPECT_EQ(unit_of(narrow), 1u);  // copied code point by code point: no widening needed
    EXPECT_EQ(utf8_of(narrow), "abcd");

    Cell self = str("abc");
    string::concatenate(self, self, -1, 1, false, string::ConcatMode::insert);
    EXPECT_EQ(utf8_of(self), "aabcbc");
}

TEST_F(String, LoadsExternalText) {
    const uint8_t utf16[] = {'h', 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE};
    Cell s = string::load_encoded(utf16, sizeof utf16, cell::none(), -1);
    EXPECT_EQ(utf8_of(s), "h\xE2\x82\xAC\xF0\x9F\x98\x80");
    const uint8_t utf8[] = {0xEF, 0xBB, 0xBF, 'o', 'k'};
    EXPECT_EQ(utf8_of(string::load_encoded(utf8, sizeof utf8, cell::none(), 0)), "ok");
    Cell target = str("old text");
    string::load_encoded(utf8 + 3, 2, target, 0);
    EXPECT_EQ(utf8_of(target), "ok");
    EXPECT_EQ(error_of([&] { string::load_encoded(utf8, 5, cell::none(), 7); }),
              ErrorId::internal_feature_na);
}

// ---- make and to ----

TEST_F(String, MakesAndConverts) {
    Outcome o = trapped([] { return string::make(cell::none(), cell::integer(0), TypeId::string); });
    ASSERT_FALSE(o.error);
    EXPECT_EQ(utf8_of(o.value), "");
    EXPECT_EQ(trapped([] { return string::make(cell::none(), cell::integer(-1), TypeId::string); }).error,
              ErrorId::script_out_of_range);
    EXPECT_EQ(trapped([] { return string::make(cell::none(), cell::float_(5e9), TypeId::string); }).error,
              ErrorId::script_out_of_range);
    Cell f = string::make(cell::none(), cell::float_(40.7), TypeId::file);
    EXPECT_EQ(type_of(f), TypeId::file);
    EXPECT_GE(memory::buffer_of(f.data2)->capacity, 40u);

    Cell b = block({cell::integer(1), str("x"), ch('y')});
    Cell t = string::to(cell::none(), b, TypeId::string);
    EXPECT_EQ(utf8_of(t), "1xy");
    EXPECT_EQ(utf8_of(string::to(cell::none(), at(str("abcd"), 2), TypeId::url)), "cd");
    EXPECT_EQ(type_of(string::to(cell::none(), str("a"), TypeId::tag)), TypeId::tag);
    EXPECT_EQ(utf8_of(string::to(cell::none(), cell::integer(-42), TypeId::string)), "-42");
    EXPECT_EQ(utf8_of(string::to(cell::none(), ch(0x20AC), TypeId::string)), "\xE2\x82\xAC");
    EXPECT_EQ(trapped([] { return string::to(cell::none(), cell::none(), TypeId::file); }).error,
              ErrorId::script_bad_to_arg);

    EXPECT_EQ(utf8_of(string::to(cell::none(), binary({'a', 0xC3, 0xA9}), TypeId::string)), "a\xC3\xA9");
    Outcome bad =
        trapped([] { return string::to(cell::none(), binary({'a', 0xFF, 'b', 'c'}), TypeId::string); });
    ASSERT_EQ(bad.error, ErrorId::access_invalid_utf8);
    Cell rest = error::field(bad.raised, error::arg1);
    ASSERT_EQ(type_of(rest), TypeId::binary);
    EXPECT_EQ(memory::buffer_of(rest.data2)->used(), 3u);  // from the bad byte to the end
}

// ---- append, insert, change ----

TEST_F(String, AppendsInsertsAndChanges) {
    Cell r = string::append(str("ab"), block({cell::integer(1), str("x"), ch('y')}), -1, false, 1, true);
    EXPECT_EQ(utf8_of(r), "ab1xy");
    EXPECT_EQ(utf8_of(string::append(str(""), block({str("abc"), str("def")}), 4, false, 1, true)), "abcd");
    EXPECT_EQ(utf8_of(string::append(str(""), str("ab"), -1, false, 3, true)), "ababab");
    EXPECT_EQ(utf8_of(string::append(str("x"), str("a", TypeId::tag), -1, false, 1, true)), "x<a>");
    EXPECT_EQ(utf8_of(string::append(str("x"), str("abc", TypeId::tag), 2, false, 1, true)), "x<a");
    EXPECT_EQ(utf8_of(string::append(str("x"), cell::integer(12345), 2, false, 1, true)), "x12");
    r = string::append(at(str("ab"), 1), ch(0x1F600), -1, false, 2, true);
    EXPECT_EQ(r.data1, 0u);
    EXPECT_EQ(utf8_of(r), "ab\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
    EXPECT_EQ(unit_of(r), 4u);

    Cell s = str("abef");
    Cell i = string::insert(at(s, 2), str("cd"), -1, false, 1, false);
    EXPECT_EQ(i.data1, 4u);
    EXPECT_EQ(utf8_of(at(s, 0)), "abcdef");
    i = string::insert(at(s, 0), str("xyz"), 2, false, 2, false);
    EXPECT_EQ(i.data1, 4u);
    EXPECT_EQ(utf8_of(at(s, 0)), "xyxyabcdef");

    Cell c = str("abcdef");
    Cell after = string::change(at(c, 1), str("XY"), -1, false, 1, false);
    EXPECT_EQ(utf8_of(at(c, 0)), "aXYdef");
    EXPECT_EQ(after.data1, 3u);
    after = string::change(at(c, 1), str("Q"), 3, false, 1, false);  // /part: the range replaced
    EXPECT_EQ(utf8_of(at(c, 0)), "aQef");
    EXPECT_EQ(after.data1, 2u);
    after = string::change(at(c, 3), str("123"), -1, false, 1, false);
    EXPECT_EQ(utf8_of(at(c, 0)), "aQe123");
    EXPECT_EQ(after.data1, 6u);
    after = string::change(at(c, 6), ch('!'), -1, false, 1, false);  // at the tail: appends
    EXPECT_EQ(utf8_of(at(c, 0)), "aQe123!");
    EXPECT_EQ(after.data1, 7u);
}

TEST_F(String, InsertsAStringIntoItself) {
    Cell s = str("abc");
    string::insert(at(s, 1), s, -1, false, 2, false);
    EXPECT_EQ(utf8_of(s), "aabcabcbc");
    Cell c = str("abcd");
    string::change(at(c, 2), c, -1, false, 1, false);
    EXPECT_EQ(utf8_of(c), "ababcd");
}

// ---- find and select ----

TEST_F(String, FindsWithEveryRefinement) {
    struct Case {
        const char* series;
        uint32_t head;
        Cell value;
        FindOptions o;
        int32_t index;  // 1-based result, 0 for none
    };
    Cell two = cell::integer(2), zero_skip = cell::integer(2), three = cell::integer(3);
    FindOptions last, tail, case_, match, match_tail, skip2, reverse, part3, last_tail, reverse_part;
    last.last = true;
    tail.tail = true;
    case_.case_ = true;
    match.match = true;
    match_tail.match = match_tail.tail = true;
    skip2.skip = &zero_skip;
    reverse.reverse = true;
    part3.part = &three;
    last_tail.last = last_tail.tail = true;
    reverse_part.reverse = true;
    reverse_part.part = &two;
    const Case kCases[] = {
        {"abcabc", 0, str("bc"), {}, 2},
        {"abcabc", 0, str("bc"), last, 5},
        {"abcabc", 0, str("bc"), tail, 4},
        {"abcabc", 0, str("bc"), last_tail, 7},
        {"abc", 0, ch('B'), {}, 2},
        {"abc", 0, ch('B'), case_, 0},
        {"abc", 0, str("ab"), match, 1},
        {"abc", 0, str("ab"), match_tail, 3},
        {"abc", 0, str("b"), match, 0},
        {"aXbXcX", 0, ch('X'), skip2, 0},
        {"XaXbXc", 0, ch('X'), skip2, 1},
        {"abcabc", 6, str("bc"), reverse, 5},
        {"abcabc", 4, str("bc"), reverse, 2},
        {"abcabc", 0, str("bc"), reverse, 0},
        {"abcabc", 6, ch('a'), reverse_part, 0},
        {"abcabc", 6, ch('b'), reverse_part, 5},
        {"abcabc", 0, str("cab"), part3, 0},
        {"abcabc", 0, str("ca"), part3, 0},
        {"abcab", 1, ch('c'), part3, 3},
        {"abc", 3, ch('a'), {}, 0},
        {"a12b", 0, cell::integer(12), {}, 2},
        {"\xC3\xA9t\xC3\xA9", 0, str("\xC3\x89T"), {}, 1},
        {"x9y", 0, bitset({'0', '9'}), tail, 3},
        {"abc", 0, str(""), {}, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.series) + " at " + std::to_string(c.head) + " -> " +
                     std::to_string(c.index));
        Cell r = string::find(at(str(c.series), c.head), c.value, c.o);
        if (c.index == 0) {
            EXPECT_EQ(type_of(r), TypeId::none);
        } else {
            ASSERT_EQ(type_of(r), TypeId::string);
            EXPECT_EQ(int32_t(r.data1) + 1, c.index);
        }
    }
}

TEST_F(String, FindErrors) {
    Cell zero = cell::integer(0);
    FindOptions skip0;
    skip0.skip = &zero;
    EXPECT_EQ(error_of([&] { string::find(str("abc"), ch('a'), skip0); }), ErrorId::script_out_of_range);
    FindOptions any;
    any.any = true;
    EXPECT_EQ(error_of([&] { string::find(str("abc"), ch('a'), any); }), ErrorId::internal_not_done);
    Cell other = str("abc");
    FindOptions part;
    part.part = &other;
    EXPECT_EQ(error_of([&] { string::find(str("abc"), ch('a'), part); }), ErrorId::script_invalid_refine_arg);
    EXPECT_EQ(error_of([&] { string::find(str("abc"), binary({'a'}), {}); }), ErrorId::script_invalid_arg);

    Cell s = str("abcdef");
    Cell end = at(s, 3);
    part.part = &end;
    EXPECT_EQ(type_of(string::find(s, ch('d'), part)), TypeId::none);
    EXPECT_EQ(string::find(s, ch('c'), part).data1, 2u);
}

TEST_F(String, SelectsTheCodePointAfterTheMatch) {
    EXPECT_EQ(string::select(str("a=1"), ch('='), {}).data2, uint32_t('1'));
    EXPECT_EQ(type_of(string::select(str("abc"), ch('c'), {})), TypeId::none);
    EXPECT_EQ(string::select(str("key: value"), str("KEY:"), {}).data2, uint32_t(' '));
    EXPECT_EQ(string::select(str("a12b"), cell::integer(12), {}).data2, uint32_t('b'));
    Cell r = string::select(binary({1, 2, 3}), cell::integer(2), {});
    EXPECT_EQ(type_of(r), TypeId::integer);
    EXPECT_EQ(cell::get_integer(r), 3);
}

// ---- sort ----

TEST_F(String, SortsByUnitWithCaseRules) {
    struct Case {
        std::string in;
        uint32_t unit;
        bool case_, reverse;
        const char* out;
    };
    const Case kCases[] = {
        {"bCa_", 1, false, false, "_abC"},
        {"bCa_", 2, false, false, "abC_"},
        {"bCa_", 1, true, false, "C_ab"},
        {"adcb", 1, false, true, "dcba"},
        {"b\xC3\x89" "a", 2, false, false, "ab\xC3\x89"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.in);
        Cell s = str_unit(c.in, c.unit);
        SortOptions o;
        o.case_ = c.case_;
        o.reverse = c.reverse;
        string::sort(s, o);
        EXPECT_EQ(utf8_of(s), c.out);
    }
}

TEST_F(String, SortsRecordsAndParts) {
    Cell two = cell::integer(2);
    SortOptions skip;
    skip.skip = &two;
    Cell s = str("c1a3b2");
    string::sort(s, skip);
    EXPECT_EQ(utf8_of(s), "a3b2c1");

    SortOptions by_second = skip;
    by_second.compare = &two;
    string::sort(s, by_second);
    EXPECT_EQ(utf8_of(s), "c1b2a3");

    Cell recs = str("b2a9a1");
    SortOptions all = skip;
    all.all = true;
    string::sort(recs, all);
    EXPECT_EQ(utf8_of(recs), "a1a9b2");

    Cell three = cell::integer(3);
    SortOptions part;
    part.part = &three;
    Cell p = str("zyxcba");
    string::sort(p, part);
    EXPECT_EQ(utf8_of(p), "xyzcba");

    Cell minus = cell::integer(-2);
    part.part = &minus;
    Cell q = at(str("dcba"), 2);
    Cell r = string::sort(q, part);
    EXPECT_EQ(r.data1, 0u);
    EXPECT_EQ(utf8_of(at(q, 0)), "cdba");

    SortOptions stable;
    stable.stable = true;
    Cell m = str("bBaAbB");
    string::sort(m, stable);
    EXPECT_EQ(utf8_of(m), "aAbBbB");
}

TEST_F(String, SortErrors) {
    Cell three = cell::integer(3), zero = cell::integer(0), two = cell::integer(2);
    SortOptions o;
    o.skip = &three;
    EXPECT_EQ(error_of([&] { string::sort(str("abcd"), o); }), ErrorId::script_invalid_refine_arg);
    o.skip = &zero;
    EXPECT_EQ(error_of([&] { string::sort(str("abcd"), o); }), ErrorId::script_invalid_refine_arg);
    SortOptions all;
    all.all = true;
    EXPECT_EQ(error_of([&] { string::sort(str("abcd"), all); }), ErrorId::script_bad_refines);
    SortOptions offset;
    offset.compare = &two;
    EXPECT_EQ(error_of([&] { string::sort(str("abcd"), offset); }), ErrorId::script_bad_refines);
    offset.skip = &two;
    offset.compare = &three;
    EXPECT_EQ(error_of([&] { string::sort(str("abcd"), offset); }), ErrorId::script_out_of_range);
}

// A stand-in for the evaluator: the "function" cell's data1 says how it answers.
enum class Answer : uint32_t { less_logic, difference_integer, widen_series };
Cell series_to_widen{};

Cell fake_call(const Cell& fn, const Cell* args, int count) {
    EXPECT_EQ(count, 2);
    auto x = int32_t(args[0].data2), y = int32_t(args[1].data2);
    switch (Answer(fn.data1)) {
        case Answer::less_logic:
            return cell::logic(x < y);
        case Answer::difference_integer:
            return cell::integer(x - y);
        case Answer::widen_series:
            // A comparator that changes the series being sorted.
            string::append(series_to_widen, ch(0x1F600), -1, false, 1, true);
            return cell::logic(x < y);
    }
    return cell::none();
}

TEST_F(String, SortsWithACompareFunction) {
    datatype_hooks.call_function = fake_call;
    Cell fn = cell::make(TypeId::function, uint32_t(Answer::less_logic));
    SortOptions o;
    o.compare = &fn;
    Cell s = str("dbca");
    string::sort(s, o);
    EXPECT_EQ(utf8_of(s), "abcd");  // true puts the function's first argument first
    o.reverse = true;
    string::sort(s, o);
    EXPECT_EQ(utf8_of(s), "dcba");

    fn.data1 = uint32_t(Answer::difference_integer);
    SortOptions by_number;
    by_number.compare = &fn;
    by_number.stable = true;
    string::sort(s = str("acbd"), by_number);
    EXPECT_EQ(utf8_of(s), "dcba");  // a positive number also puts the first argument first

    fn.data1 = uint32_t(Answer::widen_series);
    series_to_widen = str("qwertyuiop");
    SortOptions changing;
    changing.compare = &fn;
    string::sort(series_to_widen, changing);
    EXPECT_EQ(unit_of(series_to_widen), 4u);
    std::string t = utf8_of(series_to_widen);
    EXPECT_EQ(t.substr(0, 10), "eiopqrtuwy");

    datatype_hooks.call_function = nullptr;
    EXPECT_EQ(error_of([&] { string::sort(str("ba"), o); }), ErrorId::internal_not_done);
}

// ---- swap, take, trim ----

TEST_F(String, SwapsHeadsWideningEitherSide) {
    Cell a = at(str("abc"), 1), b = str("\xE2\x82\xACz");
    string::swap(a, b);
    EXPECT_EQ(utf8_of(at(a, 0)), "a\xE2\x82\xAC" "c");
    EXPECT_EQ(utf8_of(b), "bz");
    EXPECT_EQ(error_of([&] { string::swap(a, cell::integer(1)); }), ErrorId::script_invalid_arg);
    Cell empty = str("");
    string::swap(a, empty);
    EXPECT_EQ(utf8_of(at(a, 0)), "a\xE2\x82\xAC" "c");
}

TEST_F(String, TakesACharWithoutPart) {
    Cell s = str("abc");
    Cell t = string::take(s, nullptr, false, false);
    EXPECT_EQ(type_of(t), TypeId::char_);
    EXPECT_EQ(t.data2, uint32_t('a'));
    Cell one = cell::integer(1);
    t = string::take(s, &one, false, false);
    EXPECT_EQ(type_of(t), TypeId::string);
    EXPECT_EQ(utf8_of(t), "b");
    t = string::take(s, nullptr, false, true);
    EXPECT_EQ(t.data2, uint32_t('c'));
    EXPECT_EQ(type_of(string::take(s, nullptr, false, false)), TypeId::none);
    EXPECT_EQ(type_of(string::take(binary({7}), nullptr, false, false)), TypeId::integer);
}

TEST_F(String, Trims) {
    const std::string sample = "  a  b  \n  c  \n\n";
    struct Case {
        std::string in;
        TrimOptions o;
        std::string out;
    };
    TrimOptions head, tail, lines, all, both;
    head.head = true;
    tail.tail = true;
    lines.lines = true;
    all.all = true;
    both.head = both.tail = true;
    Cell x = ch('x'), xs = str("xy");
    TrimOptions with_char, with_string;
    with_char.with = &x;
    with_string.with = &xs;
    const Case kCases[] = {
        {sample, {}, "a  b\nc\n"},
        {sample, tail, "  a  b  \n  c"},
        {sample, head, "a  b  \n  c  \n\n"},
        {sample, both, "a  b  \n  c"},
        {sample, lines, "a b c"},
        {" a\tb\r\nc ", all, "abc"},
        {"xaxbx", with_char, "ab"},
        {"xaybz", with_string, "abz"},
        {"\xE3\x80\x80" "a\xC2\xA0\n\xC2\xA0" "b", {}, "a\nb"},
        {std::string("\0a", 2), {}, std::string("\0a", 2)},
        {"   ", {}, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.in);
        Cell s = str(c.in);
        string::trim(s, c.o);
        EXPECT_EQ(utf8_of(s), c.out);
    }
    TrimOptions auto_;
    auto_.auto_ = true;
    EXPECT_EQ(error_of([&] {
                  Cell s = str("a");
                  string::trim(s, auto_);
              }),
              ErrorId::internal_not_done);
}

// ---- set operations ----

TEST_F(String, SetOperations) {
    struct Case {
        const char* a;
        const char* b;
        MathOp op;
        bool case_;
        int32_t skip;
        const char* out;
    };
    const Case kCases[] = {
        {"abcabd", "", MathOp::unique, false, 0, "abcd"},
        {"aAbB", "", MathOp::unique, false, 0, "ab"},
        {"aAbB", "", MathOp::unique, true, 0, "aAbB"},
        {"abc", "bcd", MathOp::union_, false, 0, "abcd"},
        {"abc", "BCD", MathOp::intersect, false, 0, "bc"},
        {"abc", "BCD", MathOp::intersect, true, 0, ""},
        {"abcd", "bd", MathOp::exclude, false, 0, "ac"},
        {"abc", "bcd", MathOp::difference, false, 0, "ad"},
        {"a1b2a3", "", MathOp::unique, false, 2, "a1b2"},
        {"a1b2", "b9c3", MathOp::union_, false, 2, "a1b2c3"},
        {"a1b2", "b1", MathOp::intersect, false, 2, "b2"},
        {"a1b2", "1b", MathOp::intersect, false, 2, ""},  // keys are the first of each record
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.a) + " " + c.b);
        Cell skip = cell::integer(c.skip);
        Cell b = str(c.b);
        Cell r = string::set_operation(str(c.a), &b, c.op, c.case_, c.skip ? &skip : nullptr);
        EXPECT_EQ(utf8_of(r), c.out);
        EXPECT_EQ(r.data1, 0u);
    }
    Cell f = str("aab", TypeId::file);
    EXPECT_EQ(type_of(string::set_operation(f, nullptr, MathOp::unique, false, nullptr)), TypeId::file);
    Cell zero = cell::integer(0);
    EXPECT_EQ(error_of([&] { string::set_operation(f, nullptr, MathOp::unique, false, &zero); }),
              ErrorId::script_invalid_refine_arg);
}

// ---- paths ----

TEST_F(String, EvaluatesPaths) {
    Cell s = str("a=1");
    EXPECT_EQ(string::eval_path(s, cell::integer(3), nullptr, {}).data2, uint32_t('1'));
    EXPECT_EQ(type_of(string::eval_path(s, cell::integer(9), nullptr, {})), TypeId::none);
    EXPECT_EQ(string::eval_path(s, ch('='), nullptr, {}).data2, uint32_t('1'));
    Cell two = ch('2');
    string::eval_path(s, ch('='), &two, {});
    EXPECT_EQ(utf8_of(s), "a=2");
    Cell z = ch('z');
    string::eval_path(s, cell::integer(1), &z, {});
    EXPECT_EQ(utf8_of(s), "z=2");
    EXPECT_EQ(error_of([&] { string::eval_path(s, unbound_word(), nullptr, {}); }), ErrorId::script_invalid_path);
    EXPECT_EQ(error_of([&] { string::eval_path(s, ch('#'), &z, {}); }), ErrorId::script_bad_path_set);
}

TEST_F(String, ScansFloatsAndFormsRefinements) {
    int32_t error = 0;
    EXPECT_EQ(string::scan_float("1.5e2", 5, error), 150.0);
    EXPECT_EQ(error, 0);
    string::scan_float("1.2.3", 5, error);
    EXPECT_EQ(error, -1);
    EXPECT_EQ(utf8_of(string::to(cell::none(), words::part_refinement, TypeId::string)), "part");
    EXPECT_EQ(utf8_of(string::to(cell::none(), words::part_refinement, TypeId::file)), "/part");
}

// vector! inherits the searching and sorting of string!: its elements are numbers.
TEST_F(String, SearchesAndSortsVectorElements) {
    Node n = series::alloc_units(3, 4);
    SeriesBuffer* b = memory::buffer_of(n);
    const int32_t values[] = {5, -3, -1};
    std::memcpy(b->head, values, sizeof values);
    b->tail = b->head + sizeof values;
    Cell v = cell::make(TypeId::vector, 0, n, uint32_t(TypeId::integer));
    Cell found = string::find(v, cell::integer(-3), {});
    ASSERT_EQ(type_of(found), TypeId::vector);
    EXPECT_EQ(found.data1, 1u);
    Cell next = string::select(v, cell::integer(-3), {});
    EXPECT_EQ(type_of(next), TypeId::integer);
    EXPECT_EQ(cell::get_integer(next), -1);
    EXPECT_EQ(type_of(string::find(v, str("5"), {})), TypeId::none);
    string::sort(v, {});
    int32_t sorted[3];
    std::memcpy(sorted, memory::buffer_of(n)->head, sizeof sorted);
    EXPECT_EQ(sorted[0], -3);
    EXPECT_EQ(sorted[1], -1);
    EXPECT_EQ(sorted[2], 5);
}

// ---- owner notification ----


TEST_F(String, TellsTheOwnerBeforeAndAfterEachChange) {
    test::DeepChangeRecorder recorder;
    auto& notices = test::DeepChangeRecorder::notices;
    const Cell owner = recorder.owner();
    struct Case {
        const char* name;
        void (*change)(Cell& s);
        const Cell* before;
        const Cell* after;
        int32_t index, part;
    };
    const Case kCases[] = {
        {"append", [](Cell& s) { string::append(s, str("de"), -1, false, 1, true); }, &words::append,
         &words::appended, 4, 2},
        {"insert", [](Cell& s) { string::insert(at(s, 1), str("de"), -1, false, 1, false); }, &gwords::insert,
         &words::inserted, 1, 2},
        {"change", [](Cell& s) { string::change(at(s, 1), ch('x'), -1, false, 1, false); }, &words::change,
         &words::changed, 1, 1},
        {"sort", [](Cell& s) { string::sort(s, {}); }, &words::sort, &words::sorted, 0, 4},
        {"swap", [](Cell& s) { string::swap(s, str("z")); }, &words::swap, &words::swaped, 0, 1},
        {"trim", [](Cell& s) { string::trim(s, {}); }, &words::trim, &words::trimmed, 0, 4},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell s = str("dcba");
        ownership::set_deep(s, owner, unbound_word());
        notices.clear();
        c.change(s);
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_EQ(notices[0].action, c.before->data2);
        EXPECT_EQ(notices[1].action, c.after->data2);
        EXPECT_EQ(notices[0].index, c.index);
        EXPECT_EQ(notices[0].part, c.part);
        ownership::unset_deep(s);
    }
    notices.clear();
    string::append(str("free"), str("x"), -1, false, 1, true);  // an unowned string tells no one
    EXPECT_TRUE(notices.empty());
}

}  // namespace
