// The environment's routines, made at start-up from their specs and C++ bodies: the quiet
// setters, the shifts, and the collector's counters of system/state/GC. A routine reads its
// arguments from its frame's cells and, when its spec declares no return type the interpreter
// converts, leaves its result in the return slot itself.
#include "boot/routines.h"

#include "boot/startup.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "evaluator/routines.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kaz::startup {
namespace {

using routines::Arg;
using routines::Result;

Cell& arg(uint32_t i) { return stack::base[i]; }

// A routine's spec, its C++ body and the return type the interpreter converts to (0: none).
struct Definition {
    const char* name;
    const char* spec;
    routines::PlainFn fn;
    TypeId returns;
};

Cell make_routine(const Definition& d) {
    uint32_t id = routines::define(d.name, d.fn);
    Cell spec = lexer::load_text(string::from_utf8(d.spec));
    Cell r = *routine::make_value(spec, nullptr, id, uint32_t(d.returns), false);
    --stack::data_top;  // make_value pushed it
    return r;
}

// ---- the routines ----

Result set_quiet(const Arg*, uint32_t) {
    Cell w = arg(0), value = arg(1);
    TypeId t = type_of(w);
    if (t != TypeId::word && t != TypeId::set_word && t != TypeId::lit_word && t != TypeId::get_word)
        error::raise(ErrorId::script_expect_arg, word::from_c_string("set-quiet"), cell::datatype(t),
                     word::from_c_string("word"));
    word::set_in_context(w, value, w.data1, false);
    arg(0) = value;
    return {};
}

Result set_slot_quiet(const Arg*, uint32_t) {
    Cell series = arg(0), value = arg(1);
    TypeId t = type_of(series);
    if (t != TypeId::block && t != TypeId::paren && !(t >= TypeId::path && t <= TypeId::get_path))
        error::raise(ErrorId::script_expect_arg, word::from_c_string("set-slot-quiet"), cell::datatype(t),
                     word::from_c_string("series"));
    SeriesBuffer* b = memory::buffer_of(series.data2);
    if (series.data1 < b->length()) b->cells()[series.data1] = value;
    return {};
}

// The shift native's code, with its /left and /logical flags (refinements with no arguments:
// their positions only say they are given).
void shift(bool left, bool logical) {
    int32_t refs[2] = {left ? 2 : -1, logical ? 2 : -1};
    natives::at(natives::shift)(refs);
}
Result shift_right(const Arg*, uint32_t) { return shift(false, false), Result{}; }
Result shift_left(const Arg*, uint32_t) { return shift(true, false), Result{}; }
Result shift_logical(const Arg*, uint32_t) { return shift(false, true), Result{}; }

Result gc_active(const Arg*, uint32_t) { return {.integer = gc::enabled()}; }
// Every collection sweeps the node frames too: the two counts are one.
Result gc_cycles(const Arg*, uint32_t) { return {.integer = int64_t(gc::counters.collections)}; }

constexpr Definition kGlobal[] = {
    {"set-quiet",
     R"k("Set an object's field to a value without triggering eventual object's events" word [any-type!] value [any-type!] return: [any-type!])k",
     set_quiet, TypeId(0)},
    {"set-slot-quiet",
     R"k("Set a value in series without triggering eventual owner's events" series [any-type!] value [any-type!])k",
     set_slot_quiet, TypeId(0)},
    {"shift-right", R"k("Shift bits to the right" data [integer!] bits [integer!])k", shift_right, TypeId(0)},
    {"shift-left", R"k("Shift bits to the left" data [integer!] bits [integer!])k", shift_left, TypeId(0)},
    {"shift-logical", R"k("Shift bits to the right (unsigned)" data [integer!] bits [integer!])k", shift_logical,
     TypeId(0)},
};

constexpr Definition kCollector[] = {
    {"active?", "return: [logic!]", gc_active, TypeId::logic},
    {"series-cycles", "return: [integer!]", gc_cycles, TypeId::integer},
    {"nodes-cycles", "return: [integer!]", gc_cycles, TypeId::integer},
};

}  // namespace

void define_routines() {
    for (const Definition& d : kGlobal) {
        Cell w = word::from_c_string(d.name);
        word::set(w, make_routine(d));
    }
}

void fill_gc_object(const Cell& gc_object) {
    for (const Definition& d : kCollector) {
        Cell r = make_routine(d);
        *field(gc_object, d.name) = r;
    }
}

}  // namespace kaz::startup
