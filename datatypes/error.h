// error! — language errors as objects of a fixed shape: the fields code, type, id, arg1, arg2,
// arg3, near, where, stack and files (runtime/error.h numbers them). `type` and `id` name a
// message template of the catalog (system/catalog/errors): one object per category whose
// fields are code, type (the title) and one template per id. An error's code is
// 100 x category position + id position - 2.
//
// An error! cell is an object! cell with type 34 and class 1, and no change handlers.
#pragma once

#include <cstdint>
#include <string>

#include "datatypes/actions.h"
#include "runtime/cell.h"
#include "runtime/error.h"

namespace kaz::error {

inline constexpr uint32_t kClassId = 1;
inline constexpr uint32_t kStackFieldIndex = Field::stack;

// The catalog object and the error every new one copies (none! until made).
extern Cell catalog;
extern Cell prototype;

// Builds the catalog from errors.def and the prototype and keeps both in `root` (the root
// block). Needs the symbols and the global context; made once, before the runtime's error
// hooks are pointed at the three functions below.
void make_catalog(Node root);

// Errors as error! objects: made from a catalog entry and its arguments (null: none!), read
// field by field, and reported as the "*** " text.
Cell create_value(ErrorId id, const Cell* a1, const Cell* a2, const Cell* a3);
Cell* field_of(const Cell& error, Field f);
std::string report_of(const Cell& error);

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
