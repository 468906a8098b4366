// Process-level services: the runtime thread, fatal faults, exit, raw output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kaz::platform {

// Receives a fatal fault as a runtime error number and the low 32 bits of the faulting
// instruction's address. Runs on the alternate signal stack; must not return.
using FaultHandler = void (*)(int number, uint32_t address);

// The exit status of a run the user interrupted (Ctrl+C): 128 + SIGINT, as a shell reports a
// command that SIGINT ended, so that `kaz job.kaz && next-step` stops there.
inline constexpr int kInterruptedStatus = 130;

// Maps fatal signals to runtime errors for the whole process: SIGSEGV on a stack guard
// region -> 19, other SIGSEGV -> 1, SIGBUS -> 34, SIGILL -> 17, SIGFPE by its code
// (integer divide 13, integer overflow 14, float divide 7, float overflow 10, float
// underflow 12, inexact 8, invalid 9, subscript 5, else 99), SIGTRAP -> 3. SIGINT ends the
// process with kInterruptedStatus and no report; the handler is not called. SIGPIPE is
// ignored. Also gives the calling thread its alternate signal stack.
void install_fault_handlers(FaultHandler handler);

// The least size of the alternate signal stack a thread running Kaz code gets: the fault
// handler formats and writes its report there, instrumented code included.
inline constexpr size_t kSignalStackBytes = 64 * 1024;

// Gives the calling thread an alternate signal stack of at least kSignalStackBytes (or the
// system's SIGSTKSZ when larger), so that a fault on a full stack can still be reported. A
// smaller one already installed (a sanitizer runtime installs its own) is replaced; one at
// least that large is kept. Each thread that runs Kaz code needs one.
void install_signal_stack();

// Runs entry(arg) on a new thread whose stack holds `stack_bytes` above a guard region,
// waits for it and returns its result. A fault in the guard region reports runtime error 19.
int run_on_big_stack(int (*entry)(void*), void* arg, size_t stack_bytes);

// Ends the process at once with `code` (-2 reaches the shell as 254). The C streams are not
// flushed: the runtime writes its own output with write(2) and flushes its buffers first.
[[noreturn]] void exit_process(int code);

// Writes all of `text` to a file descriptor, retrying short and interrupted writes. Gives up
// at the first error (a closed pipe, a full disk, a bad descriptor): false then.
bool write_fd(int fd, const char* text, size_t length);

}  // namespace kaz::platform
