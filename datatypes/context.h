// context! — maps words to value slots. The global context, every function's arguments and
// locals, and every object's fields are contexts.
//
// A context is a node whose series holds two cells: the context! cell (header bits 11-12 the
// kind, bit 22 values on the data stack, bit 24 a flag kept by copies; data1 the word table, a
// kind-2 hash table over a block of word! cells; data2 the values block, or for a data-stack
// context the cell index of the running call's first argument plus one, 0 when not running),
// and a cell holding the value that owns the context.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kaz::context {

enum Kind : uint32_t { plain = 0, function = 1, object = 2 };

namespace header {
inline constexpr uint32_t kind_shift = 11;
inline constexpr uint32_t kind_mask = 3u << 11;
inline constexpr uint32_t on_stack = 1u << 22;
inline constexpr uint32_t flag24 = 1u << 24;
}  // namespace header

extern Node global;
extern Node global_values;  // the global context's values block, which never changes
inline constexpr uint32_t kGlobalWords = 4000;

// Makes the global context (boot step 17).
void make_global();

Node make(uint32_t size, bool on_stack, bool flag24, Node copy_words_from, uint32_t kind);
Node make_from_spec(const Cell& spec, bool on_stack, bool flag24, uint32_t kind);
// A fresh context with the same words as the value's (data1), fresh unset! values; the
// value's data1 becomes the new context.
Node clone_for_value(Cell& value, uint32_t kind);

// Inline: every word read and write of the interpreter comes through here.
inline Cell& cell_of(Node ctx) { return memory::buffer_of(ctx)->cells()[0]; }  // the context! cell
inline Cell& owner_of(Node ctx) { return memory::buffer_of(ctx)->cells()[1]; }  // the owning value
inline uint32_t kind_of(Node ctx) { return (cell_of(ctx).header & header::kind_mask) >> header::kind_shift; }
inline bool on_stack_q(Node ctx) { return (cell_of(ctx).header & header::on_stack) != 0; }
Node words_node(Node ctx);   // the block of word! cells
uint32_t word_count(Node ctx);
Cell* word_at(Node ctx, uint32_t index);
// Debug and sanitizer builds check every slot they hand out: one past what its context holds
// would be a write into another value's memory, which nothing else would report.
#if !defined(NDEBUG) || defined(KAZ_SANITIZE)
inline constexpr bool kCheckSlots = true;
#else
inline constexpr bool kCheckSlots = false;
#endif
// Ends the process with a report when `slot`, index `index` of the context, lies outside it.
void check_slot(Node ctx, uint32_t index, const Cell* slot);

// The value slot of a word position: the values block, or the running call's argument cells;
// null for a function context that is not running.
inline Cell* value_at(Node ctx, uint32_t index) {
    Cell* slot;
    // Most words read are global: their values block is known without reading the context.
    if (ctx == global) {
        slot = memory::buffer_of(global_values)->cells() + index;
    } else {
        const Cell& c = cell_of(ctx);
        if (c.header & header::on_stack) slot = c.data2 ? stack::at(c.data2 - 1) + index : nullptr;
        else slot = c.data2 ? memory::buffer_of(c.data2)->cells() + index : nullptr;
    }
    if constexpr (kCheckSlots) check_slot(ctx, index, slot);
    return slot;
}

// Positions are 0-based; -1 when absent. `canonical` compares by canonical symbol id, so case
// variants of a name are one word.
int32_t find_symbol(Node ctx, uint32_t symbol, bool canonical);
// Finds, or adds the word (not its value) and reports the new position through `added`.
int32_t find_or_add_symbol(Node ctx, uint32_t symbol, bool canonical, uint32_t* added);
uint32_t add_unset_word(Node ctx, const Cell& word);
// Adds the word with a copy of the value; null (and nothing changed) when already present.
Cell* add_word(Node ctx, const Cell& word, const Cell& value);
void put_value(Node ctx, const Cell& word, const Cell& value);
Cell* value_cell_of_symbol(uint32_t symbol, Node ctx);
Cell find_word_or_global(Node ctx, uint32_t symbol);
// The global word of a symbol, added when absent. With `copy` and a case variant found, a
// word with the requested symbol and the variant's slot.
Cell find_or_add_global(uint32_t symbol, bool canonical, bool copy);

int32_t bind_word(Node ctx, Cell& word);
// Binds every word of a block, deeply; with `self`, the word self reads as the owner.
void bind_block(const Cell& block, Node ctx, bool self);
// Adds an unset! word for every set-word! of the block; true when the context grew.
bool collect_set_words(Node ctx, const Cell& block);

// Registers context!.
void init();

}  // namespace kaz::context
