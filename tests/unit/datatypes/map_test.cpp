// map!: key rules (word kinds, case, copies of text keys, none! removing), removed pairs being
// reused and skipped, molds and forms, comparison, copies, reflection, extend and foreach.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/integer.h"
#include "datatypes/internal.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
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

Cell B(std::initializer_list<Cell> cells) { return test::blk(cells); }
Cell I(int32_t v) { return cell::integer(v); }
Cell as(Cell c, TypeId t) {
    cell::set_type(c, t);
    return c;
}
Cell w(const char* name) { return word::from_c_string(name); }
Cell sw(const char* name) { return as(w(name), TypeId::set_word); }

struct Molded {
    std::string text;
    int32_t left;
};
Molded mold(const Cell& v, bool only = false, bool flat = false, int32_t indent = 0, int32_t part = -1) {
    Cell out = string::make_cell(16);
    Cell p = I(part);
    int32_t limit = part >= 0 ? part : 1000;
    int32_t left = registry::actions(type_of(v)).mold(v, out.data2, only, false, flat, part >= 0 ? &p : nullptr,
                                                      limit, indent);
    return {utf8_of(out), left};
}
std::string form(const Cell& v) {
    Cell out = string::make_cell(16);
    registry::actions(type_of(v)).form(v, out.data2, nullptr, 1000);
    return utf8_of(out);
}

Cell make_map(std::initializer_list<Cell> pairs) { return map::make(cell::none(), B(pairs), TypeId::map); }
Cell select(const Cell& m, const Cell& key, bool case_ = false) {
    FindOptions o;
    o.case_ = case_;
    return map::select(m, key, o);
}
int32_t int_of(const Cell& c) { return is(c, TypeId::integer) ? cell::get_integer(c) : -999; }
uint32_t cells_in(const Cell& m) { return series_::total_length(m); }

class Map : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        cycles::reset();
        integer::init();
        logic::init();
        none::init();
        series_::init();
        block::init();
        string::init();
        char_::init();
        word::init();
        map::init();
    }
};

// ---- keys ----

TEST_F(Map, EveryWordKindReachesTheSameEntry) {
    Cell m = make_map({});
    map::put(m, w("alpha"), I(1), false);
    for (TypeId t : {TypeId::word, TypeId::set_word, TypeId::lit_word, TypeId::get_word}) {
        SCOPED_TRACE(int(t));
        EXPECT_EQ(int_of(select(m, as(w("alpha"), t))), 1);
    }
    EXPECT_EQ(int_of(select(m, w("ALPHA"))), 1);                 // case variants are one word
    EXPECT_TRUE(is(select(m, w("ALPHA"), true), TypeId::none));  // unless case is asked for
    Cell found = map::find(m, as(w("alpha"), TypeId::lit_word), FindOptions{});
    EXPECT_TRUE(is(found, TypeId::word));
    EXPECT_EQ(found.data2, w("alpha").data2);
    // Stored as a set-word!: the body molds it so.
    EXPECT_EQ(mold(m, false, true).text, "#[alpha: 1]");
    EXPECT_TRUE(is(select(m, as(w("alpha"), TypeId::refinement)), TypeId::none));
}

TEST_F(Map, TextKeysFoldCaseAndAreCopiedWhenStored) {
    Cell m = make_map({});
    Cell key = str("Key");
    map::put(m, key, I(1), false);
    map::put(m, str("KEY"), I(2), false);  // the same entry
    EXPECT_EQ(map::length_q(m), 1);
    EXPECT_EQ(int_of(select(m, str("key"))), 2);
    EXPECT_TRUE(is(select(m, str("key"), true), TypeId::none));
    map::put(m, str("key"), I(3), true);  // with case, another entry
    EXPECT_EQ(map::length_q(m), 2);
    EXPECT_EQ(int_of(select(m, str("key"), true)), 3);
    EXPECT_EQ(int_of(select(m, str("Key"), true)), 2);

    // Changing the original string leaves the stored key alone.
    string::append(key, str("zzz"), -1, false, 1, true);
    EXPECT_EQ(int_of(select(m, str("Key"), true)), 2);
    EXPECT_TRUE(is(select(m, str("Keyzzz")), TypeId::none));
    EXPECT_EQ(utf8_of(map::find(m, str("KEY"), FindOptions{})), "Key");

    // A key from a string's head only.
    Cell tail_part = str("xxname");
    tail_part.data1 = 2;
    map::put(m, tail_part, I(4), false);
    EXPECT_EQ(int_of(select(m, str("NAME"))), 4);
}

