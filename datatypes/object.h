// object! — a context given a value of its own: named fields, a class id shared by the objects
// made from one prototype without new fields, and change notification through the fields
// on-change* and on-deep-change*.
//
// An object cell: data1 the node of its context (kind 2, header bit 24), data2 the class id,
// data3 the node of its change-handler info, 0 when it has none. The context's second cell
// holds a copy of the object cell, so a context always knows its object: every change of the
// cell (class id, handlers) is written to both.
//
// Change-handler info: a block of two cells of type 37, (0) for on-change*, (1) for
// on-deep-change*: data2 = field position x 65536 + the handler's /local slot count (position
// 0xFFFF when the object has no such field), data3 = the spec node the count was made for.
//
// error! (a fixed-shape object, class 1) shares this module's code: every function here takes
// any object-like cell.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::object {

// ---- helpers ----

inline constexpr uint32_t kNoHandler = 0xFFFF;
inline constexpr uint32_t kHandlerInfoType = 37;
// The class id of system/words, the global context seen as an object.
inline constexpr uint32_t kWordsClass = 0xFFFFFFFFu;

// The counter of class ids; new_class_id increments it and returns the new value. Class 1 is
// error!'s; start-up may move the counter past the ids it gives its own objects.
extern uint32_t class_counter;
uint32_t new_class_id();

constexpr bool object_type_q(TypeId t) {
    return t == TypeId::object || t == TypeId::error || t == TypeId::port;
}

// Turns `c` into a new empty object (class 0, no handlers) with room for `capacity` fields.
Cell& init_cell(Cell& c, uint32_t capacity);
// Pushes an object cell over an existing context and stores it as the context's owner.
Cell* push(Node context, uint32_t class_id, Node handlers);
// Rewrites an object's cell and its context's copy of it.
void store(const Cell& object);

// The field's value cell (canonical lookup), or the shared none! cell when absent. Valid until
// the next allocation.
const Cell* value_of_word(const Cell& object, const Cell& word);
// The word cell at a field position, as a plain word! bound to the object.
Cell word_at(Node context, uint32_t index);
// The value reached from the global word `system` through the fields named, in order
// (system/locale/months is {"locale", "months"}), copied out; none! when a step is missing or
// reaches no object. The environment fills system: early in start-up every answer is none!.
Cell system_field(std::initializer_list<const char*> names);

// Builds the change-handler info of `object` (kNoHandler for an absent field) and stores the
// cell; with an on-deep-change* field, the object's series values are marked as owned by it.
void set_change_handlers(Cell& object, uint32_t on_change, uint32_t on_change_locals,
                         uint32_t on_deep_change, uint32_t on_deep_change_locals);
// The notifications: run the object's on-change* with (word, old value, new value), and the
// owner's on-deep-change* with (owner, word, target, action, new value, index, part). Nothing
// when the object has no such handler.
void fire_on_change(const Cell& object, const Cell& word, const Cell& old_value,
                    const Cell& new_value);
void fire_on_deep_change(const Cell& owner, const Cell& word, const Cell& target,
                         const Cell& action, const Cell& value, int32_t index, int32_t part);

// The `construct` native: the spec read without evaluation (runs of set-words take the value
// after them; unless `only`, true/yes/on, false/no/off and none become their values).
Cell construct(const Cell& spec, const Cell* prototype, bool only);
// The `set` native on an object: every field from one value (`whole` or a value that is
// neither block! nor object!), from a block by position, or from the same-named fields of
// another object. `any` lets unset! through, `some` skips none!. Refuses an unset! before any
// field changes.
void set_fields(const Cell& object, const Cell& value, bool any, bool whole, bool some);
// Fills the destination's values from the source's, position by position: series values are
// deep-copied (block kinds then bound to the destination with self); other values are copied
// only with `copy_all`. The destination's words begin with the source's.
void copy_values(Node source, Node destination, bool copy_all);
// Replaces the function! in field `index` of the object of `context` by a copy bound to that
// object: shared spec, cloned context, deep-copied body, interpreted. Raises script
// bad-func-def for a function without a body.
void rebind_function(Node context, uint32_t index);

// The fields as object molding writes them (also form and error!'s mold): each field (the
// handler fields only with `all`), separated by newlines or, `flat`, blanks; `indenting` indents
// each field at `indent` and ends the last with a separator too.
int32_t mold_fields(const Cell& object, Node string, bool only, bool all, bool flat,
                    bool indenting, const Cell* part, int32_t limit, int32_t indent);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell reflect(const Cell& value, uint32_t field);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// The element cell is rebound in place to the object's field when found, so that the next walk
// of the same path finds the field directly: it must be a writable cell.
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types);
Cell put(const Cell& series, const Cell& key, const Cell& value, bool case_);
Cell select(const Cell& series, const Cell& value, const FindOptions& options);
Cell modify(const Cell& target, const Cell& field, const Cell& value, bool case_);

// Registers object! and installs the change notifications of words and owned series.
void init();

}  // namespace kaz::object
