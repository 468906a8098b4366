// block!: mold and form with new-line flags, comparison, search, insertion, change, sort and
// the set operations, on blocks built in C++.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/hooks.h"
#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "runtime/hooks.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::trapped;

namespace {

Cell B(std::initializer_list<Cell> cells, uint32_t head = 0) { return test::blk(cells, head); }
Cell I(int32_t v) { return cell::integer(v); }
Cell nl(Cell c) {
    c.header |= cell_flag::new_line;
    return c;
}
Cell at(Cell s, uint32_t head) {
    s.data1 = head;
    return s;
}

struct Molded {
    std::string text;
    int32_t left;
};
Molded mold(const Cell& v, bool only = false, bool flat = false, int32_t limit = -1) {
    Node s = series::alloc_bytes(64);
    Cell part = I(limit);
    int32_t start = limit >= 0 ? limit : 1000;
    int32_t left = registry::actions(type_of(v)).mold(v, s, only, false, flat, limit >= 0 ? &part : nullptr,
                                                       start, 0);
    return {test::byte_text(s), left};
}
Molded form(const Cell& v) {
    Node s = series::alloc_bytes(64);
    int32_t left = registry::actions(type_of(v)).form(v, s, nullptr, 1000);
    return {test::byte_text(s), left};
}

// The integers of a block from its head (0 for any other value).
std::vector<int32_t> ints(const Cell& b) {
    std::vector<int32_t> out;
    for (uint32_t i = b.data1; i < series_::total_length(b); ++i) {
        Cell c = *block::cell_at(b, i);
        out.push_back(is(c, TypeId::integer) ? cell::get_integer(c) : 0);
    }
    return out;
}
using V = std::vector<int32_t>;

// Comparators written in C++ stand in for Kaz functions: a function! value names one by its
// data1.
std::vector<std::function<Cell(const Cell&, const Cell&)>> comparators;
int compare_calls = 0;
Cell call_comparator(const Cell& fn, const Cell* args, int count) {
    EXPECT_EQ(count, 2);
    ++compare_calls;
    return comparators.at(fn.data1)(args[0], args[1]);
}
Cell function(std::function<Cell(const Cell&, const Cell&)> f) {
    comparators.push_back(std::move(f));
    return cell::make(TypeId::function, uint32_t(comparators.size() - 1), 0, 0);
}

class Block : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        integer::init();
        logic::init();
        series_::init();
        block::init();
        datatype_hooks.call_function = call_comparator;
        if (!runtime_hooks.compare_cells)
            runtime_hooks.compare_cells = [](const Cell& a, const Cell& b, CompareOp op) {
                CompareAction c = registry::actions(type_of(a)).compare;
                return c ? c(a, b, op) : kNotComparable;
            };
        comparators.clear();
        compare_calls = 0;
    }
    test::KeepHooks keep_hooks_;
};

