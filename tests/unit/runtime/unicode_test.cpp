#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"
#include "runtime/width.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::trap;

namespace {

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string binary_text(const Cell& c) {
    if (!is(c, TypeId::binary)) return "not a binary!";
    SeriesBuffer* b = memory::buffer_of(c.data2);
    return std::string(reinterpret_cast<const char*>(b->head), b->used());
}

std::u32string chars_of(Node node) {
    SeriesBuffer* b = memory::buffer_of(node);
    std::u32string out;
    for (uint8_t* p = b->head; p < b->tail; p += b->unit()) out += char32_t(string::get_char(p, b->unit()));
    return out;
}

Cell string_cell(Node node, uint32_t head = 0) { return cell::make(TypeId::string, head, node, 0); }

// A string of the given code points at the given unit.
Cell make_string(std::u32string_view text, uint32_t unit) {
    Node n = series::alloc_units(uint32_t(text.size()), unit);
    SeriesBuffer* b = memory::buffer_of(n);
    for (char32_t c : text) string::put_char(b->tail, unit, c), b->tail += unit;
    return string_cell(n);
}

Node load(std::string_view utf8) { return string::load_utf8(bytes_of(utf8), uint32_t(utf8.size())); }

// UTF-16LE bytes of the given units.
std::string le16(std::u16string_view units) {
    std::string out;
    for (char16_t u : units) out += char(u & 0xFF), out += char(u >> 8);
    return out;
}

std::u16string wide(const uint16_t* p, int32_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(p), size_t(length));
}

}  // namespace

// ---- single code points ----

struct Utf8Case {
    uint32_t cp;
    std::string_view bytes;
};
constexpr Utf8Case kUtf8[] = {
    {0x0000, {"\0", 1}}, {'A', "A"}, {0x7F, "\x7F"},                      // 1 byte
    {0x80, "\xC2\x80"}, {0xE9, "\xC3\xA9"}, {0x7FF, "\xDF\xBF"},           // 2 bytes
    {0x800, "\xE0\xA0\x80"}, {0x20AC, "\xE2\x82\xAC"}, {0xFFFF, "\xEF\xBF\xBF"},  // 3 bytes
    {0x10000, "\xF0\x90\x80\x80"}, {0x1F600, "\xF0\x9F\x98\x80"}, {0x10FFFF, "\xF4\x8F\xBF\xBF"},
};

TEST(Utf8, EncodesAndDecodesEachLengthClass) {
    for (auto [cp, bytes] : kUtf8) {
        SCOPED_TRACE(cp);
        uint8_t out[4];
        ASSERT_EQ(utf8::encode_char(cp, out), bytes.size());
        EXPECT_EQ(std::string_view(reinterpret_cast<char*>(out), bytes.size()), bytes);
        EXPECT_EQ(utf8::char_size(cp), bytes.size());
        EXPECT_EQ(utf8::lead_length(uint8_t(bytes[0])), bytes.size() == 1 ? 0u : bytes.size());

        uint32_t used = uint32_t(bytes.size());
        EXPECT_EQ(utf8::decode_char_checked(bytes_of(bytes), used), int32_t(cp));
        EXPECT_EQ(used, bytes.size());

        int32_t lenient;
        const uint8_t* end = bytes_of(bytes) + bytes.size();
        EXPECT_EQ(utf8::decode_char(bytes_of(bytes), end, lenient), end);
        EXPECT_EQ(lenient, int32_t(cp));
    }
}

