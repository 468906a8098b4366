#include "evaluator/natives_environment.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/natives_frame.h"
#include "evaluator/natives_system.h"
#include "platform/files.h"
#include "platform/os.h"
#include "platform/process.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kaz::natives {
namespace {

using routines::Arg;
using routines::Result;

// ---- process ----

Result quit_return(const Arg* args, uint32_t) {
    // What the script printed is still buffered: it must reach its reader before the process
    // ends.
    console::flush();
    platform::exit_process(int(args[0].integer));
}

Result last_lf_q(const Arg*, uint32_t) { return {.integer = last_output_new_line}; }

// ---- directories and files ----

Result get_current_dir(const Arg*, uint32_t) {
    result(file::os_current_dir());
    return {};
}

Result set_current_dir(const Arg* args, uint32_t) {
    const Cell path = *args[0].cell;
    if (!platform::set_current_dir(file::to_os_c_string(path))) error::raise(ErrorId::access_cannot_open, path);
    result(cell::unset());
    return {};
}

// ---- tuples ----

// The first negative component is refused; each of the others is reduced to its low byte,
// so a component above 255 never reaches its neighbours.
Result components(const Arg* args, uint32_t count) {
    int32_t values[4];
    for (uint32_t i = 0; i < count; ++i) {
        if (args[i].integer < 0) error::raise(ErrorId::script_invalid_arg, cell::integer(int32_t(args[i].integer)));
        values[i] = int32_t(args[i].integer & 0xFF);
    }
    result(tuple::from_ints(count, values));
    return {};
}
Result as_color(const Arg* args, uint32_t) { return components(args, 3); }
Result as_ipv4(const Arg* args, uint32_t) { return components(args, 4); }

// ---- UTF-8 ----

// Counts the sequences from `start`'s position to `pos`'s index in `start`'s own buffer. The
// stop is clamped to that buffer's tail (`pos` may belong to another, longer buffer) and a
// sequence its lead byte says runs past the tail is counted once and ends the count: no byte
// beyond the buffer is read.
Result count_chars(const Arg* args, uint32_t) {
    const Cell start = *args[0].cell, pos = *args[1].cell;
    SeriesBuffer* b = buffer(start.data2);
    const uint32_t tail = b->used();
    const uint32_t stop = std::min(pos.data1, tail);
    const uint8_t* bytes = b->head;
    int64_t count = 0;
    for (uint32_t i = start.data1; i < stop; ++count) {
        uint32_t length = utf8::lead_length(bytes[i]);
        i += length ? length : 1;
    }
    return {.integer = count};
}

// ---- the stacks ----

Result stack_size_q(const Arg*, uint32_t) { return {.integer = stack::data_top - stack::data_begin}; }

// The call's own argument, the top cell, is never picked.
Result pick_stack(const Arg* args, uint32_t) {
    const int64_t index = args[0].integer;
    const int64_t size = stack::data_top - stack::data_begin;
    result(index > 0 && index < size ? stack::data_begin[index - 1] : cell::none());
    return {};
}

Result frame_index_q(const Arg*, uint32_t) { return {.integer = stack::base - stack::data_begin}; }

Result collect_calls(const Arg* args, uint32_t) {
    const Cell blk = *args[0].cell;
    // The routine's own frame is not one of the calls asked about.
    CallFrame* saved = stack::frames_top;
    stack::frames_top = saved - 1;
    frame::collect_calls(blk.data2);
    stack::frames_top = saved;
    result(cell::unset());
    return {};
}

Result tracing_q(const Arg*, uint32_t) { return {.integer = interp::state.tracing}; }

// ---- hidden routines of the system object ----

Result interpreted_q(const Arg*, uint32_t) {
    // Below the routine's own frame.
    const CallFrame* caller = stack::frames_top - 2;
    return {.integer = caller >= stack::frames_begin && frame::interpreted_q(caller, false)};
}

Result float_switch(const Arg* args, uint32_t) {
    const Cell word = *args[0].cell;
    // The value's cell: none and false are off, anything else on.
    const Cell& value = arg(1);
    bool on = !is(value, TypeId::none) && !is(value, TypeId::unset) && !(is(value, TypeId::logic) && !value.data1);
    uint32_t id = symbol::canonical_id(word.data2);
    if (id == symbol::canonical_id(word::from_c_string("pretty?").data2)) float_::pretty_print_q = on;
    else if (id == symbol::canonical_id(word::from_c_string("full?").data2)) float_::full_support_q = on;
    result(cell::unset());
    return {};
}

Result tracing_switch(const Arg* args, uint32_t) {
    const bool on = args[0].integer != 0 && is(interp::state.tracer, TypeId::function);
    interp::state.tracing = on;
    // The function this routine was called from (below the natives in between, such as `if`)
    // restores its caller's tracing on return: mark its frame to leave this setting instead.
    for (CallFrame* f = stack::frames_top - 2; f >= stack::frames_begin; --f) {
        if (f->kind() != FrameKind::function) continue;
        f->header &= ~(frame_bits::tracing_set | frame_bits::tracing_on);
        f->header |= frame_bits::tracing_set | (on ? frame_bits::tracing_on : 0);
        break;
    }
    result(cell::unset());
    return {};
}

// The specs, as help shows them.
constexpr routines::Definition kRoutines[] = {
    {"quit-return",
     R"k("Stops evaluation and exits the program with a given status" status [integer!] "Process termination value to return")k",
     quit_return, TypeId(0)},
    {"last-lf?", R"k("Internal Use Only" return: [logic!])k", last_lf_q, TypeId::logic},
    {"get-current-dir", R"k("Returns the platform's current directory for the process")k", get_current_dir,
     TypeId(0)},
    {"set-current-dir", R"k("Sets the platform's current process directory" path [file!])k", set_current_dir,
     TypeId(0)},
    {"as-color", R"k("Combine R, G and B values into a tuple" r [integer!] g [integer!] b [integer!])k", as_color,
     TypeId(0)},
    {"as-ipv4",
     R"k("Combine a, b, c and d values into a tuple" a [integer!] b [integer!] c [integer!] d [integer!])k",
     as_ipv4, TypeId(0)},
    {"as-rgba",
     R"k("Combine R, G, B and A color components into a tuple" r [integer!] g [integer!] b [integer!] a [integer!])k",
     as_ipv4, TypeId(0)},
    {"count-chars",
     R"k("Count UTF-8 encoded characters between two positions in a binary series" start [binary!] pos [binary!] return: [integer!])k",
     count_chars, TypeId::integer},
    {"stack-size?", "return: [integer!]", stack_size_q, TypeId::integer},
    {"pick-stack", "idx [integer!]", pick_stack, TypeId(0)},
    {"frame-index?", "return: [integer!]", frame_index_q, TypeId::integer},
    {"collect-calls", "blk [block!]", collect_calls, TypeId(0)},
    {"tracing?", "", tracing_q, TypeId::logic},
};

// ---- type predicates ----

template <TypeId T>
const Cell* is_type(Cell* const* args, uint32_t) {
    *stack::base = cell::logic(type_of(*args[0]) == T);
    return stack::base;
}

struct TypePredicate {
    const char* name;
    routines::CellFn fn;
};
// In the order the environment defines them.
constexpr TypePredicate kTypePredicates[] = {
    {"bitset?", is_type<TypeId::bitset>}, {"binary?", is_type<TypeId::binary>},
    {"block?", is_type<TypeId::block>}, {"char?", is_type<TypeId::char_>},
    {"email?", is_type<TypeId::email>}, {"file?", is_type<TypeId::file>},
    {"float?", is_type<TypeId::float_>}, {"get-path?", is_type<TypeId::get_path>},
    {"get-word?", is_type<TypeId::get_word>}, {"hash?", is_type<TypeId::hash>},
    {"integer?", is_type<TypeId::integer>}, {"issue?", is_type<TypeId::issue>},
    {"lit-path?", is_type<TypeId::lit_path>}, {"lit-word?", is_type<TypeId::lit_word>},
    {"logic?", is_type<TypeId::logic>}, {"map?", is_type<TypeId::map>},
    {"none?", is_type<TypeId::none>}, {"pair?", is_type<TypeId::pair>},
    {"paren?", is_type<TypeId::paren>}, {"path?", is_type<TypeId::path>},
    {"percent?", is_type<TypeId::percent>}, {"refinement?", is_type<TypeId::refinement>},
    {"set-path?", is_type<TypeId::set_path>}, {"set-word?", is_type<TypeId::set_word>},
    {"string?", is_type<TypeId::string>}, {"tag?", is_type<TypeId::tag>},
    {"time?", is_type<TypeId::time>}, {"typeset?", is_type<TypeId::typeset>},
    {"tuple?", is_type<TypeId::tuple>}, {"unset?", is_type<TypeId::unset>},
    {"url?", is_type<TypeId::url>}, {"word?", is_type<TypeId::word>},
    {"image?", is_type<TypeId::image>}, {"date?", is_type<TypeId::date>},
    {"money?", is_type<TypeId::money>}, {"ref?", is_type<TypeId::ref>},
    {"point2D?", is_type<TypeId::point2d>}, {"point3D?", is_type<TypeId::point3d>},
    {"handle?", is_type<TypeId::handle>}, {"error?", is_type<TypeId::error>},
    {"action?", is_type<TypeId::action>}, {"native?", is_type<TypeId::native>},
    {"datatype?", is_type<TypeId::datatype>}, {"function?", is_type<TypeId::function>},
    {"object?", is_type<TypeId::object>}, {"op?", is_type<TypeId::op>},
    {"routine?", is_type<TypeId::routine>}, {"vector?", is_type<TypeId::vector>},
};

// The global words the typeset predicates consult, in the predicates' order; made once.
constexpr const char* kTypesetNames[] = {
    "any-list!", "any-block!", "any-function!", "any-object!", "any-path!", "any-string!", "any-word!",
    "series!", "number!", "immediate!", "scalar!", "all-word!", "any-point!", "planar!",
};
constexpr size_t kTypesets = std::size(kTypesetNames);
Cell typeset_words[kTypesets];

// The typeset the word holds at the time of the call: a script may have set the word to
// another typeset, or to something that is no typeset at all (then nothing belongs to it).
template <size_t K>
const Cell* in_typeset(Cell* const* args, uint32_t) {
    const Cell* slot = word::bound_slot(typeset_words[K]);
    *stack::base = cell::logic(slot && is(*slot, TypeId::typeset) && typeset::has_q(*slot, type_of(*args[0])));
    return stack::base;
}
template <size_t... K>
constexpr std::array<routines::CellFn, kTypesets> typeset_fns(std::index_sequence<K...>) {
    return {in_typeset<K>...};
}
constexpr auto kTypesetFns = typeset_fns(std::make_index_sequence<kTypesets>{});

}  // namespace

