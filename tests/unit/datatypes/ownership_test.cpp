#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/internal.h"
#include "datatypes/ownership.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/case_fold.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::block_of;

namespace {

Cell string_of(const char* text) {
    return cell::make(TypeId::string, 0, string::load_utf8(reinterpret_cast<const uint8_t*>(text), uint32_t(std::strlen(text))), 0);
}

// An object with change-handler data, as far as ownership reads it.
Cell owner_object() {
    Node ctx = context::make(2, false, false, 0, context::object);
    return cell::make(TypeId::object, ctx, 0, 1);
}

}  // namespace

class Ownership : public testing::Test {};

TEST_F(Ownership, MarksDeeplyOnceAndUnmarks) {
    Cell inner = string_of("inner");
    Cell block = block_of({inner, cell::integer(1)});
    Cell owner = owner_object();
    Cell field = word::from_c_string("field");
    uint32_t before = hashtable::record(ownership::table).count;
    ownership::set_owner(block, owner, field);
    ownership::set_owner(block, owner, field);  // marked already: one record each
    EXPECT_EQ(hashtable::record(ownership::table).count, before + 2);
    EXPECT_TRUE(ownership::owned_q(block));
    EXPECT_TRUE(ownership::owned_q(inner));
    const Cell* o = ownership::owner_of(inner.data2);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o[0].data1, owner.data1);
    EXPECT_EQ(o[1].data2, field.data2);

    ownership::unset_deep(block);
    EXPECT_FALSE(ownership::owned_q(block));
    EXPECT_FALSE(ownership::owned_q(inner));
    EXPECT_EQ(ownership::owner_of(block.data2), nullptr);
    EXPECT_EQ(hashtable::record(ownership::table).count, before);
}

TEST_F(Ownership, CyclesAndTheOwnerItselfStopTheWalk) {
    Cell block = block_of({cell::integer(1)});
    SeriesBuffer* b = memory::buffer_of(block.data2);
    *series::reserve_cell(b) = block;  // contains itself
    Node ctx = context::make(2, false, false, 0, context::object);
    Cell owner = cell::make(TypeId::object, ctx, 0, 1);
    context::put_value(ctx, word::from_c_string("me"), owner);
    context::put_value(ctx, word::from_c_string("data"), block);
    ownership::set_owner(owner, owner, word::from_c_string("me"));
    EXPECT_TRUE(ownership::owned_q(block));
}

TEST_F(Ownership, NotifiesTheOwnerOfAChangedSeries) {
    test::DeepChangeRecorder recorder;
    const auto& notices = test::DeepChangeRecorder::notices;
    Cell s = string_of("abc");
    EXPECT_FALSE(ownership::notify_change(s, words::appended, nullptr, 0, 1));  // unowned
    EXPECT_TRUE(notices.empty());
    ownership::set_owner(s, recorder.owner(), word::from_c_string("text"));
    EXPECT_TRUE(ownership::notify_change(s, words::appended, nullptr, 3, 2));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(symbol::name(notices[0].action), "appended");
    EXPECT_EQ(notices[0].index, 3);

    // Case changes in place tell the owner too.
    case_::change_string(s, nullptr, true);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(symbol::name(notices[1].action), "uppercase");
    EXPECT_EQ(notices[1].part, 3);
}
