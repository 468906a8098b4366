// bitset!: the bitset dialect, membership, the modifying actions, set operations and molds.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::blk;
using test::Outcome;
using test::str;
using test::utf8_of;

namespace {

Cell I(int32_t v) { return cell::integer(v); }
Cell C(uint32_t cp) { return cell::make(TypeId::char_, 0, cp, 0); }
Cell F(double d) { return cell::float_(d); }
Cell W(const char* name) { return word::from_c_string(name); }

Cell bin(std::initializer_list<uint8_t> bytes) {
    Node n = series::alloc_bytes(uint32_t(bytes.size()));
    SeriesBuffer* b = memory::buffer_of(n);
    for (uint8_t x : bytes) *b->tail++ = x;
    return cell::make(TypeId::binary, 0, n, 0);
}

struct Molded {
    std::string text;
    int32_t left;
};
Molded mold_of(const Cell& v, int32_t limit = INT32_MAX) {
    Cell s = string::make_cell(16);
    Cell part = I(limit);
    int32_t left = bitset::mold(v, s.data2, false, false, false, limit == INT32_MAX ? nullptr : &part, limit, 0);
    return {utf8_of(s), left};
}
std::string molded(const Cell& v) { return mold_of(v).text; }

template <typename F>
Outcome trapped(F body) { return test::trapped(body, W("try")); }

Cell make(const Cell& spec) { return bitset::make(cell::datatype(TypeId::bitset), spec, TypeId::bitset); }

bool pick(const Cell& bits, const Cell& spec) {
    Cell r = bitset::pick(bits, 0, spec);
    EXPECT_TRUE(is(r, TypeId::logic));
    return r.data1 != 0;
}

class Bitset : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        bitset::init();
    }
};

const std::string k12Zeros = "000000000000000000000000";

