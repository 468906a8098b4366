#include <gtest/gtest.h>

#include <string_view>

#include "datatypes/handle.h"
#include "runtime/compare.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

// The text forms of handles of every kind: the value in eight digits, the kind's name with /all
// (none for kind 0).
struct FormCase {
    uint32_t value;
    handle::Kind kind;
    std::string_view form;
    std::string_view mold_all;
};
constexpr FormCase kForms[] = {
    {0, handle::Kind::none, "00000000h", "#[handle! 00000000h]"},
    {0x1F, handle::Kind::fd, "0000001Fh", "#[handle! 0000001Fh fd]"},
    {0xABCDEF01, handle::Kind::monitor, "ABCDEF01h", "#[handle! ABCDEF01h monitor]"},
    {7, handle::Kind::window, "00000007h", "#[handle! 00000007h window]"},
    {8, handle::Kind::font, "00000008h", "#[handle! 00000008h font]"},
    {9, handle::Kind::rich_text, "00000009h", "#[handle! 00000009h rich-text]"},
};

TEST(Handles, FormAndMoldEachKind) {
    for (const FormCase& c : kForms) {
        SCOPED_TRACE(c.form);
        Cell h = handle::make(c.value, c.kind);
        EXPECT_EQ(test::form_text(h), c.form);
        EXPECT_EQ(test::mold_text(h), "handle!");
        EXPECT_EQ(test::mold_text(h, false, true), c.mold_all);
    }
}

TEST(Handles, CompareByValueAsSignedNumbersWhateverTheKind) {
    Cell window = handle::make(5, handle::Kind::window);
    Cell font = handle::make(5, handle::Kind::font);
    Cell negative = handle::make(0xFFFFFFFF, handle::Kind::fd);
    EXPECT_EQ(handle::compare(window, font, CompareOp::equal), 0);
    EXPECT_EQ(handle::compare(negative, window, CompareOp::lesser), -1);
    EXPECT_EQ(handle::compare(window, negative, CompareOp::lesser), 1);
    // Another type is unequal, never incomparable: the same value as an integer! included.
    EXPECT_EQ(handle::compare(window, cell::integer(5), CompareOp::equal), 1);
    EXPECT_EQ(handle::compare(window, cell::none(), CompareOp::lesser), 1);
}

}  // namespace