TEST_F(Block, MoldBreaksLinesAndIndentsByTheNewLineFlags) {
    struct Case { const char* name; Cell value; bool only, flat; std::string expected; };
    const Case kCases[] = {
        {"plain", B({I(1), I(2), I(3)}), false, false, "[1 2 3]"},
        {"empty", B({}), false, false, "[]"},
        {"first on a new line", B({nl(I(1)), I(2), I(3)}), false, false, "[\n    1 2 3\n]"},
        {"later on a new line", B({I(1), nl(I(2)), I(3)}), false, false, "[1\n2 3]"},
        {"nested", B({I(1), B({nl(I(2)), nl(I(3))}), I(4)}), false, false, "[1 [\n    2\n    3\n] 4]"},
        {"two levels", B({nl(B({nl(I(1))}))}), false, false, "[\n    [\n        1\n    ]\n]"},
        {"flat", B({nl(I(1)), nl(I(2))}), false, true, "[1 2]"},
        {"only, first on a new line", B({nl(I(1)), I(2)}), true, false, "1 2"},
        {"only, later on a new line", B({I(1), nl(I(2))}), true, false, "1\n2"},
        {"from the head", B({I(1), I(2), I(3)}, 1), false, false, "[2 3]"},
        {"head on a flagged value", B({I(1), nl(I(2))}, 1), false, false, "[\n    2\n]"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Molded m = mold(c.value, c.only, c.flat);
        EXPECT_EQ(m.text, c.expected);
        EXPECT_EQ(m.left, 1000 - int32_t(m.text.size()));  // every writer counts what it writes
    }
}

TEST_F(Block, MoldAndFormStopAtThePartLimitAndMarkCycles) {
    // The limit is checked before each value; the closing bracket is still written.
    Molded m = mold(B({I(1), I(22), I(3), I(4)}), false, false, 4);
    EXPECT_EQ(m.text, "[1 2]");
    EXPECT_EQ(m.left, -1);
    EXPECT_EQ(mold(B({I(1), I(2)}), true, false, 1).text, "1");

    Cell self = B({I(1)});
    block::append_cell(self, self);
    block::append_cell(self, I(2));
    EXPECT_EQ(mold(self).text, "[1 [...] 2]");
    EXPECT_EQ(form(self).text, "1 ... 2");

    Molded f = form(B({I(1), B({I(2), logic::true_}), cell::none(), I(4)}));
    EXPECT_EQ(f.text, "1 2 true none 4");
    EXPECT_EQ(f.left, 1000 - 15);
}

TEST_F(Block, WordsSelectByExactOrCanonicalSymbol) {
    Cell foo = word::from_c_string("foo"), Foo = word::from_c_string("Foo");
    Cell set_foo = foo;
    cell::set_type(set_foo, TypeId::set_word);
    Cell s = B({I(1), set_foo, I(2), Foo, I(3)});
    EXPECT_EQ(cell::get_integer(block::select_word(s, Foo, true)), 3);
    EXPECT_EQ(cell::get_integer(block::select_word(s, Foo, false)), 2);  // case variants are one word
    EXPECT_EQ(cell::get_integer(block::eval_path(s, foo, nullptr, {})), 2);
    EXPECT_EQ(cell::get_integer(block::eval_path(s, Foo, nullptr, {.case_ = true})), 3);
    EXPECT_TRUE(is(block::select_word(B({foo}), foo, true), TypeId::none));  // nothing after it
    EXPECT_EQ(mold(B({foo, nl(set_foo), I(2)})).text, "[foo\nfoo: 2]");
    EXPECT_EQ(form(B({foo, B({Foo, I(2)})})).text, "foo Foo 2");

    // A typeset becomes the words naming its types, in id order.
    Cell ts = typeset::make(cell::none(), B({cell::datatype(TypeId::integer), cell::datatype(TypeId::block)}),
                            TypeId::typeset);
    EXPECT_EQ(mold(block::to(cell::datatype(TypeId::block), ts, TypeId::block)).text, "[block! integer!]");
}

TEST_F(Block, CompareByLengthThenCells) {
    struct Case { Cell a, b; CompareOp op; int32_t expected; };
    Cell shared = B({I(1), I(2)});
    const Case kCases[] = {
        {B({I(1), I(2)}), B({I(1), I(2)}), CompareOp::equal, 0},
        {B({I(1), I(2)}), B({I(1)}), CompareOp::equal, 1},                      // lengths differ
        {B({I(1), I(2)}), B({I(1), cell::float_(2.0)}), CompareOp::equal, 0},   // numbers compare
        {B({I(1), I(2)}), B({I(1), cell::float_(2.0)}), CompareOp::strict_equal, 1},
        {B({I(1)}), B({I(2)}), CompareOp::lesser, -1},
        {B({I(3)}), B({I(2), I(9)}), CompareOp::sort, 1},
        {B({I(1)}), B({I(1), I(9)}), CompareOp::sort, -1},                      // then by length
        {B({}, 0), B({I(5)}), CompareOp::sort, 0},                              // at its tail
        {B({I(1)}), B({cell::none()}), CompareOp::sort, 1},                     // ordered by type id
        {shared, shared, CompareOp::same, 0},
        {shared, B({I(1), I(2)}), CompareOp::same, -1},
        {B({I(1)}), I(1), CompareOp::equal, kNotComparable},
    };
    int i = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(i++);
        EXPECT_EQ(block::compare(c.a, c.b, c.op), c.expected);
    }
}

