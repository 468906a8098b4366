// The system natives: output, memory statistics and the collector, checksums and compression,
// the process environment, the clock, local files, waiting and the desktop.
#include "evaluator/natives_system.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/calendar.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/ownership.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/hooks.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "evaluator/lexer.h"
#include "evaluator/natives_frame.h"
#include "evaluator/routines.h"
#include "evaluator/natives_series.h"
#include "platform/os.h"
#include "runtime/case_fold.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

namespace kaz::natives {

namespace system {

// ---- print ----

void print(const int32_t*) {
    if (print_value(arg(0), true)) arg(0) = cell::unset();
}
void prin(const int32_t*) {
    if (print_value(arg(0), false)) arg(0) = cell::unset();
}

// ---- stats ----

// A count as integer!, or float! above the largest integer!.
Cell number_cell(uint64_t n) {
    return n <= 0x7FFFFFFFull ? cell::integer(int32_t(n)) : cell::float_(double(n));
}

// A block of three counts [free used total], marked to mold on a new line.
void append_figures(const Cell& block, uint64_t used, uint64_t total) {
    Cell* figures = block::push_new(3);
    block::append_cell(*figures, number_cell(total - used));
    block::append_cell(*figures, number_cell(used));
    block::append_cell(*figures, number_cell(total));
    Cell f = *figures;
    f.header |= cell_flag::new_line;
    stack::pop(1);
    block::append_cell(block, f);
}

// [node frames] [series frames] [big frame sizes] footprint heap: the memory manager's figures
// (node frames in node slots, the rest in bytes). The footprint is what the frames take from
// the system, headers included, with the tracked heap; the heap is the tracked heap's blocks
// with their headers.
Cell memory_figures() {
    Cell* result = block::push_new(5);
    Cell* nodes = block::push_new(4);
    Cell* frames = block::push_new(4);
    Cell* bigs = block::push_new(4);
    uint64_t footprint = 0;
    for (NodeFrame* f = memory::state.node_first; f; f = f->next) {
        append_figures(*nodes, f->used, f->capacity);
        footprint += uint64_t(f->capacity) * sizeof(uintptr_t) + sizeof(NodeFrame);
    }
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next) {
        append_figures(*frames, uint64_t(f->next_free - f->start()), uint64_t(f->end - f->start()));
        footprint += f->size;
    }
    for (BigFrame* f = memory::state.big_first; f; f = f->next) {
        block::append_cell(*bigs, number_cell(f->size));
        footprint += f->size;
    }
    uint64_t heap_bytes = heap::bytes_held();
    for (Cell* part : {nodes, frames, bigs}) block::append_cell(*result, *part);
    block::append_cell(*result, number_cell(footprint + heap_bytes));
    block::append_cell(*result, number_cell(heap_bytes));
    return *result;
}

// stats /show /info: the bytes in use; with /info the memory manager's figures; with /show
// those figures printed by the environment's show-memory-stats, and no value.
void stats(const int32_t* refs) {
    if (stack::data_top == stack::base) stack::push(cell::unset());  // no argument: reserve the return slot
    // No collection may run while the frame lists are read.
    bool gc = memory::gc_enabled;
    memory::gc_enabled = false;
    Cell figures = given(refs, 0) || given(refs, 1) ? memory_figures() : number_cell(gc::bytes_in_use());
    memory::gc_enabled = gc;
    if (!given(refs, 0)) return result(figures);
    Cell w = word::from_c_string("show-memory-stats");
    Cell fn = *word::get(w);
    if (!callable_q(type_of(fn))) error::raise(ErrorId::script_no_value, w);
    Cell* data = stack::push(figures);  // kept where the collector sees it during the call
    interp::call(fn, data, 1);
    result(cell::unset());
}

// ---- checksums and compression ----

ServiceHooks& services() {
    if (!service_hooks.checksum || !service_hooks.compress || !service_hooks.decompress || !service_hooks.read_file)
        error::raise(ErrorId::internal_not_done);
    return service_hooks;
}

// checksum data method /with spec: a file! is read whole first.
void checksum(const int32_t* refs) {
    ServiceHooks& s = services();
    Cell data = arg(0);
    if (is(data, TypeId::file)) data = *stack::push(s.read_file(data));
    binary::Source bytes = binary::source_of(data);
    result(s.checksum(bytes, arg(1), ref_arg(refs, 0)));
}

// compress data method
void compress(const int32_t*) {
    ServiceHooks& s = services();
    binary::Source bytes = binary::source_of(arg(0));
    result(s.compress(bytes, arg(1)));
}

// decompress data method /size sz
void decompress(const int32_t* refs) {
    ServiceHooks& s = services();
    binary::Source bytes = binary::source_of(arg(0));
    result(s.decompress(bytes, arg(1), ref_arg(refs, 0)));
}

// ---- the process environment ----

// The UTF-8 text of a name (a word or a string) or of a value; nothing when it holds a NUL,
// where the system would end it and so read another name.
std::optional<std::string> os_text(const Cell& v) {
    if (word::any_word_type_q(type_of(v))) return std::string(symbol::name(v.data2));
    Cell s = v;
    int32_t length = -1;
    const char* text = string::to_utf8(s, length);
    std::string out(text, size_t(length));
    if (out.find('\0') != std::string::npos) return std::nullopt;
    return out;
}

// A name the environment can hold: not empty, no "=" and no NUL.
std::optional<std::string> env_name(const Cell& v) {
    std::optional<std::string> name = os_text(v);
    if (!name || name->empty() || name->find('=') != std::string::npos) return std::nullopt;
    return name;
}


void set_env(const int32_t*) {
    Cell var = arg(0), value = arg(1);
    std::optional<std::string> name = env_name(var);
    if (!name) error::raise(ErrorId::script_invalid_arg, var);
    bool done;
    if (is(value, TypeId::none)) {
        done = platform::set_env(name->c_str(), nullptr);
    } else {
        std::optional<std::string> text = os_text(value);
        if (!text) error::raise(ErrorId::script_invalid_arg, value);
        done = platform::set_env(name->c_str(), text->c_str());
    }
    if (!done) error::raise(ErrorId::script_invalid_arg, var);
    result(value);
}

void get_env(const int32_t*) {
    std::optional<std::string> name = env_name(arg(0));
    std::optional<std::string> value = name ? platform::get_env(name->c_str()) : std::nullopt;
    if (!value || value->empty()) return result(cell::none());
    result(string::from_utf8(*value));
}

void list_env(const int32_t*) {
    if (stack::data_top == stack::base) stack::push(cell::unset());  // no argument: reserve the return slot
    auto variables = platform::list_env();
    Cell* env = stack::push(cell::none());
    map::init_cell(*env, nullptr, uint32_t(variables.size()));
    for (const auto& [name, value] : variables) {
        // Names that differ only in case are distinct variables: each keeps its own entry.
        Cell* key = stack::push(string::from_utf8(name));
        Cell* text = stack::push(string::from_utf8(value));
        map::put(*env, *key, *text, true);
        stack::pop(2);
    }
    result(*env);
}

// ---- the clock ----

// The current date and time in the local zone (UTC with /utc), or one field of it. One
// refinement at most besides /utc, and /precise only with /time.
void now(const int32_t* refs) {
    enum { year, month, day, time, zone, date_only, weekday, yearday, precise, utc };
    constexpr int32_t kFields[] = {date::kYear, date::kMonth, date::kDay,     date::kTime,
                                   date::kZone, date::kDate,  date::kWeekday, date::kYearday};
    int count = 0, field = -1;
    for (int k = year; k <= precise; ++k) {
        if (!given(refs, k)) continue;
        ++count;
        if (k != precise) field = k;
    }
    if (count > 1 && !(count == 2 && given(refs, time) && given(refs, precise)))
        error::raise(ErrorId::script_bad_refines);
    Cell d = date::now(given(refs, utc), given(refs, precise));
    result(field < 0 ? d : date::get_field(d, kFields[field]));
}

// ---- files, waiting and the desktop ----

void to_local_file(const int32_t* refs) {
    Cell path = arg(0);
    Cell* out = stack::push(string::make_cell(series_::length_from_head(path) + 1));
    file::to_os_path(path, out->data2, given(refs, 0));
    result(*out);
}

// call cmd /wait /show /console /shell /input in /output out /error err
void call(const int32_t* refs) {
    if (!service_hooks.call) error::raise(ErrorId::internal_not_done);
    int32_t status = service_hooks.call(arg(0), given(refs, 0), given(refs, 1), given(refs, 2), given(refs, 3),
                                        ref_arg(refs, 4), ref_arg(refs, 5), ref_arg(refs, 6));
    result(cell::integer(status));
}

void wait(const int32_t*) {
    const Cell& v = arg(0);
    double seconds;
    switch (type_of(v)) {
        case TypeId::integer: seconds = cell::get_integer(v); break;
        case TypeId::float_:
        case TypeId::time: seconds = cell::get_float(v); break;
        default: error::raise(ErrorId::script_invalid_arg, v);
    }
    platform::wait(seconds);
    result(cell::none());
}

void browse(const int32_t*) {
    Cell target = arg(0);
    std::optional<std::string> text;
    if (is(target, TypeId::file)) {
        // The full form: the opener gets no relative path that could pass for an option.
        Cell* path = stack::push(string::make_cell(series_::length_from_head(target) + 1));
        file::to_os_path(target, path->data2, true);
        text = os_text(*path);
    } else {
        text = os_text(target);
    }
    if (!text || text->empty() || (*text)[0] == '-') error::raise(ErrorId::script_invalid_arg, target);
    platform::open_with_desktop(text->c_str());
    result(cell::unset());
}

// recycle: /on and /off switch automatic collection; without them a collection runs at once,
// even when switched off, and the bytes in use are returned as stats returns them.
void recycle(const int32_t* refs) {
    if (stack::data_top == stack::base) stack::push(cell::unset());  // reserve the return slot
    if (given(refs, 0) || given(refs, 1)) {
        if (given(refs, 0)) gc::set_enabled(true);
        if (given(refs, 1)) gc::set_enabled(false);
        stack::base[0] = cell::unset();
        return;
    }
    gc::collect();
    uint64_t used = gc::bytes_in_use();
    stack::base[0] = used <= 0x7FFFFFFFull ? cell::integer(int32_t(used)) : cell::float_(double(used));
}

// The tracer and the block being evaluated live in the interpreter's state, outside any series.
void mark_interpreter() {
    gc::mark_cell(interp::state.tracer);
    gc::mark_cell(interp::state.current_block);
}

// The values, sources and callbacks of every running lexer scan.
void mark_lexer_scans() {
    lexer::for_each_live([](const Cell& c, void*) { gc::mark_cell(c); }, nullptr);
}

}  // namespace system