TEST(Utf8, StrictDecoderRefusesInvalidFormsWithTheirBytes) {
    struct Case { std::string_view input, offending; };
    const Case kCases[] = {
        {"\x80", "\x80"}, {"\xBF\x41", "\xBF"},                       // continuation as lead
        {"\xC0\x80", "\xC0"}, {"\xC1\xBF", "\xC1"},                   // overlong two-byte leads
        {"\xE0\x80\x80", "\xE0\x80\x80"},                             // overlong U+0000
        {"\xE0\x9F\xBF", "\xE0\x9F\xBF"},                             // overlong U+07FF
        {"\xF0\x8F\xBF\xBF", "\xF0\x8F\xBF\xBF"},                     // overlong U+FFFF
        {"\xED\xB0\x80", "\xED\xB0\x80"}, {"\xED\xB3\xBF", "\xED\xB3\xBF"},  // U+DC00, U+DCFF
        {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},                     // U+110000
        {"\xF7\xBF\xBF\xBF", "\xF7\xBF\xBF\xBF"},
        {"\xF8\x88\x80\x80\x80", "\xF8"}, {"\xFF", "\xFF"},
        {"\xC3\x41", "\xC3\x41"}, {"\xE2\x82\x41", "\xE2\x82\x41"},   // bad continuation
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
        // The terminating NUL counts as available, so a short sequence meets a bad byte.
        uint32_t available = uint32_t(c.input.size() + 1);
        Cell e = trap([&] { utf8::decode_char_checked(bytes_of(c.input), available); });
        ASSERT_TRUE(is(e, TypeId::error));
        EXPECT_EQ(error::id_of(e), ErrorId::access_invalid_utf8);
        EXPECT_EQ(error::code_of(ErrorId::access_invalid_utf8), 502);  // catalog position 4
        EXPECT_EQ(binary_text(error::field(e, error::arg1)), c.offending);
    }
}

TEST(Utf8, StrictDecoderKeepsSurrogatesOutsideTheRefusedBlock) {
    struct Case { std::string_view bytes; int32_t cp; };
    const Case kCases[] = {{"\xED\xA0\x80", 0xD800}, {"\xED\xAF\xBF", 0xDBFF}, {"\xED\xB4\x80", 0xDD00}};
    for (auto [bytes, cp] : kCases) {
        uint32_t used = 3;
        EXPECT_EQ(utf8::decode_char_checked(bytes_of(bytes), used), cp);
        EXPECT_EQ(used, 3u);
    }
}

TEST(Utf8, StrictDecoderReportsCutSequences) {
    struct Case { std::string_view bytes; uint32_t available; };
    const Case kCases[] = {{"\xC3", 1}, {"\xE2\x82", 2}, {"\xF0\x9F\x98", 3}, {"\xF0", 1}, {"", 0}};
    for (auto [bytes, available] : kCases) {
        uint32_t n = available;
        EXPECT_EQ(utf8::decode_char_checked(bytes_of(bytes), n), -1);
        EXPECT_EQ(n, 0u);
    }
}

TEST(Utf8, LenientDecoderStaysInsideItsInput) {
    struct Case { std::string_view input; std::vector<int32_t> cps; };
    const Case kCases[] = {
        {"a\xC3\xA9\xE2\x82\xAC", {'a', 0xE9, 0x20AC}},
        {"\xC3\x41", {-1, 'A'}},              // the byte that broke the sequence is read again
        {"\xED\xA0\x80", {-1, -1, -1}},       // surrogates are refused here
        {"\xC0\xAF", {-1, -1}},               // overlong
        {"\xF4\x90\x80\x80", {-1, -1, -1, -1}},
        {"x\xE2\x82", {'x', -1}},             // cut by the end: one refusal, no read past it
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.input)));
        // An exact-size copy, so that a read past the end is caught by the sanitizer build.
        std::vector<uint8_t> input(c.input.begin(), c.input.end());
        const uint8_t* p = input.data();
        const uint8_t* end = p + input.size();
        std::vector<int32_t> got;
        while (p < end) {
            int32_t cp;
            const uint8_t* next = utf8::decode_char(p, end, cp);
            ASSERT_GT(next, p);
            ASSERT_LE(next, end);
            got.push_back(cp);
            p = next;
        }
        EXPECT_EQ(got, c.cps);
    }
}