TEST_F(Block, FindWithEveryRefinement) {
    Cell s = B({I(1), I(2), I(3), I(1), I(2), I(3), I(4)});
    Cell seq = B({I(2), I(3)});
    Cell two = I(2), three = I(3), bad = B({});
    struct Case { const char* name; uint32_t head; Cell value; FindOptions o; std::optional<uint32_t> at; };
    const Case kCases[] = {
        {"plain", 0, I(2), {}, 1},
        {"absent", 0, I(9), {}, {}},
        {"from the head", 2, I(2), {}, 4},
        {"sequence", 2, seq, {}, 4},
        {"sequence as one value", 0, seq, {.only = true}, {}},
        {"last", 0, I(1), {.last = true}, 3},
        {"last before the head", 5, I(1), {.last = true}, 3},
        {"reverse", 5, I(1), {.reverse = true}, 3},
        {"reverse at the tail", 7, I(4), {.reverse = true}, 6},
        {"reverse sequence", 7, seq, {.reverse = true}, 4},
        {"tail of a value", 0, I(2), {.tail = true}, 2},
        {"tail of a sequence", 0, seq, {.tail = true}, 3},
        {"tail walking back", 7, I(3), {.reverse = true, .tail = true}, 6},
        {"match at the head", 1, I(2), {.match = true}, 1},
        {"match elsewhere", 0, I(2), {.match = true}, {}},
        {"part", 0, I(3), {.part = &two}, {}},
        {"part reaching", 0, I(3), {.part = &three}, 2},
        {"skip", 0, I(4), {.skip = &three}, 6},
        {"skip misses", 0, I(2), {.skip = &three}, {}},
        {"datatype", 0, cell::datatype(TypeId::integer), {}, 0},
        {"empty sequence", 3, bad, {}, 3},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell r = block::find(at(s, c.head), c.value, c.o);
        if (!c.at) {
            EXPECT_TRUE(is(r, TypeId::none));
        } else {
            ASSERT_TRUE(is(r, TypeId::block));
            EXPECT_EQ(r.data1, *c.at);
        }
    }
    Cell zero = I(0);
    EXPECT_EQ(trapped([&] { return block::find(s, I(1), {.skip = &zero}); }).error, ErrorId::script_out_of_range);
    EXPECT_EQ(trapped([&] { return block::find(s, I(1), {.skip = &bad}); }).error,
              ErrorId::script_invalid_refine_arg);
    EXPECT_EQ(trapped([&] { return block::find(s, I(1), {.part = &bad}); }).error,
              ErrorId::script_invalid_refine_arg);
}

TEST_F(Block, SelectAndPut) {
    Cell s = B({I(1), I(10), I(2), I(20)});
    EXPECT_EQ(cell::get_integer(block::select(s, I(2), {})), 20);
    EXPECT_TRUE(is(block::select(s, I(20), {}), TypeId::none));  // the last cell
    EXPECT_EQ(cell::get_integer(block::select(s, B({I(10), I(2)}), {})), 20);  // after the sequence

    block::put(s, I(2), I(21), false);
    block::put(s, I(3), I(30), false);
    block::put(s, I(30), I(31), false);  // a key with nothing after it takes the value at the tail
    EXPECT_EQ(ints(s), (V{1, 10, 2, 21, 3, 30, 31}));
}

TEST_F(Block, AppendAndInsertSpreadRepeatAndReturn) {
    Cell s = B({I(1), I(2)}, 1);
    Cell r = block::append(s, B({I(7), I(8)}, 0), -1, false, 3, true);
    EXPECT_EQ(r.data1, 0u);
    EXPECT_EQ(ints(r), (V{1, 2, 7, 8, 7, 8, 7, 8}));

    Cell t = B({I(1), I(2)}, 1);
    r = block::append(t, B({I(7), I(8), I(9)}), 2, false, 1, false);
    EXPECT_EQ(r.data1, 3u);  // just past the insertion
    EXPECT_EQ(ints(at(r, 0)), (V{1, 7, 8, 2}));

    Cell only = B({I(1)});
    block::append(only, B({I(5), I(6)}), -1, true, 1, true);
    EXPECT_EQ(block::length_from_head(only), 2u);
    EXPECT_TRUE(is(*block::cell_at(only, 1), TypeId::block));

    // An empty value changes nothing and returns the series as given.
    Cell u = B({I(1), I(2)}, 1);
    r = block::append(u, B({}), -1, false, 1, true);
    EXPECT_EQ(r.data1, 1u);
    EXPECT_EQ(ints(at(u, 0)), (V{1, 2}));

    // A block appended to itself is copied as it was.
    Cell self = B({I(1), I(2)});
    block::append(self, self, -1, false, 1, false);
    EXPECT_EQ(ints(self), (V{1, 2, 1, 2}));

    // Growth keeps the new-line flags of the values copied.
    Cell big = B({});
    for (int i = 0; i < 1000; ++i) block::append(big, i % 2 ? nl(I(i)) : I(i), -1, false, 1, true);
    EXPECT_EQ(block::length_from_head(big), 1000u);
    EXPECT_TRUE(cell::new_line_q(*block::cell_at(big, 999)));
    EXPECT_FALSE(cell::new_line_q(*block::cell_at(big, 998)));
}