std::vector<CellRoutine> type_predicates() {
    std::vector<CellRoutine> list;
    for (const TypePredicate& p : kTypePredicates)
        list.push_back({p.name, R"k("Returns true if the value is this type" value [any-type!] return: [logic!])k", p.fn});
    for (size_t k = 0; k < kTypesets; ++k) {
        typeset_words[k] = word::from_c_string(kTypesetNames[k]);
        std::string name(kTypesetNames[k]);
        name.back() = '?';
        std::string spec = "\"Returns true if the value is any type of " + std::string(kTypesetNames[k]);
        spec.pop_back();
        spec += "\" value [any-type!] return: [logic!]";
        list.push_back({name, spec, kTypesetFns[k]});
    }
    return list;
}

const routines::Definition kInterpretedRoutine = {
    "interpreted?", R"k("Return TRUE if called from the interpreter" return: [logic!])k", interpreted_q,
    TypeId::logic};
const routines::Definition kFloatSwitchRoutine = {"float-switch", "word [word!] value [any-type!]", float_switch,
                                                  TypeId(0)};

const routines::Definition kTracingSwitchRoutine = {"tracing-switch", "on [logic!]", tracing_switch, TypeId(0)};

std::span<const routines::Definition> environment_routines() { return kRoutines; }

}  // namespace kaz::natives
