// What the unit tests share: building values, running code under a trap as the interpreter would,
// calling a frame action in a real frame, evaluating code from a clean top level, and reading
// series back as text.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/hooks.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

namespace kaz::test {

// A word bound to nothing: it names the frames a test pushes.
inline Cell unbound_word() { return cell::make(TypeId::word, 0, 1, word::kNoIndex); }

// A word of the given kind.
inline Cell w(const char* name, TypeId type = TypeId::word) {
    Cell c = word::from_c_string(name);
    c.header = uint32_t(type);
    return c;
}

// A string of the given type holding `utf8`.
inline Cell str(std::string_view utf8, TypeId type = TypeId::string) {
    Cell s = string::make_cell(uint32_t(utf8.size()), type);
    text::append_utf8(s.data2, utf8);
    return s;
}

// A block of `cells`, its position at `head`.
inline Cell blk(std::initializer_list<Cell> cells, uint32_t head = 0) {
    Cell b;
    block::init_cell(b, int32_t(cells.size()));
    for (const Cell& c : cells) block::append_cell(b, c);
    b.data1 = head;
    return b;
}

// A block! of `cells` laid in its buffer directly, without the block module.
inline Cell block_of(std::initializer_list<Cell> cells) {
    Node n = series::alloc_cells(uint32_t(cells.size()) + 1);
    SeriesBuffer* b = memory::buffer_of(n);
    for (const Cell& c : cells) *series::reserve_cell(b) = c;
    return cell::make(TypeId::block, 0, n, 0);
}

// A value of a type held as a double (float!, percent!, time!).
inline Cell typed(TypeId t, double d) {
    Cell c = cell::make(t);
    cell::put_float(c, d);
    return c;
}

// A binary! of `bytes`.
inline Cell binary(const std::vector<uint8_t>& bytes) {
    Node n = series::alloc_bytes(uint32_t(bytes.size()));
    SeriesBuffer* b = memory::buffer_of(n);
    if (!bytes.empty()) std::memcpy(b->head, bytes.data(), bytes.size());
    b->tail = b->head + bytes.size();
    return cell::make(TypeId::binary, 0, n, 0);
}

// A pair! of two integers.
inline Cell pair(int32_t x, int32_t y) { return cell::make(TypeId::pair, 0, uint32_t(x), uint32_t(y)); }

// A tuple! of up to twelve bytes: four to a data word, the length in the header.
inline Cell tuple(std::initializer_list<uint8_t> bytes) {
    Cell t = cell::make(TypeId::tuple);
    t.header |= uint32_t(bytes.size()) << 19;
    uint32_t i = 0;
    for (uint8_t b : bytes) {
        uint32_t& word = i < 4 ? t.data1 : i < 8 ? t.data2 : t.data3;
        word |= uint32_t(b) << (8 * (i % 4));
        ++i;
    }
    return t;
}

// The bits of a single-precision float.
inline uint32_t f32(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// The stacks as a fresh evaluation finds them.
inline void reset_stacks() {
    stack::frames_top = stack::frames_begin;
    stack::base = stack::data_top = stack::data_begin;
}

// Empty stacks, and no frame left over from the last throw.
inline void clear_stacks() {
    reset_stacks();
    frame::thrown_at = nullptr;
}

// Runs `body` in a trap frame on emptied stacks: the error it raised, or none! when it raised none.
template <typename F>
Cell trap(F body) {
    reset_stacks();
    frame::push_trap(unbound_word());
    try {
        body();
    } catch (const Throw& t) {
        EXPECT_EQ(t.code, throw_code::error);
        return *stack::top();
    }
    frame::pop();
    return cell::none();
}

// What a body left: a value, or the error it raised.
struct Outcome {
    Cell value;
    std::optional<ErrorId> error;
    Cell raised;  // the error! value
};

// Runs `body` under a trap frame named `name`; the stacks are as they were afterwards. Whatever is
// thrown must be an error.
template <typename F>
Outcome trapped(F body, const Cell& name = unbound_word()) {
    Cell* top = stack::data_top;
    Cell* base = stack::base;
    CallFrame* frames = stack::frames_top;
    frame::push_trap(name);
    Outcome o{cell::none(), std::nullopt, cell::none()};
    try {
        o.value = body();
    } catch (const Throw&) {
        o.raised = *stack::top();
        o.error = error::id_of(o.raised);
        if (!o.error) ADD_FAILURE() << "a throw that is not an error";
    }
    stack::frames_top = frames;
    stack::base = base;
    stack::data_top = top;
    return o;
}

// The error that `body`, run for its effect alone, raised.
template <typename F>
std::optional<ErrorId> error_of(F body) {
    return trapped([&] {
               body();
               return cell::none();
           })
        .error;
}

// A frame action called with its arguments in a native frame named `name`, with no trap around
// it; the result is argument 0.
inline Cell invoke(FrameAction action, std::initializer_list<Cell> args, const Cell& name = unbound_word()) {
    frame::push_native(name);
    for (const Cell& a : args) stack::push(a);
    action();
    Cell r = stack::base[0];
    frame::pop();
    return r;
}

// The same under a trap.
inline Outcome call(FrameAction action, std::initializer_list<Cell> args, const Cell& name = unbound_word()) {
    return trapped([&] { return invoke(action, args, name); });
}
// The common case: two arguments.
inline Outcome call(FrameAction action, const Cell& a, const Cell& b) { return call(action, {a, b}); }

// The error `body` raises, if any, and its first argument; the stacks are cleared afterwards.
template <typename F>
std::optional<std::pair<ErrorId, Cell>> raised_if_any(F body) {
    frame::push_trap(unbound_word());
    try {
        body();
    } catch (const Throw&) {
        Cell e = *stack::top();
        std::pair<ErrorId, Cell> r{error::id_of(e).value_or(ErrorId::internal_not_done),
                                   error::field(e, error::arg1)};
        clear_stacks();
        return r;
    }
    clear_stacks();
    return std::nullopt;
}

// The error `body` raises, and its first argument; a failure when it raises none.
template <typename F>
std::pair<ErrorId, Cell> raised(F body) {
    if (auto r = raised_if_any(body)) return *r;
    ADD_FAILURE() << "nothing raised";
    return {ErrorId::internal_not_done, cell::none()};
}

// The bytes of a byte series, as text.
inline std::string byte_text(Node bytes) {
    SeriesBuffer* b = memory::buffer_of(bytes);
    return {reinterpret_cast<char*>(b->head), b->used()};
}

// A string from its head, as UTF-8 (converted afresh, whatever the cell had cached).
inline std::string utf8_of(Cell s) {
    s.data3 = 0;
    int32_t length = -1;
    const char* u = string::to_utf8(s, length);
    return {u, size_t(length)};
}

// A value molded by its own type's action with the flags named and no limit; "<type!>" for a
// type that has none.
inline std::string mold_text(const Cell& v, bool only = false, bool all = false, bool flat = false) {
    MoldAction m = registry::actions(type_of(v)).mold;
    if (!m) return "<" + std::string(registry::name_of(type_of(v))) + ">";
    Cell s = string::make_cell(64);
    m(v, s.data2, only, all, flat, nullptr, 1 << 30, 0);
    return utf8_of(s);
}

// A value formed by its own type's action, with no limit.
inline std::string form_text(const Cell& v) {
    Cell s = string::make_cell(64);
    registry::actions(type_of(v)).form(v, s.data2, nullptr, 1 << 30);
    return utf8_of(s);
}

// A value molded as the interpreter molds it, with no limit.
inline std::string molded(const Cell& v) {
    Cell s = string::make_cell(16);
    actions::mold(v, s.data2, false, false, false, nullptr, 0x7FFFFFFF, 0);
    return utf8_of(s);
}

// The stacks as the top level leaves them: a trap that catches errors, and its result slot.
inline void reset_top_level() {
    reset_stacks();
    frame::unwinding = 0;
    frame::push_trap(words::try_);
    stack::push(cell::unset());
}

// Evaluates a block from the top level: its result; the error! it raised, the top level made
// afresh; or for any other throw, an unset! that carries the throw's code.
inline Cell evaluate(const Cell& code) {
    try {
        return interp::do_block(code);
    } catch (const Throw& t) {
        if (t.code != throw_code::error) return cell::make(TypeId::unset, t.code);
        Cell e = *stack::top();
        reset_top_level();
        return e;
    }
}

// The id of the error! an evaluation returned, if it returned one.
inline std::optional<ErrorId> error_id(const Cell& result) {
    return is(result, TypeId::error) ? error::id_of(result) : std::nullopt;
}

// What the owner of a series hears: an object whose on-deep-change* is a function, with the
// hook that calls handlers replaced by a recorder of each notice's action word, index and part
// (put back when the recorder goes).
// Gives the datatypes' hooks back as they were when a test began, whatever it replaced: the
// next test in the same process meets the evaluator the test environment installed.
class KeepHooks {
public:
    KeepHooks() : saved_(datatype_hooks) {}
    ~KeepHooks() { datatype_hooks = saved_; }
    KeepHooks(const KeepHooks&) = delete;
    KeepHooks& operator=(const KeepHooks&) = delete;

private:
    DatatypeHooks saved_;
};

class DeepChangeRecorder {
public:
    struct Notice {
        uint32_t action;  // the symbol of the action word
        int32_t index, part;
    };
    static inline std::vector<Notice> notices;

    DeepChangeRecorder() : saved_(datatype_hooks.call_handler) {
        owner_ = evaluate(lexer::load_text(str(
            "make object! [on-deep-change*: func [owner word target action new index part] []]")));
        notices.clear();
        // The handler's arguments are the frame its caller pushed: owner word target action
        // new index part.
        datatype_hooks.call_handler = [](const Cell&, Node, const Cell&) {
            notices.push_back({stack::base[3].data2, cell::get_integer(stack::base[5]),
                               cell::get_integer(stack::base[6])});
        };
    }
    ~DeepChangeRecorder() { datatype_hooks.call_handler = saved_; }
    DeepChangeRecorder(const DeepChangeRecorder&) = delete;
    DeepChangeRecorder& operator=(const DeepChangeRecorder&) = delete;

    const Cell& owner() const { return owner_; }

private:
    decltype(DatatypeHooks::call_handler) saved_;
    Cell owner_;
};

}  // namespace kaz::test
