// What the kaz executable does once booted: run a script from its header, or read lines from
// standard input, evaluate them and show the results.
#include "boot/runner.h"


#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "boot/startup.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

namespace kaz::runner {
namespace {

void print_line(const std::string& text) {
    console::print_c_string(text.c_str());
    console::print_char('\n');
    console::flush();
}

// The molded text of a value.
std::string mold_of(const Cell& value) {
    Cell s = cell::make(TypeId::string, 0, series::alloc_units(16, 1), 0);
    MoldAction mold = registry::actions(type_of(value)).mold;
    if (!mold) return "?";
    mold(value, s.data2, false, false, false, nullptr, 0x7FFFFFFF, 0);
    int32_t length = -1;
    return string::to_utf8(s, length);
}

// Evaluates a block inside a trap; true when it ran without an error, the error's report
// printed otherwise. The result, when `show` is set and it is not unset!, is printed as "== ".
bool evaluate(const Cell& code, bool show) {
    Cell* saved_top = stack::data_top;
    CallFrame* saved_frames = stack::frames_top;
    frame::push_trap(words::try_);
    stack::push(cell::unset());
    try {
        Cell result = interp::do_block(code);
        frame::pop();
        stack::data_top = saved_top;
        if (show && !is(result, TypeId::unset)) print_line("== " + mold_of(result));
        return true;
    } catch (const Throw& t) {
        Cell report_of = t.code == throw_code::error ? *stack::top() : cell::none();
        stack::frames_top = saved_frames;
        stack::data_top = saved_top;
        stack::base = stack::data_begin;
        frame::unwinding = 0;
        if (t.code == throw_code::error) {
            print_line(error::report(report_of));
        } else {
            // A throw, break or return with no taker: the catalog's throw errors name it.
            ErrorId id = t.code == throw_code::break_      ? ErrorId::throw__break_
                         : t.code == throw_code::continue_ ? ErrorId::throw__continue_
                         : t.code == throw_code::throw_    ? ErrorId::throw__throw_
                                                            : ErrorId::throw__return_;
            print_line(std::string("*** Throw Error: ") + error::info(id).template_);
        }
        return false;
    }
}

// Loads text into a block; on a syntax error its report is printed and false returned.
bool load(const std::string& text, Cell& block, bool* incomplete) {
    Cell* saved_top = stack::data_top;
    CallFrame* saved_frames = stack::frames_top;
    frame::push_trap(words::try_);
    stack::push(cell::unset());
    try {
        lexer::ScanFlags flags;
        Cell destination = cell::none();
        Cell source = cell::none();
        lexer::scan(destination, reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), flags,
                    nullptr, source, 0, nullptr);
        block = destination;
        frame::pop();
        stack::data_top = saved_top;
        return true;
    } catch (const Throw& t) {
        Cell e = t.code == throw_code::error ? *stack::top() : cell::none();
        stack::frames_top = saved_frames;
        stack::data_top = saved_top;
        stack::base = stack::data_begin;
        auto id = error::id_of(e);
        if (incomplete && id == ErrorId::syntax_missing) {
            *incomplete = true;
            return false;
        }
        print_line(error::report(e));
        return false;
    }
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

int run_script(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        print_line(std::string("*** Access Error: cannot open: ") + path);
        return 1;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    size_t header = find_header(text);
    if (header == std::string::npos) {
        print_line(std::string("*** Syntax Error: script is missing a Kaz header: ") + path);
        return 1;
    }
    Cell block;
    if (!load(text.substr(header), block, nullptr)) return 1;
    block.data1 = 2;  // the code after Kaz [header]
    return evaluate(block, false) ? 0 : 1;
}

// The stand-in console: gathers lines until every block, paren and string is closed.
int run_console() {
    std::string pending;
    std::string line;
    while (std::getline(std::cin, line)) {
        pending += line;
        pending += '\n';
        Cell block;
        bool incomplete = false;
        if (!load(pending, block, &incomplete)) {
            if (incomplete) continue;
            pending.clear();
            continue;
        }
        pending.clear();
        evaluate(block, true);
    }
    return 0;
}

}  // namespace

int run(int argc, char** argv) {
    startup::set_command_line(argc, argv);
    int code = argc > 1 ? run_script(argv[1]) : run_console();
    // Test builds check the heap after every script (the test runner sets the variable).
    if (std::getenv("KAZ_CHECK_HEAP")) {
        std::string fault = gc::check_heap();
        if (!fault.empty()) {
            print_line("*** Heap check: " + fault);
            code = 3;
        }
    }
    console::flush();
    return code;
}

}  // namespace kaz::runner