TEST_F(Map, NoneRemovesAKeyAndAPutRevivesItsPair) {
    Cell m = make_map({sw("a"), I(1), sw("b"), I(2)});
    Cell none = cell::none();
    EXPECT_TRUE(is(map::put(m, w("a"), none, false), TypeId::none));
    EXPECT_EQ(map::length_q(m), 1);
    EXPECT_TRUE(is(select(m, w("a")), TypeId::none));
    EXPECT_TRUE(is(map::find(m, w("a"), FindOptions{}), TypeId::none));
    EXPECT_EQ(mold(m, false, true).text, "#[b: 2]");
    map::put(m, w("zz"), none, false);  // removing what is absent adds nothing
    EXPECT_EQ(cells_in(m), 4u);

    map::put(m, w("a"), I(5), false);
    EXPECT_EQ(map::length_q(m), 2);
    EXPECT_EQ(cells_in(m), 4u);  // the pair is reused
    EXPECT_EQ(mold(m, false, true).text, "#[a: 5 b: 2]");

    // Through a set-path too.
    map::eval_path(m, w("b"), &none, PathStep{});
    EXPECT_EQ(map::length_q(m), 1);
    EXPECT_TRUE(is(map::eval_path(m, w("b"), nullptr, PathStep{}), TypeId::none));
    Cell nine = I(9);
    EXPECT_EQ(int_of(map::eval_path(m, w("b"), &nine, PathStep{})), 9);
    EXPECT_EQ(int_of(map::eval_path(m, sw("b"), nullptr, PathStep{})), 9);
}

TEST_F(Map, RemoveNeedsTheKeyRefinementAndComparesStrictly) {
    Cell m = make_map({str("k"), I(1), sw("w"), I(2)});
    Cell upper = str("K");
    map::remove(m, nullptr, &upper);
    EXPECT_EQ(map::length_q(m), 2);
    Cell lower = str("k");
    map::remove(m, nullptr, &lower);
    EXPECT_EQ(map::length_q(m), 1);
    map::remove(m, nullptr, &lower);  // already removed
    EXPECT_EQ(map::length_q(m), 1);
    Cell word = w("w");
    map::remove(m, nullptr, &word);
    EXPECT_EQ(map::length_q(m), 0);
    EXPECT_EQ(mold(m).text, "#[]");
    EXPECT_EQ(error_of([&] { map::remove(m, nullptr, nullptr); }), ErrorId::script_missing_arg);
}

TEST_F(Map, KeysOfOtherTypesAreRefused) {
    Cell m = make_map({});
    EXPECT_EQ(error_of([&] { map::put(m, B({}), I(1), false); }), ErrorId::script_invalid_path);
    EXPECT_EQ(error_of([&] { make_map({B({}), I(1)}); }), ErrorId::script_invalid_path);
    EXPECT_EQ(error_of([&] { map::put(m, cell::none(), I(1), false); }), ErrorId::script_invalid_path);
    for (Cell key : {I(1), cell::float_(1.5), char_::cell_of('x'), str("s")}) {
        map::put(m, key, I(7), false);
        EXPECT_EQ(int_of(select(m, key)), 7);
    }
    // Equal numbers of other types are other keys.
    EXPECT_TRUE(is(select(m, cell::float_(1.0)), TypeId::none));
}

// ---- make and to ----