TEST_F(Bitset, MakeFromEachKindOfSpec) {
    struct Case {
        const char* name;
        std::function<Cell()> spec;
        std::string mold;
    };
    const Case kCases[] = {
        {"char range", [] { return blk({C('a'), W("-"), C('c')}); }, "make bitset! #{" + k12Zeros + "70}"},
        {"string", [] { return str("abc"); }, "make bitset! #{" + k12Zeros + "70}"},
        {"integer range", [] { return blk({I(0), W("-"), I(9)}); }, "make bitset! #{FFC0}"},
        {"integers and a float", [] { return blk({I(0), F(3.9), I(15)}); }, "make bitset! #{9001}"},
        {"nested blocks", [] { return blk({blk({I(1)}), blk({I(2), blk({I(3)})})}); }, "make bitset! #{70}"},
        {"empty block", [] { return blk({}); }, "make bitset! #{00}"},
        {"size 9", [] { return I(9); }, "make bitset! #{0000}"},
        {"size 0", [] { return I(0); }, "make bitset! #{}"},
        {"size as float", [] { return F(17.9); }, "make bitset! #{000000}"},
        {"binary", [] { return bin({0x12, 0xAB}); }, "make bitset! #{12AB}"},
        {"not string", [] { return blk({W("not"), str("a")}); }, "make bitset! [not #{" + k12Zeros.substr(2) + "0040}]"},
        {"not binary", [] { return blk({W("not"), bin({0x0F})}); }, "make bitset! [not #{0F}]"},
        {"not nothing", [] { return blk({W("not")}); }, "make bitset! [not #{00}]"},
        {"wide code point", [] { return str("\xE2\x82\xAC"); }, "make bitset! #{" + std::string(0x20AC / 8 * 2, '0') + "08}"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(molded(make(c.spec())), c.mold);
    }
    // A bitset made from a bitset is a copy of its bytes and complement.
    Cell original = make(blk({W("not"), str("a")}));
    Cell copy = make(original);
    EXPECT_NE(copy.data2, original.data2);
    EXPECT_EQ(molded(copy), molded(original));
    // Converting does the same, but a size is not a bitset.
    EXPECT_EQ(molded(bitset::to(cell::datatype(TypeId::bitset), str("abc"), TypeId::bitset)),
              "make bitset! #{" + k12Zeros + "70}");
}

TEST_F(Bitset, SpecErrors) {
    struct Case {
        const char* name;
        std::function<Cell()> run;
        ErrorId error;
    };
    Cell bitset_type = cell::datatype(TypeId::bitset);
    const Case kCases[] = {
        {"high below low", [] { return make(blk({C('c'), W("-"), C('a')})); }, ErrorId::script_past_end},
        {"mixed range", [] { return make(blk({C('a'), W("-"), I(120)})); }, ErrorId::script_invalid_arg},
        {"range without end", [] { return make(blk({I(1), W("-")})); }, ErrorId::script_past_end},
        {"range to a string", [] { return make(blk({I(1), W("-"), str("x")})); }, ErrorId::script_past_end},
        {"negative size", [] { return make(I(-1)); }, ErrorId::script_out_of_range},
        {"negative value", [] { return make(blk({I(-1)})); }, ErrorId::script_out_of_range},
        {"negative range", [] { return make(blk({I(-3), W("-"), I(2)})); }, ErrorId::script_out_of_range},
        {"huge float", [] { return make(blk({F(1e12)})); }, ErrorId::script_out_of_range},
        {"binary in the dialect", [] { return make(blk({I(1), bin({1})})); }, ErrorId::internal_not_done},
        {"make from none", [] { return make(cell::none()); }, ErrorId::script_bad_make_arg},
        {"word in the dialect", [] { return make(blk({W("x")})); }, ErrorId::script_bad_make_arg},
        {"to from a size", [&] { return bitset::to(bitset_type, I(8), TypeId::bitset); }, ErrorId::script_bad_to_arg},
        {"to from none", [&] { return bitset::to(bitset_type, cell::none(), TypeId::bitset); }, ErrorId::script_bad_to_arg},
        {"pick with a word", [] { return bitset::pick(make(I(8)), 0, W("x")); }, ErrorId::script_invalid_arg},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(trapped(c.run).error, c.error);
    }
}

TEST_F(Bitset, MembershipTests) {
    Cell abc = make(str("abc"));
    EXPECT_TRUE(pick(abc, str("ab")));
    EXPECT_FALSE(pick(abc, str("abz")));
    EXPECT_TRUE(pick(abc, blk({C('a'), W("-"), C('c')})));
    EXPECT_FALSE(pick(abc, blk({C('a'), W("-"), C('d')})));
    EXPECT_FALSE(pick(abc, I(-1)));
    EXPECT_FALSE(pick(abc, I(100000)));  // far beyond the stored bytes of a plain set
    EXPECT_TRUE(is(bitset::find(abc, str("ab"), {}), TypeId::logic));
    EXPECT_TRUE(is(bitset::find(abc, str("abz"), {}), TypeId::none));

    Cell not_a = make(blk({W("not"), str("a")}));
    EXPECT_FALSE(pick(not_a, C('a')));
    EXPECT_TRUE(pick(not_a, C('b')));
    EXPECT_TRUE(pick(not_a, I(1000)));
    EXPECT_TRUE(pick(not_a, blk({I(90), W("-"), I(96), I(2000), W("-"), I(3000)})));
    EXPECT_FALSE(pick(not_a, blk({I(90), W("-"), I(3000)})));
    EXPECT_TRUE(bitset::member_q(not_a, INT32_MAX));
    EXPECT_FALSE(bitset::member_q(not_a, -5));

    // Paths read and write members by integer or char; other keys are refused.
    Cell bits = make(I(8));
    EXPECT_TRUE(is(bitset::eval_path(bits, I(3), nullptr, {}), TypeId::logic));
    Cell yes = cell::logic(true);
    bitset::eval_path(bits, C(3), &yes, {});
    EXPECT_TRUE(pick(bits, I(3)));
    EXPECT_EQ(trapped([&] { return bitset::eval_path(bits, str("x"), nullptr, {}); }).error,
              ErrorId::script_invalid_type);
}

TEST_F(Bitset, PokeAppendRemoveAndClear) {
    Cell bits = make(I(8));
    struct Poke { Cell value; bool member; };
    const Poke kPokes[] = {{I(1), true},  {I(0), false},           {cell::logic(true), true},
                           {cell::logic(false), false}, {str("x"), true}, {cell::none(), false},
                           {F(0.5), true}, {F(0.0), false}};
    for (const Poke& p : kPokes) {
        Cell r = bitset::poke(bits, 0, I(5), p.value);
        EXPECT_EQ(type_of(r), type_of(p.value));
        EXPECT_EQ(pick(bits, I(5)), p.member);
    }
    // Poking a value beyond the stored bytes of a plain set grows it; clearing there does not.
    bitset::poke(bits, 0, I(100), I(0));
    EXPECT_EQ(bitset::length_q(bits), 8);
    bitset::poke(bits, 0, I(100), I(1));
    EXPECT_EQ(bitset::length_q(bits), 104);
    EXPECT_TRUE(pick(bits, I(100)));

    Cell r = bitset::append(bits, blk({C('a'), W("-"), C('c')}), -1, false, 1, true);
    EXPECT_EQ(r.data2, bits.data2);
    EXPECT_TRUE(pick(bits, str("abc")));
    EXPECT_EQ(registry::actions(TypeId::bitset).insert, registry::actions(TypeId::bitset).append);

    // remove takes its values out of the set, from a plain set and from a complemented one;
    // it needs /part.
    Cell b_spec = C('b');
    bitset::remove(bits, &b_spec, nullptr);
    EXPECT_TRUE(pick(bits, str("ac")));
    EXPECT_FALSE(pick(bits, C('b')));
    Cell not_a = make(blk({W("not"), str("a")}));
    Cell far = blk({I(70), I(5000)});
    bitset::remove(not_a, &far, nullptr);
    EXPECT_FALSE(pick(not_a, I(70)));
    EXPECT_FALSE(pick(not_a, I(5000)));
    EXPECT_TRUE(pick(not_a, I(4999)));
    EXPECT_TRUE(pick(not_a, I(5001)));
    EXPECT_FALSE(pick(not_a, C('a')));
    EXPECT_EQ(trapped([&] { bitset::remove(bits, nullptr, nullptr); return bits; }).error,
              ErrorId::script_missing_arg);

    // Appending to a complemented set beyond its bytes adds nothing that was not there.
    Cell not_b = make(blk({W("not"), str("b")}));
    bitset::append(not_b, blk({C('b'), I(9000)}), -1, false, 1, false);
    EXPECT_TRUE(pick(not_b, blk({C('b'), I(9000), I(9001)})));

    // clear leaves the empty set, keeping the stored length.
    for (Cell set : {make(str("abc")), make(blk({W("not"), str("abc")}))}) {
        int32_t length = bitset::length_q(set);
        bitset::clear(set);
        EXPECT_EQ(bitset::length_q(set), length);
        EXPECT_FALSE(pick(set, C('a')));
        EXPECT_FALSE(pick(set, C('z')));
        EXPECT_FALSE(pick(set, I(100000)));
    }
}

TEST_F(Bitset, LengthComplementCopyAndCompare) {
    EXPECT_EQ(bitset::length_q(make(I(9))), 16);
    EXPECT_EQ(bitset::length_q(make(I(0))), 0);

    Cell abc = make(str("abc"));
    Cell once = bitset::complement(abc);
    EXPECT_EQ(molded(once), "make bitset! [not #{" + k12Zeros + "70}]");
    EXPECT_FALSE(pick(once, C('b')));
    EXPECT_TRUE(pick(once, C('d')));
    Cell twice = bitset::complement(once);
    EXPECT_EQ(bitset::compare(twice, abc, CompareOp::equal), 0);
    EXPECT_NE(bitset::compare(twice, abc, CompareOp::same), 0);
    EXPECT_EQ(bitset::compare(abc, abc, CompareOp::same), 0);
    Cell negated = abc;
    bitset::negate(negated);
    EXPECT_EQ(bitset::compare(negated, once, CompareOp::equal), 0);

    Cell copied;
    bitset::copy(abc, copied, nullptr, false, nullptr);
    EXPECT_NE(copied.data2, abc.data2);
    EXPECT_EQ(bitset::compare(copied, abc, CompareOp::equal), 0);
    bitset::poke(copied, 0, C('z'), I(1));
    EXPECT_FALSE(pick(abc, C('z')));

    struct Case { Cell a, b; int32_t expected; };
    const Case kCases[] = {
        {make(I(16)), make(I(8)), 1},                       // the longer is the greater
        {make(I(8)), make(I(16)), -1},
        {make(I(0)), make(I(0)), 0},
        {make(I(8)), make(blk({W("not")})), -1},             // the complemented is the greater
        {make(blk({W("not")})), make(I(8)), 1},
        {make(blk({I(7), I(8)})), make(blk({I(0), I(9)})), 1},  // the last byte decides
        {make(blk({I(0), I(9)})), make(blk({I(7), I(8)})), -1},
    };
    for (const Case& c : kCases) EXPECT_EQ(bitset::compare(c.a, c.b, CompareOp::sort), c.expected);
    EXPECT_EQ(bitset::compare(abc, I(1), CompareOp::equal), kNotComparable);
}

// Every set operation as a truth table over sample values, for plain and complemented operands
// of different lengths: membership must follow the operation exactly, beyond both operands'
// stored bytes too.
TEST_F(Bitset, SetOperationTruthTables) {
    const std::vector<int64_t> samples = [] {
        std::vector<int64_t> v;
        for (int64_t n = 0; n < 200; ++n) v.push_back(n);
        for (int64_t n : {1000, 65535, 1000000}) v.push_back(n);
        return v;
    }();
    auto short_set = [] { return blk({I(1), I(5), I(70)}); };               // 9 bytes
    auto long_set = [] { return blk({I(5), I(7), I(70), I(71), I(150)}); };  // 19 bytes
    auto negated = [](Cell spec) { return blk({W("not"), spec}); };
    struct Operand { const char* name; Cell value; };
    const Operand kOperands[] = {
        {"short", make(short_set())},
        {"not short", make(negated(short_set()))},
        {"long", make(long_set())},
        {"not long", make(negated(long_set()))},
        {"empty", make(I(0))},
        {"not empty", bitset::complement(make(I(0)))},
    };
    struct Op { MathOp op; bool (*truth)(bool, bool); };
    const Op kOps[] = {
        {MathOp::or_, [](bool a, bool b) { return a || b; }},
        {MathOp::union_, [](bool a, bool b) { return a || b; }},
        {MathOp::and_, [](bool a, bool b) { return a && b; }},
        {MathOp::intersect, [](bool a, bool b) { return a && b; }},
        {MathOp::xor_, [](bool a, bool b) { return a != b; }},
        {MathOp::difference, [](bool a, bool b) { return a != b; }},
        {MathOp::exclude, [](bool a, bool b) { return a && !b; }},
    };
    for (const Operand& a : kOperands) {
        for (const Operand& b : kOperands) {
            for (const Op& op : kOps) {
                SCOPED_TRACE(std::string(a.name) + " op " + std::to_string(int(op.op)) + " " + b.name);
                Cell r = bitset::set_operation(a.value, b.value, op.op);
                for (int64_t n : samples) {
                    bool expected = op.truth(bitset::member_q(a.value, n), bitset::member_q(b.value, n));
                    ASSERT_EQ(bitset::member_q(r, n), expected) << "value " << n;
                }
            }
        }
    }
}

TEST_F(Bitset, SetOperationsOnPlainSetsKeepTheirLengths) {
    Cell a = make(blk({I(1), I(70)}));  // 9 bytes
    Cell b = make(blk({I(1), I(150)}));  // 19 bytes
    struct Case { MathOp op; int32_t length; std::string bytes; };
    // 1 is 0x40 in byte 0; 70 and 150 are 0x02 in bytes 8 and 18.
    auto zeros = [](int n) { return std::string(size_t(n) * 2, '0'); };
    const Case kCases[] = {
        {MathOp::or_, 152, "40" + zeros(7) + "02" + zeros(9) + "02"},
        {MathOp::and_, 72, "40" + zeros(8)},  // cut to the common bytes
        {MathOp::intersect, 152, "40" + zeros(18)},
        {MathOp::xor_, 152, zeros(8) + "02" + zeros(9) + "02"},
        {MathOp::exclude, 152, zeros(8) + "02" + zeros(10)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(int(c.op));
        Cell r = bitset::set_operation(a, b, c.op);
        EXPECT_EQ(bitset::length_q(r), c.length);
        EXPECT_EQ(molded(r), "make bitset! #{" + c.bytes + "}");
    }
    EXPECT_EQ(bitset::set_operation(a, b, MathOp::unique).data2, a.data2);
    EXPECT_EQ(trapped([&] { return bitset::set_operation(a, I(1), MathOp::or_); }).error,
              ErrorId::script_invalid_type);

    // The frame actions leave the result in argument 0.
    frame::push_native(W("or~"));
    stack::push(a);
    stack::push(b);
    bitset::or_();
    EXPECT_EQ(molded(stack::base[0]), "make bitset! #{" + kCases[0].bytes + "}");
    frame::pop();
}

TEST_F(Bitset, MoldStopsAtTheLimit) {
    Cell plain = make(bin({0x12, 0xAB}));  // make bitset! #{12AB}: 20 characters
    Cell negated = make(blk({W("not"), bin({0x12})}));  // make bitset! [not #{12}]: 24
    struct Case { Cell value; int32_t limit; std::string text; int32_t left; };
    const Case kCases[] = {
        {plain, 100, "make bitset! #{12AB}", 80},
        {plain, 20, "make bitset! #{12AB}", 0},
        {plain, 19, "make bitset! #{12AB", 0},
        {plain, 16, "make bitset! #{1", 0},
        {plain, 5, "make ", 0},
        {plain, 0, "", 0},
        {negated, 24, "make bitset! [not #{12}]", 0},
        {negated, 23, "make bitset! [not #{12}", 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.limit);
        Molded m = mold_of(c.value, c.limit);
        EXPECT_EQ(m.text, c.text);
        EXPECT_EQ(m.left, c.left);
    }
}

}  // namespace
