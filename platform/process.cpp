#include "platform/process.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#if defined(KAZ_SANITIZE)
#include <sanitizer/common_interface_defs.h>
#endif

namespace kaz::platform {
namespace {

std::atomic<FaultHandler> fault_handler{nullptr};

// Below every big stack. Frames larger than this can step over it unless the compiler
// probes the stack page by page; the stack-pointer rule below catches most of those.
constexpr size_t kGuardBytes = 1024 * 1024;
constexpr size_t kMinStackBytes = 64 * 1024;
// How far from the faulting thread's stack pointer a fault still counts as the stack
// running out: a call or push writes just below it; a frame reserved in one step is
// touched above it.
constexpr uintptr_t kBelowStackPointer = 2 * 4096;
constexpr uintptr_t kAboveStackPointer = 64 * 1024;
// A frame that straddles a guard region faults just under it.
constexpr uintptr_t kBelowGuard = 4096;

size_t page_size() {
    static const size_t size = size_t(sysconf(_SC_PAGESIZE));
    return size;
}

// Guard regions of the stacks made by run_on_big_stack, read by the fault handler. A slot
// is published by storing `high` last and withdrawn by clearing `high` first.
struct GuardZone {
    std::atomic<bool> claimed{false};
    std::atomic<uintptr_t> low{0};
    std::atomic<uintptr_t> high{0};
};
static_assert(std::atomic<uintptr_t>::is_always_lock_free, "read from a signal handler");
GuardZone guard_zones[8];

GuardZone* claim_guard_zone(uintptr_t low, uintptr_t high) {
    for (GuardZone& zone : guard_zones) {
        bool expected = false;
        if (!zone.claimed.compare_exchange_strong(expected, true)) continue;
        zone.low.store(low);
        zone.high.store(high);
        return &zone;
    }
    return nullptr;
}

void release_guard_zone(GuardZone* zone) {
    if (zone == nullptr) return;
    zone->high.store(0);
    zone->low.store(0);
    zone->claimed.store(false);
}

bool is_stack_overflow(uintptr_t address, uintptr_t stack_pointer) {
    for (const GuardZone& zone : guard_zones) {
        uintptr_t high = zone.high.load();
        uintptr_t low = zone.low.load();
        if (high != 0 && low != 0 && address + kBelowGuard >= low && address < high) return true;
    }
    return stack_pointer != 0 && address + kBelowStackPointer >= stack_pointer &&
           address < stack_pointer + kAboveStackPointer;
}

uintptr_t instruction_address(const siginfo_t* info, const ucontext_t* context) {
#if defined(__x86_64__)
    (void)info;
    return uintptr_t(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    (void)info;
    return uintptr_t(context->uc_mcontext.pc);
#else
    (void)context;
    return reinterpret_cast<uintptr_t>(info->si_addr);
#endif
}

uintptr_t stack_pointer(const ucontext_t* context) {
#if defined(__x86_64__)
    return uintptr_t(context->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return uintptr_t(context->uc_mcontext.sp);
#else
    (void)context;
    return 0;
#endif
}

int fpe_number(int code) {
    switch (code) {
        case FPE_INTDIV: return 13;
        case FPE_INTOVF: return 14;
        case FPE_FLTDIV: return 7;
        case FPE_FLTOVF: return 10;
        case FPE_FLTUND: return 12;
        case FPE_FLTRES: return 8;
        case FPE_FLTINV: return 9;
        case FPE_FLTSUB: return 5;
        default: return 99;
    }
}

#if defined(KAZ_SANITIZE)
// The sanitizer build shows the faults the sanitizer handles to it first: its report names the
// access and the stacks. Its handler ends the process through its death callback, where the
// runtime's own report and exit code follow.
constexpr int kSanitizerSignals[] = {SIGSEGV, SIGBUS, SIGFPE};
struct sigaction sanitizer_actions[NSIG];
std::atomic<int> fault_number{-1};
std::atomic<uint32_t> fault_address{0};

void after_sanitizer_report() {
    int number = fault_number.load();
    if (number < 0) return;  // a finding of the sanitizer's own: its exit code stands
    if (FaultHandler handler = fault_handler.load()) handler(number, fault_address.load());
    _exit(number);
}

void show_to_sanitizer(int signal, siginfo_t* info, void* context, int number, uint32_t address) {
    const struct sigaction& previous = sanitizer_actions[signal];
    if (!(previous.sa_flags & SA_SIGINFO) || previous.sa_sigaction == nullptr) return;
    fault_number.store(number);
    fault_address.store(address);
    previous.sa_sigaction(signal, info, context);
}
#endif

// Runs on the alternate signal stack with every signal blocked, so a second fault inside
// it ends the process with the system's default action instead of recursing.
void on_fatal_signal(int signal, siginfo_t* info, void* raw_context) {
    // An interruption is the user's request, not a fault: nothing to report.
    if (signal == SIGINT) _exit(kInterruptedStatus);
    const auto* context = static_cast<const ucontext_t*>(raw_context);
    uintptr_t address = instruction_address(info, context);
    int number = 99;
    switch (signal) {
        case SIGSEGV: {
            auto target = reinterpret_cast<uintptr_t>(info->si_addr);
            number = is_stack_overflow(target, stack_pointer(context)) ? 19 : 1;
            break;
        }
        case SIGBUS: number = 34; break;
        case SIGILL: number = 17; break;
        case SIGFPE: number = fpe_number(info->si_code); break;
        case SIGTRAP:
#if defined(__x86_64__)
            // After an int3 the instruction pointer has already passed it; report the
            // breakpoint itself, as for every other fault.
            if (info->si_code == SI_KERNEL &&
                *reinterpret_cast<const uint8_t*>(address - 1) == 0xCC) {
                --address;
            }
#endif
            number = 3;
            break;
    }
#if defined(KAZ_SANITIZE)
    if (signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE)
        show_to_sanitizer(signal, info, raw_context, number, uint32_t(address));
#endif
    if (FaultHandler handler = fault_handler.load()) handler(number, uint32_t(address));
    _exit(number);
}

// The alternate signal stack this thread mapped itself, released when a big-stack thread
// ends; threads that live as long as the process keep theirs.
thread_local void* own_signal_stack = nullptr;
thread_local size_t own_signal_stack_bytes = 0;

void release_signal_stack() {
    if (own_signal_stack == nullptr) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(own_signal_stack, own_signal_stack_bytes);
    own_signal_stack = nullptr;
}

size_t round_up(size_t value, size_t unit) { return (value + unit - 1) & ~(unit - 1); }

struct BigStackJob {
    int (*entry)(void*);
    void* arg;
    int result;
};

void* big_stack_main(void* raw_job) {
    auto* job = static_cast<BigStackJob*>(raw_job);
    install_signal_stack();
    job->result = job->entry(job->arg);
    release_signal_stack();
    return nullptr;
}

// Runs the job on a new thread over `stack`; false when the thread could not be made.
bool run_thread(BigStackJob& job, void* stack, size_t stack_bytes) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_t thread;
    bool made = pthread_attr_setstack(&attributes, stack, stack_bytes) == 0 &&
                pthread_create(&thread, &attributes, big_stack_main, &job) == 0;
    pthread_attr_destroy(&attributes);
    if (made) pthread_join(thread, nullptr);
    return made;
}

}  // namespace

void install_fault_handlers(FaultHandler handler) {
    fault_handler.store(handler);
    install_signal_stack();

    struct sigaction action{};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigfillset(&action.sa_mask);
#if defined(KAZ_SANITIZE)
    for (int signal : kSanitizerSignals) {
        struct sigaction previous{};
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_sigaction != on_fatal_signal)
            sanitizer_actions[signal] = previous;
    }
    __sanitizer_set_death_callback(after_sanitizer_report);
#endif
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGINT})
        sigaction(signal, &action, nullptr);

    // A closed pipe or socket shows up as a failed write, which the writer reports.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void install_signal_stack() {
    // A stack that is large enough stays, whoever installed it. A smaller one (a sanitizer
    // runtime gives each thread its own) is left mapped for its owner to release: only the
    // thread's stack setting is replaced.
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        current.ss_size >= kSignalStackBytes)
        return;

    size_t bytes = kSignalStackBytes;