TEST_F(Block, ChangeReplacesAndReturnsPastTheChange) {
    struct Case { const char* name; uint32_t head; Cell value; int32_t part; bool only; int32_t dup; V after; uint32_t at; };
    const Case kCases[] = {
        {"one value", 1, I(9), -1, false, 1, {1, 9, 3, 4}, 2},
        {"a block spread", 1, B({I(8), I(9)}), -1, false, 1, {1, 8, 9, 4}, 3},
        {"longer than the rest", 3, B({I(7), I(8), I(9)}), -1, false, 1, {1, 2, 3, 7, 8, 9}, 6},
        {"part shorter", 0, B({I(7), I(8), I(9)}), 1, false, 1, {7, 8, 9, 2, 3, 4}, 3},
        {"part longer", 0, I(0), 3, false, 1, {0, 4}, 1},
        {"dup", 1, I(5), -1, false, 3, {1, 5, 5, 5}, 4},
        {"at the tail", 4, I(5), -1, false, 1, {1, 2, 3, 4, 5}, 5},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell s = B({I(1), I(2), I(3), I(4)}, c.head);
        Cell r = block::change(s, c.value, c.part, c.only, c.dup, false);
        EXPECT_EQ(r.data1, c.at);
        EXPECT_EQ(ints(at(s, 0)), c.after);
    }
    // A value taken from the same block keeps its content through the move.
    Cell s = B({I(1), I(2), I(3), I(4)});
    block::change(s, at(s, 2), 1, false, 1, false);
    EXPECT_EQ(ints(s), (V{3, 4, 2, 3, 4}));
}

