// The environment's start-up: the natives and actions made from their spec blocks, the standard
// typesets, and the environment sources evaluated in order.
#include "boot/startup.h"

#include <string>
#include <vector>

#include "boot/environment.h"
#include "boot/routines.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "datatypes/block.h"
#include "datatypes/cells.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "platform/console.h"
#include "platform/os.h"
#include "services/os_info.h"

namespace kaz::startup {
namespace {

constexpr const char* kActionNames[] = {
    nullptr,
#define KAZ_ACTION(slot, cname, name, signature, ...) name,
#include "datatypes/actions.def"
#undef KAZ_ACTION
};

// The table number of a native or action by its name; 0 for none.
uint32_t number_of(std::string_view name, TypeId type) {
    if (type == TypeId::native) {
        for (uint32_t i = 1; i <= natives::kNatives; ++i)
            if (name == natives::name_of(i)) return i;
    } else {
        for (uint32_t i = 1; i <= actions::kSlots; ++i)
            if (name == kActionNames[i]) return i;
    }
    return 0;
}

// The block a source file loaded to when the build made the environment's image.
Cell load_source(std::string_view name) { return environment::loaded(name); }

// Makes each `name [spec]` entry of a file of native or action specs and sets the global
// word to it.
void define_callables(std::string_view source, TypeId type) {
    Cell entries = load_source(source);
    for (uint32_t i = entries.data1;; i += 2) {
        SeriesBuffer* b = memory::buffer_of(entries.data2);
        if (i + 1 >= b->length()) break;
        Cell name = b->cells()[i], spec = b->cells()[i + 1];
        uint32_t number = number_of(symbol::name(name.data2), type);
        if (!number) error::raise(ErrorId::internal_not_done, name);
        word::set(name, native::define(spec, number, type));
    }
}

// The infix operators, each made from the value of an action or native. Made here rather
// than in source: % begins a file!, <> and its kin a tag!.
void define_operators() {
    struct Operator { const char* name; const char* from; };
    constexpr Operator kOperators[] = {
        {"+", "add"}, {"-", "subtract"}, {"*", "multiply"}, {"/", "divide"}, {"//", "modulo"},
        {"%", "remainder"}, {"=", "equal?"}, {"<>", "not-equal?"}, {"==", "strict-equal?"},
        {"=?", "same?"}, {"<", "lesser?"}, {">", "greater?"}, {"<=", "lesser-or-equal?"},
        {">=", "greater-or-equal?"}, {"**", "power"}, {"and", "and~"}, {"or", "or~"},
        {"xor", "xor~"}, {"<<", "shift-left"}, {">>", "shift-right"}, {">>>", "shift-logical"},
    };
    for (const Operator& o : kOperators) {
        Cell source = *word::get(word::from_c_string(o.from));
        Cell name = word::from_c_string(o.name);
        word::set(name, op::make(cell::none(), source, TypeId::op));
    }
}

Cell system_object() { return *word::get(word::from_c_string("system")); }

// What only the runtime knows of the system object.
void fill_system() {
    Cell system = system_object();
    // The global context seen as an object: system/words/x reaches every global word.
    // Its owner cell makes it an object like any other to the code that reaches one's fields.
    Cell words = cell::make(TypeId::object, context::global, object::kWordsClass, 0);
    context::owner_of(context::global) = words;
    *field(system, "words") = words;
    *field(*field(system, "build"), "date") = date::from_epoch(KAZ_BUILD_EPOCH);
    *field(*field(system, "catalog"), "errors") = error::catalog;
    std::string dir = platform::get_current_dir();
    if (dir.empty() || dir.back() != '/') dir += '/';
    Cell path = string::from_utf8(dir, TypeId::file);
    *field(*field(system, "options"), "path") = path;
    take_terminal_size();
    fill_routine_fields();
}

}  // namespace

Cell* field(const Cell& object, const char* name) {
    Cell w = word::from_c_string(name);
    int32_t p = context::find_symbol(object.data1, w.data2, true);
    // The sources make every field filled here: a missing one is a fault of the build.
    if (p < 0) error::raise(ErrorId::internal_not_done);
    return context::value_at(object.data1, uint32_t(p));
}

void take_terminal_size() {
    int columns = 0;
    int rows = 0;
    if (!platform::terminal_size(columns, rows)) return;
    // A script may have put something else in system or system/console: then there is nothing
    // to set.
    Cell at = system_object();
    Cell* slot = nullptr;
    for (const char* name : {"console", "size"}) {
        if (!is(at, TypeId::object)) return;
        int32_t i = context::find_symbol(at.data1, word::from_c_string(name).data2, true);
        if (i < 0) return;
        slot = context::value_at(at.data1, uint32_t(i));
        at = *slot;
    }
    *slot = pair_cell::make(columns, rows);
}

void set_command_line(int argc, char** argv) {
    // Arguments holding blanks are quoted, so that splitting the line gives them back whole.
    Cell args = string::from_utf8(os_info::command_line(std::vector<std::string>(argv, argv + argc)));
    *field(*field(system_object(), "script"), "args") = args;
    // Split as the environment does it: the program's path into system/options/boot, the
    // arguments into system/options/args, their raw text left in system/script/args.
    interp::call(*word::get(word::from_c_string("extract-boot-args")), nullptr, 0);
    // The split above gives the arguments back only while none holds a double quote: the
    // process received them already split, and those are kept, so that nothing is lost.
    Cell options = *field(system_object(), "options");
    Cell* list = stack::push(cell::none());
    block::init_cell(*list, argc);
    for (int i = 1; i < argc; ++i) {
        Cell* text = stack::push(string::from_utf8(argv[i]));
        block::append_cell(*list, *text);
        stack::pop(1);
    }
    *field(options, "args") = *list;
    stack::pop(1);
}

void run() {
    // Everything the environment's sources make is marked: the tracers never see its code.
    memory::allocation_flags = series_flag::environment;
    environment::load_image();
    // The standard typesets first: the specs of natives and actions name them.
    for (std::string_view name : typeset::kStandardNames) {
        Cell w = word::from_c_string(std::string(name).c_str());
        word::set(w, *typeset::standard(name));
    }
    // event! registers with the GUI engine; its word names the type before that.
    Cell event_word = word::from_c_string("event!");
    word::set(event_word, cell::datatype(TypeId::event));

    define_callables("natives.kaz", TypeId::native);
    define_callables("actions.kaz", TypeId::action);
    interp::do_block(load_source("base.kaz"));
    // A handle! has no source form: the null handle is made here.
    Cell null_handle = word::from_c_string("null-handle");
    word::set(null_handle, handle::make(0, handle::Kind::none));
    define_routines();
    define_operators();
    interp::do_block(load_source("system.kaz"));
    interp::do_block(load_source("helpers.kaz"));
    interp::do_block(load_source("files.kaz"));
    interp::do_block(load_source("preprocessor.kaz"));
    interp::do_block(load_source("net.kaz"));
    interp::do_block(load_source("thru.kaz"));
    fill_system();
    interp::do_block(load_source("codecs.kaz"));
    fill_codecs(*field(system_object(), "codecs"));
    interp::do_block(load_source("json.kaz"));
    interp::do_block(load_source("csv.kaz"));
    interp::do_block(load_source("reactivity.kaz"));
    interp::do_block(load_source("tools.kaz"));
    fill_tool_routines();
    interp::do_block(load_source("help.kaz"));
    memory::allocation_flags = 0;
}

}  // namespace kaz::startup