TEST(Utf8, CountsAndSkipsCodePoints) {
    std::string_view text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const uint8_t* p = bytes_of(text);
    const uint8_t* end = p + text.size();
    EXPECT_EQ(utf8::count_chars(p, end), 5u);
    EXPECT_EQ(utf8::skip_chars(p, end, 2), p + 3);
    EXPECT_EQ(utf8::skip_chars(p, end, 4), p + 10);
    EXPECT_EQ(utf8::skip_chars(p, end, 99), end);
    // A sequence cut by the end counts once and is skipped only to the end.
    EXPECT_EQ(utf8::count_chars(p, p + 8), 4u);
    EXPECT_EQ(utf8::skip_chars(p + 6, p + 8, 1), p + 8);
    EXPECT_EQ(utf8::count_chars(p, p), 0u);
}

TEST(Utf8, BoundedEncodingWritesWholeSequencesOnly) {
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(utf8::encode_char_bounded(0x20AC, out, 2), 0u);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(utf8::encode_char_bounded(0x20AC, out, 3), 3u);
    EXPECT_EQ(utf8::encode_char_bounded('a', out, 0), 0u);
    EXPECT_EQ(utf8::encode_char_bounded(0x1F600, out, 4), 4u);
}

TEST(Utf8, CodePointsAboveTheRangeRaiseScriptInvalidChar) {
    Cell string = make_string(U"a", 4);
    string::put_char(memory::buffer_of(string.data2)->head, 4, 0x110000);
    auto check = [](const Cell& e) {
        ASSERT_TRUE(is(e, TypeId::error));
        EXPECT_EQ(error::id_of(e), ErrorId::script_invalid_char);
        EXPECT_EQ(error::code_of(ErrorId::script_invalid_char), 360);  // catalog position 62
        EXPECT_EQ(cell::get_integer(error::field(e, error::arg1)), 0x110000);
    };
    uint8_t out[4];
    uint16_t units[2];
    check(trap([&] { utf8::encode_char(0x110000, out); }));
    check(trap([&] { utf8::char_size(0x110000); }));
    check(trap([&] { utf16::encode_char(0x110000, units); }));
    check(trap([&] { int32_t n = -1; string::to_utf8(string, n); }));
}

// ---- loading UTF-8 ----

TEST(LoadUtf8, ByteOrderMarkIsSkippedAtTheStartOnly) {
    struct Case { std::string_view input; std::u32string text; uint32_t unit; };
    const Case kCases[] = {
        {"\xEF\xBB\xBF", U"", 1},
        {"\xEF\xBB\xBF" "abc", U"abc", 1},
        {"a\xEF\xBB\xBF", U"a\uFEFF", 2},
        {"", U"", 1},
    };
    for (const Case& c : kCases) {
        Node n = load(c.input);
        EXPECT_EQ(chars_of(n), c.text);
        EXPECT_EQ(memory::buffer_of(n)->unit(), c.unit);
    }
}

TEST(LoadUtf8, CrlfBecomesLfOnlyWhenAsked) {
    std::string_view text = "a\r\nb\rc\r\n\r";
    uint32_t left;
    SeriesBuffer* b = string::load_utf8_buffer(bytes_of(text), uint32_t(text.size()), kNoNode, left, true);
    EXPECT_EQ(chars_of(b->node), U"a\nb\rc\n\r");
    EXPECT_EQ(chars_of(load(text)), U"a\r\nb\rc\r\n\r");
}