#ifdef _SC_SIGSTKSZ
    long wanted = sysconf(_SC_SIGSTKSZ);
    if (wanted > 0) bytes = std::max(bytes, round_up(size_t(wanted), page_size()));
#endif
    // One inaccessible page under it, so that running off its end faults at once.
    size_t mapped = bytes + page_size();
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    mprotect(base, page_size(), PROT_NONE);

    stack_t stack{};
    stack.ss_sp = static_cast<char*>(base) + page_size();
    stack.ss_size = bytes;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(base, mapped);
        return;
    }
    own_signal_stack = base;
    own_signal_stack_bytes = mapped;
}

int run_on_big_stack(int (*entry)(void*), void* arg, size_t stack_bytes) {
    BigStackJob job{entry, arg, 0};
    size_t stack = round_up(std::max(stack_bytes, kMinStackBytes), page_size());
    if (stack < stack_bytes || stack > SIZE_MAX - kGuardBytes) return entry(arg);

    size_t mapped = stack + kGuardBytes;
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return entry(arg);
    if (mprotect(base, kGuardBytes, PROT_NONE) != 0) {
        munmap(base, mapped);
        return entry(arg);
    }

    auto low = reinterpret_cast<uintptr_t>(base);
    GuardZone* zone = claim_guard_zone(low, low + kGuardBytes);
    bool ran = run_thread(job, static_cast<char*>(base) + kGuardBytes, stack);
    release_guard_zone(zone);
    munmap(base, mapped);
    return ran ? job.result : entry(arg);
}

void exit_process(int code) {
    // Buffered C streams are not flushed: this also runs inside signal handlers, and the
    // runtime writes its own output unbuffered.
    _exit(code);
}

bool write_fd(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text += written;
        length -= size_t(written);
    }
    return true;
}

}  // namespace kaz::platform
