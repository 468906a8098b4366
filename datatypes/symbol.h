// symbol! — interned names. Every word names a symbol, a small positive id; names that
// differ only in ASCII letter case are distinct symbols linked by an alias to the earliest.
#pragma once

#include <cstdint>
#include <string_view>

#include "datatypes/actions.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kaz::symbol {

// The symbol block (cell id - 1 is the symbol! cell of id) and its kind-2 table.
extern Node block;
extern Node table;

inline constexpr uint32_t kInitialSymbols = 4000;

// Makes the symbol block inside the root block (boot step 16).
void make_block(Node root);
// Makes the symbol table over the symbol block (boot step 19; needs the case tables).
void make_table();

// The id of a name, adding it when absent; a case variant of an existing name is added with
// the earliest variant as its alias.
uint32_t intern(std::string_view utf8);
// The id of any name equal when ASCII case is ignored; adds the name only when none is.
uint32_t intern_caseless(std::string_view utf8);
// The id of the UTF-8 text of a string from its head.
uint32_t from_string(const Cell& string);

// The symbol! cell of an id, its string! name made.
Cell& get_cell(uint32_t id);
// Makes the string! form of the name once (data2); words share it when they form.
void make_string(Cell& symbol);
// The same, read from the symbol cells a caller holds (`symbols`, the block's cells): a probe
// that asks it of many ids reads them once.
inline uint32_t canonical_in(const Cell* symbols, uint32_t id) {
    int32_t alias = int32_t(symbols[id - 1].data1);
    return alias > 0 ? uint32_t(alias) : id;
}
// Inline: binding asks it of every word it meets.
inline uint32_t canonical_id(uint32_t id) { return canonical_in(memory::buffer_of(block)->cells(), id); }
int32_t get_alias(uint32_t id);
// The UTF-8 name.
std::string_view name(uint32_t id);
uint32_t count();

// MurmurHash3 of the name with ASCII A-Z lowered: the value hash of symbol!.
uint32_t hash(const Cell& symbol);

// The string! comparison of two symbols' names.
int32_t compare_names(uint32_t a, uint32_t b, CompareOp op);

// Registers symbol! (compare only).
void init();
int32_t compare(const Cell& a, const Cell& b, CompareOp op);

}  // namespace kaz::symbol
