#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "datatypes/registry.h"
#include "runtime/memory.h"

using namespace kaz;

namespace {

void parent_add() {}
void child_add() {}
int32_t parent_compare(const Cell&, const Cell&, CompareOp) { return 0; }

std::string text_of(Node string) {
    SeriesBuffer* b = memory::buffer_of(string);
    return {reinterpret_cast<char*>(b->head), b->used()};
}

// Registers types the boot registered again, and puts their tables back afterwards.
class Redefine : public testing::Test {
protected:
    void redefine(TypeId type, const OwnActions& actions) {
        saved_.emplace_back(type, registry::actions(type));
        registry::define(type, actions);
    }
    void TearDown() override {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) registry::define(it->first, exactly(it->second));
    }

private:
    std::vector<std::pair<TypeId, ActionTable>> saved_;
};

}  // namespace

TEST(Registry, AllBootTypesAreRegisteredParentsFirst) {
    // event! last, once the environment is defined.
    EXPECT_EQ(registry::max_id(), TypeId::event);
    EXPECT_EQ(registry::name_of(TypeId::integer), "integer!");
    EXPECT_EQ(registry::name_of(TypeId::point2d, false), "point2D");
    EXPECT_EQ(registry::type_name(TypeId::block).name_length, 5u);
    EXPECT_TRUE(registry::registered_q(TypeId::event));
    EXPECT_EQ(registry::name_of(TypeId::event), "event!");
}

// percent! is a child of float!, which has no parent.
TEST_F(Redefine, ALeftOutEntryIsTheParentsAndLacksRemovesIt) {
    redefine(TypeId::float_, {.compare = parent_compare, .add = parent_add, .subtract = parent_add});
    redefine(TypeId::percent, {.add = child_add, .subtract = lacks});
    const ActionTable& parent = registry::actions(TypeId::float_);
    const ActionTable& child = registry::actions(TypeId::percent);
    EXPECT_EQ(parent.make, nullptr);           // left out with no parent: lacked
    EXPECT_EQ(child.compare, parent_compare);  // left out: the parent's
    EXPECT_EQ(child.add, child_add);           // its own
    EXPECT_EQ(child.subtract, nullptr);        // lacked, although the parent has it
    EXPECT_EQ(child.multiply, nullptr);        // the parent lacks it
    EXPECT_EQ(registry::name_of(TypeId::percent), "percent!");  // the name types.def gives it
    EXPECT_EQ(registry::type_name(TypeId::percent).name_length, 7u);
}

TEST_F(Redefine, ExactlyRegistersTheRowWhateverTheParentHas) {
    ActionTable row{};
    row.add = child_add;
    redefine(TypeId::percent, exactly(row));
    const ActionTable& child = registry::actions(TypeId::percent);
    EXPECT_EQ(child.add, child_add);
    EXPECT_EQ(child.compare, nullptr);
    EXPECT_NE(registry::actions(TypeId::float_).compare, nullptr);
}

TEST(DatatypeValues, FormMoldAndCompare) {
    struct Case { TypeId type; bool all; bool mold; const char* text; int32_t used; };
    const Case kCases[] = {
        {TypeId::integer, false, false, "integer", 7},
        {TypeId::integer, false, true, "integer!", 8},
        {TypeId::integer, true, true, "#(integer!)", 11},
        {TypeId::set_word, false, true, "set-word!", 9},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Node s = series::alloc_bytes(16);
        Cell v = cell::datatype(c.type);
        int32_t left = c.mold ? datatype::mold(v, s, false, c.all, false, nullptr, 100, 0)
                              : datatype::form(v, s, nullptr, 100);
        EXPECT_EQ(text_of(s), c.text);
        EXPECT_EQ(left, 100 - c.used);
    }

    Cell integer = cell::datatype(TypeId::integer), float_ = cell::datatype(TypeId::float_);
    EXPECT_EQ(datatype::compare(integer, integer, CompareOp::equal), 0);
    EXPECT_EQ(datatype::compare(integer, float_, CompareOp::equal), 1);
    EXPECT_EQ(datatype::compare(integer, cell::integer(11), CompareOp::same), 1);
    EXPECT_EQ(datatype::compare(integer, float_, CompareOp::lesser), kNotComparable);
    EXPECT_EQ(registry::actions(TypeId::datatype).mold, datatype::mold);
}
