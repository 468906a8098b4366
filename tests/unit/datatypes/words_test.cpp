#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

using namespace kaz;

namespace {

// Runs `body` inside a trap frame; returns the error id it raised (nullopt when none).
template <typename F>
std::optional<ErrorId> raised(F body) {
    stack::frames_top = stack::frames_begin;
    stack::base = stack::data_top = stack::data_begin;
    frame::push_trap(words::try_);
    try {
        body();
    } catch (const Throw& t) {
        EXPECT_EQ(t.code, throw_code::error);
        return error::id_of(*stack::top());
    }
    frame::pop();
    return std::nullopt;
}

std::string text_of(Node string) {
    Cell s = cell::make(TypeId::string, 0, string, 0);
    int32_t length = -1;
    return string::to_utf8(s, length);
}

Node block_of(std::initializer_list<Cell> cells) {
    Node n = series::alloc_cells(uint32_t(cells.size()) + 1);
    SeriesBuffer* b = memory::buffer_of(n);
    for (const Cell& c : cells) *series::reserve_cell(b) = c;
    return n;
}

Cell word_of(const char* name, TypeId type = TypeId::word) {
    Cell w = word::from_c_string(name);
    w.header = uint32_t(type);
    return w;
}

}  // namespace

TEST(Symbols, InterningAndCaseAliases) {
    uint32_t lower = symbol::intern("zebra-case");
    uint32_t capital = symbol::intern("Zebra-case");
    uint32_t upper = symbol::intern("ZEBRA-CASE");
    EXPECT_NE(lower, capital);
    EXPECT_EQ(symbol::get_alias(lower), -1);
    EXPECT_EQ(symbol::get_alias(capital), int32_t(lower));
    EXPECT_EQ(symbol::get_alias(upper), int32_t(lower));  // the earliest variant, not the capital
    EXPECT_EQ(symbol::canonical_id(capital), lower);
    uint32_t count = symbol::count();
    EXPECT_EQ(symbol::intern("Zebra-case"), capital);
    EXPECT_EQ(symbol::intern_caseless("ZEBRA-CASE"), lower);  // any variant, the earliest first
    EXPECT_EQ(symbol::count(), count);

    uint32_t fresh = symbol::intern_caseless("NEW-CASELESS");
    EXPECT_EQ(symbol::get_alias(fresh), -1);
    EXPECT_EQ(symbol::intern_caseless("new-caseless"), fresh);
    EXPECT_NE(symbol::intern("zebra"), lower);  // a prefix is another name
    EXPECT_EQ(symbol::name(symbol::intern("")), "");
    EXPECT_EQ(symbol::name(symbol::intern("été")), "été");
}

TEST(Symbols, TheTableGrowsSixteenFold) {
    for (int i = 0; i < 20000; ++i) symbol::intern("grow-" + std::to_string(i));
    for (int i = 0; i < 20000; i += 997)
        EXPECT_EQ(symbol::name(symbol::intern("grow-" + std::to_string(i))), "grow-" + std::to_string(i));
}

TEST(Symbols, StringFormAndComparison) {
    Cell& s = symbol::get_cell(symbol::intern("Ünïcode"));
    ASSERT_NE(s.data2, 0u);
    EXPECT_EQ(text_of(s.data2), "Ünïcode");
    EXPECT_EQ(memory::buffer_of(s.data2)->unit(), 1u);
    EXPECT_EQ(symbol::compare_names(symbol::intern("abc"), symbol::intern("ABD"), CompareOp::lesser), -1);
    EXPECT_EQ(symbol::compare_names(symbol::intern("abc"), symbol::intern("ABC"), CompareOp::equal), 0);
    EXPECT_EQ(symbol::compare_names(symbol::intern("abc"), symbol::intern("ABC"), CompareOp::strict_equal), 1);
    EXPECT_EQ(symbol::compare_names(symbol::intern("ab"), symbol::intern("abc"), CompareOp::lesser), -1);
}

TEST(InternalSymbols, AreInternedAtBoot) {
    EXPECT_EQ(symbol::name(sym::self), "self");
    EXPECT_EQ(symbol::name(sym::bar), "|");
    EXPECT_EQ(symbol::name(words::on_change_star.data2), "on-change*");
    EXPECT_EQ(symbol::name(words::not_found_tag.data2), "<not-found>");
    EXPECT_EQ(words::ooo_issue.header, uint32_t(TypeId::issue));
    EXPECT_EQ(words::part_refinement.data1, 0u);  // unbound
    EXPECT_EQ(stack::walk_symbols.body, words::body_tag.data2);
    EXPECT_EQ(registry::type_name(TypeId::block).word.data2, symbol::intern("block!"));
}

