// Low-level routines: C++ functions exposed to the language as routine! values, named at
// start-up and found by name. A routine! cell keeps the routine's id where its code would be.
//
// Two calling conventions. A plain routine receives one Arg per argument (logic! as its truth,
// integer! and float! as numbers, any other value as its cell) and returns a Result read by
// the routine's declared return type. A cell routine (the routine! variant flag) receives the
// addresses of its argument cells and returns the address of its result cell.
#pragma once

#include <cstdint>
#include <span>

#include "runtime/cell.h"

namespace kaz::routines {

union Arg {
    int64_t integer;  // logic! (0 or 1) and integer!
    double number;    // float!
    const Cell* cell; // any other type: the argument cell itself
};
union Result {
    int64_t integer;  // logic! (non-zero is true) and integer!
    double number;    // float!
};

using PlainFn = Result (*)(const Arg* args, uint32_t count);

// A routine of the environment, made into a routine! value at start-up: its name, the source
// of its spec, its body, and the return type the interpreter converts its Result to (0: none,
// the body leaves its result in the return slot itself).
struct Definition {
    const char* name;
    const char* spec;
    PlainFn fn;
    TypeId returns;
};
using CellFn = const Cell* (*)(Cell* const* args, uint32_t count);

// Registers a routine under `name`; returns its id (from 1). A name given twice keeps the last.
uint32_t define(const char* name, PlainFn fn);
uint32_t define_cells(const char* name, CellFn fn);
// The id of the routine named `name`, 0 when there is none.
uint32_t find(const char* name);

// Calls routine `id` (an unknown id raises internal not-done).
Result call(uint32_t id, const Arg* args, uint32_t count);
const Cell* call_cells(uint32_t id, Cell* const* args, uint32_t count);

}  // namespace kaz::routines
