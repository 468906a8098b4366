// file! actions, call and the OS routines as values, over the file, process and OS services.
#include "services/file_natives.h"

#include "datatypes/calendar.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/stack.h"
#include "services/call.h"
#include "services/files.h"
#include "services/os_info.h"

namespace kaz::file_natives {

Cell read(const Cell& file, const Cell* seek, const Cell* part, bool binary, bool lines) {
    return simple_io::read(file, seek, part, binary, lines);
}

Cell write(const Cell& file, const Cell& data, const Cell* seek, const Cell* part, bool binary,
           bool append, bool lines) {
    int64_t written = simple_io::write(&file, data, seek, part, binary, append, lines);
    // A count past integer! is given as a float!, never wrapped.
    return written <= INT32_MAX ? cell::integer(int32_t(written)) : cell::float_(double(written));
}

Cell query(const Cell& file) {
    std::optional<simple_io::Timestamp> t = simple_io::modified_date(file);
    if (!t) return cell::none();
    uint32_t packed = date::from_fields(t->year, t->month, t->day, 0, true);
    double seconds = t->hour * 3600.0 + t->minute * 60.0 + t->second + t->nanosecond / 1e9;
    return date::make_cell(packed, seconds);
}

bool delete_(const Cell& file) { return simple_io::delete_(file); }

bool rename(const Cell& from, const Cell& to) { return simple_io::rename(from, to); }

int32_t call(const Cell& cmd, bool wait, bool show, bool console, bool shell, const Cell* input,
             const Cell* output, const Cell* error) {
    process::CallOptions o;
    o.wait = wait;
    o.show = show;
    o.console = console;
    o.shell = shell;
    o.input = input;
    o.output = output;
    o.error = error;
    // What the script printed so far comes before what the child writes to the same output.
    console::flush();
    return process::call(cmd, o);
}

namespace {

// ---- routines ----

Cell& return_slot() {
    // A routine of no arguments finds its return slot not reserved yet.
    if (stack::data_top == stack::base) stack::push(cell::unset());
    return stack::base[0];
}

routines::Result create_dir(const routines::Arg* args, uint32_t) {
    Cell path = *args[0].cell;
    if (!simple_io::make_dir(path)) error::raise(ErrorId::access_no_create, path);
    return_slot() = cell::unset();
    return {};
}

routines::Result exists_q(const routines::Arg* args, uint32_t) {
    return {.integer = simple_io::file_exists_q(*args[0].cell)};
}

// The object of name (string!), arch (word!), version (tuple!) and build (integer!).
routines::Result os_info_(const routines::Arg*, uint32_t) {
    os_info::OsInfo info = os_info::describe();
    Cell& slot = return_slot();
    object::init_cell(slot, 4);
    Node ctx = slot.data1;
    Cell* value = stack::push(string::from_utf8(info.name));
    context::add_word(ctx, word::from_c_string("name"), *value);
    *value = word::from_c_string(std::string(info.arch).c_str());
    context::add_word(ctx, word::from_c_string("arch"), *value);
    int32_t version[3] = {info.version[0], info.version[1], info.version[2]};
    *value = tuple::from_ints(3, version);
    context::add_word(ctx, word::from_c_string("version"), *value);
    context::add_word(ctx, word::from_c_string("build"), cell::integer(info.build));
    stack::pop(1);
    return {};
}

routines::Result write_stdout(const routines::Arg* args, uint32_t) {
    Cell data = *args[0].cell;
    // The console buffers what print writes: it goes out first.
    console::flush();
    simple_io::write(nullptr, data, nullptr, nullptr, false, false, false);
    return_slot() = cell::unset();
    return {};
}

constexpr routines::Definition kRoutines[] = {
    {"create-dir", R"k("Create the given directory" path [file!])k", create_dir, TypeId(0)},
    {"exists?", R"k("Returns TRUE if the file exists" path [file!] return: [logic!])k", exists_q, TypeId::logic},
    {"os-info", R"k("Returns detailed operating system version information")k", os_info_, TypeId(0)},
    {"write-stdout", R"k("Write data to STDOUT" data [any-type!])k", write_stdout, TypeId(0)},
};

}  // namespace

std::span<const routines::Definition> routines() { return kRoutines; }

}  // namespace kaz::file_natives