TEST_F(Map, MakesFromBlocksAndSizes) {
    Cell spec = B({w("a"), I(1), str("s"), I(2), w("A"), I(3)});
    block::cell_at(spec, 3)->header |= cell_flag::new_line;
    Cell m = map::make(cell::none(), spec, TypeId::map);
    EXPECT_EQ(map::length_q(m), 2);  // a and A are one key: the later value counts
    EXPECT_EQ(mold(m, false, true).text, "#[a: 3 \"s\" 2]");
    EXPECT_EQ(cells_in(m), 4u);
    EXPECT_FALSE(cell::new_line_q(*block::cell_at(m, 3)));
    EXPECT_TRUE(is(*block::cell_at(spec, 0), TypeId::word));  // the block it was made from is not changed

    Cell sized = map::make(cell::none(), I(10), TypeId::map);
    EXPECT_EQ(map::length_q(sized), 0);
    EXPECT_GE(memory::buffer_of(sized.data2)->capacity, 20 * sizeof(Cell));
    EXPECT_EQ(map::length_q(map::make(cell::none(), cell::float_(0.5), TypeId::map)), 0);
    Cell copy = map::make(cell::none(), m, TypeId::map);
    EXPECT_NE(copy.data2, m.data2);
    EXPECT_EQ(map::compare(copy, m, CompareOp::equal), 0);

    struct Bad { const char* name; Cell spec; bool to; ErrorId id; };
    const Bad kBad[] = {
        {"odd block", B({w("a"), I(1), w("b")}), false, ErrorId::script_invalid_arg},
        {"negative", I(-1), false, ErrorId::script_out_of_range},
        {"float too large", cell::float_(1e12), false, ErrorId::script_out_of_range},
        {"text", str("a 1"), false, ErrorId::script_bad_to_arg},
        {"to a size", I(4), true, ErrorId::script_bad_to_arg},
    };
    for (const Bad& b : kBad) {
        SCOPED_TRACE(b.name);
        EXPECT_EQ(error_of([&] { (b.to ? map::to : map::make)(cell::none(), b.spec, TypeId::map); }), b.id);
    }
    EXPECT_EQ(map::length_q(map::to(cell::none(), B({sw("x"), I(1)}), TypeId::map)), 1);
}

TEST_F(Map, InitCellIndexesAGivenBlockInPlace) {
    Cell pairs = B({w("a"), I(1), w("b"), I(2), as(w("A"), TypeId::lit_word), I(3)});
    Cell m = cell::unset();
    map::init_cell(m, &pairs, 0);
    EXPECT_EQ(m.data2, pairs.data2);
    EXPECT_EQ(cells_in(m), 4u);
    EXPECT_TRUE(is(*block::cell_at(m, 0), TypeId::set_word));
    EXPECT_EQ(int_of(select(m, w("a"))), 3);
    Cell empty = cell::unset();
    map::init_cell(empty, nullptr, 8);
    EXPECT_EQ(map::size(empty), 0u);
    Cell odd = B({w("a")});
    EXPECT_EQ(error_of([&] { Cell c; map::init_cell(c, &odd, 0); }), ErrorId::script_invalid_arg);
}

TEST_F(Map, ManyKeysStayFoundThroughGrowthAndRemoval) {
    Cell m = make_map({});
    constexpr int kKeys = 3000;
    for (int i = 0; i < kKeys; ++i) map::put(m, I(i * 7), I(i), false);
    for (int i = 0; i < kKeys; i += 2) map::put(m, I(i * 7), cell::none(), false);
    EXPECT_EQ(map::length_q(m), kKeys / 2);
    for (int i = 0; i < kKeys; ++i) {
        Cell v = select(m, I(i * 7));
        if (i % 2) {
            ASSERT_EQ(int_of(v), i);
        } else {
            ASSERT_TRUE(is(v, TypeId::none));
        }
    }
    for (int i = 0; i < kKeys; i += 2) map::put(m, I(i * 7), I(-i), false);
    EXPECT_EQ(map::length_q(m), kKeys);
    EXPECT_EQ(cells_in(m), 2u * kKeys);
    EXPECT_EQ(int_of(select(m, I(14))), -2);
}

// ---- mold and form ----