TEST(LoadUtf8, WidensOneToTwoToFourKeepingEarlierCodePoints) {
    struct Case { std::string_view input; std::u32string text; uint32_t unit; };
    const Case kCases[] = {
        {"a\xC3\xA9", U"a\u00E9", 1},                                   // Latin-1 stays in 1 byte
        {"a\xC3\xA9\xE2\x82\xAC", U"a\u00E9\u20AC", 2},
        {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", U"a\u00E9\u20AC\U0001F600", 4},
        {"\xF0\x9F\x98\x80z", U"\U0001F600z", 4},                       // straight from 1 to 4
    };
    for (const Case& c : kCases) {
        Node n = load(c.input);
        EXPECT_EQ(chars_of(n), c.text);
        EXPECT_EQ(memory::buffer_of(n)->unit(), c.unit);
        EXPECT_EQ(memory::buffer_of(n)->node, n);
    }
}

// Random texts mixing every length class, widening at random places and growing the buffer
// well past its first capacity, decode to the code points they were made from; the string's
// UTF-8 and UTF-16 forms give the same text back.
TEST(LoadUtf8, RoundTripsRandomTexts) {
    std::mt19937 random(20240611);
    const uint32_t kClasses[][2] = {{0x20, 0x7E}, {0x80, 0xFF}, {0x100, 0x7FF}, {0x800, 0xD7FF},
                                    {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        std::u32string expected;
        std::string utf8;
        uint32_t length = random() % 600;
        // Mostly one class, with a few wider code points, so widening happens mid-text.
        uint32_t base = random() % 3;
        for (uint32_t i = 0; i < length; ++i) {
            uint32_t cls = random() % 16 == 0 ? random() % 6 : base;
            uint32_t cp = kClasses[cls][0] + random() % (kClasses[cls][1] - kClasses[cls][0] + 1);
            expected += char32_t(cp);
            uint8_t out[4];
            utf8.append(reinterpret_cast<char*>(out), utf8::encode_char(cp, out));
        }
        Cell s = string_cell(load(utf8));
        ASSERT_EQ(chars_of(s.data2), expected);

        int32_t n = -1;
        const char* back = string::to_utf8(s, n);
        EXPECT_EQ(std::string_view(back, size_t(n)), utf8);
        EXPECT_EQ(back[n], '\0');

        n = -1;
        const uint16_t* units = string::to_wide_len(s, n, false);
        std::string le = le16(wide(units, n));
        SeriesBuffer* w = string::load_utf16le(bytes_of(le), uint32_t(n), kNoNode, false);
        EXPECT_EQ(chars_of(w->node), expected);
    }
}

TEST(LoadUtf8, CutSequenceIsLeftForTheNextInput) {
    std::string_view first = "ab\xE2\x82";
    uint32_t left;
    SeriesBuffer* b = string::load_utf8_buffer(bytes_of(first), 4, kNoNode, left, false);
    Node n = b->node;
    EXPECT_EQ(left, 2u);
    EXPECT_EQ(chars_of(n), U"ab");
    // The caller feeds the left bytes again with the rest: the target's content is replaced.
    std::string_view second = "\xE2\x82\xAC!";
    b = string::load_utf8_buffer(bytes_of(second), 4, n, left, false);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(b->node, n);
    EXPECT_EQ(chars_of(n), U"\u20AC!");
}

TEST(LoadUtf8, IntoATargetKeepsItsUnitAndGrowsIt) {
    Cell s = make_string(U"\u20AC", 2);
    std::string long_text(100, 'x');
    uint32_t left;
    string::load_utf8_into(bytes_of(long_text), 100, s, left);
    EXPECT_EQ(memory::buffer_of(s.data2)->unit(), 2u);
    EXPECT_EQ(chars_of(s.data2), std::u32string(100, U'x'));
}

TEST(LoadUtf8, InvalidInputRaisesAccessInvalidUtf8) {
    struct Case { std::string_view text, offending; };
    const Case kCases[] = {
        {"ok\xC3\x28", "\xC3\x28"},
        {"\xEF\xBB\xBF\xED\xB0\x80", "\xED\xB0\x80"},
        {"ok\xE2\x82", "\xE2\x82"},  // a whole text cut inside its last sequence
    };
    for (const Case& c : kCases) {
        std::string_view text = c.text, offending = c.offending;
        Cell e = trap([&] { load(text); });
        ASSERT_TRUE(is(e, TypeId::error));
        EXPECT_EQ(error::id_of(e), ErrorId::access_invalid_utf8);
        EXPECT_EQ(binary_text(error::field(e, error::arg1)), offending);
    }
}

// ---- widening ----

TEST(Widen, RewritesEveryUnitAndGrowsWhenNeeded) {
    struct Case { uint32_t from, to; uint32_t offset; };
    const Case kCases[] = {{1, 2, 0}, {1, 4, 0}, {2, 4, 0}, {1, 2, 8}, {2, 4, 2}};
    for (auto [from, to, offset] : kCases) {
        SCOPED_TRACE(testing::Message() << from << " to " << to << " at " << offset);
        std::u32string text = U"w\u00FFide\u00E9!";
        Node n = series::alloc(16 / from, from, int32_t(offset));
        SeriesBuffer* b = memory::buffer_of(n);
        for (char32_t c : text) string::put_char(b->tail, from, c), b->tail += from;
        b = to == 2 ? string::widen_1_to_2(b) : from == 1 ? string::widen_1_to_4(b) : string::widen_2_to_4(b);
        EXPECT_EQ(b, memory::buffer_of(n));
        EXPECT_EQ(b->unit(), to);
        EXPECT_EQ(b->used(), text.size() * to);
        EXPECT_LE(b->tail, b->end());
        EXPECT_EQ(chars_of(n), text);
    }
    // Widening to the same or a smaller unit changes nothing.
    Cell s = make_string(U"ab", 2);
    SeriesBuffer* b = memory::buffer_of(s.data2);
    EXPECT_EQ(string::widen_to(b, 1), b);
    EXPECT_EQ(b->unit(), 2u);
}

// ---- UTF-16 ----

TEST(Utf16, UnitNeededFollowsTheHighBytes) {
    struct Case { std::u16string_view text; uint32_t unit; };
    const Case kCases[] = {{u"", 1}, {u"abc\u00FF", 1}, {u"a\u0100", 2}, {u"\u20AC\uFFFF", 2},
                           {u"a\xD800", 4}, {u"\xDFFF", 4}, {u"\xD83D\xDE00", 4}};
    for (auto [text, unit] : kCases) {
        std::string le = le16(text);
        EXPECT_EQ(utf16::unit_needed(bytes_of(le), uint32_t(text.size())), unit);
    }
}

TEST(Utf16, LoadsPairsAndKeepsUnpairedSurrogates) {
    struct Case { std::u16string_view input; bool drop_cr; std::u32string text; uint32_t unit; };
    const Case kCases[] = {
        {u"caf\u00E9", false, U"caf\u00E9", 1},
        {u"a\r\nb\r", true, U"a\nb", 1},
        {u"a\r\nb", false, U"a\r\nb", 1},
        {u"\u20AC\r\n", true, U"\u20AC\n", 2},
        {u"\xD83D\xDE00!", false, U"\U0001F600!", 4},
        {u"\xD800\xDC00\xDBFF\xDFFF", false, U"\U00010000\U0010FFFF", 4},
        {u"a\xDC00", false, U"a\xDC00", 4},             // lone low surrogate
        {u"a\xD800", false, U"a\xD800", 4},             // high surrogate at the end
        {u"\xD800x\xDBFF\xD800", false, U"\xD800x\xDBFF\xD800", 4},  // high not followed by low
        {u"\xD83D\r\xDE00", true, U"\xD83D\xDE00", 4},  // a CR between halves breaks the pair
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        std::string le = le16(c.input);
        SeriesBuffer* b = string::load_utf16le(bytes_of(le), uint32_t(c.input.size()), kNoNode, c.drop_cr);
        EXPECT_EQ(chars_of(b->node), c.text);
        EXPECT_EQ(b->unit(), c.unit);
    }
}

TEST(Utf16, LoadsIntoATargetReplacingItsContent) {
    Cell s = make_string(U"old text", 1);
    std::string le = le16(u"\u20AC1");
    SeriesBuffer* b = string::load_utf16le(bytes_of(le), 2, s.data2, false);
    EXPECT_EQ(b->node, s.data2);
    EXPECT_EQ(b->unit(), 2u);
    EXPECT_EQ(chars_of(s.data2), U"\u20AC1");
}

TEST(Utf16, WideFormHasPairsCrlfAndRoomInTheCache) {
    struct Case { std::u32string text; uint32_t unit; int32_t length; bool crlf; std::u16string wide; };
    const Case kCases[] = {
        {U"\U00010000", 4, -1, false, u"\xD800\xDC00"},
        {U"a\nb", 1, -1, true, u"a\r\nb"},
        {U"a\nb", 1, -1, false, u"a\nb"},
        {U"\u20AC\n\U0001F600\n", 4, -1, true, u"\u20AC\r\n\xD83D\xDE00\r\n"},
        {U"\n\n\n", 2, 2, true, u"\r\n\r\n"},  // a length counts code points
        {U"ab", 1, 9, false, u"ab"},           // never past the tail
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        Cell s = make_string(c.text, c.unit);
        int32_t n = c.length;
        const uint16_t* out = string::to_wide_len(s, n, c.crlf);
        EXPECT_EQ(wide(out, n), c.wide);
        EXPECT_EQ(out[n], 0);
        SeriesBuffer* cache = memory::buffer_of(s.data3);
        EXPECT_LE(uint32_t(n + 1) * 2, cache->capacity);
    }
    Cell s = make_string(U"x\ny", 1);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(string::to_wide(s))), u"x\r\ny");
}

