#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "datatypes/registry.h"
#include "datatypes/triple.h"
#include "runtime/memory.h"

using namespace kaz;

namespace {

std::string text_of(Node string) {
    SeriesBuffer* b = memory::buffer_of(string);
    return {reinterpret_cast<char*>(b->head), b->used()};
}

TEST(Triples, FormAndMoldWriteTheThreeIntegers) {
    triple::init();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    struct Case { Cell value; const char* text; };
    const Case kCases[] = {
        {triple::make(1, -2, 3), "make triple! [1 -2 3]"},
        {triple::make(0, 0, 0), "make triple! [0 0 0]"},
        {triple::make(kMin, 2147483647, -1), "make triple! [-2147483648 2147483647 -1]"},
    };
    const ActionTable& actions = registry::actions(TypeId::triple);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        auto expected_left = 1000 - int32_t(std::string(c.text).size());
        Node formed = series::alloc_bytes(16), molded = series::alloc_bytes(16);
        EXPECT_EQ(actions.form(c.value, formed, nullptr, 1000), expected_left);
        EXPECT_EQ(actions.mold(c.value, molded, false, true, false, nullptr, 1000, 0), expected_left);
        EXPECT_EQ(text_of(formed), c.text);
        EXPECT_EQ(text_of(molded), c.text);
    }
    // Inert otherwise: no make, compare or arithmetic.
    EXPECT_EQ(actions.make, nullptr);
    EXPECT_EQ(actions.compare, nullptr);
    EXPECT_EQ(actions.add, nullptr);
}

}  // namespace