TEST(Contexts, MakeFromSpecTakesOnlyWordLikeEntries) {
    Cell spec = cell::make(TypeId::block, 0, block_of({
        cell::make(TypeId::string), word_of("a"), cell::make(TypeId::block),
        word_of("b", TypeId::lit_word), word_of("c", TypeId::get_word),
        word_of("return", TypeId::set_word), word_of("local", TypeId::refinement), word_of("a"),
    }), 0);
    Node ctx = context::make_from_spec(spec, false, false, context::function);
    ASSERT_EQ(context::word_count(ctx), 4u);  // a b c local; the repeated a is not added again
    EXPECT_EQ(context::word_at(ctx, 2)->data2, symbol::intern("c"));
    EXPECT_EQ(context::word_at(ctx, 3)->data1, ctx);
    EXPECT_EQ(context::find_symbol(ctx, symbol::intern("local"), true), 3);
    EXPECT_EQ(context::find_symbol(ctx, symbol::intern("return"), true), -1);
    EXPECT_EQ(context::kind_of(ctx), uint32_t(context::function));
    EXPECT_TRUE(is(*context::value_at(ctx, 3), TypeId::unset));
}

TEST(Contexts, AddPutAndCloneKeepWordsAndValues) {
    Node ctx = context::make(2, false, false, 0, context::object);
    Cell x = word_of("x"), y = word_of("y");
    ASSERT_NE(context::add_word(ctx, x, cell::integer(1)), nullptr);
    EXPECT_EQ(context::add_word(ctx, x, cell::integer(2)), nullptr);  // present: unchanged
    EXPECT_EQ(cell::get_integer(*context::value_at(ctx, 0)), 1);
    context::put_value(ctx, y, cell::integer(3));
    context::put_value(ctx, x, cell::integer(4));
    for (int i = 0; i < 50; ++i) context::put_value(ctx, word_of(("f" + std::to_string(i)).c_str()), cell::integer(i));
    EXPECT_EQ(context::word_count(ctx), 52u);
    EXPECT_EQ(cell::get_integer(*context::value_at(ctx, 0)), 4);
    EXPECT_EQ(cell::get_integer(*context::value_cell_of_symbol(symbol::intern("f49"), ctx)), 49);

    Cell object = cell::make(TypeId::object, ctx, 0, 0);
    Node copy = context::clone_for_value(object, context::object);
    EXPECT_EQ(object.data1, copy);
    EXPECT_EQ(context::word_count(copy), 52u);
    EXPECT_EQ(context::word_at(copy, 51)->data1, copy);
    EXPECT_TRUE(is(*context::value_at(copy, 1), TypeId::unset));
    EXPECT_EQ(context::find_symbol(copy, symbol::intern("f10"), true), 12);
}

// Reflection hands an object's values block out, so a script may shorten it: every word added
// afterwards must still get its own slot, inside the block, where reading it finds it.
TEST(Contexts, WordsAddedAfterTheValuesWereShortenedGetTheirOwnSlots) {
    Node ctx = context::make(2, false, false, 0, context::object);
    context::put_value(ctx, word_of("x"), cell::integer(1));
    context::put_value(ctx, word_of("y"), cell::integer(2));
    SeriesBuffer* values = memory::buffer_of(context::cell_of(ctx).data2);
    values->tail = values->head;  // what `clear` of the reflected block does
    for (int i = 0; i < 40; ++i) {
        std::string name = "g" + std::to_string(i);
        switch (i % 3) {
            case 0: context::put_value(ctx, word_of(name.c_str()), cell::integer(i)); break;
            case 1: context::add_word(ctx, word_of(name.c_str()), cell::integer(i)); break;
            default: *context::value_at(ctx, context::add_unset_word(ctx, word_of(name.c_str()))) = cell::integer(i);
        }
    }
    values = memory::buffer_of(context::cell_of(ctx).data2);
    ASSERT_EQ(context::word_count(ctx), 42u);
    EXPECT_GE(values->length(), 42u);
    for (int i = 0; i < 40; ++i) {
        const Cell* slot = context::value_cell_of_symbol(symbol::intern(("g" + std::to_string(i)).c_str()), ctx);
        EXPECT_EQ(slot, values->cells() + 2 + i);
        EXPECT_EQ(cell::get_integer(*slot), i);
    }
}

// Checked builds stop at a slot outside its context instead of reading or writing past it.
TEST(ContextsDeathTest, ASlotOutsideItsContextEndsTheProcessInCheckedBuilds) {
    if (!context::kCheckSlots) GTEST_SKIP() << "checked in debug and sanitizer builds only";
    Node ctx = context::make(2, false, false, 0, context::object);
    context::put_value(ctx, word_of("x"), cell::integer(1));
    uint32_t past = memory::buffer_of(context::cell_of(ctx).data2)->capacity / sizeof(Cell);
    EXPECT_DEATH(context::value_at(ctx, past), "Slot [0-9]+ asked of a context of 1 words");
}