TEST(Utf16, ExtraSizeAndAsciiCopy) {
    Cell s = make_string(U"a\n\U0001F600\u20AC\n", 4);
    SeriesBuffer* b = memory::buffer_of(s.data2);
    EXPECT_EQ(utf16::extra_size(b->head, b->tail, 4), 6u);
    uint16_t out[8];
    EXPECT_EQ(utf16::from_ascii("Kaz", out), 3u);
    EXPECT_EQ(wide(out, 4), std::u16string(u"Kaz\0", 4));
    EXPECT_EQ(utf16::encode_char(0x1F600, out), 2u);
    EXPECT_EQ(wide(out, 2), u"\xD83D\xDE00");
}

// ---- UTF-8 out ----

TEST(ToUtf8, ConvertsFromTheHeadWithOptionalCrlf) {
    struct Case { std::u32string text; uint32_t unit, head; int32_t length; bool crlf; std::string_view utf8; };
    const Case kCases[] = {
        {U"a\u00E9", 1, 0, -1, false, "a\xC3\xA9"},
        {U"a\u20AC\n", 2, 0, -1, true, "a\xE2\x82\xAC\r\n"},
        {U"\U0001F600\n\xD800", 4, 0, -1, false, "\xF0\x9F\x98\x80\n\xED\xA0\x80"},
        {U"abcdef", 1, 2, 3, false, "cde"},
        {U"abc", 1, 7, -1, false, ""},  // a head past the tail is taken as the tail
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        Cell s = make_string(c.text, c.unit);
        s.data1 = c.head;
        int32_t n = c.length;
        const char* out = c.crlf ? string::to_utf8_crlf(s, n) : string::to_utf8(s, n);
        EXPECT_EQ(std::string_view(out, size_t(n)), c.utf8);
        EXPECT_EQ(out[n], '\0');
    }
}

