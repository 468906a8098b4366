// Forces the fault named by its first argument under the runtime's fault handlers, so that
// the fault test can read the report and exit code from outside. Where the faulting
// instruction is known exactly, the probe first writes "site XXXXXXXXh" on standard output:
// the address the report must show.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "runtime/throw.h"

namespace {

// The exit code when the forced fault did not end the process.
constexpr int kSurvived = 120;

void announce_address(uint32_t address) {
    char line[32];
    int length = std::snprintf(line, sizeof line, "site %08Xh\n", address);
    kaz::platform::write_fd(1, line, size_t(length));
}

void announce_site(const void* address) { announce_address(kaz::runtime::report_address(address)); }

}  // namespace

#if defined(__x86_64__)
// Each of these faults at a labelled instruction, so its exact address is known.
extern "C" {
void kaz_probe_store(volatile int* target);
void kaz_probe_illegal();
void kaz_probe_breakpoint();
int kaz_probe_divide(int dividend, int divisor);
extern const char kaz_probe_store_at[], kaz_probe_illegal_at[], kaz_probe_breakpoint_at[],
    kaz_probe_divide_at[];
}
asm(R"(
    .text
    .globl kaz_probe_store, kaz_probe_store_at
kaz_probe_store:
kaz_probe_store_at:
    movl $1, (%rdi)
    ret
    .globl kaz_probe_illegal, kaz_probe_illegal_at
kaz_probe_illegal:
kaz_probe_illegal_at:
    ud2
    .globl kaz_probe_breakpoint, kaz_probe_breakpoint_at
kaz_probe_breakpoint:
kaz_probe_breakpoint_at:
    int3
    ret
    .globl kaz_probe_divide, kaz_probe_divide_at
kaz_probe_divide:
    movl %edi, %eax
    cltd
kaz_probe_divide_at:
    idivl %esi
    ret
)");
#endif

namespace {

// Opaque to the optimiser, so that the faults below are really executed.
volatile int* volatile null_target = nullptr;
volatile int zero_divisor = 0;

void store_to(volatile int* target) {
#if defined(__x86_64__)
    announce_site(kaz_probe_store_at);
    kaz_probe_store(target);
#else
    *target = 1;
#endif
}

int null_write() {
    store_to(null_target);
    return kSurvived;
}

// Each level keeps a kilobyte live across the call, so the compiler can neither drop the
// frame nor turn the recursion into a loop. A negative count never ends.
__attribute__((noinline)) int descend(long levels) {
    volatile char frame[1024];
    frame[0] = char(levels);
    if (levels == 0) return 0;
    int below = descend(levels - 1);
    asm volatile("" : : "r"(frame) : "memory");
    return below + frame[0];
}

int overflow() {
    descend(-1);
    return kSurvived;
}

// One frame larger than the whole stack: its stack pointer lands in the guard region, and
// the store strikes the guard far above that pointer, where only the guard's bounds tell
// an overflow from a stray pointer.
__attribute__((noinline)) int overreach() {
    volatile char frame[1536 * 1024];
    frame[256 * 1024] = 1;
    asm volatile("" : : "r"(frame) : "memory");
    return kSurvived;
}

int deep_recursion() {
    descend(200L * 1024);  // at least 200 MB of frames
    return 0;
}

int bus_error() {
    // A file of one byte mapped over two pages: the second page lies wholly past its end.
    std::FILE* file = std::tmpfile();
    if (file == nullptr || std::fputc('x', file) == EOF || std::fflush(file) != 0) {
        return kSurvived + 1;
    }
    size_t page = size_t(sysconf(_SC_PAGESIZE));
    void* mapped = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(file), 0);
    if (mapped == MAP_FAILED) return kSurvived + 1;
    store_to(reinterpret_cast<volatile int*>(static_cast<char*>(mapped) + page));
    return kSurvived;
}

int illegal_instruction() {
#if defined(__x86_64__)
    announce_site(kaz_probe_illegal_at);
    kaz_probe_illegal();
#else
    __builtin_trap();
#endif
    return kSurvived;
}

int divide_by_zero() {
#if defined(__x86_64__)
    announce_site(kaz_probe_divide_at);
    kaz_probe_divide(1, zero_divisor);
#else
    zero_divisor = 1 / zero_divisor;
#endif
    return kSurvived;
}

int breakpoint() {
#if defined(__x86_64__)
    announce_site(kaz_probe_breakpoint_at);
    kaz_probe_breakpoint();
#else
    raise(SIGTRAP);
#endif
    return kSurvived;
}

int interrupt() {
    raise(SIGINT);
    return kSurvived;
}

// Writing to a pipe nobody reads must fail with EPIPE instead of ending the process.
int broken_pipe() {
    int ends[2];
    if (pipe(ends) != 0) return kSurvived + 1;
    close(ends[0]);
    return write(ends[1], "x", 1) == -1 && errno == EPIPE ? 0 : kSurvived + 1;
}

int uncaught_throw() {
    kaz::runtime::throw_code(kaz::throw_code::break_);
}

// What the boot installs around the whole runtime: a throw that no catcher took ends here.
[[noreturn]] void outermost_handler();
uint32_t outermost_address() { return uint32_t(reinterpret_cast<uintptr_t>(&outermost_handler)); }
void outermost_handler() { kaz::runtime::quit(95, outermost_address()); }

struct Fault {
    const char* name;
    int (*force)();
    size_t stack_bytes;  // 0: on the main thread's own stack
};

constexpr size_t kMB = 1024 * 1024;
constexpr Fault kFaults[] = {
    {"null-write", null_write, 8 * kMB},
    {"stack-overflow", overflow, 1 * kMB},
    {"main-stack-overflow", overflow, 0},
    {"frame-over-guard", overreach, 1 * kMB},
    {"bus", bus_error, 8 * kMB},
    {"illegal", illegal_instruction, 8 * kMB},
    {"divide", divide_by_zero, 8 * kMB},
    {"breakpoint", breakpoint, 8 * kMB},
    {"interrupt", interrupt, 8 * kMB},
    {"broken-pipe", broken_pipe, 8 * kMB},
    {"uncaught-throw", uncaught_throw, 8 * kMB},
    {"deep-recursion", deep_recursion, 512 * kMB},
};

int runtime_main(void* raw_fault) {
    const auto* fault = static_cast<const Fault*>(raw_fault);
    if (fault->force == uncaught_throw) announce_address(outermost_address());
    try {
        return fault->force();
    } catch (const kaz::Throw&) {
        outermost_handler();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    for (const Fault& fault : kFaults) {
        if (std::strcmp(argv[1], fault.name) != 0) continue;
        kaz::platform::install_fault_handlers(kaz::runtime::quit_from_fault);
        void* arg = const_cast<Fault*>(&fault);
        if (fault.stack_bytes == 0) return runtime_main(arg);
        return kaz::platform::run_on_big_stack(runtime_main, arg, fault.stack_bytes);
    }
    return 2;
}