TEST(Contexts, BindingIsDeepStopsAtCyclesAndLeavesStrangersAlone) {
    Node ctx = context::make(4, false, false, 0, context::object);
    context::put_value(ctx, word_of("inside"), cell::integer(7));
    Cell stranger = word_of("stranger-word");
    Node inner = block_of({word_of("inside", TypeId::get_word), stranger});
    Node outer = block_of({word_of("inside"), cell::make(TypeId::block, 0, inner, 0), word_of("self")});
    SeriesBuffer* ib = memory::buffer_of(inner);
    *series::reserve_cell(ib) = cell::make(TypeId::block, 0, outer, 0);  // a cycle
    context::bind_block(cell::make(TypeId::block, 0, outer, 0), ctx, true);
    Cell* o = memory::buffer_of(outer)->cells();
    Cell* i = memory::buffer_of(inner)->cells();
    EXPECT_EQ(o[0].data1, ctx);
    EXPECT_EQ(o[0].data3, 0u);
    EXPECT_EQ(i[0].data1, ctx);                  // get-words bind too
    EXPECT_EQ(i[1].data1, stranger.data1);       // absent: keeps its binding
    EXPECT_EQ(i[1].data3, stranger.data3);
    EXPECT_EQ(o[2].data1, ctx);                  // self reads as the owner
    EXPECT_EQ(o[2].data3, word::kNoIndex);
}

// Binding finds a word's position the same way whatever the context's size: small contexts
// are scanned, larger ones probed. Each row binds case variants of every word, strangers, and
// a word added to the context after a first binding; `variants` also puts two case variants
// of one name in the context, where binding must agree with a lookup.
TEST(Contexts, BindingFindsTheSamePositionsAtEverySize) {
    struct Row {
        uint32_t words;
        bool variants;
    };
    for (Row row : {Row{1, false}, Row{2, true}, Row{15, false}, Row{16, false}, Row{16, true},
                    Row{17, false}, Row{40, true}, Row{600, false}}) {
        SCOPED_TRACE("words " + std::to_string(row.words) + (row.variants ? " with variants" : ""));
        Node ctx = context::make(row.words, false, false, 0, context::object);
        for (uint32_t i = 0; i < row.words; ++i)
            context::put_value(ctx, word_of(("bw-" + std::to_string(i)).c_str()), cell::integer(i));
        uint32_t variant = 0;
        if (row.variants) {
            // A second spelling of an existing name, added as a distinct word.
            context::find_or_add_symbol(ctx, symbol::intern("BW-0"), false, &variant);
            ASSERT_EQ(variant, row.words);
        }
        std::vector<Cell> cells;
        for (uint32_t i = 0; i < row.words; ++i) {
            cells.push_back(word_of(("BW-" + std::to_string(i)).c_str(), i % 2 ? TypeId::get_word : TypeId::word));
            cells.push_back(word_of(("bw-" + std::to_string(i)).c_str(), TypeId::set_word));
        }
        cells.push_back(word_of("bw-stranger"));
        cells.push_back(word_of("Bw-Late"));
        Node n = block_of({});
        for (const Cell& c : cells) {
            SeriesBuffer* b = memory::buffer_of(n);
            *series::reserve_cell(b) = c;
        }
        Cell block = cell::make(TypeId::block, 0, n, 0);

        auto check = [&](bool late_added, uint32_t late_at) {
            const Cell* got = memory::buffer_of(n)->cells();
            for (uint32_t i = 0; i < row.words; ++i) {
                for (uint32_t k = 0; k < 2; ++k) {
                    const Cell& w = got[2 * i + k];
                    EXPECT_EQ(w.data1, ctx) << i;
                    // Either spelling of a name held twice may be found: the lookup decides.
                    if (!(row.variants && i == 0)) {
                        EXPECT_EQ(w.data3, i) << i;
                    }
                    EXPECT_EQ(int32_t(w.data3), context::find_symbol(ctx, w.data2, true)) << i;
                }
            }
            const Cell& stranger = got[2 * row.words];
            EXPECT_EQ(stranger.data1, cells[2 * row.words].data1);
            EXPECT_EQ(stranger.data3, cells[2 * row.words].data3);
            const Cell& late = got[2 * row.words + 1];
            if (late_added) {
                EXPECT_EQ(late.data1, ctx);
                EXPECT_EQ(late.data3, late_at);
            } else {
                EXPECT_EQ(late.data1, cells[2 * row.words + 1].data1);
            }
        };
        context::bind_block(block, ctx, false);
        check(false, 0);
        uint32_t late_at = context::add_unset_word(ctx, word_of("bw-late"));
        context::bind_block(block, ctx, false);
        check(true, late_at);
    }
}

