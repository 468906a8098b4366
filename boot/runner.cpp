// What the kaz executable does once booted: run a script from its header, or be the terminal
// console.
#include "boot/runner.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "boot/startup.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/natives_system.h"
#include "evaluator/routines.h"
#include "platform/console.h"
#include "platform/os.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

namespace kaz::runner {
namespace {

// ---- reports ----

// Where a report goes: the console's own output, or standard error for the error that ends a
// script (so that `kaz job.kaz > out` keeps the report out of the job's output).
enum class Channel { output, error };

void print_line(Channel to, const std::string& text) {
    if (to == Channel::output) {
        console::print_c_string(text.c_str());
        console::print_char('\n');
        return;
    }
    console::flush();  // what the script printed comes first
    std::string line = text + '\n';
    platform::write_stderr(line.data(), line.size());
}

void report(Channel to, const Cell& error) { print_line(to, error::report(error)); }

// ---- the runner's trap ----

// The catalog's error for an unwind that found nothing to take it.
Cell unwind_error(uint32_t code) {
    ErrorId id = code == throw_code::break_      ? ErrorId::throw__break_
                 : code == throw_code::continue_ ? ErrorId::throw__continue_
                 : code == throw_code::throw_    ? ErrorId::throw__throw_
                                                 : ErrorId::throw__return_;
    return error::create(id, nullptr, nullptr, nullptr);
}

// Runs `body` inside a trap frame of the runner's own and returns the error that ended it, if
// any, with the stacks, the cycle stack and the interpreter's current block as they were. The
// frame is anonymous: reports name the script's frames, never the runner's. An error raised
// where no frame of the script has a name says so with no `where` at all.
template <typename Body>
std::optional<Cell> trapped(Body&& body) {
    Cell* const saved_top = stack::data_top;
    Cell* const saved_base = stack::base;
    CallFrame* const saved_frames = stack::frames_top;
    const Cell saved_block = interp::state.current_block;
    frame::push_trap(words::anon_tag);
    stack::push(cell::unset());
    try {
        body();
        frame::pop();
        stack::data_top = saved_top;
        interp::state.current_block = saved_block;
        return std::nullopt;
    } catch (const Throw& t) {
        // An error was pushed where the trap frame stood.
        Cell error = t.code == throw_code::error ? *stack::top() : cell::none();
        stack::frames_top = saved_frames;
        stack::data_top = saved_top;
        stack::base = saved_base;
        frame::unwinding = 0;
        frame::thrown_at = nullptr;
        runtime::pending_code = 0;
        cycles::reset();
        interp::state.current_block = saved_block;
        if (t.code != throw_code::error) error = unwind_error(t.code);
        Cell& where = error::field(error, error::where);
        if (is(where, TypeId::word) && where.data2 == words::not_found_tag.data2) where = cell::none();
        return error;
    }
}

// ---- loading ----

// Follows a scan: the openings still waiting for their closers (as the console shows them in
// its cue), where the last token began and where a syntax error ended.
class ScanWatch final : public lexer::Callback {
public:
    ScanWatch()
        : Callback(lexer::event::prescan | lexer::event::open | lexer::event::close |
                   lexer::event::error) {}

    bool call(Cell (&args)[5]) override {
        const uint32_t event = args[0].data2;
        if (event == words::open.data2) {
            openings += opening_of(args[2]);
        } else if (event == words::close.data2) {
            if (!openings.empty()) openings.pop_back();
        } else if (is(args[4], TypeId::pair)) {
            // Byte positions counted from 1: the source is the text's bytes.
            token_start = args[4].data2 - 1;
            token_end = args[4].data3 - 1;
            error_seen = event == words::error.data2;
            // Tags, binaries and raw strings report no opening: their error names what is open.
            char opening = opening_of(args[2]);
            if (error_seen && (openings.empty() || openings.back() != opening)) openings += opening;
        }
        return true;  // never vetoes: an error is raised as usual
    }

