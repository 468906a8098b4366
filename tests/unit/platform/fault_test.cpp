// Fatal faults are seen from outside: each case runs the fault probe as a child process and
// checks its exit code and the report on its standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace {

#if defined(__x86_64__)
constexpr bool kSitesKnown = true;
#else
constexpr bool kSitesKnown = false;
#endif

struct ProbeRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    close(fd);
    return text;
}

// Starts the probe with default signal dispositions, no blocked signals, no core files and
// an 8 MB main stack, so that the main-thread overflow ends quickly whatever the shell set.
ProbeRun run_probe(const char* name) {
    ProbeRun run;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return run;
    pid_t child = fork();
    if (child == 0) {
        rlimit stack{};
        getrlimit(RLIMIT_STACK, &stack);
        stack.rlim_cur = stack.rlim_max < (8u << 20) ? stack.rlim_max : (8u << 20);
        setrlimit(RLIMIT_STACK, &stack);
        rlimit core{0, 0};
        setrlimit(RLIMIT_CORE, &core);
        for (int signal : {SIGPIPE, SIGINT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) {
            ::signal(signal, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        execl(KAZ_FAULT_PROBE, KAZ_FAULT_PROBE, name, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // The probe writes a few dozen bytes at most, far below a pipe's capacity.
    run.out = drain(out[0]);
    run.err = drain(err[0]);
    if (child > 0) waitpid(child, &run.status, 0);
    return run;
}

struct FaultCase {
    const char* probe;
    int exit_code;
    const char* text;  // the runtime error's text; null when the process ends silently
    bool exact_site;   // the probe announces the faulting instruction's address
};

constexpr FaultCase kFaultCases[] = {
    {"null-write", 1, "access violation", true},
    {"stack-overflow", 19, "stack error or overflow", false},
    {"main-stack-overflow", 19, "stack error or overflow", false},
    {"frame-over-guard", 19, "stack error or overflow", false},
    {"bus", 34, "Bus error", true},
    {"illegal", 17, "illegal instruction", true},
    {"divide", 13, "integer divide by zero", true},
    {"breakpoint", 3, "breakpoint", true},
    {"uncaught-throw", 95, "no CATCH for THROW", true},
    {"interrupt", 130, nullptr, false},
    {"broken-pipe", 0, nullptr, false},
    {"deep-recursion", 0, nullptr, false},
};

TEST(FatalFault, EndsWithTheRuntimeErrorReportAndNumber) {
    const std::regex site_line("site ([0-9A-F]{8})h\n");
    const std::regex address_line("[0-9A-F]{8}h\n");
    for (const FaultCase& c : kFaultCases) {
        SCOPED_TRACE(c.probe);
        ProbeRun run = run_probe(c.probe);
        ASSERT_TRUE(WIFEXITED(run.status))
            << "status " << run.status << ", signal "
            << (WIFSIGNALED(run.status) ? WTERMSIG(run.status) : 0);
        EXPECT_EQ(WEXITSTATUS(run.status), c.exit_code);
        if (c.text == nullptr) {
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, "");
            continue;
        }
        std::string head =
            "*** Runtime Error " + std::to_string(c.exit_code) + ": " + c.text + "\n*** at: ";
        std::string report = run.err;
#if defined(KAZ_SANITIZE)
        // The sanitizer reports the faults it handles (SIGSEGV, SIGBUS, SIGFPE) first.
        bool seen_by_sanitizer =
            c.exit_code == 1 || c.exit_code == 19 || c.exit_code == 34 || c.exit_code == 13;
        size_t at = report.find("*** Runtime Error");
        EXPECT_EQ(report.find("ERROR: AddressSanitizer") < at, seen_by_sanitizer) << report;
        if (at != std::string::npos) report = report.substr(at);
#endif
        ASSERT_EQ(report.substr(0, head.size()), head);
        std::string address = report.substr(head.size());
        EXPECT_TRUE(std::regex_match(address, address_line)) << address;
        std::smatch site;
        bool announced = std::regex_match(run.out, site, site_line);
        if (c.exact_site && (kSitesKnown || c.exit_code == 95)) {
            EXPECT_TRUE(announced) << run.out;
        }
        if (announced) {
            EXPECT_EQ(address, site[1].str() + "h\n");
        }
    }
}

struct BigStackSeen {
    pthread_t thread{};
    stack_t signal_stack{};
    stack_t signal_stack_again{};
};

int look_around(void* raw_seen) {
    auto* seen = static_cast<BigStackSeen*>(raw_seen);
    seen->thread = pthread_self();
    sigaltstack(nullptr, &seen->signal_stack);
    kaz::platform::install_signal_stack();
    sigaltstack(nullptr, &seen->signal_stack_again);
    return 42;
}

TEST(BigStack, RunsEntryOnItsOwnThreadWithOneSignalStack) {
    BigStackSeen seen;
    EXPECT_EQ(kaz::platform::run_on_big_stack(look_around, &seen, 1 << 20), 42);
    EXPECT_FALSE(pthread_equal(seen.thread, pthread_self()));
    EXPECT_FALSE(seen.signal_stack.ss_flags & SS_DISABLE);
    EXPECT_GE(seen.signal_stack.ss_size, kaz::platform::kSignalStackBytes);
    EXPECT_EQ(seen.signal_stack_again.ss_sp, seen.signal_stack.ss_sp);
}

// A thread may come with a signal stack of someone else's (a sanitizer runtime installs one per
// thread): one too small for the fault report is replaced, one large enough is kept.
TEST(SignalStack, ReplacesOneTooSmallAndKeepsOneLargeEnough) {
    struct Seen {
        stack_t after_small{}, after_large{};
    } seen;
    std::thread([&] {
        auto install = [](std::vector<char>& memory) {
            stack_t given{};
            given.ss_sp = memory.data();
            given.ss_size = memory.size();
            return sigaltstack(&given, nullptr) == 0;
        };
        std::vector<char> small(16 * 1024), large(2 * kaz::platform::kSignalStackBytes);
        ASSERT_TRUE(install(small));
        kaz::platform::install_signal_stack();
        sigaltstack(nullptr, &seen.after_small);
        ASSERT_TRUE(install(large));
        kaz::platform::install_signal_stack();
        sigaltstack(nullptr, &seen.after_large);
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);  // before `large` goes away with this thread
    }).join();
    EXPECT_FALSE(seen.after_small.ss_flags & SS_DISABLE);
    EXPECT_GE(seen.after_small.ss_size, kaz::platform::kSignalStackBytes);
    EXPECT_EQ(seen.after_large.ss_size, 2 * kaz::platform::kSignalStackBytes);
}

TEST(BigStack, RunsEntryOnTheCallerWhenNoSuchStackCanBeMade) {
    for (size_t bytes : {SIZE_MAX, SIZE_MAX / 2}) {
        SCOPED_TRACE(bytes);
        BigStackSeen seen;
        EXPECT_EQ(kaz::platform::run_on_big_stack(look_around, &seen, bytes), 42);
        EXPECT_TRUE(pthread_equal(seen.thread, pthread_self()));
    }
}

// A signal handler installed without SA_RESTART makes a blocked write return early: with
// EINTR when nothing went through (the pipe starts full), short when some bytes did.
// Nothing may be lost either way.
TEST(WriteFd, WritesEverythingThroughInterruptedWrites) {
    struct sigaction wake{}, previous{};
    wake.sa_handler = [](int) {};
    sigemptyset(&wake.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &wake, &previous), 0);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);

    std::string expected;
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    const std::string fill(4096, '#');
    for (ssize_t n; (n = write(ends[1], fill.data(), fill.size())) > 0;) {
        expected.append(fill, 0, size_t(n));
    }
    ASSERT_EQ(fcntl(ends[1], F_SETFL, 0), 0);

    std::string text(4 << 20, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = char('a' + i * 7 % 26);
    expected += text;
    std::thread writer([&] {
        kaz::platform::write_fd(ends[1], text.data(), text.size());
        close(ends[1]);
    });
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pthread_kill(writer.native_handle(), SIGUSR1);
    }
    std::string received;
    char buffer[4096];
    for (;;) {
        pthread_kill(writer.native_handle(), SIGUSR1);
        ssize_t n = read(ends[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received.append(buffer, size_t(n));
    }
    writer.join();
    close(ends[0]);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(received == expected) << received.size() << " of " << expected.size() << " bytes";
}

// Each error ends the write with false at once; retrying could never succeed.
TEST(WriteFd, GivesUpOnAnError) {
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
    int unread[2];
    ASSERT_EQ(pipe(unread), 0);
    close(unread[0]);
    const int full = open("/dev/full", O_WRONLY);
    const int null = open("/dev/null", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_GE(null, 0);

    const std::string text(100000, 'x');
    EXPECT_FALSE(kaz::platform::write_fd(-1, text.data(), text.size()));         // EBADF
    EXPECT_FALSE(kaz::platform::write_fd(unread[1], text.data(), text.size()));  // EPIPE
    EXPECT_FALSE(kaz::platform::write_fd(full, text.data(), text.size()));       // ENOSPC
    EXPECT_TRUE(kaz::platform::write_fd(null, text.data(), text.size()));
    EXPECT_TRUE(kaz::platform::write_fd(-1, text.data(), 0));  // nothing to write, nothing fails

    close(unread[1]);
    close(full);
    close(null);
    sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