TEST(Contexts, CaseVariantsOfAGlobalWordShareOneSlot) {
    Cell lower = word::from_c_string("shared-slot");
    Cell upper = word::from_c_string("SHARED-SLOT");
    EXPECT_NE(lower.data2, upper.data2);
    EXPECT_EQ(lower.data3, upper.data3);
    word::set(upper, cell::integer(42));
    EXPECT_EQ(cell::get_integer(*word::get(lower)), 42);
}

TEST(Words, ReadingAndWritingWithTheirErrors) {
    Cell w = word::from_c_string("fresh-global");
    EXPECT_TRUE(is(*word::get(w), TypeId::unset));
    EXPECT_EQ(raised([&] { word::get_value(w); }), ErrorId::script_no_value);
    EXPECT_EQ(raised([&] { word::set(w, cell::integer(5)); }), std::nullopt);
    EXPECT_EQ(cell::get_integer(*word::get(w)), 5);

    // A word with no position is added to its context by setting it.
    Node ctx = context::make(1, false, false, 0, context::object);
    Cell loose = cell::make(TypeId::word, ctx, symbol::intern("loose"), word::kNoIndex);
    EXPECT_EQ(raised([&] { word::get(loose); }), ErrorId::script_no_value);
    word::set(loose, cell::integer(9));
    EXPECT_EQ(loose.data3, 0u);
    EXPECT_EQ(cell::get_integer(*word::get(loose)), 9);
    EXPECT_NE(context::word_at(ctx, 0)->header & cell_flag::assigned, 0u);  // the field was set

    // A function context that is not running has no values.
    Node fn = context::make(1, true, false, 0, context::function);
    Cell arg = cell::make(TypeId::word, fn, symbol::intern("arg"), 0);
    context::add_unset_word(fn, arg);
    EXPECT_EQ(raised([&] { word::get(arg); }), ErrorId::script_not_in_context);
    EXPECT_EQ(raised([&] { word::set(arg, cell::none()); }), ErrorId::script_not_defined);

    // The set-word step refuses unset!.
    EXPECT_EQ(raised([&] {
                  stack::push(w);
                  stack::push(cell::unset());
                  stack::base = stack::data_top - 2;
                  word::set_from_args(w);
              }),
              ErrorId::script_need_value);
}

TEST(Words, MoldEachKind) {
    struct Case { TypeId type; const char* text; int32_t used; };
    const Case kCases[] = {
        {TypeId::word, "émoji", 5}, {TypeId::set_word, "émoji:", 6}, {TypeId::lit_word, "'émoji", 6},
        {TypeId::get_word, ":émoji", 6}, {TypeId::refinement, "/émoji", 6},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Node s = series::alloc_bytes(16);
        Cell w = word_of("émoji", c.type);
        int32_t left = registry::actions(c.type).mold(w, s, false, false, false, nullptr, 100, 0);
        EXPECT_EQ(text_of(s), c.text);
        EXPECT_EQ(left, 100 - c.used);
    }
}

TEST(Words, CompareByOperation) {
    Cell a = word_of("Apple"), a2 = word_of("apple"), lit = word_of("apple", TypeId::lit_word);
    Cell set = word_of("APPLE", TypeId::set_word), b = word_of("banana");
    struct Case { const Cell* x; const Cell* y; CompareOp op; int32_t result; };
    const Case kCases[] = {
        {&a, &a2, CompareOp::equal, 0},          {&a, &set, CompareOp::equal, 0},
        {&a, &a2, CompareOp::strict_equal, 1},   {&a2, &lit, CompareOp::strict_equal, 1},
        {&a2, &lit, CompareOp::match_case, 0},   {&a, &lit, CompareOp::match_case, 1},
        {&a, &lit, CompareOp::match, 0},         {&a, &set, CompareOp::match, 1},
        {&a, &a, CompareOp::same, 0},            {&a, &a2, CompareOp::same, 1},
        {&a, &b, CompareOp::lesser, -1},         {&b, &a, CompareOp::lesser, 1},
    };
    for (const Case& c : kCases) EXPECT_EQ(word::compare(*c.x, *c.y, c.op), c.result);
    EXPECT_EQ(word::compare(a, cell::integer(1), CompareOp::equal), kNotComparable);
}

TEST(Words, MakeFromOtherValues) {
    Cell fromtype = word::make(cell::none(), cell::datatype(TypeId::integer), TypeId::word);
    EXPECT_EQ(symbol::name(fromtype.data2), "integer!");
    Cell fromlogic = word::make(cell::none(), cell::logic(false), TypeId::get_word);
    EXPECT_EQ(symbol::name(fromlogic.data2), "false");
    EXPECT_EQ(fromlogic.header, uint32_t(TypeId::get_word));
    EXPECT_EQ(raised([] { word::make(cell::none(), cell::integer(1), TypeId::word); }),
              ErrorId::script_bad_to_arg);
}
