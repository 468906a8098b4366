// series!: the shared actions over cells, bytes and code points of every unit size.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/internal.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::Outcome;
using test::trapped;
using test::unbound_word;

namespace {

Cell I(int32_t v) { return cell::integer(v); }

Cell block_of(std::initializer_list<int32_t> values, uint32_t head = 0) {
    Cell b;
    block::init_cell(b, int32_t(values.size()));
    for (int32_t v : values) block::append_cell(b, I(v));
    b.data1 = head;
    return b;
}

// A string! of one byte per code point.
Cell string_of(const std::string& text, uint32_t head = 0) {
    Node n = series::alloc(uint32_t(text.size()) + 1, 1, 0);
    SeriesBuffer* b = memory::buffer_of(n);
    std::memcpy(b->head, text.data(), text.size());
    b->tail = b->head + text.size();
    return cell::make(TypeId::string, head, n, 0);
}

Cell binary_of(std::initializer_list<uint8_t> bytes) {
    Node n = series::alloc(uint32_t(bytes.size()) + 1, 1, 0);
    SeriesBuffer* b = memory::buffer_of(n);
    for (uint8_t x : bytes) *b->tail++ = x;
    return cell::make(TypeId::binary, 0, n, 0);
}

// The values from the head (integers of a block, code points of a string, bytes).
std::vector<int32_t> values(const Cell& s) {
    std::vector<int32_t> out;
    SeriesBuffer* b = memory::buffer_of(s.data2);
    for (uint32_t i = s.data1; i < b->length(); ++i) out.push_back(int32_t(series_::unit_value(s, i).data2));
    return out;
}
std::string text_of(const Cell& s) {
    std::string out;
    for (int32_t cp : values(s)) out += char(cp);
    return out;
}

class Series : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        random::init();
        integer::init();
        series_::init();
        block::init();
    }

    // A frame action called on a series (and an argument); the result is the return slot.
    static Outcome call(FrameAction action, const Cell& s, const Cell* arg = nullptr) {
        return trapped([&] {
            frame::push_native(unbound_word());
            stack::push(s);
            if (arg) stack::push(*arg);
            action();
            Cell r = stack::base[0];
            frame::pop();
            return r;
        });
    }
};

TEST_F(Series, NavigationClampsToTheBuffer) {
    struct Case { FrameAction action; uint32_t head; std::optional<int32_t> arg; uint32_t expected; };
    const Case kCases[] = {
        {series_::at, 2, 1, 2},   {series_::at, 2, 0, 2},   {series_::at, 2, -1, 1},
        {series_::at, 2, 3, 4},   {series_::at, 2, 99, 5},  {series_::at, 2, -99, 0},
        {series_::skip, 2, 0, 2}, {series_::skip, 2, 1, 3}, {series_::skip, 2, 9, 5},
        {series_::skip, 2, -3, 0}, {series_::next, 4, {}, 5}, {series_::next, 5, {}, 5},
        {series_::back, 0, {}, 0}, {series_::back, 3, {}, 2}, {series_::head, 3, {}, 0},
        {series_::tail, 1, {}, 5}, {series_::back, 9, {}, 4},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "head " << c.head << " arg " << c.arg.value_or(0));
        Cell a = I(c.arg.value_or(0));
        Outcome o = call(c.action, block_of({1, 2, 3, 4, 5}, c.head), c.arg ? &a : nullptr);
        ASSERT_FALSE(o.error);
        EXPECT_EQ(o.value.data1, c.expected);
    }
    Cell text = string_of("abc");
    EXPECT_EQ(call(series_::at, block_of({1}), &text).error, ErrorId::script_invalid_arg);
    EXPECT_EQ(call(series_::skip, block_of({1}), &text).error, ErrorId::script_invalid_arg);
}

TEST_F(Series, QueriesOfAHeadPastTheShrunkTail) {
    Cell s = block_of({1, 2, 3}, 3);
    series_::buffer(s)->tail -= 2 * sizeof(Cell);  // the block shrank under the position
    EXPECT_EQ(cell::get_integer(call(series_::index_q, s).value), 4);
    EXPECT_EQ(series_::length_q(s), 0);
    EXPECT_TRUE(call(series_::tail_q, s).value.data1);
    EXPECT_FALSE(call(series_::head_q, s).value.data1);
    EXPECT_TRUE(call(series_::head_q, block_of({1})).value.data1);
    EXPECT_EQ(series_::length_from_head(s), 0u);
    EXPECT_EQ(s.data1, 1u);  // clamped
}

