#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/typeset.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::block_of;

namespace {

// The member test exactly as compiled argument checks make it: byte t / 8 of the 12 bytes
// from data1, mask 0x80 >> t % 8.
bool member_by_bytes(const Cell& ts, uint32_t t) {
    uint8_t bytes[12];
    std::memcpy(bytes, &ts.data1, 4);
    std::memcpy(bytes + 4, &ts.data2, 4);
    std::memcpy(bytes + 8, &ts.data3, 4);
    return (bytes[t / 8] & (0x80 >> (t % 8))) != 0;
}

Cell of(std::initializer_list<TypeId> types) {
    Cell ts = cell::make(TypeId::typeset);
    for (TypeId t : types) typeset::set_bit(ts, t);
    return ts;
}

class Typesets : public testing::Test {
protected:
    void SetUp() override {
        test::clear_stacks();
        typeset::init();
    }
    void TearDown() override { test::clear_stacks(); }
    static Cell call(FrameAction action, const Cell& a, const Cell& b) { return test::invoke(action, {a, b}); }
    static Cell set_op(MathOp op, const Cell& a, const Cell& b) {
        frame::push_native(test::unbound_word());
        stack::push(a);
        stack::push(b);
        typeset::set_operation(op);
        Cell result = stack::base[0];
        frame::pop();
        return result;
    }
    // The id of the error `body` raises, with its first argument.
    template <typename F>
    static std::pair<ErrorId, Cell> raised(F body) { return test::raised(body); }
    static std::string molded(const Cell& ts, bool only, const Cell* part = nullptr,
                              int32_t limit = 1000, int32_t* left = nullptr) {
        Node s = series::alloc_bytes(16);
        int32_t l = typeset::mold(ts, s, only, false, false, part, limit, 0);
        if (left) *left = l;
        return test::byte_text(s);
    }
};

TEST_F(Typesets, BitsLieWhereCompiledChecksReadThem) {
    struct Case { TypeId type; uint32_t d1, d2, d3; };
    const Case kCases[] = {
        {TypeId::datatype, 0x40, 0, 0},
        {TypeId::unset, 0x20, 0, 0},
        {TypeId::integer, 0x1000, 0, 0},        // byte 1, mask 0x10
        {TypeId::refinement, 0x100000, 0, 0},   // byte 2, mask 0x10
        {TypeId::triple, 0x01000000, 0, 0},     // byte 3, mask 0x01
        {TypeId::object, 0, 0x80, 0},           // byte 4
        {TypeId::event, 0, 0x020000, 0},        // byte 6, mask 0x02
        {TypeId(95), 0, 0, 0x01000000},         // the last of the 96 bits
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(c.type));
        Cell ts = of({c.type});
        EXPECT_EQ(ts.data1, c.d1);
        EXPECT_EQ(ts.data2, c.d2);
        EXPECT_EQ(ts.data3, c.d3);
        for (uint32_t t = 0; t < 96; ++t) {
            EXPECT_EQ(member_by_bytes(ts, t), t == uint32_t(c.type)) << t;
            EXPECT_EQ(typeset::has_q(ts, TypeId(t)), t == uint32_t(c.type)) << t;
        }
    }
}

TEST_F(Typesets, MakeFromBlocksAndTypesets) {
    Cell num = of({TypeId::integer, TypeId::float_});
    Cell made = typeset::make(cell::datatype(TypeId::typeset),
                              block_of({cell::datatype(TypeId::char_), num}), TypeId::typeset);
    EXPECT_TRUE(is(made, TypeId::typeset));
    EXPECT_EQ(made.data1, of({TypeId::char_, TypeId::integer, TypeId::float_}).data1);
    EXPECT_EQ(typeset::count(made), 3u);
    Cell same = typeset::make(cell::datatype(TypeId::typeset), num, TypeId::typeset);
    EXPECT_EQ(same.data1, num.data1);
    EXPECT_EQ(registry::actions(TypeId::typeset).to, typeset::make);

    auto [id, arg] = raised([] {
        typeset::make(cell::datatype(TypeId::typeset), cell::integer(1), TypeId::typeset);
    });
    EXPECT_EQ(id, ErrorId::script_bad_to_arg);
    EXPECT_EQ(arg.data1, uint32_t(TypeId::typeset));
    auto [id2, arg2] = raised([] {
        typeset::make(cell::datatype(TypeId::typeset),
                      block_of({cell::datatype(TypeId::integer), cell::integer(5)}), TypeId::typeset);
    });
    EXPECT_EQ(id2, ErrorId::script_invalid_arg);
    EXPECT_EQ(cell::get_integer(arg2), 5);
}