    std::string openings;
    uint32_t token_start = 0;
    uint32_t token_end = 0;
    bool error_seen = false;

private:
    static char opening_of(const Cell& type) {
        if (!is(type, TypeId::datatype)) return '?';
        switch (TypeId(type.data1)) {
            case TypeId::block: return '[';
            case TypeId::string:
            case TypeId::binary: return '{';
            case TypeId::tag: return '<';
            case TypeId::path:
            case TypeId::lit_path:
            case TypeId::get_path:
            case TypeId::set_path: return '/';
            default: return '(';  // paren!, map! and point2D!
        }
    }
};

// The text from byte `at` to the end of its line, at most 40 characters: where loading stopped.
Cell source_near(const std::string& text, size_t at) {
    const size_t start = std::min(at, text.size());
    size_t end = start;
    for (int chars = 0; end < text.size() && text[end] != '\n'; ++end) {
        if ((uint8_t(text[end]) & 0xC0) != 0x80 && ++chars > 40) break;  // at a lead byte
    }
    return string::from_utf8(std::string_view(text).substr(start, end - start));
}

struct Loaded {
    std::optional<Cell> block;  // the values, when the text loaded
    bool incomplete = false;    // it ended inside an opening that more lines may close
    std::string cue;            // then: the innermost opening and four spaces
};

// Loads UTF-8 text into a block. A failure is reported on `to`, unless `allow_incomplete` is set
// and the text merely ended with something still open: the input ran out, nothing was wrong.
Loaded load(const std::string& text, bool allow_incomplete, Channel to) {
    // The lexer counts in 32 bits.
    if (text.size() >= INT32_MAX) {
        report(to, error::create(ErrorId::internal_no_memory, nullptr, nullptr, nullptr));
        return {};
    }
    ScanWatch watch;
    Cell block = cell::none();
    std::optional<Cell> error = trapped([&] {
        // An error raised while loading belongs to no expression being evaluated.
        interp::state.current_block = cell::unset();
        lexer::scan(block, reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()),
                    lexer::ScanFlags{}, &watch, cell::none(), 0, nullptr);
    });
    if (!error) return Loaded{block};
    if (allow_incomplete && watch.error_seen && watch.token_end == text.size()) {
        Loaded waiting;
        waiting.incomplete = true;
        waiting.cue = watch.openings.empty() ? std::string("    ") : watch.openings.back() + std::string("    ");
        return waiting;
    }
    Cell& near = error::field(*error, error::near);
    if (is(near, TypeId::none)) near = source_near(text, watch.token_start);
    report(to, *error);
    return {};
}

// ---- evaluating ----

// The result of `code`: an error raised while molding it is reported near that code.
void print_result(const Cell& value, const Cell& code) {
    interp::state.current_block = code;
    Cell* text = stack::push(string::from_utf8("== "));
    actions::mold(value, text->data2, false, false, false, nullptr, INT32_MAX, 0);
    natives::print_value(*text, true);
}

// Evaluates the block; with `show`, a result other than unset! is printed as "== " and its mold.
// An error, raised by the code or while molding its result, is reported on `to`; false then.
bool evaluate(const Cell& code, bool show, Channel to) {
    std::optional<Cell> error = trapped([&] {
        Cell result = interp::do_block(code);
        if (show && !is(result, TypeId::unset)) print_result(result, code);
    });
    if (!error) return true;
    report(to, *error);
    return false;
}

// ---- scripts ----

// The whole file; nothing when it cannot be read. A directory opens as a file with no bytes to
// give, so its size is asked first.
std::optional<std::string> read_file(const char* path) {
    if (!platform::file_size(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return text;
}

// The position of the script header: the case-sensitive word Kaz followed by a block.
size_t find_header(const std::string& text) {
    for (size_t at = text.find("Kaz"); at != std::string::npos; at = text.find("Kaz", at + 1)) {
        bool starts_word = at == 0 || std::isspace(uint8_t(text[at - 1])) || text[at - 1] == ']';
        size_t after = at + 3;
        while (after < text.size() && std::isspace(uint8_t(text[after]))) ++after;
        if (starts_word && after < text.size() && text[after] == '[') return at;
    }
    return std::string::npos;
}

// A global function of the environment, called with `args`.
Cell call_global(const char* name, std::initializer_list<Cell> args) {
    return interp::call(*word::get(word::from_c_string(name)), args.begin(), uint32_t(args.size()));
}

// The raw argument text without what comes before the script's own arguments: leading blanks,
// the "--" switches (plain or quoted), the script's name and the blanks after it.
std::string_view script_arguments(std::string_view raw) {
    size_t at = 0;
    auto blanks = [&] {
        while (at < raw.size() && std::isspace(uint8_t(raw[at]))) ++at;
    };
    blanks();
    for (;;) {
        size_t start = at;
        if (raw.substr(at).starts_with("\"--")) {
            size_t close = raw.find('"', at + 3);
            while (close != std::string_view::npos && close + 1 < raw.size() && !std::isspace(uint8_t(raw[close + 1])))
                close = raw.find('"', close + 1);
            at = close == std::string_view::npos ? raw.size() : close + 1;
        } else if (raw.substr(at).starts_with("--")) {
            while (at < raw.size() && !std::isspace(uint8_t(raw[at]))) ++at;
        }
        if (at == start) break;
        blanks();
    }
    if (at < raw.size() && raw[at] == '"') {
        size_t close = raw.find('"', at + 1);
        at = close == std::string_view::npos ? raw.size() : close + 1;
    } else {
        while (at < raw.size() && !std::isspace(uint8_t(raw[at]))) ++at;
    }
    blanks();
    return raw.substr(at);
}

// Where the script runs from: system/options/script names it, system/options/args and
// system/script/args keep only its own arguments, and its folder becomes the current directory.
// `before` is how many arguments come before the script's own: the switches and its name.
void enter_script(const Cell& file, uint32_t before) {
    Cell system = *word::get(word::from_c_string("system"));
    Cell options = *startup::field(system, "options");
    *startup::field(options, "script") = file;
    Cell args = *startup::field(options, "args");
    if (is(args, TypeId::block)) series_::remove_units(args, 0, before);
    Cell* raw = startup::field(*startup::field(system, "script"), "args");
    if (is(*raw, TypeId::string)) {
        int32_t length = -1;
        Cell text = *raw;
        std::string whole = string::to_utf8(text, length);
        *startup::field(*startup::field(system, "script"), "args") = string::from_utf8(script_arguments(whole));
    }
    Cell parts = call_global("split-path", {file});
    Cell folder = *block::cell_at(parts, parts.data1);
    int32_t length = -1;
    if (std::string_view(string::to_utf8(folder, length)) != "./") call_global("change-dir", {folder});
}

int run_script(const char* path, uint32_t before) {
    const Cell file = string::from_utf8(path, TypeId::file);
    std::optional<std::string> text = read_file(path);
    if (!text) {
        report(Channel::error, error::create(ErrorId::access_cannot_open, &file, nullptr, nullptr));
        return 1;
    }
    if (std::optional<Cell> error = trapped([&] { enter_script(call_global("to-kaz-file", {file}), before); })) {
        report(Channel::error, *error);
        return 1;
    }
    // Editors that save UTF-8 with a byte-order mark put it before the header.
    if (text->starts_with("\xEF\xBB\xBF")) text->erase(0, 3);
    size_t header = find_header(*text);
    if (header == std::string::npos) {
        report(Channel::error, error::create(ErrorId::syntax_no_header, &file, nullptr, nullptr));
        return 1;
    }
    // What stands before the header is skipped, but its lines still count: an error reports the
    // line the file has it on.
    size_t lines_before = size_t(std::count(text->begin(), text->begin() + ptrdiff_t(header), '\n'));
    text->replace(0, header, lines_before, '\n');
    Loaded loaded = load(*text, false, Channel::error);
    if (!loaded.block) return 1;
    Cell code = *loaded.block;
    // The text search can be fooled ("Kaz [" inside a string): the values must agree.
    if (block::length_from_head(code) < 2 || !is(*block::cell_at(code, 1), TypeId::block)) {
        report(Channel::error, error::create(ErrorId::syntax_no_header, &file, nullptr, nullptr));
        return 1;
    }
    // The directives (#include, #if, macros...) are expanded before anything runs.
    Cell body = code;
    body.data1 = 1;
    if (std::optional<Cell> error = trapped([&] { call_global("expand-directives", {body}); })) {
        // A faulty directive is reported by the preprocessor itself, which then halts.
        const Cell& thrown = error::field(*error, error::arg1);
        bool halted = error::id_of(*error) == ErrorId::throw__throw_ && is(thrown, TypeId::word) &&
                      std::string_view(symbol::name(thrown.data2)) == "halt-request";
        if (!halted) report(Channel::error, *error);
        return 1;
    }
    code.data1 = 2;  // the code after Kaz [header]
    return evaluate(code, false, Channel::error) ? 0 : 1;
}

// ---- the console ----

bool blank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// The prompt of system/console once the console engine gives it one; until then its default.
std::string prompt() {
    Cell system = *word::get(word::from_c_string("system"));
    Cell engine = *startup::field(system, "console");
    if (is(engine, TypeId::object)) {
        int32_t at = context::find_symbol(engine.data1, word::from_c_string("prompt").data2, true);
        if (at >= 0) {
            Cell text = *context::value_at(engine.data1, uint32_t(at));
            if (is(text, TypeId::string)) {
                int32_t length = -1;
                const char* utf8 = string::to_utf8(text, length);
                return std::string(utf8, size_t(length));
            }
        }
    }
    return ">> ";
}

int run_console() {
    // Someone types the lines: show where to. Input from a file or pipe gets no prompt.
    const bool terminal = platform::stdin_terminal_q();
    std::string pending;
    std::string cue;
    std::string line;
    for (;;) {
        if (terminal) {
            console::print_c_string((pending.empty() ? prompt() : cue).c_str());
            console::flush();
        }
        if (!std::getline(std::cin, line)) break;
        if (pending.empty() && blank(line)) continue;
        pending += line;
        pending += '\n';
        Loaded loaded = load(pending, true, Channel::output);
        if (loaded.incomplete) {
            cue = loaded.cue;
            continue;
        }
        pending.clear();
        if (!loaded.block) continue;
        startup::take_terminal_size();
        evaluate(*loaded.block, true, Channel::output);
    }
    // The shell's prompt starts on a line of its own.
    if (terminal) console::print_char('\n');
    // Text still open when the input ends is an error to report, never something to drop. The
    // line feed the console added is not the user's: the report names the line they typed.
    if (!blank(pending)) {
        pending.pop_back();
        Loaded last = load(pending, false, Channel::output);
        if (last.block) evaluate(*last.block, true, Channel::output);
    }
    return 0;
}

// ---- ask and input ----

// The console engine object, when there is one.
std::optional<Cell> console_engine() {
    Cell system = *word::get(word::from_c_string("system"));
    if (!is(system, TypeId::object)) return std::nullopt;
    Cell engine = *startup::field(system, "console");
    if (!is(engine, TypeId::object)) return std::nullopt;
    return engine;
}

// Shows the prompt, reads the next line of standard input (the console's own lines come from
// there too) and keeps it in the console's history. At the end of the input there is no line
// to give: none.
const Cell* read_line(const Cell& question) {
    int32_t length = -1;
    Cell text = question;
    const char* utf8 = string::to_utf8(text, length);
    console::print_c_string(utf8);
    console::flush();
    std::string line;
    if (!std::getline(std::cin, line)) {
        *stack::base = cell::none();
        return stack::base;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *stack::base = string::from_utf8(line);
    if (std::optional<Cell> engine = console_engine()) {
        int32_t at = context::find_symbol(engine->data1, word::from_c_string("history").data2, true);
        if (at >= 0) {
            Cell history = *context::value_at(engine->data1, uint32_t(at));
            if (is(history, TypeId::block)) block::append_cell(history, *stack::base);
        }
    }
    return stack::base;
}

const Cell* ask(Cell* const* args, uint32_t) {
    if (!is(*args[0], TypeId::string))
        error::raise(ErrorId::script_expect_arg, word::from_c_string("ask"), cell::datatype(type_of(*args[0])),
                     word::from_c_string("question"));
    return read_line(*args[0]);
}

const Cell* input(Cell* const*, uint32_t) { return read_line(string::from_utf8("")); }

void define_line_readers() {
    struct Reader { const char* name; const char* spec; routines::CellFn fn; };
    const Reader readers[] = {
        {"ask", R"k("Prompt the user for input" question [string!] return: [string! none!])k", ask},
        {"input", R"k("Wait for console user input" return: [string! none!])k", input},
    };
    for (const Reader& r : readers) {
        uint32_t id = routines::define_cells(r.name, r.fn);
        Cell spec = lexer::load_text(string::from_utf8(r.spec));
        Cell value = *routine::make_value(spec, nullptr, id, 0, true);
        --stack::data_top;  // make_value pushed it
        Cell w = word::from_c_string(r.name);
        word::set(w, value);
    }
}

}  // namespace

int run(int argc, char** argv) {
    startup::set_command_line(argc, argv);
    define_line_readers();
    // Switches before the script's name are skipped ("--" ends them); "--catch" keeps the
    // console going after the script.
    int at = 1;
    bool catch_q = false;
    for (; at < argc && std::string_view(argv[at]).starts_with("--") && std::string_view(argv[at - 1]) != "--"; ++at)
        catch_q |= std::string_view(argv[at]) == "--catch";
    int code = 0;
    if (at < argc) code = run_script(argv[at], uint32_t(at));
    if (at >= argc || catch_q) code = std::max(code, run_console());
    // Test builds check the heap after every script (the test runner sets the variable).
    if (std::getenv("KAZ_CHECK_HEAP")) {
        std::string fault = gc::check_heap();
        if (!fault.empty()) {
            print_line(Channel::error, "*** Heap check: " + fault);
            code = 3;
        }
    }
    console::flush();
    return code;
}

}  // namespace kaz::runner