TEST_F(Series, PickAndPokeEachKind) {
    Cell b = block_of({10, 20, 30}, 1);
    EXPECT_EQ(cell::get_integer(series_::pick(b, 1, I(1))), 20);
    EXPECT_EQ(cell::get_integer(series_::pick(b, -1, I(-1))), 10);
    EXPECT_TRUE(is(series_::pick(b, 0, I(0)), TypeId::none));
    EXPECT_TRUE(is(series_::pick(b, 3, I(3)), TypeId::none));
    EXPECT_TRUE(is(series_::pick(b, -2, I(-2)), TypeId::none));

    EXPECT_EQ(trapped([&] { return series_::poke(b, 0, I(0), I(1)); }).error, ErrorId::script_out_of_range);
    EXPECT_EQ(trapped([&] { return series_::poke(b, 3, I(3), I(1)); }).error, ErrorId::script_out_of_range);
    EXPECT_EQ(cell::get_integer(series_::poke(b, 2, I(2), I(99))), 99);
    b.data1 = 0;
    EXPECT_EQ(values(b), (std::vector<int32_t>{10, 20, 99}));

    // A string hands out and takes char!; a code point above 0xFF widens its buffer.
    Cell s = string_of("abc");
    Cell c = series_::pick(s, 2, I(2));
    EXPECT_TRUE(is(c, TypeId::char_));
    EXPECT_EQ(c.data2, uint32_t('b'));
    EXPECT_EQ(trapped([&] { return series_::poke(s, 1, I(1), I(65)); }).error, ErrorId::script_invalid_arg);
    series_::poke(s, 1, I(1), cell::make(TypeId::char_, 0, 0x263A, 0));
    EXPECT_EQ(series_::buffer(s)->unit(), 2u);
    EXPECT_EQ(values(s), (std::vector<int32_t>{0x263A, 'b', 'c'}));

    Cell bin = binary_of({1, 2, 255});
    EXPECT_EQ(cell::get_integer(series_::pick(bin, 3, I(3))), 255);
    series_::poke(bin, 1, I(1), I(7));
    EXPECT_EQ(values(bin), (std::vector<int32_t>{7, 2, 255}));
}

