// map! — the key/value dictionary: a block of alternating key and value cells indexed by a
// hash table of kind map. A map cell: data1 the head (always 0), data2 the block, data3 the
// table, whose count is the number of live entries.
//
// Keys are normalised when stored (words of every kind become set-word!, text keys are copied),
// so a word of any kind and text of any case find the same entry unless `case` is asked for.
// Putting none! removes a key. A removed entry keeps its key cell and clears its value cell's
// header; a later put of the same key revives the pair. Every walk skips removed pairs.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::map {

// The key types a map can hold.
bool valid_key_type_q(TypeId t);
// Live entries.
uint32_t size(const Cell& map);
Cell* push(const Cell& map);
// Makes `c` a map over the key/value pairs of `block` from its head (an odd count raises
// script invalid-arg with the block), or with a null block an empty map with room for
// `capacity` pairs. A block whose head is 0 becomes the map's own block: keys are normalised
// in place and a repeated key keeps the later value, its pair leaving the block.
Cell& init_cell(Cell& c, const Cell* block, uint32_t capacity);
// The core of extend: each key/value pair of the block put into the map (strictly compared
// keys with `case_`). An odd count raises script invalid-arg with the block.
void extend(const Cell& map, const Cell& block, bool case_);
// One step of foreach: sets the first `count` words of `words` (from its head) to the map's
// next cells from its head, which advances, skipping removed pairs; words left over are set to
// none!. True when at least one word was set from the map.
bool foreach_set_words(const Cell& words, Cell& map, uint32_t count);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell reflect(const Cell& value, uint32_t field);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void clear(Cell& map);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types);
Cell find(const Cell& map, const Cell& value, const FindOptions& options);
int32_t length_q(const Cell& map);
Cell put(const Cell& map, const Cell& key, const Cell& value, bool case_);
void remove(Cell& map, const Cell* part, const Cell* key);
Cell select(const Cell& map, const Cell& value, const FindOptions& options);

// ---- registration ----
void init();

}  // namespace kaz::map
