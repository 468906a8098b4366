// Process-level services: the runtime thread, fatal faults, exit, raw output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kaz::platform {

// Receives a fatal fault as a runtime error number (0 for a console break) and the low 32
// bits of the faulting instruction's address. Runs on the alternate signal stack; must not
// return.
using FaultHandler = void (*)(int number, uint32_t address);

// Maps fatal signals to runtime errors for the whole process: SIGSEGV on a stack guard
// region -> 19, other SIGSEGV -> 1, SIGBUS -> 34, SIGILL -> 17, SIGFPE by its code
// (integer divide 13, integer overflow 14, float divide 7, float overflow 10, float
// underflow 12, inexact 8, invalid 9, subscript 5, else 99), SIGTRAP -> 3, SIGINT -> 0.
// SIGPIPE is ignored. Also gives the calling thread its alternate signal stack.
void install_fault_handlers(FaultHandler handler);

// Gives the calling thread an alternate signal stack, so that a fault on a full stack can
// still be reported. Each thread that runs Kaz code needs one.
void install_signal_stack();

// Runs entry(arg) on a new thread whose stack holds `stack_bytes` above a guard region,
// waits for it and returns its result. A fault in the guard region reports runtime error 19.
int run_on_big_stack(int (*entry)(void*), void* arg, size_t stack_bytes);

// Ends the process at once with `code` (-2 reaches the shell as 254). The C streams are not
// flushed: the runtime writes its own output with write(2) and flushes its buffers first.
[[noreturn]] void exit_process(int code);

// Writes all of `text` to a file descriptor, retrying short writes; errors are ignored.
void write_fd(int fd, const char* text, size_t length);

}  // namespace kaz::platform
