// issue!: making from text, characters and words, the "#" mold, comparison with its word
// rules, and the hexadecimal reading that integer! conversion uses.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/integer.h"
#include "datatypes/issue.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
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
using test::error_of;
using test::str;
using test::utf8_of;

namespace {

std::string molded(const Cell& v) {
    Cell out = string::make_cell(8);
    int32_t left = registry::actions(type_of(v)).mold(v, out.data2, false, false, false, nullptr, 100, 0);
    std::string t = utf8_of(out);
    int32_t code_points = 0;
    for (unsigned char c : t) code_points += (c & 0xC0) != 0x80;
    EXPECT_EQ(left, 100 - code_points);
    return t;
}

std::string formed(const Cell& v) {
    Cell out = string::make_cell(8);
    registry::actions(type_of(v)).form(v, out.data2, nullptr, 100);
    return utf8_of(out);
}

class Issue : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        integer::init();
        series_::init();
        string::init();
        char_::init();
        word::init();
        issue::init();
    }
};

TEST_F(Issue, MakesFromTextCharactersAndWords) {
    Cell from_text = issue::make(cell::none(), str("abc"), TypeId::issue);
    EXPECT_TRUE(is(from_text, TypeId::issue));
    EXPECT_EQ(from_text.data1, context::global);
    EXPECT_EQ(from_text.data3, word::kNoIndex);
    EXPECT_EQ(molded(from_text), "#abc");
    EXPECT_EQ(formed(from_text), "abc");

    Cell from_head = str("xyz");
    from_head.data1 = 1;
    EXPECT_EQ(molded(issue::make(cell::none(), from_head, TypeId::issue)), "#yz");
    EXPECT_EQ(molded(issue::make(cell::none(), char_::cell_of(0xE9), TypeId::issue)), "#\xC3\xA9");

    Cell set_word = word::from_c_string("key");
    cell::set_type(set_word, TypeId::set_word);
    Cell from_word = issue::make(cell::none(), set_word, TypeId::issue);
    EXPECT_TRUE(is(from_word, TypeId::issue));
    EXPECT_EQ(from_word.data2, set_word.data2);
    EXPECT_EQ(molded(from_word), "#key");

    // Other values go through word!'s make, which names the issue! type when it refuses.
    EXPECT_EQ(molded(issue::make(cell::none(), cell::datatype(TypeId::integer), TypeId::issue)), "#integer!");
    EXPECT_EQ(error_of([] { issue::make(cell::none(), cell::integer(1), TypeId::issue); }),
              ErrorId::script_bad_to_arg);
    EXPECT_TRUE(registry::actions(TypeId::issue).to == issue::make);
}

TEST_F(Issue, ConstructorsInternTheName) {
    Cell a = issue::from_c_string("ab-1");
    EXPECT_EQ(symbol::name(a.data2), "ab-1");
    Cell c = cell::unset();
    issue::init_cell(c, "ab-1");
    EXPECT_EQ(c.data2, a.data2);
    Node block = series::alloc_cells(1);
    Cell* in_block = issue::make_in_block(block, "zz");
    EXPECT_TRUE(is(*in_block, TypeId::issue));
    EXPECT_EQ(memory::buffer_of(block)->length(), 1u);
    Cell* pushed = issue::push(word::from_c_string("w"));
    EXPECT_TRUE(is(*pushed, TypeId::issue));
    EXPECT_EQ(molded(*pushed), "#w");
    stack::pop(1);
}

TEST_F(Issue, ComparesOnlyWithIssuesByTheWordRules) {
    Cell upper = issue::from_c_string("Abc"), lower = issue::from_c_string("abc");
    EXPECT_EQ(issue::compare(upper, word::from_c_string("abc"), CompareOp::equal), kNotComparable);
    EXPECT_EQ(issue::compare(upper, lower, CompareOp::equal), 0);
    EXPECT_EQ(issue::compare(upper, lower, CompareOp::strict_equal), 1);
    EXPECT_EQ(issue::compare(lower, issue::from_c_string("abd"), CompareOp::lesser), -1);
    // A word compared with an issue is not comparable either.
    EXPECT_EQ(word::compare(word::from_c_string("abc"), lower, CompareOp::equal), kNotComparable);
}

TEST_F(Issue, ReadsTheNameAsHexadecimal) {
    struct Case { const char* name; int32_t value; };
    const Case kCases[] = {{"FF", 255}, {"ff", 255}, {"0", 0}, {"7FFFFFFF", INT32_MAX}, {"FFFFFFFF", -1},
                           {"00000010", 16}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(issue::to_integer(issue::from_c_string(c.name)), c.value);
    }
    for (const char* bad : {"123456789", "xyz", "1 2", "\xC3\xA9"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(error_of([&] { issue::to_integer(issue::from_c_string(bad)); }), ErrorId::script_invalid_data);
    }
}

}  // namespace