TEST_F(Series, CopyWithEveryPartForm) {
    struct Case { uint32_t head; std::optional<Cell> part; std::vector<int32_t> expected; };
    Cell base = block_of({1, 2, 3, 4, 5});
    Cell at4 = base;
    at4.data1 = 4;
    const Case kCases[] = {
        {1, {}, {2, 3, 4, 5}},
        {1, I(2), {2, 3}},
        {1, I(99), {2, 3, 4, 5}},
        {3, I(-2), {2, 3}},      // the units before the head
        {1, I(-5), {1}},         // not below the buffer start
        {1, at4, {2, 3, 4}},     // up to another position
        {0, cell::make(TypeId::pair, 0, 2, 4), {2, 3}},
        {2, cell::make(TypeId::pair, 0, 1, 0), {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "head " << c.head);
        Cell s = base;
        s.data1 = c.head;
        Cell r;
        series_::copy(s, r, c.part ? &*c.part : nullptr, false, nullptr);
        EXPECT_EQ(r.data1, 0u);
        EXPECT_NE(r.data2, base.data2);
        EXPECT_EQ(values(r), c.expected);
    }
    Cell other = block_of({1});
    EXPECT_EQ(trapped([&] {
                  Cell r;
                  series_::copy(base, r, &other, false, nullptr);
                  return r;
              }).error,
              ErrorId::script_invalid_refine_arg);
    // The copy keeps the new-line flag of the value copied.
    Cell flagged = base;
    flagged.header |= cell_flag::new_line;
    Cell r;
    series_::copy(flagged, r, nullptr, false, nullptr);
    EXPECT_TRUE(cell::new_line_q(r));
}

TEST_F(Series, RemoveByCountPositionAndKey) {
    Cell s = block_of({1, 2, 3, 4, 5}, 1);
    series_::remove(s, nullptr, nullptr);
    Cell head = s;
    head.data1 = 0;
    EXPECT_EQ(values(head), (std::vector<int32_t>{1, 3, 4, 5}));
    Cell two = I(2);
    series_::remove(s, &two, nullptr);
    EXPECT_EQ(values(head), (std::vector<int32_t>{1, 5}));
    Cell zero = I(0);
    series_::remove(s, &zero, nullptr);
    EXPECT_EQ(values(head), (std::vector<int32_t>{1, 5}));

    // /key: the key and one unit after it, or the /part count after it.
    Cell keyed = block_of({7, 1, 8, 2, 9, 3});
    Cell key = I(8);
    series_::remove(keyed, nullptr, &key);
    EXPECT_EQ(values(keyed), (std::vector<int32_t>{7, 1, 9, 3}));
    Cell absent = I(42);
    Cell r = keyed;
    series_::remove(r, nullptr, &absent);
    EXPECT_TRUE(is(r, TypeId::none));

    Cell text = string_of("abcdef", 1);
    Cell end = text;
    end.data1 = 4;
    series_::remove(text, &end, nullptr);
    text.data1 = 0;
    EXPECT_EQ(text_of(text), "aef");
}

TEST_F(Series, ReverseRecordsAndItsErrors) {
    Cell s = block_of({1, 2, 3, 4, 5, 6});
    Cell two = I(2);
    series_::reverse(s, nullptr, &two);
    EXPECT_EQ(values(s), (std::vector<int32_t>{5, 6, 3, 4, 1, 2}));
    Cell four = I(4);
    series_::reverse(s, &four, nullptr);
    EXPECT_EQ(values(s), (std::vector<int32_t>{4, 3, 6, 5, 1, 2}));
    Cell six = I(6);
    series_::reverse(s, nullptr, &six);  // one record: nothing changes
    EXPECT_EQ(values(s), (std::vector<int32_t>{4, 3, 6, 5, 1, 2}));

    struct Case { Cell skip; ErrorId error; };
    const Case kCases[] = {
        {I(0), ErrorId::script_out_of_range},
        {I(4), ErrorId::script_invalid_refine_arg},   // does not divide 6
        {I(9), ErrorId::script_invalid_refine_arg},   // larger than the count
        {string_of("x"), ErrorId::script_invalid_refine_arg},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(trapped([&] {
                      series_::reverse(s, nullptr, &c.skip);
                      return s;
                  }).error,
                  c.error);
    }
    Cell text = string_of("hello");
    series_::reverse(text, nullptr, nullptr);
    EXPECT_EQ(text_of(text), "olleh");
}

TEST_F(Series, TakeFromHeadTailAndBeforeTheHead) {
    struct Case { uint32_t head; std::optional<int32_t> part; bool last; std::vector<int32_t> taken, left; };
    const Case kCases[] = {
        {0, {}, false, {1}, {2, 3, 4, 5}},
        {0, {}, true, {5}, {1, 2, 3, 4}},
        {1, 2, false, {2, 3}, {1, 4, 5}},
        {1, 2, true, {4, 5}, {1, 2, 3}},
        {3, 99, false, {4, 5}, {1, 2, 3}},    // what remains
        {3, -2, false, {2, 3}, {1, 4, 5}},    // the units just before the head
        {3, -2, true, {5}, {1, 2, 3, 4}},
        {2, 0, false, {3}, {1, 2, 4, 5}},     // 0 takes one
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "head " << c.head << " part " << c.part.value_or(-100));
        Cell s = block_of({1, 2, 3, 4, 5}, c.head);
        Cell p = I(c.part.value_or(0));
        Cell taken = series_::take(s, c.part ? &p : nullptr, false, c.last);
        EXPECT_EQ(values(taken), c.taken);
        s.data1 = 0;
        EXPECT_EQ(values(s), c.left);
    }
    EXPECT_TRUE(is(series_::take(block_of({1}, 1), nullptr, false, false), TypeId::none));
    Cell s = block_of({1, 2, 3, 4, 5}, 1);
    Cell to = s;
    to.data1 = 3;
    EXPECT_EQ(values(series_::take(s, &to, false, false)), (std::vector<int32_t>{2, 3}));
    Cell text = string_of("abc");
    Cell t = series_::take(text, nullptr, false, true);
    EXPECT_TRUE(is(t, TypeId::string));
    EXPECT_EQ(text_of(t), "c");
}

TEST_F(Series, MoveWithinOneSeriesAndBetweenTwo) {
    // The first of five to the position of the third: second, third, first, fourth, fifth.
    struct Case { uint32_t from; uint32_t to; int32_t part; std::vector<int32_t> expected; };
    const Case kCases[] = {
        {0, 2, 1, {2, 3, 1, 4, 5}},
        {0, 5, 2, {3, 4, 5, 1, 2}},   // to the tail
        {3, 1, 2, {1, 4, 5, 2, 3}},   // backwards
        {2, 2, 1, {1, 2, 3, 4, 5}},   // onto itself
        {0, 4, 2, {1, 2, 3, 4, 5}},   // fewer units than the run follow the destination
        {0, 1, 3, {1, 2, 3, 4, 5}},   // into its own run: left intact
        {1, 0, 0, {1, 2, 3, 4, 5}},   // a part below 1
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        Cell s = block_of({1, 2, 3, 4, 5}, c.from);
        Cell d = s;
        d.data1 = c.to;
        Cell part = I(c.part);
        series_::move(s, d, &part);
        s.data1 = 0;
        EXPECT_EQ(values(s), c.expected);
    }

    Cell a = block_of({1, 2, 3});
    Cell b = block_of({7, 8}, 1);
    Cell two = I(2);
    Cell r = series_::move(a, b, &two);
    EXPECT_EQ(r.data2, b.data2);
    EXPECT_EQ(values(a), (std::vector<int32_t>{3}));
    b.data1 = 0;
    EXPECT_EQ(values(b), (std::vector<int32_t>{7, 1, 2, 8}));

    // Strings of different widths meet through widening.
    Cell wide = string_of("xy");
    series_::poke(wide, 1, I(1), cell::make(TypeId::char_, 0, 0x3A9, 0));
    Cell narrow = string_of("ab");
    series_::move(wide, narrow, nullptr);
    EXPECT_EQ(values(narrow), (std::vector<int32_t>{0x3A9, 'a', 'b'}));

    EXPECT_EQ(trapped([&] { return series_::move(block_of({1}), string_of("a"), nullptr); }).error,
              ErrorId::script_move_bad);
    EXPECT_EQ(trapped([&] { return series_::move(binary_of({1}), block_of({1}), nullptr); }).error,
              ErrorId::script_move_bad);
}

