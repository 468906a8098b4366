#include "runtime/throw.h"

#include <cstdio>
#include <iterator>

#include "platform/error_box.h"
#include "platform/process.h"
#include "runtime/console.h"
#include "runtime/heap.h"

namespace kaz::runtime {

uint32_t pending_code = 0;

void throw_code(uint32_t code) {
    pending_code = code;
    throw Throw{code};
}

const char* error_text(int number) {
    static const char* const kTexts[] = {
        nullptr,
        "access violation", "invalid alignment", "breakpoint", "single step", "bounds exceeded",
        "float denormal operan", "float divide by zero", "float inexact result",
        "float invalid operation", "float overflow", "float stack check", "float underflow",
        "integer divide by zero", "integer overflow", "privileged instruction",
        "invalid virtual address", "illegal instruction", "non-continuable exception",
        "stack error or overflow", "invalid disposition", "guard page", "invalid handle",
        "illegal operand", "illegal addressing mode", "illegal trap", "coprocessor error",
        "non-existent physical address", "object specific hardware error",
        "hardware memory error consumed AR", "hardware memory error consumed AO",
        "privileged register", "segmentation fault", "FPU error", "Bus error",
    };
    if (number >= 1 && number < int(std::size(kTexts))) return kTexts[number];
    switch (number) {
        case 94: return "out of memory";
        case 95: return "no CATCH for THROW";
        case 98: return "assertion failed";
        case 99: return "unknown error";
        case 100: return "no value matched in CASE";
        case 101: return "no value matched in SWITCH";
        default: return "unknown error code!";
    }
}

int format_report(char* out, int size, int number, uint32_t address) {
    return std::snprintf(out, size_t(size), "*** Runtime Error %d: %s\n*** at: %08Xh", number,
                         error_text(number), address);
}

namespace {
void report(int number, uint32_t address) {
    if (number == 0) return;
    char text[1024];
    format_report(text, sizeof text, number, address);
    platform::error_box("Kaz App Error", text);
}
}  // namespace

void quit(int number, uint32_t address) {
    console::flush();
    report(number, address);
    heap::free_all();
    platform::exit_process(number);
}

void quit_from_fault(int number, uint32_t address) {
    report(number, address);
    platform::exit_process(number);
}

void no_case_matched(uint32_t address) { quit(100, address); }
void no_switch_matched(uint32_t address) { quit(101, address); }

}  // namespace kaz::runtime
