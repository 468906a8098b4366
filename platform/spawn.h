// Child processes over POSIX: starting a program with its standard streams inherited, sent to
// the null device, read from or appended to files or joined to pipes; moving data through the
// pipes in both directions at once; waiting for the exit status; killing. A `Child` owns its
// process and its pipes: whatever path the caller takes, every descriptor is closed and every
// process is reaped, so that none stays a zombie.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace kaz::platform {

// Where one standard stream of a child comes from or goes to.
struct ChildStream {
    enum class Kind : uint8_t {
        inherit,  // the parent's own stream
        null,     // the null device
        pipe,     // a pipe to the parent, driven by Child::exchange
        file,     // a file: read from the start for input; appended to, made when absent, for output
    };
    Kind kind = Kind::inherit;
    std::string path;  // for `file`
};

struct SpawnRequest {
    // The program and its arguments. A program named without "/" is searched for in PATH, as a
    // shell does; the environment and the current directory are the parent's.
    std::vector<std::string> argv;
    ChildStream input, output, error;
};

class Child {
public:
    Child(Child&& other) noexcept;
    // Releases this child (as the destructor does), then takes the other's.
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    // Closes the pipes; a child neither waited for nor detached is killed and reaped.
    ~Child();

    int32_t pid() const { return pid_; }

    // Feeds `input` to the child's input pipe and gathers its output and error pipes into the
    // buffers given (appending), all at once, so that neither side can block the other on a
    // full pipe. Ends when the input has been written (or the child closed its end) and the
    // child has closed both output pipes. Pipes the request did not ask for are ignored; a pipe
    // with no buffer is read and dropped. False when a pipe failed or memory ran out; what
    // arrived until then is kept.
    bool exchange(std::string_view input, Bytes* output, Bytes* error);

    // Waits for the child to end: its exit status, 128 + the signal number when a signal ended
    // it (as a shell reports it), -1 when it cannot be waited for. Waiting twice gives the
    // first result.
    int32_t wait();
    // Ends the child at once (SIGKILL) and reaps it; nothing when it is already reaped.
    void kill();
    // Lets the child run on alone: it is reaped as soon as it ends. Returns its process id.
    int32_t detach();

private:
    friend std::optional<Child> spawn(const SpawnRequest& request, int* reason);
    Child() = default;
    void close_pipes();

    int32_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;  // the parent's ends of the pipes, -1 when none
    enum class State : uint8_t { running, reaped, detached } state_ = State::running;
    int32_t status_ = -1;
};

// Starts a child. Nothing when it cannot be started: no program named, an argument holding a
// NUL character, a file that cannot be opened, a pipe that cannot be made, a program that
// cannot be found or run (`reason`, when given, receives the system's error number). Nothing
// is left open or running then.
std::optional<Child> spawn(const SpawnRequest& request, int* reason = nullptr);

}  // namespace kaz::platform