bool last_output_new_line = false;

bool print_value(const Cell& value, bool new_line) {
    Cell* saved = stack::data_top;
    Cell v = value;
    if (is(v, TypeId::block)) {
        Cell* reduced = block::push_new(int32_t(series_::length_from_head(v)));
        if (!series_natives::reduce_into(v, *reduced)) return false;
        v = *reduced;
    }
    Cell text = v;
    if (!is(v, TypeId::string)) {
        Cell* out = stack::push(string::make_cell(16));
        actions::form(v, out->data2, nullptr, 0x7FFFFFFF);
        text = *out;
    }
    SeriesBuffer* b = buffer(text.data2);
    uint32_t head = std::min(text.data1, b->length());
    uint32_t unit = b->unit();
    console::write_units(b->head + size_t(head) * unit, size_t(b->length() - head) * unit, unit, new_line);
    print_hooks::call_value(text, new_line);
    last_output_new_line = new_line;
    stack::data_top = saved;
    return true;
}

void register_gc_roots() {
    gc::add_root(symbol::table, gc::Root::table);    // every symbol's name, by the symbol table
    gc::add_root(context::global, gc::Root::block);  // the global context and its values
    gc::set_ownership_table(ownership::table);       // held weakly
    gc::add_mark_callback(system::mark_interpreter);
    gc::add_mark_callback(system::mark_lexer_scans);
}