TEST_F(Typesets, SpecBlocksAndDefaults) {
    Node out = series::alloc_cells(4);
    Cell spec = block_of({cell::datatype(TypeId::string), block_of({}),
                          of({TypeId::none, TypeId::logic})});
    Cell* ts = typeset::make_from_spec_in_block(out, spec);
    EXPECT_EQ(ts->data1, of({TypeId::string, TypeId::none, TypeId::logic}).data1);
    EXPECT_EQ(ts->data2 | ts->data3, 0u);
    auto [id, arg] = raised([&] {
        typeset::make_from_spec_in_block(out, block_of({cell::integer(3)}));
    });
    EXPECT_EQ(id, ErrorId::script_invalid_type_spec);
    EXPECT_EQ(cell::get_integer(arg), 3);

    Cell any = *typeset::make_default_in_block(out);
    for (uint32_t t = 0; t < 96; ++t) EXPECT_EQ(member_by_bytes(any, t), t != 2) << t;

    Node types = series::alloc_cells(4);
    typeset::to_block(of({TypeId::time, TypeId::logic, TypeId::block}), types);
    SeriesBuffer* b = memory::buffer_of(types);
    ASSERT_EQ(b->length(), 3u);
    EXPECT_EQ(b->cells()[0].data1, uint32_t(TypeId::logic));  // in id order
    EXPECT_EQ(b->cells()[1].data1, uint32_t(TypeId::block));
    EXPECT_EQ(b->cells()[2].data1, uint32_t(TypeId::time));
    EXPECT_TRUE(is(b->cells()[0], TypeId::datatype));
}

TEST_F(Typesets, MoldsAndForms) {
    Cell two = of({TypeId::float_, TypeId::integer});
    Cell empty_set = of({});
    struct Case { Cell ts; bool only; const char* text; int32_t used; };
    const Case kCases[] = {
        {two, false, "make typeset! [integer! float!]", 31},
        {two, true, "integer! float!", 15},
        {empty_set, false, "make typeset! []", 16},
        {empty_set, true, "", 0},
        {of({TypeId::point2d}), false, "make typeset! [point2D!]", 24},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        int32_t left = 0;
        EXPECT_EQ(molded(c.ts, c.only, nullptr, 100, &left), c.text);
        EXPECT_EQ(left, 100 - c.used);
    }
    Node s = series::alloc_bytes(16);
    EXPECT_EQ(typeset::form(two, s, nullptr, 100), 69);
    EXPECT_EQ(test::byte_text(s), "make typeset! [integer! float!]");

    // With /part the names stop once the limit is spent; without it they go on.
    Cell part = cell::integer(20);
    int32_t left = 0;
    EXPECT_EQ(molded(two, false, &part, 20, &left), "make typeset! [integer! ");
    EXPECT_EQ(left, -4);
    EXPECT_EQ(molded(two, false, nullptr, 20, &left), "make typeset! [integer! float!]");
    EXPECT_EQ(left, -11);
}

TEST_F(Typesets, SetOperations) {
    const Cell a = of({TypeId::integer, TypeId::float_, TypeId::block});
    const Cell b = of({TypeId::float_, TypeId::string});
    const Cell chr = cell::datatype(TypeId::char_);
    struct Case { MathOp op; Cell right; Cell expected; };
    const Case kCases[] = {
        {MathOp::union_, b, of({TypeId::integer, TypeId::float_, TypeId::block, TypeId::string})},
        {MathOp::or_, chr, of({TypeId::integer, TypeId::float_, TypeId::block, TypeId::char_})},
        {MathOp::intersect, b, of({TypeId::float_})},
        {MathOp::and_, b, of({TypeId::float_})},
        {MathOp::difference, b, of({TypeId::integer, TypeId::block, TypeId::string})},
        {MathOp::xor_, b, of({TypeId::integer, TypeId::block, TypeId::string})},
        {MathOp::exclude, b, of({TypeId::integer, TypeId::block})},
        {MathOp::exclude, cell::datatype(TypeId::block), of({TypeId::integer, TypeId::float_})},
        {MathOp::unique, cell::integer(0), a},  // the right operand is not even looked at
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(c.op));
        Cell r = set_op(c.op, a, c.right);
        EXPECT_TRUE(is(r, TypeId::typeset));
        EXPECT_EQ(r.data1, c.expected.data1);
        EXPECT_EQ(r.data2, c.expected.data2);
        EXPECT_EQ(r.data3, c.expected.data3);
    }
    EXPECT_EQ(call(typeset::and_, a, b).data1, of({TypeId::float_}).data1);
    EXPECT_EQ(call(typeset::or_, a, b).data1, set_op(MathOp::union_, a, b).data1);
    EXPECT_EQ(call(typeset::xor_, a, b).data1, set_op(MathOp::difference, a, b).data1);

    auto [id, arg] = raised([&] { set_op(MathOp::union_, a, cell::integer(4)); });
    EXPECT_EQ(id, ErrorId::script_invalid_arg);
    EXPECT_EQ(cell::get_integer(arg), 4);
    // A union with char! adds it; exclude takes it away again.
    Cell with_char = set_op(MathOp::union_, a, chr);
    EXPECT_TRUE(typeset::has_q(with_char, TypeId::char_));
    EXPECT_EQ(set_op(MathOp::exclude, with_char, chr).data1, a.data1);
}