TEST_F(Block, SortByDefaultOffsetsRecordsAndParts) {
    Cell two = I(2), three = I(3), four = I(4), one = I(1);
    Cell s = B({I(3), I(1), I(2)});
    block::sort(s, {});
    EXPECT_EQ(ints(s), (V{1, 2, 3}));
    block::sort(s, {.reverse = true});
    EXPECT_EQ(ints(s), (V{3, 2, 1}));

    Cell rec = B({I(3), I(1), I(1), I(9), I(2), I(0)});
    block::sort(rec, {.skip = &two});
    EXPECT_EQ(ints(rec), (V{1, 9, 2, 0, 3, 1}));
    block::sort(rec, {.skip = &two, .compare = &two});
    EXPECT_EQ(ints(rec), (V{2, 0, 3, 1, 1, 9}));
    Cell ties = B({I(2), I(1), I(1), I(9), I(2), I(0)});
    block::sort(ties, {.skip = &two, .all = true});
    EXPECT_EQ(ints(ties), (V{1, 9, 2, 0, 2, 1}));

    Cell part = B({I(5), I(4), I(3), I(2), I(1)}, 1);
    block::sort(part, {.part = &two});
    EXPECT_EQ(ints(at(part, 0)), (V{5, 3, 4, 2, 1}));
    Cell back = I(-2);
    Cell r = block::sort(at(part, 3), {.part = &back});
    EXPECT_EQ(r.data1, 1u);
    EXPECT_EQ(ints(at(part, 0)), (V{5, 3, 4, 2, 1}));

    // Mixed types fall back to the order of their type ids.
    Cell mixed = B({cell::none(), I(2), logic::true_, I(1)});
    block::sort(mixed, {});
    EXPECT_EQ(ints(mixed), (V{0, 0, 1, 2}));
    EXPECT_TRUE(is(*block::cell_at(mixed, 0), TypeId::none));

    struct Case { SortOptions o; ErrorId error; };
    Cell text = B({});
    const Case kCases[] = {
        {{.skip = &four}, ErrorId::script_invalid_refine_arg},   // 6 is not a multiple of 4
        {{.skip = &text}, ErrorId::script_invalid_refine_arg},
        {{.all = true}, ErrorId::script_bad_refines},
        {{.compare = &one}, ErrorId::script_bad_refines},         // an offset needs /skip
        {{.skip = &two, .compare = &three}, ErrorId::script_out_of_range},
        {{.compare = &text}, ErrorId::script_invalid_refine_arg},
        {{.part = &text}, ErrorId::script_invalid_refine_arg},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(trapped([&] { return block::sort(B({I(1), I(2), I(3), I(4), I(5), I(6)}), c.o); }).error, c.error);
}

TEST_F(Block, StableSortKeepsEqualRecordsInOrder) {
    // Records (key, tag): equal keys keep their tags' order.
    Cell two = I(2);
    Cell s = B({I(2), I(1), I(1), I(2), I(2), I(3), I(1), I(4), I(0), I(5), I(1), I(6)});
    block::sort(s, {.skip = &two, .stable = true});
    EXPECT_EQ(ints(s), (V{0, 5, 1, 2, 1, 4, 1, 6, 2, 1, 2, 3}));
    block::sort(s, {.skip = &two, .reverse = true, .stable = true});
    EXPECT_EQ(ints(s), (V{2, 1, 2, 3, 1, 2, 1, 4, 1, 6, 0, 5}));

    Cell big = B({});
    for (int i = 0; i < 2000; ++i) {
        block::append_cell(big, I((i * 7919) % 13));
        block::append_cell(big, I(i));
    }
    block::sort(big, {.skip = &two, .stable = true});
    V v = ints(big);
    for (size_t i = 2; i < v.size(); i += 2) {
        ASSERT_LE(v[i - 2], v[i]);
        if (v[i - 2] == v[i]) {
            ASSERT_LT(v[i - 1], v[i + 1]);
        }
    }
}

TEST_F(Block, UserComparatorsMapTheirResultsOneWay) {
    // A positive answer, like true, puts the comparator's first argument first.
    struct Case { const char* name; std::function<Cell(const Cell&, const Cell&)> f; bool reverse; V expected; };
    auto x = [](const Cell& c) { return cell::get_integer(c); };
    const Case kCases[] = {
        {"logic", [&](const Cell& a, const Cell& b) { return cell::logic(x(a) < x(b)); }, false, {1, 2, 3, 4}},
        {"logic reversed", [&](const Cell& a, const Cell& b) { return cell::logic(x(a) < x(b)); }, true, {4, 3, 2, 1}},
        {"integer", [&](const Cell& a, const Cell& b) { return I(x(a) - x(b)); }, false, {4, 3, 2, 1}},
        {"float", [&](const Cell& a, const Cell& b) { return cell::float_(x(b) - x(a) + 0.5); }, false, {1, 2, 3, 4}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        for (bool stable : {false, true}) {
            Cell f = function(c.f);
            Cell s = B({I(3), I(1), I(4), I(2)});
            block::sort(s, {.compare = &f, .reverse = c.reverse, .stable = stable});
            EXPECT_EQ(ints(s), c.expected);
        }
    }
    // none! keeps every pair as it stands.
    Cell keep = function([](const Cell&, const Cell&) { return cell::none(); });
    Cell s = B({I(3), I(1), I(4), I(2)});
    block::sort(s, {.compare = &keep, .stable = true});
    EXPECT_EQ(ints(s), (V{3, 1, 4, 2}));

    // With /all the comparator gets the two records as blocks.
    Cell two = I(2);
    Cell by_second = function([](const Cell& a, const Cell& b) {
        return cell::logic(cell::get_integer(*block::cell_at(a, 1)) < cell::get_integer(*block::cell_at(b, 1)));
    });
    Cell rec = B({I(1), I(30), I(2), I(10), I(3), I(20)});
    block::sort(rec, {.skip = &two, .compare = &by_second, .all = true});
    EXPECT_EQ(ints(rec), (V{2, 10, 3, 20, 1, 30}));

    datatype_hooks.call_function = nullptr;
    EXPECT_EQ(trapped([&] { return block::sort(B({I(2), I(1)}), {.compare = &keep}); }).error,
              ErrorId::internal_not_done);
}

TEST_F(Block, AComparatorThatFailsOrChangesTheSeriesLeavesItSound) {
    // A comparator that raises leaves the values as they stood: the order was being found on
    // record numbers.
    int calls = 0;
    Cell failing = function([&](const Cell& a, const Cell& b) {
        if (++calls == 40) error::raise(ErrorId::script_invalid_arg, a);
        return cell::logic(cell::get_integer(a) < cell::get_integer(b));
    });
    Cell s = B({});
    for (int i = 0; i < 100; ++i) block::append_cell(s, I((i * 37) % 100));
    V before = ints(s);
    for (bool stable : {false, true}) {
        calls = 0;
        EXPECT_EQ(trapped([&] { return block::sort(s, {.compare = &failing, .stable = stable}); }).error,
                  ErrorId::script_invalid_arg);
        EXPECT_EQ(ints(s), before);
    }

    // One that grows the series (moving its buffer) still sorts the records it was given.
    Cell grown = B({I(5), I(3), I(9), I(1)});
    Cell growing = function([&](const Cell& a, const Cell& b) {
        for (int i = 0; i < 50; ++i) block::append_cell(grown, I(100));
        return cell::logic(cell::get_integer(a) < cell::get_integer(b));
    });
    block::sort(grown, {.compare = &growing, .stable = true});
    V g = ints(grown);
    EXPECT_EQ(V(g.begin(), g.begin() + 4), (V{1, 3, 5, 9}));

    // One that shrinks it stops the sort with an error before any cell past the tail is read.
    Cell shrunk = B({I(5), I(3), I(9), I(1), I(7), I(2)});
    Cell shrinking = function([&](const Cell&, const Cell&) {
        block::remove_last(shrunk);
        return logic::true_;
    });
    for (bool stable : {false, true}) {
        EXPECT_EQ(trapped([&] { return block::sort(shrunk, {.compare = &shrinking, .stable = stable}); }).error,
                  ErrorId::script_past_end);
    }
    EXPECT_EQ(ints(shrunk), (V{5, 3, 9, 1}));
}

TEST_F(Block, SetOperationsKeepFirstAppearances) {
    struct Case { MathOp op; Cell a, b; const Cell* skip; V expected; };
    Cell two = I(2);
    const Case kCases[] = {
        {MathOp::unique, B({I(1), I(2), I(1), I(3), I(2)}), B({}), nullptr, {1, 2, 3}},
        {MathOp::union_, B({I(1), I(2), I(1)}), B({I(3), I(2), I(4)}), nullptr, {1, 2, 3, 4}},
        {MathOp::intersect, B({I(1), I(2), I(3), I(2)}), B({I(2), I(3), I(4)}), nullptr, {2, 3}},
        {MathOp::exclude, B({I(1), I(2), I(3), I(1)}), B({I(2)}), nullptr, {1, 3}},
        {MathOp::difference, B({I(1), I(2), I(3)}), B({I(2), I(4), I(4)}), nullptr, {1, 3, 4}},
        // Records of two: only the first cell decides.
        {MathOp::unique, B({I(1), I(10), I(2), I(20), I(1), I(30)}), B({}), &two, {1, 10, 2, 20}},
        {MathOp::exclude, B({I(1), I(10), I(2), I(20)}), B({I(9), I(1), I(2), I(0)}), &two, {1, 10}},
        {MathOp::union_, B({I(1), I(2)}, 1), B({I(2), I(5)}), nullptr, {2, 5}},
    };
    int i = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(i++);
        stack::base = stack::data_top;
        stack::push(c.a);
        stack::push(c.b);
        block::set_operation(c.op, false, c.skip);
        Cell r = stack::base[0];
        stack::data_top = stack::base;
        EXPECT_TRUE(is(r, TypeId::block));
        EXPECT_EQ(ints(r), c.expected);
    }
    Cell zero = I(0);
    EXPECT_EQ(trapped([&] {
                  stack::base = stack::data_top;
                  stack::push(B({I(1)}));
                  stack::push(B({I(1)}));
                  block::set_operation(MathOp::union_, false, &zero);
                  return stack::base[0];
              }).error,
              ErrorId::script_invalid_refine_arg);
    // Values of other types are distinct: 1 and 1.0 both stay.
    stack::base = stack::data_top;
    stack::push(B({I(1), cell::float_(1.0)}));
    stack::push(B({}));
    block::set_operation(MathOp::unique, false, nullptr);
    EXPECT_EQ(block::length_from_head(stack::base[0]), 2u);
}

TEST_F(Block, CopyTakeSwapTrim) {
    Cell inner = B({I(2), I(3)});
    Cell outer = B({I(1), nl(inner)});
    Cell shallow, deep;
    block::copy(outer, shallow, nullptr, false, nullptr);
    block::copy(outer, deep, nullptr, true, nullptr);
    EXPECT_EQ(block::cell_at(shallow, 1)->data2, inner.data2);
    EXPECT_NE(block::cell_at(deep, 1)->data2, inner.data2);
    EXPECT_TRUE(cell::new_line_q(*block::cell_at(deep, 1)));
    EXPECT_EQ(ints(*block::cell_at(deep, 1)), (V{2, 3}));
    // /types copies only the values of the named types.
    Cell typed;
    Cell paren_type = cell::datatype(TypeId::paren);
    block::copy(outer, typed, nullptr, false, &paren_type);
    EXPECT_EQ(block::cell_at(typed, 1)->data2, inner.data2);

    Cell self = B({I(1)});
    block::append_cell(self, self);
    EXPECT_EQ(trapped([&] {
                  Cell r;
                  block::copy(self, r, nullptr, true, nullptr);
                  return r;
              }).error,
              ErrorId::internal_no_cycle);

    Cell one = B({I(7)});
    Cell v = block::take(one, nullptr, false, false);
    EXPECT_TRUE(is(v, TypeId::integer));  // the value, not a block
    Cell part = I(1);
    Cell t = block::take(B({I(7), I(8)}), &part, false, false);
    EXPECT_TRUE(is(t, TypeId::block));
    Cell nested = B({B({I(1)})});
    Cell taken = block::take(nested, nullptr, true, false);
    EXPECT_TRUE(is(taken, TypeId::block));
    EXPECT_EQ(ints(taken), (V{1}));

    Cell a = B({I(1), I(2)}), b = B({I(3), I(4)}, 1);
    block::swap(a, b);
    EXPECT_EQ(ints(a), (V{4, 2}));
    EXPECT_EQ(ints(at(b, 0)), (V{3, 1}));
    EXPECT_EQ(trapped([&] {
                  block::swap(a, I(1));
                  return a;
              }).error,
              ErrorId::script_invalid_arg);

    Cell holes = B({cell::none(), I(1), cell::none(), cell::none(), I(2)}, 1);
    block::trim(holes, {});
    EXPECT_EQ(ints(at(holes, 0)), (V{0, 1, 2}));
}

TEST_F(Block, MakeToAndPathSteps) {
    Cell made = block::make(cell::datatype(TypeId::block), I(0), TypeId::block);
    EXPECT_EQ(series_::buffer(made)->capacity / 16, 1u);
    EXPECT_EQ(block::length_from_head(made), 0u);
    made = block::make(cell::datatype(TypeId::block), cell::float_(10.7), TypeId::paren);
    EXPECT_TRUE(is(made, TypeId::paren));
    EXPECT_GE(series_::buffer(made)->capacity / 16, 10u);
    Cell src = B({I(1), I(2)}, 1);
    Cell copied = block::make(cell::datatype(TypeId::block), src, TypeId::block);
    EXPECT_NE(copied.data2, src.data2);
    EXPECT_EQ(ints(copied), (V{2}));
    EXPECT_EQ(trapped([&] { return block::make(cell::datatype(TypeId::block), logic::true_, TypeId::block); }).error,
              ErrorId::script_bad_make_arg);
    Cell wrapped = block::to(cell::datatype(TypeId::block), I(5), TypeId::block);
    EXPECT_EQ(ints(wrapped), (V{5}));

    // Integers step by position; other values select the value after them.
    Cell s = B({I(1), I(10), cell::none(), I(20)});
    EXPECT_EQ(cell::get_integer(block::eval_path(s, I(2), nullptr, {})), 10);
    EXPECT_EQ(cell::get_integer(block::eval_path(s, cell::none(), nullptr, {})), 20);
    EXPECT_TRUE(is(block::eval_path(s, logic::true_, nullptr, {}), TypeId::none));
    Cell v = I(99);
    block::eval_path(s, I(2), &v, {});
    Cell w = I(77);
    block::eval_path(s, cell::none(), &w, {});
    EXPECT_EQ(ints(s), (V{1, 99, 0, 77}));
    EXPECT_EQ(trapped([&] { return block::eval_path(s, logic::true_, &v, {}); }).error, ErrorId::script_bad_path_set);
    EXPECT_EQ(trapped([&] { return block::eval_path(s, I(9), &v, {}); }).error, ErrorId::script_out_of_range);
}

}  // namespace
