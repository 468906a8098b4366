// Low-level control transfer and the numbered runtime errors that end the process.
#pragma once

#include <cstdint>

namespace kaz {

// Codes carried by a low-level throw; a catcher takes every code up to its threshold.
// ORDER THROW: smallest first, the threshold comparison relies on it.
namespace throw_code {
inline constexpr uint32_t os_release = 0x7FFFFFF6;    // the system refused to release memory
inline constexpr uint32_t os_no_memory = 0x7FFFFFF7;  // the system refused memory
inline constexpr uint32_t os_failure = 0x7FFFFFF8;
inline constexpr uint32_t power = 0x7FFFFFF9;         // caught inside integer power
inline constexpr uint32_t throw_ = 0x7FFFFFFA;
inline constexpr uint32_t exit = 0x7FFFFFFB;
inline constexpr uint32_t return_ = 0x7FFFFFFC;
inline constexpr uint32_t continue_ = 0x7FFFFFFD;
inline constexpr uint32_t break_ = 0x7FFFFFFE;
inline constexpr uint32_t error = 0x7FFFFFFF;
}  // namespace throw_code

// The one exception type of the runtime: a low-level throw in flight across C++ code.
struct Throw {
    uint32_t code;
};

namespace runtime {

// The pending throw code: what the last throw carried (0 when none).
extern uint32_t pending_code;

// Stores `code` as pending and unwinds to the nearest catcher whose threshold admits it.
[[noreturn]] void throw_code(uint32_t code);

// Runs `body`; a throw whose code is at most `threshold` (unsigned) is caught: `handler`
// receives the code. Any other throw passes on.
template <typename Body, typename Handler>
inline auto catch_upto(uint32_t threshold, Body&& body, Handler&& handler) {
    try {
        return body();
    } catch (const Throw& t) {
        if (t.code > threshold) throw;
        pending_code = t.code;
        return handler(t.code);
    }
}

// The text of a runtime error number; "unknown error code!" for numbers outside the table.
const char* error_text(int number);

// Formats "*** Runtime Error %d: %s\n*** at: %08Xh" into `out` (NUL-terminated, at most
// `size` bytes) and returns its length.
int format_report(char* out, int size, int number, uint32_t address);

// Ends the process: reports runtime error `number` (nothing for 0), frees the tracked heap
// and exits with the number as exit code.
[[noreturn]] void quit(int number, uint32_t address);

// The same for a fault caught by a signal handler: the tracked heap is left alone, since
// the fault may have struck inside the system allocator.
[[noreturn]] void quit_from_fault(int number, uint32_t address);

// The low 32 bits of an address, as reports show it.
inline uint32_t report_address(const void* p) { return uint32_t(reinterpret_cast<uintptr_t>(p)); }

// The caller's code address, for reports.
#define KAZ_CALLER_ADDRESS() ::kaz::runtime::report_address(__builtin_return_address(0))

// Ends with runtime error 100 or 101: a selection of the runtime matched no case.
[[noreturn]] void no_case_matched(uint32_t address);
[[noreturn]] void no_switch_matched(uint32_t address);

}  // namespace runtime
}  // namespace kaz
