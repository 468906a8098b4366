// The process launcher over the platform's spawn layer.
#include "services/call.h"

#include <cerrno>
#include <cstring>

#include "datatypes/file.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "platform/spawn.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "services/files.h"

namespace kaz::process {
namespace {

// ---- requests ----

// A program's path as one word for the shell.
std::string shell_quoted(std::string_view path) {
    std::string q = "'";
    for (char c : path) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

platform::ChildStream sink_stream(RunRequest::Sink kind, const std::string& path) {
    switch (kind) {
        case RunRequest::Sink::capture: return {platform::ChildStream::Kind::pipe, {}};
        case RunRequest::Sink::file: return {platform::ChildStream::Kind::file, path};
        case RunRequest::Sink::none: break;
    }
    return {platform::ChildStream::Kind::null, {}};
}

std::vector<std::string> shell_form(const RunRequest& r) {
    return {"/bin/sh", "-c", r.program ? shell_quoted(r.command) : r.command};
}

// ---- values ----

// The UTF-8 of a text from its head.
std::string utf8_of(const Cell& text) {
    Cell s = text;
    int32_t length = -1;
    const char* p = string::to_utf8(s, length);
    return {p, size_t(length)};
}

// The bytes of a binary! from its head, where they lie: valid until the next allocation.
std::string_view bytes_of(const Cell& binary) {
    Cell b = binary;
    uint32_t head = series_::clamp_head(b);
    SeriesBuffer* buffer = memory::buffer_of(b.data2);
    return {reinterpret_cast<const char*>(buffer->head + head), size_t(buffer->used() - head)};
}

// The POSIX path of a file!, completed with the current directory when relative.
std::string full_path(const Cell& file) {
    Cell* out = stack::push(string::make_cell(64));
    file::to_os_path(file, out->data2, true);
    std::string path = utf8_of(*out);
    stack::pop(1);
    if (path.find('\0') != std::string::npos) error::raise(ErrorId::script_invalid_arg, file);
    return path;
}

RunRequest::Sink sink_of(const Cell* target, std::string& path) {
    if (!target) return RunRequest::Sink::none;
    switch (type_of(*target)) {
        case TypeId::file: path = file::to_os_c_string(*target); return RunRequest::Sink::file;
        case TypeId::string:
        case TypeId::binary: return RunRequest::Sink::capture;
        default: error::raise(ErrorId::script_invalid_arg, *target);
    }
}

// Inserts what was captured at the target's head: decoded as UTF-8 into a string!, as bytes
// into a binary!. Nothing captured changes nothing.
void capture_to_value(const Cell& target, std::string_view bytes) {
    if (bytes.empty()) return;
    if (is(target, TypeId::string)) {
        Cell text = simple_io::bytes_to_string(bytes);
        string::insert(target, text, -1, false, 1, false);
        return;
    }
    Cell t = target;
    uint32_t head = series_::clamp_head(t);
    SeriesBuffer* b = series_::open_gap(t, head, uint32_t(bytes.size()));
    std::memcpy(b->head + head, bytes.data(), bytes.size());
}

}  // namespace

std::optional<std::vector<std::string>> split_words(std::string_view command) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    size_t i = 0, n = command.size();
    while (i < n) {
        char c = command[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
            ++i;
            continue;
        }
        in_word = true;
        if (c == '\\') {
            if (i + 1 < n && command[i + 1] != '\n') word += command[i + 1];
            i += 2;
        } else if (c == '\'') {
            size_t close = command.find('\'', i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            word.append(command.substr(i + 1, close - i - 1));
            i = close + 1;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= n) return std::nullopt;
                char d = command[i];
                if (d == '"') break;
                if (d == '\\' && i + 1 < n && std::strchr("$`\"\\\n", command[i + 1])) {
                    if (command[++i] != '\n') word += command[i];
                    continue;
                }
                word += d;
            }
            ++i;
        } else {
            word += c;
            ++i;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

RunResult run(const RunRequest& r) {
    RunResult result;
    platform::SpawnRequest spawn;
    if (r.shell) {
        spawn.argv = shell_form(r);
        result.shell_used = true;
    } else if (r.program) {
        spawn.argv = {r.command};
    } else {
        std::optional<std::vector<std::string>> words = split_words(r.command);
        if (!words) return result;
        spawn.argv = std::move(*words);
    }
    switch (r.input_kind) {
        case RunRequest::Source::none: spawn.input = {platform::ChildStream::Kind::inherit, {}}; break;
        case RunRequest::Source::bytes: spawn.input = {platform::ChildStream::Kind::pipe, {}}; break;
        case RunRequest::Source::file: spawn.input = {platform::ChildStream::Kind::file, r.input_path}; break;
    }
    spawn.output = sink_stream(r.output_kind, r.output_path);
    spawn.error = sink_stream(r.error_kind, r.error_path);
    bool wait = r.wait || r.input_kind != RunRequest::Source::none ||
                r.output_kind != RunRequest::Sink::none || r.error_kind != RunRequest::Sink::none;

    // A command line of blanks alone names no program: the shell makes of it what it does.
    int reason = spawn.argv.empty() ? ENOENT : 0;
    std::optional<platform::Child> child;
    if (!spawn.argv.empty()) child = platform::spawn(spawn, &reason);
    if (!child && reason == ENOENT && !result.shell_used) {
        // What is no program may be the shell's own: a built-in, an assignment, a pipeline.
        spawn.argv = shell_form(r);
        result.shell_used = true;
        child = platform::spawn(spawn, &reason);
    }
    if (!child) return result;

    if (!wait) {
        result.status = child->detach();
        return result;
    }
    std::string_view input = r.input_kind == RunRequest::Source::bytes ? r.input : "";
    if (!child->exchange(input, &result.output, &result.error)) {
        child->kill();
        return result;
    }
    result.status = child->wait();
    return result;
}

int32_t call(const Cell& cmd, const CallOptions& o) {
    if (o.console) error::raise(ErrorId::internal_not_done);
    RunRequest r;
    if (is(cmd, TypeId::file)) {
        // An empty file! names no program (its full form would be the current directory).
        Cell c = cmd;
        if (series_::length_from_head(c) == 0) return 0;
        r.program = true;
        r.command = full_path(cmd);
    } else if (string::any_string_q(type_of(cmd))) {
        r.command = utf8_of(cmd);
    } else {
        error::raise(ErrorId::script_invalid_arg, cmd);
    }
    if (r.command.empty()) return 0;
    if (r.command.find('\0') != std::string::npos) error::raise(ErrorId::script_invalid_arg, cmd);
    r.shell = o.shell;
    r.wait = o.wait;

    r.output_kind = sink_of(o.output, r.output_path);
    r.error_kind = sink_of(o.error, r.error_path);
    // Last: the bytes fed are read where they lie, and any allocation could move them.
    Cell text = cell::none();  // holds the UTF-8 form of a string fed, for the length of the run
    if (o.input) {
        switch (type_of(*o.input)) {
            case TypeId::string: {
                r.input_kind = RunRequest::Source::bytes;
                text = *o.input;
                int32_t length = -1;
                const char* p = string::to_utf8(text, length);
                r.input = {p, size_t(length)};
                break;
            }
            case TypeId::binary:
                r.input_kind = RunRequest::Source::bytes;
                r.input = bytes_of(*o.input);
                break;
            case TypeId::file:
                r.input_kind = RunRequest::Source::file;
                r.input_path = file::to_os_c_string(*o.input);
                break;
            default: error::raise(ErrorId::script_invalid_arg, *o.input);
        }
    }

    RunResult result = run(r);
    if (r.output_kind == RunRequest::Sink::capture) capture_to_value(*o.output, result.output.view());
    if (r.error_kind == RunRequest::Sink::capture) capture_to_value(*o.error, result.error.view());
    return result.status;
}

}  // namespace kaz::process
