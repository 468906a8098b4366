#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::trap;

namespace {

Cell make_string(std::u32string_view text, uint32_t unit) {
    Node n = series::alloc_units(uint32_t(text.size()), unit);
    SeriesBuffer* b = memory::buffer_of(n);
    for (char32_t c : text) string::put_char(b->tail, unit, c), b->tail += unit;
    return cell::make(TypeId::string, 0, n, 0);
}

std::u32string chars_of(const Cell& s) {
    SeriesBuffer* b = memory::buffer_of(s.data2);
    std::u32string out;
    for (uint8_t* p = b->head; p < b->tail; p += b->unit()) out += char32_t(string::get_char(p, b->unit()));
    return out;
}

}  // namespace

TEST(CaseFold, KnownPairs) {
    struct Case { uint32_t cp, upper, lower; };
    const Case kCases[] = {
        {'a', 'A', 'a'}, {'Z', 'Z', 'z'}, {'1', '1', '1'}, {0, 0, 0},
        {0x00E9, 0x00C9, 0x00E9}, {0x00C9, 0x00C9, 0x00E9},
        {0x00FF, 0x0178, 0x00FF}, {0x0178, 0x0178, 0x00FF},   // leaves Latin-1
        {0x00B5, 0x039C, 0x00B5},                             // micro sign
        {0x00DF, 0x00DF, 0x00DF}, {0x1E9E, 0x1E9E, 0x00DF},   // sharp s has no simple upper case
        {0x0131, 0x0049, 0x0131}, {0x0130, 0x0130, 0x0069},   // dotless and dotted i
        {0x01C5, 0x01C4, 0x01C6},                             // title case letter
        {0x03B1, 0x0391, 0x03B1}, {0x03A3, 0x03A3, 0x03C3}, {0x03C2, 0x03A3, 0x03C2},  // Greek
        {0x0345, 0x0399, 0x0345},
        {0x0430, 0x0410, 0x0430}, {0x0401, 0x0401, 0x0451}, {0x04CF, 0x04C0, 0x04CF},  // Cyrillic
        {0x0561, 0x0531, 0x0561},                             // Armenian
        {0x10D0, 0x1C90, 0x10D0}, {0x1C90, 0x1C90, 0x10D0},   // Georgian
        {0x13A0, 0x13A0, 0xAB70}, {0xAB70, 0x13A0, 0xAB70},   // Cherokee
        {0x2126, 0x2126, 0x03C9}, {0x212A, 0x212A, 'k'}, {0x212B, 0x212B, 0x00E5},
        {0x24D0, 0x24B6, 0x24D0}, {0xFF41, 0xFF21, 0xFF41}, {0x4E00, 0x4E00, 0x4E00},
        {0x10400, 0x10400, 0x10428}, {0x10428, 0x10400, 0x10428},  // Deseret
        {0x104D8, 0x104B0, 0x104D8}, {0x10570, 0x10570, 0x10597},  // Osage, Vithkuqi
        {0x10CC0, 0x10C80, 0x10CC0}, {0x118A0, 0x118A0, 0x118C0},  // Old Hungarian, Warang Citi
        {0x16E60, 0x16E40, 0x16E60}, {0x1E922, 0x1E900, 0x1E922},  // Medefaidrin, Adlam
        {0x10450, 0x10450, 0x10450},  // Shavian: between two keys, no case
        {0x103FF, 0x103FF, 0x103FF}, {0x1E944, 0x1E944, 0x1E944},  // just outside the lists
        {0x1F600, 0x1F600, 0x1F600}, {0x10FFFF, 0x10FFFF, 0x10FFFF}, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (auto [cp, upper, lower] : kCases) {
        SCOPED_TRACE(testing::Message() << std::hex << cp);
        EXPECT_EQ(case_::change_char(cp, true), upper);
        EXPECT_EQ(case_::upper_char(cp), upper);
        EXPECT_EQ(case_::change_char(cp, false), lower);
        EXPECT_EQ(case_::swap_char(cp), upper != cp ? upper : lower);
    }
}

// Every simple mapping of the character database Debian's unicode-data package installs (the
// tables' source): the tables agree with it in both directions, and every code point it gives no
// mapping keeps its case.
TEST(CaseFold, AgreesWithTheUnicodeDataFile) {
    std::ifstream file("/usr/share/unicode/UnicodeData.txt");
    ASSERT_TRUE(file) << "the Unicode data files are missing: scripts/deps.sh installs unicode-data";
    std::vector<uint32_t> upper(0x110000), lower(0x110000);
    for (uint32_t cp = 0; cp < 0x110000; ++cp) upper[cp] = lower[cp] = cp;
    std::string line;
    size_t mappings = 0;
    while (std::getline(file, line)) {
        std::vector<std::string> fields;
        std::stringstream in(line);
        for (std::string f; std::getline(in, f, ';');) fields.push_back(f);
        ASSERT_GE(fields.size(), 14u) << line;
        uint32_t cp = uint32_t(std::stoul(fields[0], nullptr, 16));
        if (!fields[12].empty()) upper[cp] = uint32_t(std::stoul(fields[12], nullptr, 16)), ++mappings;
        if (!fields[13].empty()) lower[cp] = uint32_t(std::stoul(fields[13], nullptr, 16)), ++mappings;
    }
    EXPECT_GT(mappings, 2800u);
    int failures = 0;
    for (uint32_t cp = 0; cp < 0x110000 && failures < 10; ++cp) {
        if (case_::change_char(cp, true) != upper[cp] || case_::change_char(cp, false) != lower[cp]) {
            ADD_FAILURE() << std::hex << "U+" << cp << ": upper " << case_::change_char(cp, true)
                          << " expected " << upper[cp] << ", lower " << case_::change_char(cp, false)
                          << " expected " << lower[cp];
            ++failures;
        }
    }
}

TEST(CaseFold, ChangeStringWidensAndKeepsTheHead) {
    struct Case { std::u32string text; uint32_t unit, head; bool upper; std::u32string result; uint32_t unit_after; };
    const Case kCases[] = {
        {U"\u00FF", 1, 0, true, U"\u0178", 2},
        {U"abc\u00FFd", 1, 0, true, U"ABC\u0178D", 2},
        {U"abcd", 1, 2, true, U"abCD", 1},
        {U"ABC", 1, 0, false, U"abc", 1},
        {U"\u0178\u0410\u03A3", 2, 0, false, U"\u00FF\u0430\u03C3", 2},  // never narrows
        {U"\U00010400x\U0001F600", 4, 0, false, U"\U00010428x\U0001F600", 4},
        {U"\U00010428\u00E9", 4, 0, true, U"\U00010400\u00C9", 4},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::PrintToString(c.result));
        Cell s = make_string(c.text, c.unit);
        s.data1 = c.head;
        case_::change_string(s, nullptr, c.upper);
        EXPECT_EQ(chars_of(s), c.result);
        EXPECT_EQ(memory::buffer_of(s.data2)->unit(), c.unit_after);
        EXPECT_EQ(s.data1, c.head);
    }
}