TEST_F(Series, ClearRandomAndSeed) {
    Cell s = block_of({1, 2, 3, 4}, 2);
    series_::clear(s);
    s.data1 = 0;
    EXPECT_EQ(values(s), (std::vector<int32_t>{1, 2}));

    // A shuffle keeps every unit; /only picks one of them.
    Cell big = block_of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    series_::random(big, false, false, false);
    std::vector<int32_t> v = values(big);
    EXPECT_NE(v, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    std::sort(v.begin(), v.end());
    EXPECT_EQ(v, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    Cell one = big;
    series_::random(one, false, false, true);
    EXPECT_TRUE(is(one, TypeId::integer));
    Cell empty = block_of({});
    series_::random(empty, false, false, true);
    EXPECT_TRUE(is(empty, TypeId::none));

    // Seeding with the same text gives the same sequence.
    Cell seed = string_of("kaz");
    series_::random(seed, true, false, false);
    EXPECT_TRUE(is(seed, TypeId::unset));
    uint32_t first = random::next();
    Cell again = string_of("kaz");
    series_::random(again, true, false, false);
    EXPECT_EQ(random::next(), first);
}

// A series held by an object with a deep-change hook tells it before and after each change.
TEST_F(Series, OwnedSeriesNotifyBeforeAndAfterEachChange) {
    test::DeepChangeRecorder recorder;
    auto& notices = test::DeepChangeRecorder::notices;
    Cell owner = recorder.owner();
    auto owned = [&](Cell s) {
        ownership::set_deep(s, owner, unbound_word());
        return s;
    };
    struct Case { const char* name; std::function<void(Cell&)> change; const Cell& before; const Cell& after; int32_t index, part; };
    const Case kCases[] = {
        {"append", [](Cell& s) { block::append(s, I(9), -1, false, 2, true); }, words::append, words::appended, 4, 2},
        {"insert", [](Cell& s) { block::append(s, I(9), -1, false, 1, false); }, gwords::insert, words::inserted, 1, 1},
        {"change", [](Cell& s) { block::change(s, I(9), -1, false, 1, false); }, words::change, words::changed, 1, 1},
        {"remove", [](Cell& s) { series_::remove(s, nullptr, nullptr); }, gwords::remove, words::removed, 1, 1},
        {"clear", [](Cell& s) { series_::clear(s); }, words::clear, words::cleared, 1, 3},
        {"poke", [](Cell& s) { series_::poke(s, 2, I(2), I(0)); }, words::poke, words::poked, 2, 1},
        {"reverse", [](Cell& s) { series_::reverse(s, nullptr, nullptr); }, words::reverse, words::reversed, 1, 3},
        {"take", [](Cell& s) { series_::take(s, nullptr, false, true); }, words::take, words::taken, 3, 1},
        {"sort", [](Cell& s) { block::sort(s, {}); }, words::sort, words::sorted, 1, 3},
        {"trim", [](Cell& s) { block::trim(s, {}); }, words::trim, words::trimmed, 1, 3},
        {"random", [](Cell& s) { series_::random(s, false, false, false); }, words::random, words::randomized, 1, 3},
        {"swap", [](Cell& s) { block::swap(s, block_of({5})); }, words::swap, words::swaped, 1, 1},
        {"put", [](Cell& s) { block::put(s, I(3), I(7), false); }, words::put, words::put_ed, 3, 1},
        {"move", [](Cell& s) { series_::move(s, block_of({5}), nullptr); }, words::move, words::moved, 1, 1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        notices.clear();
        Cell s = owned(block_of({1, 2, 3, 4}, 1));
        c.change(s);
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_EQ(notices[0].action, c.before.data2);
        EXPECT_EQ(notices[1].action, c.after.data2);
        EXPECT_EQ(notices[0].index, c.index);
        EXPECT_EQ(notices[0].part, c.part);
    }
    // An unowned series tells nobody.
    notices.clear();
    Cell plain = block_of({1, 2});
    block::append(plain, I(3), -1, false, 1, true);
    EXPECT_TRUE(notices.empty());
}

}  // namespace