namespace {

// ---- routines ----

routines::Result gc_active(const routines::Arg*, uint32_t) { return {.integer = gc::enabled()}; }
// Every collection sweeps the node frames too: the two counts are one.
routines::Result gc_cycles(const routines::Arg*, uint32_t) { return {.integer = int64_t(gc::counters.collections)}; }

constexpr routines::Definition kCollectorRoutines[] = {
    {"active?", "return: [logic!]", gc_active, TypeId::logic},
    {"series-cycles", "return: [integer!]", gc_cycles, TypeId::integer},
    {"nodes-cycles", "return: [integer!]", gc_cycles, TypeId::integer},
};

}  // namespace

std::span<const routines::Definition> collector_routines() { return kCollectorRoutines; }

void init_system() {
    define(Number::print, system::print);
    define(Number::prin, system::prin);
    define(Number::stats, system::stats);
    define(Number::checksum, system::checksum);
    define(Number::compress, system::compress);
    define(Number::decompress, system::decompress);
    define(Number::recycle, system::recycle);
    define(Number::get_env, system::get_env);
    define(Number::set_env, system::set_env);
    define(Number::list_env, system::list_env);
    define(Number::to_local_file, system::to_local_file);
    define(Number::call, system::call);
    define(Number::wait, system::wait);
    define(Number::browse, system::browse);
    define(Number::now, system::now);
}

}  // namespace kaz::natives
