// What the fuzz targets that run the runtime share: an abort that libFuzzer reports as a
// finding, and a trap around a call that gives the error it raised.
#pragma once

#include <cstdlib>
#include <optional>

#include "runtime/cell.h"
#include "runtime/stack.h"
#include "runtime/throw.h"

namespace kaz::fuzz {

inline void check(bool ok) {
    if (!ok) std::abort();
}

// The word the trap frames name; each target sets it once the runtime is up.
inline Cell trap_word;

// Runs `body` under a trap on empty stacks; the error raised, if any.
template <typename F>
std::optional<Cell> trapped(F body) {
    stack::frames_top = stack::frames_begin;
    stack::base = stack::data_top = stack::data_begin;
    frame::push_trap(trap_word);
    try {
        body();
    } catch (const Throw& t) {
        check(t.code == throw_code::error);
        return *stack::top();
    }
    return std::nullopt;
}

}  // namespace kaz::fuzz
