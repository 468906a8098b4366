// The process launcher behind the native `call`: runs another program, directly or through
// the shell, optionally waiting for it, with its standard input fed from a value or a file and
// its standard output and error captured into values or appended to files.
//
// Data moves through the child's pipes in both directions at once: a child that writes
// megabytes before it has read all its input cannot block it. Every descriptor and every child
// is released on every path, failures included: no descriptor leaks, no zombie stays.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/spawn.h"
#include "runtime/cell.h"

namespace kaz::process {

// ---- the native's entry ----

// The refinements of `call`: their flags, and their arguments or null when not given.
struct CallOptions {
    bool wait = false;
    bool show = false;     // nothing to show on Linux: no shell window is ever made
    bool console = false;
    bool shell = false;
    const Cell* input = nullptr;   // string!, binary! or file!
    const Cell* output = nullptr;  // string!, binary! or file!
    const Cell* error = nullptr;   // string!, binary! or file!
};

// Runs `cmd` as `call` does. `cmd` is a string! (a command line, split into words as a shell
// splits them, unless `shell`) or a file! (the path of one program, run as it is, relative to
// the current directory). Through the shell (`shell`, or once more when the program was not
// found), the command line goes to /bin/sh -c.
//
// Streams: `input` feeds the child's standard input: a string!'s UTF-8 from its head, a
// binary!'s bytes from its head, or a file!'s content; without it the child reads the
// process's own input. `output` and `error` receive the child's standard output and error: a
// file! is appended to (made when absent); into a string! the bytes go decoded as UTF-8 (each
// invalid sequence as U+FFFD), into a binary! as they are, inserted at the target's head (the
// target's position then shows them). Without them the streams go to the null device.
//
// Out: 0 for an empty command, which runs nothing; else, when waiting (`wait`, or forced by
// any of `input`, `output`, `error`), the child's exit status (128 + the signal number when a
// signal ended it); when not waiting, the child's process id at once (it is reaped when it
// ends); -1 when the command cannot be run: a file that cannot be opened, a pipe that cannot
// be made, a program that cannot be started, a quote left open in the command line.
// Errors: `console` raises internal not-done; a `cmd`, stream or target of another type, and a
// `cmd` holding a NUL character (the system would run a shorter, other command), raise script
// invalid-arg with it.
int32_t call(const Cell& cmd, const CallOptions& options);

// ---- below the values ----

// Splits a command line into words as a POSIX shell does, with no expansion of any kind:
// blanks (space, tab, newline) separate words; single quotes keep everything between them as
// it is; double quotes keep everything between them but a backslash before "$", "`", "\"",
// "\\" or a newline, which keeps that character alone (a backslash-newline is dropped);
// outside quotes a backslash keeps the next character (a backslash-newline is dropped). Quotes
// join what stands next to them into one word ("" alone is an empty word). Nothing when a
// quote is left open.
std::optional<std::vector<std::string>> split_words(std::string_view command);

// What to run and where its streams go.
struct RunRequest {
    std::string command;   // a command line; with `program`, the path of one program
    bool program = false;  // never split `command`
    bool shell = false;    // run /bin/sh -c with the command line (a program's path quoted)
    bool wait = false;     // forced by any stream below but `none`

    enum class Source : uint8_t { none, bytes, file } input_kind = Source::none;
    // For `bytes`: what is fed. It may lie in a series buffer: run makes no allocation of the
    // runtime's, so the bytes stay put until it returns.
    std::string_view input;
    std::string input_path;  // for `file`

    enum class Sink : uint8_t { none, capture, file } output_kind = Sink::none, error_kind = Sink::none;
    std::string output_path, error_path;  // for `file`
};

struct RunResult {
    int32_t status = -1;      // exit status (waiting), process id (not waiting), -1
    bool shell_used = false;  // the command went through the shell
    platform::Bytes output, error;  // what was captured
};

// Runs the request. A program that is not found is tried once more through the shell (whose
// own report then says so, with status 127).
RunResult run(const RunRequest& request);

}  // namespace kaz::process
