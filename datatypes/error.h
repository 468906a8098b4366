// error! — language errors as objects of a fixed shape: the fields code, type, id, arg1, arg2,
// arg3, near, where, stack and files (runtime/error.h numbers them). `type` and `id` name a
// message template of the catalog (system/catalog/errors): one object per category whose
// fields are code, type (the title) and one template per id. An error's code is
// 100 x category position + id position - 2.
//
// An error! cell is an object! cell with type 34 and class 1, and no change handlers.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"
#include "runtime/error.h"

namespace kaz::error {

inline constexpr uint32_t kClassId = 1;
inline constexpr uint32_t kStackFieldIndex = Field::stack;

// The catalog object and the error every new one copies (none! until made).
extern Cell catalog;
extern Cell prototype;

// Builds the catalog from errors.def and the prototype, keeps both in `root` (the root block),
// and makes every error raised from then on an error! object. Needs the symbols and the global
// context; made once.
void make_catalog(Node root);

// How many calling functions the "*** Stack:" line of a report names: the environment's
// tracing depth when it is a positive integer!, else 0 (no line). Installed by the evaluator;
// null means 0.
extern int32_t (*stack_trace_depth)();

// Stores `value` in `where` when that field is still none!.
void set_where(const Cell& error, const Cell& value);
// The symbols of `type` and `id` (0 when the field holds no word).
uint32_t type_symbol(const Cell& error);
uint32_t id_symbol(const Cell& error);
// Replaces the frame marker in `stack` by a block of the names of the calling functions, while
// their frames still exist (at most the tracing depth of them, 1 without a setting).
void fill_stack(const Cell& error);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// As object!'s, except that `code` cannot be set: it follows from type and id.
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);

// Registers error! (after object!).
void init();

}  // namespace kaz::error
