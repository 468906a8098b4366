// word!, set-word!, lit-word!, get-word! and refinement!: values that name things. One cell
// layout: data1 the context the word is bound to (0: unbound), data2 the symbol id, data3 the
// word's position in that context, or -1 when it has none yet.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/context.h"
#include "runtime/cell.h"

namespace kaz::word {

inline constexpr uint32_t kNoIndex = 0xFFFFFFFF;

constexpr bool any_word_type_q(TypeId t) { return t >= TypeId::word && t <= TypeId::issue; }

// Making words, bound to the global context.
Cell& init_global_cell(uint32_t symbol, Cell& c);
Cell* make_in_block(uint32_t symbol, Node block);
Cell* push_symbol(uint32_t symbol);
Cell from_c_string(const char* name);
Cell from_symbol(uint32_t symbol);
Cell refinement_from_c_string(const char* name);

// Reading and writing through the word's context, with the language's errors.
Cell* get_in_context(const Cell& word, Node ctx);
// The value slot of a word bound to a position of a context whose values are at hand; null
// otherwise (an unbound word, or a function's word while it does not run). Raises nothing.
inline Cell* bound_slot(const Cell& word) {
    return word.data3 != kNoIndex && word.data1 ? context::value_at(word.data1, word.data3) : nullptr;
}
// Inline: the interpreter reads a word per step; a bound word with a live slot needs no call.
inline Cell* get(const Cell& word) {
    if (Cell* slot = bound_slot(word)) return slot;
    return get_in_context(word, word.data1);
}
// Sets the word's value (adding the word to its context when it has no position yet, which
// records the position in `word`); notifies an object's on-change* handler.
Cell* set(Cell& word, const Cell& value);
Cell* set_in_context(Cell& word, const Cell& value, Node ctx, bool notify);
// The set-word step: argument 1 the value, which becomes the result (argument 0). The word is
// passed in hand: reading back the cell just pushed would stall on its narrower stores.
void set_from_args(Cell word);
// Pushes the word's value; an unset! value raises script no-value.
Cell* get_value(const Cell& word);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void index_q();

// Registers the five word types.
void init();

}  // namespace kaz::word