TEST(ToUtf8, TheCacheIsMadeOnceAndGrows) {
    Cell s = make_string(U"short", 1);
    EXPECT_EQ(s.data3, kNoNode);
    int32_t n = -1;
    string::to_utf8(s, n);
    Node cache = s.data3;
    ASSERT_NE(cache, kNoNode);
    EXPECT_EQ(memory::buffer_of(cache)->capacity, 16u);

    // A longer text in the same string: the same cache node, grown.
    uint32_t left;
    std::string utf8;
    for (int i = 0; i < 1000; ++i) utf8 += "\xE2\x82\xAC";
    string::load_utf8_into(bytes_of(utf8), uint32_t(utf8.size()), s, left);
    n = -1;
    const char* out = string::to_utf8(s, n);
    EXPECT_EQ(s.data3, cache);
    EXPECT_EQ(std::string_view(out, size_t(n)), utf8);
    EXPECT_GE(memory::buffer_of(cache)->capacity, 3001u);
    EXPECT_EQ(string::to_utf8_cache(s, n = 3, false), cache);
    EXPECT_EQ(n, 9);
}

TEST(ToUtf8, IntoCallerBuffers) {
    Cell s = make_string(U"a\u20ACb", 2);
    uint8_t out[16];
    EXPECT_EQ(string::encode_utf8_into(s, out, 2, true), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "a\xE2\x82\xAC");
    EXPECT_EQ(string::encode_utf8_into(s, out, 99, false), 5u);

    struct Case { uint32_t room; bool nul; std::string_view text; };
    const Case kCases[] = {{0, true, ""}, {1, true, ""}, {3, true, "a"}, {4, false, "a\xE2\x82\xAC"},
                           {5, true, "a\xE2\x82\xAC"}, {6, true, "a\xE2\x82\xAC" "b"}, {2, false, "a"}};
    for (auto [room, nul, text] : kCases) {
        SCOPED_TRACE(room);
        uint8_t bounded[8];
        std::memset(bounded, 0xAA, sizeof bounded);
        uint32_t n = string::encode_utf8_bounded(s, bounded, room, nul);
        EXPECT_EQ(std::string_view(reinterpret_cast<char*>(bounded), n), text);
        if (nul && room > 0) {
            EXPECT_EQ(bounded[n], 0);
        }
        EXPECT_EQ(bounded[room], 0xAA);  // nothing written past the room
    }
}

