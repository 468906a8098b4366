#include "platform/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>

extern char** environ;

namespace kaz::platform {
namespace {

// A descriptor closed when it goes, unless released.
struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

struct FileActions {
    posix_spawn_file_actions_t actions;
    bool ready = posix_spawn_file_actions_init(&actions) == 0;
    ~FileActions() {
        if (ready) posix_spawn_file_actions_destroy(&actions);
    }
};

struct Attributes {
    posix_spawnattr_t attributes;
    bool ready = posix_spawnattr_init(&attributes) == 0;
    ~Attributes() {
        if (ready) posix_spawnattr_destroy(&attributes);
    }
};

// The largest step of one read or write through a pipe, and the pipe size asked for: big
// pipes mean fewer trips through poll when megabytes go through.
constexpr size_t kPipeStep = size_t(1) << 20;

// ---- reaping children left to run on alone ----

// Children whose reaper thread could not be started, reaped at the next spawn.
std::mutex orphans_lock;
std::vector<pid_t> orphans;

void reap_orphans() {
    std::lock_guard guard(orphans_lock);
    std::erase_if(orphans, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

void* reaper(void* argument) {
    auto pid = pid_t(reinterpret_cast<intptr_t>(argument));
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// One small thread per detached child waits for it, so that it is reaped the moment it ends;
// the thread takes no signal meant for the runtime.
void reap_when_done(pid_t pid) {
    pthread_attr_t attributes;
    bool started = false;
    if (pthread_attr_init(&attributes) == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attributes, 64 * 1024);
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        pthread_t thread;
        started = pthread_create(&thread, &attributes, reaper, reinterpret_cast<void*>(intptr_t(pid))) == 0;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        std::lock_guard guard(orphans_lock);
        orphans.push_back(pid);
    }
}

// ---- moving data through the pipes ----

// Writes to a pipe whose reader has gone fail with EPIPE instead of raising SIGPIPE, whatever
// the process does with the signal; a SIGPIPE raised meanwhile is taken back.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeGuard() {
        if (broken && !was_pending_) {
            timespec zero{};
            while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    bool broken = false;  // a write met EPIPE

private:
    sigset_t pipe_, old_;
    bool was_pending_ = false;
};

// Reads what a pipe holds into `into` (null: dropped): false at its end or on failure
// (`failed` set).
bool drain(int fd, Bytes* into, bool& failed) {
    char dropped[65536];
    for (;;) {
        char* at = into ? into->room(kPipeStep) : dropped;
        if (!at) {
            failed = true;
            return false;
        }
        ssize_t n = ::read(fd, at, into ? kPipeStep : sizeof dropped);
        if (n > 0) {
            if (into) into->commit(size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        failed = n < 0;
        return false;
    }
}

int32_t status_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

Child::Child(Child&& other) noexcept
    : pid_(other.pid_), in_(other.in_), out_(other.out_), err_(other.err_), state_(other.state_),
      status_(other.status_) {
    other.in_ = other.out_ = other.err_ = -1;
    other.state_ = State::reaped;
}

Child& Child::operator=(Child&& other) noexcept {
    if (this == &other) return *this;
    close_pipes();
    if (state_ == State::running) kill();
    pid_ = other.pid_;
    in_ = other.in_;
    out_ = other.out_;
    err_ = other.err_;
    state_ = other.state_;
    status_ = other.status_;
    other.in_ = other.out_ = other.err_ = -1;
    other.state_ = State::reaped;
    return *this;
}

Child::~Child() {
    close_pipes();
    if (state_ == State::running) kill();
}

void Child::close_pipes() {
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
}

bool Child::exchange(std::string_view input, Bytes* output, Bytes* error) {
    SigpipeGuard guard;
    size_t sent = 0;
    bool failed = false;
    if (in_ >= 0 && input.empty()) close_fd(in_);
    while (in_ >= 0 || out_ >= 0 || err_ >= 0) {
        pollfd fds[3];
        nfds_t n = 0;
        if (in_ >= 0) fds[n++] = {in_, POLLOUT, 0};
        if (out_ >= 0) fds[n++] = {out_, POLLIN, 0};
        if (err_ >= 0) fds[n++] = {err_, POLLIN, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            int fd = fds[i].fd;
            if (fd == in_) {
                ssize_t w = ::write(in_, input.data() + sent, std::min(input.size() - sent, kPipeStep));
                if (w >= 0) {
                    sent += size_t(w);
                    if (sent == input.size()) close_fd(in_);
                } else if (errno == EPIPE) {
                    // The child stopped reading: what is left is not wanted.
                    guard.broken = true;
                    close_fd(in_);
                } else if (errno != EINTR && errno != EAGAIN) {
                    failed = true;
                    close_fd(in_);
                }
            } else if (fd == out_) {
                if (!drain(out_, output, failed)) close_fd(out_);
            } else if (fd == err_) {
                if (!drain(err_, error, failed)) close_fd(err_);
            }
        }
        if (failed) break;
    }
    return !failed;
}

int32_t Child::wait() {
    // A child still writing to a pipe nobody reads would never end.
    close_pipes();
    if (state_ != State::running) return status_;
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    state_ = State::reaped;
    status_ = r == pid_ ? status_code(status) : -1;
    return status_;
}

void Child::kill() {
    close_pipes();
    if (state_ != State::running) return;
    ::kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    state_ = State::reaped;
    status_ = 128 + SIGKILL;
}

int32_t Child::detach() {
    close_pipes();
    if (state_ == State::running) {
        reap_when_done(pid_);
        state_ = State::detached;
    }
    return pid_;
}

std::optional<Child> spawn(const SpawnRequest& request, int* reason) {
    auto fail = [reason](int error) -> std::optional<Child> {
        if (reason) *reason = error;
        return std::nullopt;
    };
    if (request.argv.empty()) return fail(EINVAL);
    // The program would see a shorter argument than the one given.
    for (const std::string& a : request.argv)
        if (a.find('\0') != std::string::npos) return fail(EINVAL);
    reap_orphans();
    FileActions files;
    Attributes attributes;
    if (!files.ready || !attributes.ready) return fail(ENOMEM);

    // The parent's ends of the pipes, and the descriptors only the child keeps: all closed
    // here on every path; the child gets its copies as 0, 1 and 2.
    Fd parent_side[3], child_side[3];
    const ChildStream* streams[3] = {&request.input, &request.output, &request.error};
    for (int target = 0; target < 3; ++target) {
        const ChildStream& s = *streams[target];
        bool input = target == 0;
        switch (s.kind) {
            case ChildStream::Kind::inherit:
                break;
            case ChildStream::Kind::null:
                if (posix_spawn_file_actions_addopen(&files.actions, target, "/dev/null",
                                                     input ? O_RDONLY : O_WRONLY, 0) != 0)
                    return fail(ENOMEM);
                break;
            case ChildStream::Kind::file: {
                int flags = O_CLOEXEC | O_NOCTTY | (input ? O_RDONLY : O_WRONLY | O_CREAT | O_APPEND);
                do {
                    child_side[target].fd = ::open(s.path.c_str(), flags, 0666);
                } while (child_side[target].fd < 0 && errno == EINTR);
                if (child_side[target].fd < 0) return fail(errno);
                break;
            }
            case ChildStream::Kind::pipe: {
                int ends[2];
                if (pipe2(ends, O_CLOEXEC) != 0) return fail(errno);
                child_side[target].fd = input ? ends[0] : ends[1];
                parent_side[target].fd = input ? ends[1] : ends[0];
                fcntl(parent_side[target].fd, F_SETPIPE_SZ, int(kPipeStep));
                int flags = fcntl(parent_side[target].fd, F_GETFL);
                if (flags < 0 || fcntl(parent_side[target].fd, F_SETFL, flags | O_NONBLOCK) != 0)
                    return fail(errno);
                break;
            }
        }
        if (child_side[target].fd >= 0 &&
            posix_spawn_file_actions_adddup2(&files.actions, child_side[target].fd, target) != 0)
            return fail(ENOMEM);
    }

    // The child starts with no signal blocked, and with the default action for the signals
    // the runtime ignores: a program writing to a closed pipe ends as it would from a shell.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attributes.attributes, &none);
    posix_spawnattr_setsigdefault(&attributes.attributes, &defaults);
    posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.reserve(request.argv.size() + 1);
    for (const std::string& a : request.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, argv[0], &files.actions, &attributes.attributes, argv.data(), environ);
    if (error != 0) return fail(error);

    Child child;
    child.pid_ = pid;
    child.in_ = parent_side[0].release();
    child.out_ = parent_side[1].release();
    child.err_ = parent_side[2].release();
    return std::optional<Child>(std::move(child));
}

}  // namespace kaz::platform
