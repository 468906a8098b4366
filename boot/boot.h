// Start-up: the runtime boot sequence and the entry of the runtime thread.
#pragma once

#include <cstddef>

#include "runtime/cell.h"

namespace kaz::boot {

// Module statics and the runtime boot, each module initialised in the system's order, then the
// environment.
void run();
// The runtime boot alone, with no environment: what the build's image maker needs to read the
// environment's sources.
void run_runtime();

// The root block: every value that must live for the whole run. Fixed: its buffer never moves.
extern Node root;
inline constexpr uint32_t kRootCells = 16'384;

// The runtime thread's stack: the language's own limits are reached long before it ends.
inline constexpr size_t kRuntimeStack = size_t(512) << 20;

// How much of it nested evaluation may take; the rest is room for native work and the error
// report. The address sanitizer cleans up after a throw only within 64 MB of the stack's top
// (deeper throws leave stale poison that it then reports), so its builds nest less deeply.
#if defined(KAZ_SANITIZE)
inline constexpr size_t kNestingStack = size_t(40) << 20;
#else
inline constexpr size_t kNestingStack = kRuntimeStack - (size_t(64) << 20);
#endif

// The runtime thread's entry (on a stack of kRuntimeStack bytes): boots, runs the program and
// returns the exit code; a low-level throw that nothing catches ends the process with runtime
// error 95.
int main_entry(int argc, char** argv);

}  // namespace kaz::boot