TEST_F(Map, MoldsOnePairPerLine) {
    Cell m = make_map({sw("a"), I(1), str("b"), B({I(2), I(3)})});
    struct Case { const char* name; bool only, flat; int32_t indent; std::string expected; };
    const Case kCases[] = {
        {"top level", false, false, 0, "#[\n    a: 1\n    \"b\" [2 3]\n]"},
        {"nested", false, false, 1, "#[\n        a: 1\n        \"b\" [2 3]\n    ]"},
        {"flat", false, true, 0, "#[a: 1 \"b\" [2 3]]"},
        {"only", true, false, 0, "a: 1\n\"b\" [2 3]\n"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Molded molded = mold(m, c.only, c.flat, c.indent);
        EXPECT_EQ(molded.text, c.expected);
        EXPECT_EQ(molded.left, 1000 - int32_t(molded.text.size()));
    }
    EXPECT_EQ(form(m), "a: 1\n\"b\" [2 3]");
    EXPECT_EQ(mold(make_map({})).text, "#[]");
    EXPECT_EQ(mold(make_map({}), false, false, 2).text, "#[]");
    EXPECT_EQ(form(make_map({})), "");

    // The part limit stops the walk between pairs.
    Molded cut = mold(m, false, false, 0, 12);
    EXPECT_EQ(cut.text, "#[\n    a: 1\n]");
    EXPECT_EQ(cut.left, 12 - int32_t(cut.text.size()));
}

TEST_F(Map, MoldMarksAMapThatHoldsItself) {
    Cell m = make_map({});
    map::put(m, w("self"), m, false);
    EXPECT_EQ(mold(m).text, "#[\n    self: #[...]\n]");
    EXPECT_EQ(form(m), "self: #[...]");
    EXPECT_EQ(cycles::depth(), 0u);
}

// ---- reflect ----

TEST_F(Map, ReflectsLiveKeysValuesAndBody) {
    Cell m = make_map({sw("a"), I(1), str("k"), I(2), sw("gone"), I(3)});
    map::put(m, w("gone"), cell::none(), false);
    Cell words = map::reflect(m, sym::words);
    EXPECT_EQ(mold(words).text, "[a \"k\"]");
    EXPECT_TRUE(is(*block::cell_at(words, 0), TypeId::word));
    EXPECT_EQ(mold(map::reflect(m, sym::values)).text, "[1 2]");
    EXPECT_EQ(mold(map::reflect(m, sym::body)).text, "[\n    a: 1\n    \"k\" 2\n]");
    EXPECT_EQ(error_of([&] { map::reflect(m, sym::spec); }), ErrorId::internal_not_done);
}

// ---- compare ----

TEST_F(Map, ComparesPairsInAnyOrder) {
    Cell a = make_map({sw("x"), I(1), sw("y"), str("t")});
    Cell b = make_map({sw("y"), str("T"), sw("x"), cell::float_(1.0)});
    EXPECT_EQ(map::compare(a, b, CompareOp::equal), 0);
    EXPECT_EQ(map::compare(a, b, CompareOp::strict_equal), 1);  // "t" and "T", 1 and 1.0
    EXPECT_EQ(map::compare(a, b, CompareOp::same), -1);
    EXPECT_EQ(map::compare(a, a, CompareOp::same), 0);
    EXPECT_EQ(map::compare(a, make_map({sw("x"), I(1)}), CompareOp::equal), 1);
    EXPECT_EQ(map::compare(a, make_map({sw("x"), I(1), sw("y"), str("u")}), CompareOp::equal), 1);
    EXPECT_EQ(map::compare(a, make_map({sw("x"), I(1), sw("z"), str("t")}), CompareOp::equal), 1);
    EXPECT_EQ(map::compare(make_map({}), make_map({}), CompareOp::equal), 0);
    EXPECT_EQ(map::compare(a, B({}), CompareOp::equal), kNotComparable);
    EXPECT_EQ(map::compare(a, b, CompareOp::lesser), kNotComparable);
    int32_t order = map::compare(a, b, CompareOp::sort);
    EXPECT_NE(order, 0);
    EXPECT_EQ(map::compare(b, a, CompareOp::sort), -order);

    // Case variants put with case: the one with the equal value is found.
    Cell c = make_map({});
    map::put(c, str("k"), I(1), true);
    map::put(c, str("K"), I(2), true);
    Cell d = make_map({});
    map::put(d, str("K"), I(1), true);
    map::put(d, str("k"), I(2), true);
    EXPECT_EQ(map::compare(c, d, CompareOp::equal), 0);
    EXPECT_EQ(map::compare(c, d, CompareOp::strict_equal), 1);
    // A removed pair does not count; revived, it counts again.
    map::put(d, str("k"), cell::none(), true);
    EXPECT_EQ(map::compare(c, d, CompareOp::equal), 1);
    map::put(d, str("k"), I(1), true);
    map::put(d, str("K"), I(2), true);
    EXPECT_EQ(map::compare(c, d, CompareOp::strict_equal), 0);
    EXPECT_EQ(cycles::depth(), 0u);
}

// ---- copy, clear, extend, foreach ----

TEST_F(Map, CopiesAreIndependent) {
    Cell inner = B({I(1)});
    Cell m = make_map({sw("a"), inner, sw("s"), str("v"), sw("gone"), I(0)});
    map::put(m, w("gone"), cell::none(), false);
    Cell shallow = cell::unset();
    map::copy(m, shallow, nullptr, false, nullptr);
    map::put(shallow, w("b"), I(2), false);
    map::put(shallow, w("gone"), I(3), false);
    EXPECT_EQ(map::length_q(m), 2);
    EXPECT_TRUE(is(select(m, w("b")), TypeId::none));
    EXPECT_TRUE(is(select(m, w("gone")), TypeId::none));
    EXPECT_EQ(map::length_q(shallow), 4);
    EXPECT_EQ(select(shallow, w("a")).data2, inner.data2);  // nested series shared

    Cell deep = cell::unset();
    map::copy(m, deep, nullptr, true, nullptr);
    EXPECT_NE(select(deep, w("a")).data2, inner.data2);
    EXPECT_EQ(select(deep, w("s")).data2, select(m, w("s")).data2);  // only blocks again
    EXPECT_EQ(map::compare(deep, m, CompareOp::equal), 0);

    Cell typed = cell::unset();
    Cell strings = cell::datatype(TypeId::string);
    map::copy(m, typed, nullptr, false, &strings);
    EXPECT_NE(select(typed, w("s")).data2, select(m, w("s")).data2);
    EXPECT_EQ(select(typed, w("a")).data2, inner.data2);

    Cell self = make_map({});
    map::put(self, w("me"), B({}), false);
    cycles::push(self.data2);
    EXPECT_EQ(error_of([&] { Cell r; map::copy(self, r, nullptr, true, nullptr); }), ErrorId::internal_no_cycle);
    EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(Map, ClearEmptiesTheMap) {
    Cell m = make_map({sw("a"), I(1), sw("b"), I(2)});
    map::clear(m);
    EXPECT_EQ(map::length_q(m), 0);
    EXPECT_EQ(cells_in(m), 0u);
    EXPECT_TRUE(is(select(m, w("a")), TypeId::none));
    map::put(m, w("a"), I(3), false);
    EXPECT_EQ(int_of(select(m, w("a"))), 3);
    EXPECT_EQ(map::length_q(m), 1);
}

TEST_F(Map, ExtendPutsEachPair) {
    Cell m = make_map({sw("a"), I(1), sw("gone"), I(0)});
    map::put(m, w("gone"), cell::none(), false);
    map::extend(m, B({w("A"), I(2), w("gone"), I(3), str("n"), I(4)}), false);
    EXPECT_EQ(map::length_q(m), 3);
    EXPECT_EQ(int_of(select(m, w("a"))), 2);
    EXPECT_EQ(int_of(select(m, w("gone"))), 3);
    map::extend(m, B({w("A"), I(5)}), true);  // a strict key: another entry
    EXPECT_EQ(map::length_q(m), 4);
    EXPECT_EQ(int_of(select(m, w("a"), true)), 2);
    EXPECT_EQ(error_of([&] { map::extend(m, B({w("x")}), false); }), ErrorId::script_invalid_arg);
}

TEST_F(Map, ForeachSetsWordsSkippingRemovedPairs) {
    Cell m = make_map({sw("a"), I(1), sw("gone"), I(0), str("s"), I(2)});
    map::put(m, w("gone"), cell::none(), false);
    Cell words = B({w("k"), w("v")});
    std::vector<std::string> seen;
    Cell walk = m;
    while (map::foreach_set_words(words, walk, 2)) {
        Cell k = *word::get(w("k")), v = *word::get(w("v"));
        seen.push_back(mold(k).text + "=" + mold(v).text);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a=1", "\"s\"=2"}));
    EXPECT_TRUE(is(*word::get(w("k")), TypeId::none));  // left over when the map ran out

    Cell bad = B({I(1)});
    Cell again = m;
    EXPECT_EQ(error_of([&] { map::foreach_set_words(bad, again, 1); }), ErrorId::script_invalid_arg);
}

}  // namespace
