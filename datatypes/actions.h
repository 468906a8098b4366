// The action table: one function per action slot for each datatype.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/compare.h"

namespace kaz {

// An action that reads its arguments from the current frame and writes the return slot.
using FrameAction = void (*)();
// Appends the formed text of `value` to `string` within `limit` characters; returns the
// limit left (every writer subtracts exactly what it writes).
using FormAction = int32_t (*)(const Cell& value, Node string, const Cell* part, int32_t limit);
using MoldAction = int32_t (*)(const Cell& value, Node string, bool only, bool all, bool flat,
                               const Cell* part, int32_t limit, int32_t indent);
// -1, 0 or 1, or kNotComparable.
using CompareAction = int32_t (*)(const Cell& a, const Cell& b, CompareOp op);
// make and to: the prototype (or the datatype named), the spec, and the target type id.
using MakeAction = Cell (*)(const Cell& proto, const Cell& spec, TypeId type);
// The value with its refinements /seed, /secure, /only; the result replaces the value.
using RandomAction = void (*)(Cell& value, bool seed, bool secure, bool only);
// The value and the symbol id of the field word.
using ReflectAction = Cell (*)(const Cell& value, uint32_t field);
// The result replaces the value (negate).
using InPlaceAction = void (*)(Cell& value);
// round: the value, the /to scale (null when absent) and the flags /even, /down, /half-down,
// /floor, /ceiling, /half-ceiling; the result replaces the value.
using RoundAction = void (*)(Cell& value, const Cell* scale, bool even, bool down, bool half_down,
                             bool floor, bool ceiling, bool half_ceiling);
using PredicateAction = bool (*)(const Cell& value);
using UnaryAction = Cell (*)(const Cell& value);

// Series actions. An absent refinement argument is a null pointer; results are returned or,
// where the action says so, replace the first argument.

// append, insert, change: the value, the /part length (-1 when absent), /only, the /dup
// count (1 without /dup) and whether it appends; returns the action's result.
using InsertAction = Cell (*)(const Cell& series, const Cell& value, int32_t part, bool only,
                              int32_t dup, bool append);
// copy: the result is written into `result` (an unset! cell reserved by the entry).
using CopyAction = void (*)(const Cell& value, Cell& result, const Cell* part, bool deep,
                            const Cell* types);
// find and select (select ignores tail and match).
struct FindOptions {
    const Cell* part = nullptr;
    bool only = false;
    bool case_ = false;
    bool same = false;
    bool any = false;
    const Cell* with = nullptr;
    const Cell* skip = nullptr;
    bool last = false;
    bool reverse = false;
    bool tail = false;
    bool match = false;
};
using FindAction = Cell (*)(const Cell& series, const Cell& value, const FindOptions& options);
// Items from the head to the tail, or -1 for none!.
using LengthAction = int32_t (*)(const Cell& series);
using MoveAction = Cell (*)(const Cell& origin, const Cell& target, const Cell* part);
// pick and poke: the index converted to an integer (char! its code point, true 1, false 2),
// with the index cell itself for types that read other kinds of index.
using PickAction = Cell (*)(const Cell& series, int32_t index, const Cell& index_value);
using PokeAction = Cell (*)(const Cell& series, int32_t index, const Cell& index_value,
                            const Cell& value);
using PutAction = Cell (*)(const Cell& series, const Cell& key, const Cell& value, bool case_);
// remove: /part length, /key key; the result replaces the series.
using RemoveAction = void (*)(Cell& series, const Cell* part, const Cell* key);
// reverse: /part length, /skip size; the result replaces the series.
using ReverseAction = void (*)(Cell& series, const Cell* part, const Cell* skip);
struct SortOptions {
    bool case_ = false;
    const Cell* skip = nullptr;
    const Cell* compare = nullptr;
    const Cell* part = nullptr;
    bool all = false;
    bool reverse = false;
    bool stable = false;
};
using SortAction = Cell (*)(const Cell& series, const SortOptions& options);
// swap: the result replaces the first series.
using SwapAction = void (*)(Cell& series1, const Cell& series2);
using TakeAction = Cell (*)(const Cell& series, const Cell* part, bool deep, bool last);
struct TrimOptions {
    bool head = false;
    bool tail = false;
    bool auto_ = false;
    bool lines = false;
    bool all = false;
    const Cell* with = nullptr;
};
// trim: the result replaces the series.
using TrimAction = void (*)(Cell& series, const TrimOptions& options);
// One step of a path: what eval-path knows besides the parent, the element and the value to
// set (null when reading).
struct PathStep {
    const Cell* path = nullptr;        // the whole path, for error messages
    const Cell* grandparent = nullptr; // the value holding the parent (an object for fields)
    const Cell* previous = nullptr;    // the previous element
    int32_t index = 0;                 // the element's position in the path
    bool case_ = false;
    bool get = false;                  // evaluated as a get-path
    bool last = false;                 // the last element
    bool owner = false;                // the holder notifies changes (object with handlers)
};
using EvalPathAction = Cell (*)(const Cell& parent, const Cell& element, const Cell* value,
                                const PathStep& step);
using ModifyAction = Cell (*)(const Cell& target, const Cell& field, const Cell& value, bool case_);

// read and write: each refinement's argument, or null when it is not given, and its flags.
struct ReadOptions {
    const Cell* part = nullptr;
    const Cell* seek = nullptr;
    bool binary = false;
    bool lines = false;
    bool info = false;
    const Cell* as = nullptr;
};
using ReadAction = Cell (*)(const Cell& source, const ReadOptions& options);
struct WriteOptions {
    bool binary = false;
    bool lines = false;
    bool info = false;
    bool append = false;
    const Cell* part = nullptr;
    const Cell* seek = nullptr;
    const Cell* allow = nullptr;
    const Cell* as = nullptr;
};
using WriteAction = Cell (*)(const Cell& destination, const Cell& data, const WriteOptions& options);

// One member per action slot, in slot order: the table the registry holds for a type, with
// its function, or null where the type lacks the action, in every slot.
struct ActionTable {
#define KAZ_ACTION(slot, cname, name, signature, ...) signature cname;
#include "datatypes/actions.def"
#undef KAZ_ACTION
};

// The slots in the order actions.def lists them.
inline constexpr int kActionSlots[] = {
#define KAZ_ACTION(slot, ...) slot,
#include "datatypes/actions.def"
#undef KAZ_ACTION
};
static_assert(numbered_from_one(kActionSlots), "actions.def numbers the slots from 1 without gaps");
inline constexpr int kActionCount = int(std::size(kActionSlots));

// Marks an action that a type does not have although its parent does.
struct Lacks {};
inline constexpr Lacks lacks{};

// A type's own entry for one action slot: a function, `lacks`, or, left out, the parent's
// entry. A null function is `lacks`.
template <typename F>
class OwnAction {
public:
    constexpr OwnAction() = default;
    constexpr OwnAction(F fn) : fn_(fn), given_(true) {}
    constexpr OwnAction(Lacks) : given_(true) {}
    OwnAction(std::nullptr_t) = delete;  // write `lacks`

    // The entry the type registers, given its parent's (null for a type without parent).
    constexpr F resolve(F parent) const { return given_ ? fn_ : parent; }

private:
    F fn_ = nullptr;
    bool given_ = false;
};

// What a datatype module registers: one member per action slot, in slot order, written with
// designated initializers, which the compiler checks against this order. A type lists only
// the actions it has that its parent has not, or has differently.
struct OwnActions {
#define KAZ_ACTION(slot, cname, name, signature, ...) OwnAction<signature> cname;
#include "datatypes/actions.def"
#undef KAZ_ACTION
};

// The own table that registers exactly `row`, whatever the parent has.
constexpr OwnActions exactly(const ActionTable& row) {
    OwnActions own;
#define KAZ_ACTION(slot, cname, name, signature, ...) own.cname = row.cname;
#include "datatypes/actions.def"
#undef KAZ_ACTION
    return own;
}

}  // namespace kaz