TEST(CaseFold, ChangeStringPart) {
    struct Case { const char* what; uint32_t head; Cell part; std::u32string result; };
    const Case kCases[] = {
        {"count 2", 1, cell::integer(2), U"aBCde"},
        {"count 0", 1, cell::integer(0), U"abcde"},
        {"negative count", 1, cell::integer(-3), U"abcde"},
        {"count past the tail", 3, cell::integer(99), U"abcDE"},
        {"none", 3, cell::none(), U"abcDE"},
        {"position 4", 1, cell::make(TypeId::string, 4, 0, 0), U"aBCDe"},
        {"position before the head", 3, cell::make(TypeId::string, 1, 0, 0), U"abcde"},
        {"position past the tail", 2, cell::make(TypeId::string, 40, 0, 0), U"abCDE"},
    };
    for (Case c : kCases) {
        SCOPED_TRACE(c.what);
        Cell s = make_string(U"abcde", 1);
        s.data1 = c.head;
        if (is(c.part, TypeId::string)) c.part.data2 = s.data2;  // the same series
        case_::change_string(s, &c.part, true);
        EXPECT_EQ(chars_of(s), c.result);
    }
}

TEST(CaseFold, ChangeStringRefusesAPartOfAnotherSeries) {
    Cell s = make_string(U"abc", 1);
    Cell other = make_string(U"abc", 1);
    Cell same_node_other_type = cell::make(TypeId::file, 2, s.data2, 0);
    for (const Cell& part : {other, same_node_other_type}) {
        Cell e = trap([&] { case_::change_string(s, &part, true); });
        ASSERT_TRUE(is(e, TypeId::error));
        EXPECT_EQ(error::id_of(e), ErrorId::script_invalid_refine_arg);
        EXPECT_EQ(error::code_of(ErrorId::script_invalid_refine_arg), 345);  // catalog position 47
        EXPECT_EQ(error::field(e, error::arg2).data2, part.data2);
        EXPECT_EQ(chars_of(s), U"abc");
    }
}

TEST(CaseFold, ChangeStringOfAChar) {
    Cell c = cell::make(TypeId::char_, 0, 0x00FF, 0);
    case_::change_string(c, nullptr, true);
    EXPECT_EQ(c.data2, 0x0178u);
    case_::change_string(c, nullptr, false);
    EXPECT_EQ(c.data2, 0x00FFu);
    Cell deseret = cell::make(TypeId::char_, 0, 0x10400, 0);
    case_::change_string(deseret, nullptr, false);
    EXPECT_EQ(deseret.data2, 0x10428u);
}
