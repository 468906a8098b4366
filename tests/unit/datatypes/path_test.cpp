// The path kinds and paren!: their text forms, construction and the actions they lack.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/path.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

using namespace kaz;

namespace {

Cell I(int32_t v) { return cell::integer(v); }
Cell nl(Cell c) {
    c.header |= cell_flag::new_line;
    return c;
}
Cell of(TypeId type, std::initializer_list<Cell> cells) {
    Cell b;
    block::init_cell(b, int32_t(cells.size()));
    for (const Cell& c : cells) block::append_cell(b, c);
    return cell::set_type(b, type);
}

struct Text {
    std::string text;
    int32_t left;
};
Text mold(const Cell& v, int32_t limit = -1) {
    Node s = series::alloc_bytes(64);
    Cell part = I(limit);
    int32_t left = registry::actions(type_of(v)).mold(v, s, false, false, false, limit >= 0 ? &part : nullptr,
                                                       limit >= 0 ? limit : 1000, 0);
    SeriesBuffer* b = memory::buffer_of(s);
    return {std::string(reinterpret_cast<char*>(b->head), b->used()), left};
}
std::string form(const Cell& v) {
    Node s = series::alloc_bytes(64);
    registry::actions(type_of(v)).form(v, s, nullptr, 1000);
    SeriesBuffer* b = memory::buffer_of(s);
    return {reinterpret_cast<char*>(b->head), b->used()};
}

class Path : public testing::Test {
protected:
    void SetUp() override {
        stack::frames_top = stack::frames_begin;
        stack::base = stack::data_top = stack::data_begin;
        integer::init();
        logic::init();
        series_::init();
        block::init();
        path::init();
        paren::init();
    }
};

TEST_F(Path, EachKindMoldsWithItsMarksAndFormsBare) {
    struct Case { TypeId type; const char* molded; };
    const Case kCases[] = {
        {TypeId::path, "1/2/3"},
        {TypeId::lit_path, "'1/2/3"},
        {TypeId::set_path, "1/2/3:"},
        {TypeId::get_path, ":1/2/3"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.molded);
        // New-line flags are not looked at inside a path.
        Cell p = of(c.type, {I(1), nl(I(2)), I(3)});
        Text m = mold(p);
        EXPECT_EQ(m.text, c.molded);
        EXPECT_EQ(m.left, 1000 - int32_t(m.text.size()));
        EXPECT_EQ(form(p), "1/2/3");
    }
    // A /part limit stops the walk once it is used up.
    Text cut = mold(of(TypeId::path, {I(11), I(22), I(33)}), 4);
    EXPECT_EQ(cut.text, "11/2");
    EXPECT_EQ(cut.left, 0);

    Cell self = of(TypeId::path, {I(1)});
    block::append_cell(self, self);
    EXPECT_EQ(mold(self).text, "1/...");
}

TEST_F(Path, WordsJoinedBySlashes) {
    Cell a = word::from_c_string("a"), b = word::from_c_string("b"), c = word::from_c_string("c");
    struct Case { TypeId type; const char* molded; };
    const Case kCases[] = {
        {TypeId::path, "a/b/c"}, {TypeId::lit_path, "'a/b/c"}, {TypeId::set_path, "a/b/c:"}, {TypeId::get_path, ":a/b/c"},
    };
    for (const Case& k : kCases) {
        Cell p = of(k.type, {a, b, c});
        EXPECT_EQ(mold(p).text, k.molded);
        EXPECT_EQ(form(p), "a/b/c");
    }
    EXPECT_EQ(mold(of(TypeId::paren, {a, of(TypeId::path, {b, c})})).text, "(a b/c)");
}

TEST_F(Path, ParenMoldsLikeABlockBetweenParentheses) {
    EXPECT_EQ(mold(of(TypeId::paren, {I(1), I(2)})).text, "(1 2)");
    EXPECT_EQ(mold(of(TypeId::paren, {nl(I(1)), I(2)})).text, "(\n    1 2\n)");
    EXPECT_EQ(mold(of(TypeId::block, {of(TypeId::paren, {nl(I(1))})})).text, "[(\n    1\n)]");
    EXPECT_EQ(form(of(TypeId::paren, {I(1), of(TypeId::block, {I(2)})})), "1 2");
    Cell self = of(TypeId::paren, {I(1)});
    block::append_cell(self, self);
    EXPECT_EQ(mold(self).text, "(1 (...))");
}

TEST_F(Path, MakeAndTo) {
    Cell proto = cell::datatype(TypeId::path);
    for (Cell spec : {I(0), I(-4), cell::float_(0.5)}) {
        Cell p = path::make(proto, spec, TypeId::path);
        EXPECT_TRUE(is(p, TypeId::path));
        EXPECT_EQ(series_::buffer(p)->capacity, 16u);  // one cell
        EXPECT_EQ(block::length_from_head(p), 0u);
    }
    Cell from_block = path::make(proto, of(TypeId::block, {I(1), I(2)}), TypeId::set_path);
    EXPECT_EQ(mold(from_block).text, "1/2:");
    Cell wrapped = path::to(proto, I(7), TypeId::path);
    EXPECT_EQ(mold(wrapped).text, "7");
    Cell copied;
    path::copy(of(TypeId::get_path, {I(1), I(2)}), copied, nullptr, false, nullptr);
    EXPECT_EQ(mold(copied).text, ":1/2");
}

TEST_F(Path, ActionsThePathsAndParenLack) {
    for (TypeId t : {TypeId::path, TypeId::lit_path, TypeId::set_path, TypeId::get_path}) {
        const ActionTable& a = registry::actions(t);
        EXPECT_EQ(a.sort, nullptr);
        EXPECT_EQ(a.random, nullptr);
        EXPECT_EQ(a.trim, nullptr);
        EXPECT_EQ(a.find, block::find);
        EXPECT_EQ(a.pick, series_::pick);
        EXPECT_EQ(a.form, path::form);
    }
    EXPECT_EQ(registry::actions(TypeId::set_path).mold, set_path::mold);
    const ActionTable& paren = registry::actions(TypeId::paren);
    EXPECT_EQ(paren.trim, nullptr);
    EXPECT_EQ(paren.sort, block::sort);
    EXPECT_EQ(paren.make, block::make);
    EXPECT_EQ(paren.mold, paren::mold);
    EXPECT_EQ(registry::actions(TypeId::block).trim, block::trim);
}

}  // namespace
