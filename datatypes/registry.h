// The datatype registry: each type's name, parent and action table.
#pragma once

#include <string_view>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::registry {

struct TypeName {
    const char* name;      // with its "!": "block!"
    uint32_t name_length;  // without the "!"
    Cell word;             // the type's word, once words exist (unset! before)
};

// Allocates the tables (before the first registration).
void init();
// Registers a type under the name and parent types.def gives it. The entries it leaves out
// are its parent's as they stand now, so parents register first.
void define(TypeId id, const OwnActions& actions);

// Each type's table, indexed by type id (allocated by init). Read inline: every action call
// looks its function up here.
extern ActionTable* action_rows;
inline const ActionTable& actions(TypeId id) { return action_rows[size_t(id)]; }
const TypeName& type_name(TypeId id);
TypeId max_id();
bool registered_q(TypeId id);
// The language name of a type, with or without its "!".
std::string_view name_of(TypeId id, bool with_bang = true);

// Installs how a type's word is made from its name; called for every type registered so
// far and for every later registration.
void set_word_maker(Cell (*maker)(const char* name));

}  // namespace kaz::registry

namespace kaz::datatype {

Cell* make_in_block(Node block, TypeId id);
Cell* push(TypeId id);
void init();

// ---- actions ----
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);

}  // namespace kaz::datatype