TEST_F(Typesets, ComplementFindAndCompare) {
    const Cell a = of({TypeId::integer, TypeId::float_});
    Cell c = typeset::complement(a);
    EXPECT_EQ(c.data1, ~a.data1);
    EXPECT_EQ(c.data3, ~0u);
    Cell back = typeset::complement(c);
    EXPECT_EQ(back.data1, a.data1);
    EXPECT_EQ(back.data2, a.data2);
    EXPECT_EQ(back.data3, a.data3);

    EXPECT_EQ(logic::get(typeset::find(a, cell::datatype(TypeId::integer), {})), 1u);
    EXPECT_EQ(logic::get(typeset::find(a, cell::datatype(TypeId::char_), {})), 0u);
    EXPECT_TRUE(is(typeset::find(a, cell::datatype(TypeId::char_), {}), TypeId::logic));
    auto [id, arg] = raised([&] { typeset::find(a, cell::integer(11), {}); });
    EXPECT_EQ(id, ErrorId::script_invalid_arg);

    const Cell b = of({TypeId::integer, TypeId::float_, TypeId::block});
    struct Case { Cell x, y; CompareOp op; int32_t expected; };
    const Case kCases[] = {
        {a, a, CompareOp::equal, 0},        {a, b, CompareOp::equal, 1},
        {a, b, CompareOp::not_equal, 1},    {a, a, CompareOp::strict_equal, 0},
        {a, a, CompareOp::same, 0},         {a, b, CompareOp::find, 1},
        {a, b, CompareOp::sort, -1},        {b, a, CompareOp::case_sort, 1},
        {a, of({TypeId::char_, TypeId::time}), CompareOp::sort, 0},  // by member count
        {a, b, CompareOp::lesser, kNotComparable},
        {a, block_of({}), CompareOp::equal, kNotComparable},
    };
    for (const Case& k : kCases) {
        SCOPED_TRACE(int(k.op));
        EXPECT_EQ(typeset::compare(k.x, k.y, k.op), k.expected);
    }
}

TEST_F(Typesets, StandardTypesets) {
    auto members = [](std::string_view name) {
        auto ts = typeset::standard(name);
        EXPECT_TRUE(ts.has_value()) << name;
        return ts.value_or(cell::none());
    };
    // any-type! holds every registered type except four internal ones.
    Cell any = members("any-type!");
    for (int t = 1; t <= kMaxTypeId; ++t) {
        if (!registry::registered_q(TypeId(t))) continue;
        bool outside = TypeId(t) == TypeId::symbol || TypeId(t) == TypeId::context ||
                       TypeId(t) == TypeId::triple || TypeId(t) == TypeId::series;
        EXPECT_EQ(typeset::has_q(any, TypeId(t)), !outside) << registry::name_of(TypeId(t));
    }
    EXPECT_TRUE(typeset::has_q(any, TypeId::event));

    struct Case { const char* name; std::initializer_list<TypeId> in, out; };
    const Case kCases[] = {
        {"internal!", {TypeId::unset}, {TypeId::none}},
        {"number!", {TypeId::integer, TypeId::float_, TypeId::percent}, {TypeId::time, TypeId::char_}},
        {"scalar!", {TypeId::integer, TypeId::point3d, TypeId::money, TypeId::time, TypeId::date, TypeId::pair},
         {TypeId::string, TypeId::logic}},
        {"all-word!", {TypeId::word, TypeId::get_word, TypeId::refinement, TypeId::issue}, {TypeId::symbol}},
        {"any-block!", {TypeId::block, TypeId::paren, TypeId::hash, TypeId::get_path}, {TypeId::string}},
        {"series!", {TypeId::block, TypeId::lit_path, TypeId::ref, TypeId::binary, TypeId::image, TypeId::vector},
         {TypeId::series, TypeId::map, TypeId::bitset}},
        {"immediate!", {TypeId::none, TypeId::typeset, TypeId::handle, TypeId::issue, TypeId::tuple},
         {TypeId::block, TypeId::object}},
        {"default!", {TypeId::map, TypeId::bitset, TypeId::event, TypeId::routine, TypeId::port}, {TypeId::unset}},
        {"any-function!", {TypeId::native, TypeId::op, TypeId::routine}, {TypeId::object}},
        {"any-object!", {TypeId::object, TypeId::error, TypeId::port}, {TypeId::function}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell ts = members(c.name);
        for (TypeId t : c.in) EXPECT_TRUE(typeset::has_q(ts, t)) << int(t);
        for (TypeId t : c.out) EXPECT_FALSE(typeset::has_q(ts, t)) << int(t);
    }
    EXPECT_EQ(typeset::count(members("number!")), 3u);
    EXPECT_EQ(molded(members("any-point!"), false), "make typeset! [point2D! point3D!]");
    for (std::string_view name : typeset::kStandardNames) EXPECT_TRUE(typeset::standard(name)) << name;
    EXPECT_FALSE(typeset::standard("number"));
    EXPECT_FALSE(typeset::standard("integer!"));
}

}  // namespace