// ---- display width ----

TEST(CharWidth, ZeroOneOrTwoCells) {
    struct Case { uint32_t cp; int width, cjk; };
    const Case kCases[] = {
        {0, 0, 0}, {'A', 1, 1}, {0x07, 1, 1}, {0x7F, 1, 1}, {0x9F, 1, 1},
        {0x0300, 0, 0}, {0x0301, 0, 0}, {0x036F, 0, 0}, {0x0370, 1, 1},  // combining marks
        {0x00AD, 1, 2}, {0x200B, 0, 0}, {0x0600, 1, 1},                 // format characters
        {0x1160, 0, 0}, {0x11FF, 0, 0},                                 // conjoining Hangul jamo
        {0x1100, 2, 2}, {0x115F, 2, 2}, {0x4E00, 2, 2}, {0xAC00, 2, 2}, {0xFF21, 2, 2},
        {0x1F600, 2, 2}, {0x30000, 2, 2}, {0x3FFFD, 2, 2}, {0x3FFFE, 1, 1},
        {0xE0100, 0, 0}, {0xE01EF, 0, 0}, {0xE01F0, 1, 1},
        {0x00A1, 1, 2}, {0x00E9, 1, 2}, {0x0391, 1, 2}, {0xFE00, 0, 0},  // ambiguous
        {0x100000, 1, 2}, {0x10FFFD, 1, 2}, {0x10FFFF, 1, 1}, {0x110000, 1, 1},
    };
    for (auto [cp, width, cjk] : kCases) {
        SCOPED_TRACE(cp);
        EXPECT_EQ(text::char_width(cp), width);
        EXPECT_EQ(text::char_width_cjk(cp), cjk);
    }
}

// Appending UTF-8 to a string of each unit: an ASCII run is copied straight, what follows it
// is decoded, widening the string when a code point needs it; refused bytes become U+FFFD.
TEST(AppendUtf8, AsciiRunsAndWhatFollowsThemAtEachUnit) {
    struct Row {
        std::string_view utf8;
        std::u32string_view appended;
    };
    const Row rows[] = {
        {"", U""},
        {"plain ascii", U"plain ascii"},
        {"caf\xC3\xA9", U"caf\u00E9"},
        {"x\xE2\x82\xAC y", U"x\u20AC y"},
        {"ab\xF0\x9F\x98\x80", U"ab\U0001F600"},
        {"ok\xFF!", U"ok\uFFFD!"},
        {"\xC3\xA9 then ascii", U"\u00E9 then ascii"},
    };
    for (uint32_t unit : {1u, 2u, 4u}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.utf8) + " unit " + std::to_string(unit));
            Cell s = make_string(U"\u0041", unit);
            uint32_t n = text::append_utf8(s.data2, row.utf8);
            EXPECT_EQ(n, row.appended.size());
            EXPECT_EQ(chars_of(s.data2), U"A" + std::u32string(row.appended));
            EXPECT_GE(memory::buffer_of(s.data2)->unit(), unit);
        }
    }
}
