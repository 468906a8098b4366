// Ports forward their actions to their scheme's actor.
#include "evaluator/port_actions.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "datatypes/actions.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/port.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"

namespace kaz::port_actions {
namespace {

using actions::Slot;

constexpr const char* kActionNames[] = {
    nullptr,
#define KAZ_ACTION(slot, cname, name, ...) name,
#include "datatypes/actions.def"
#undef KAZ_ACTION
};

// The actions a port forwards as they are (open, read and write have entries of their own).
constexpr Slot kForwarded[] = {
    Slot::append, Slot::at, Slot::back, Slot::change, Slot::clear, Slot::copy, Slot::find,
    Slot::head, Slot::head_q, Slot::index_q, Slot::insert, Slot::length_q, Slot::move, Slot::next,
    Slot::pick, Slot::poke, Slot::put, Slot::remove, Slot::reverse, Slot::select, Slot::sort,
    Slot::skip, Slot::swap, Slot::tail, Slot::tail_q, Slot::take, Slot::trim, Slot::create,
    Slot::close, Slot::delete_, Slot::modify, Slot::query, Slot::rename, Slot::update,
};

Cell at(Node n, uint32_t i) { return memory::buffer_of(n)->cells()[i]; }
uint32_t length_of(Node n) { return memory::buffer_of(n)->length(); }

bool argument_q(const Cell& entry) {
    return is(entry, TypeId::typeset) && interp::arg_kind(entry) != interp::return_type;
}

// Calls a function! with the cells of its frame given in order (arguments, refinement flags
// and their arguments); cells it does not take are dropped, those missing are none! (false
// for a refinement). The frame is named by `name`.
Cell call_with_cells(const Cell& function, const Cell& name, const Cell* cells, uint32_t count) {
    Cell* result_at = stack::push(function);
    Node table = interp::argument_table(function);
    uint32_t locals = 0;
    for (uint32_t i = 0; i < length_of(table); ++i) {
        Cell e = at(table, i);
        if (is(e, TypeId::integer)) locals = uint32_t(cell::get_integer(e));
    }
    frame::push_function(name, function.data1);
    for (uint32_t i = 0, taken = 0; i < length_of(table); ++i) {
        Cell e = at(table, i);
        if (!argument_q(e) && !is(e, TypeId::refinement)) continue;
        Cell given = taken < count ? cells[taken] : is(e, TypeId::refinement) ? cell::logic(false) : cell::none();
        ++taken;
        stack::push(given);
    }
    if (locals) interp::push_inactive_refinement(locals);
    interp::call_function(function, name);
    frame::raise_pending();
    frame::pop_function();
    Cell result = stack::data_top[-1];
    stack::data_top = result_at;
    return result;
}

// The position of refinement `name` among the action's refinements, -1 when it has none.
int32_t refinement_of(uint32_t slot, const char* name) {
    Node table = native::builtin_arguments(TypeId::action, slot);
    uint32_t canonical = symbol::canonical_id(word::from_c_string(name).data2);
    for (uint32_t i = 0; i < length_of(table); ++i) {
        Cell e = at(table, i);
        if (is(e, TypeId::refinement) && symbol::canonical_id(e.data2) == canonical) return int32_t(e.data3) - 1;
    }
    return -1;
}

// Runs action `slot` of the port with the arguments after the port in `rest` and the
// refinements named in `flags` given (each without arguments, or with `rest`'s cells from
// `refinement_at` on).
Cell run(uint32_t slot, const Cell& port, std::initializer_list<Cell> rest,
         std::initializer_list<const char*> given = {}, int32_t refinement_at = -1) {
    Cell* args = stack::push(port);
    for (const Cell& c : rest) stack::push(c);
    int32_t refs[interp::kMaxRefinements];
    std::fill(std::begin(refs), std::end(refs), -1);
    for (const char* name : given) {
        int32_t k = refinement_of(slot, name);
        if (k >= 0) refs[k] = refinement_at >= 0 ? refinement_at : int32_t(1 + rest.size());
    }
    Cell result = call_actor(slot, args, refs);
    stack::data_top = args;
    return result;
}

Cell read_port(const Cell& port) {
    Cell* kept = stack::push(port);
    run(uint32_t(Slot::open), kept[0], {}, {"read"});
    stack::push(run(uint32_t(Slot::copy), kept[0], {}));
    run(uint32_t(Slot::close), kept[0], {});
    Cell data = kept[1];
    stack::data_top = kept;
    return data;
}

Cell write_port(const Cell& port, const Cell& data, const Cell* part) {
    Cell* kept = stack::push(port);
    stack::push(data);
    run(uint32_t(Slot::open), kept[0], {}, {"write"});
    if (part && is(*part, TypeId::integer)) run(uint32_t(Slot::insert), kept[0], {kept[1], *part}, {"part"}, 2);
    else run(uint32_t(Slot::insert), kept[0], {kept[1]});
    stack::push(run(uint32_t(Slot::copy), kept[0], {}));
    run(uint32_t(Slot::close), kept[0], {});
    Cell copied = kept[2];
    stack::data_top = kept;
    return copied;
}

// ---- the entries ----

natives::NativeFn original[actions::kSlots + 1];

Cell& arg(uint32_t i) { return stack::base[i]; }

template <uint32_t S>
void forwarding(const int32_t* refs) {
    if (is(arg(0), TypeId::port)) arg(0) = call_actor(S, stack::base, refs);
    else original[S](refs);
}

// open: a URL of another scheme than http becomes its port, opened with the refinements given.
void open_entry(const int32_t* refs) {
    TypeId t = type_of(arg(0));
    if (t != TypeId::port && registry::actions(t).open == url::open && !url::http_q(arg(0)))
        arg(0) = port_of(arg(0));
    if (is(arg(0), TypeId::port)) arg(0) = call_actor(uint32_t(Slot::open), stack::base, refs);
    else original[uint32_t(Slot::open)](refs);
}

void read_entry(const int32_t* refs) {
    if (is(arg(0), TypeId::port)) arg(0) = read_port(arg(0));
    else original[uint32_t(Slot::read)](refs);
}

void write_entry(const int32_t* refs) {
    if (!is(arg(0), TypeId::port)) return original[uint32_t(Slot::write)](refs);
    // /part is write's fifth refinement: /binary /lines /info /append /part.
    int32_t k = refinement_of(uint32_t(Slot::write), "part");
    const Cell* part = k >= 0 && refs[k] >= 0 ? &stack::base[refs[k]] : nullptr;
    arg(0) = write_port(arg(0), arg(1), part);
}

template <size_t... I>
void wrap_forwarded(std::index_sequence<I...>) {
    ((original[uint32_t(kForwarded[I])] = actions::at(uint32_t(kForwarded[I])),
      actions::define(uint32_t(kForwarded[I]), forwarding<uint32_t(kForwarded[I])>)),
     ...);
}

// ---- url! through its scheme's port ----

Cell open_url(const Cell& url) {
    Cell* kept = stack::push(port_of(url));
    Cell result = run(uint32_t(Slot::open), kept[0], {});
    stack::data_top = kept;
    return result;
}

Cell read_url(const Cell& url, const ReadOptions&) { return read_port(port_of(url)); }

Cell write_url(const Cell& url, const Cell& data, const WriteOptions& o) {
    Cell* kept = stack::push(data);
    stack::push(port_of(url));
    Cell result = write_port(kept[1], kept[0], o.part);
    stack::data_top = kept;
    return result;
}

}  // namespace

Cell call_actor(uint32_t slot, const Cell* args, const int32_t* refs) {
    const Cell port = args[0];
    Cell actor = port::field(port, port::actor);
    if (!is(actor, TypeId::object)) error::raise(ErrorId::access_invalid_port);
    Cell name = word::from_c_string(kActionNames[slot]);
    Cell function = *object::value_of_word(actor, name);
    if (!is(function, TypeId::function)) error::raise(ErrorId::access_no_port_action, name);

    // The cells for the actor's frame, in the action's order, gathered above the frame.
    Cell* staged = stack::push(function);
    Node table = native::builtin_arguments(TypeId::action, slot);
    uint32_t fixed = 0;
    bool in_refinements = false;
    for (uint32_t i = 0; i < length_of(table); ++i) {
        Cell e = at(table, i);
        if (is(e, TypeId::refinement)) {
            in_refinements = true;
            int32_t at_ = refs[e.data3 - 1];
            stack::push(cell::logic(at_ >= 0));
            uint32_t j = 0;
            while (i + 1 < length_of(table) && argument_q(at(table, i + 1))) {
                ++i;
                stack::push(at_ >= 0 ? args[uint32_t(at_) + j++] : cell::none());
            }
        } else if (argument_q(e) && !in_refinements) {
            stack::push(args[fixed++]);
        }
    }
    uint32_t count = uint32_t(stack::data_top - staged) - 1;
    Cell result = call_with_cells(staged[0], name, staged + 1, count);
    stack::data_top = staged;
    return result;
}

Cell port_of(const Cell& url) {
    Cell* kept = stack::push(url);
    Cell parser = *word::get(word::from_c_string("url-parser"));
    Cell parse_url = is(parser, TypeId::object) ? *object::value_of_word(parser, word::from_c_string("parse-url"))
                                                 : cell::none();
    if (!is(parse_url, TypeId::function)) error::raise(ErrorId::internal_not_done);
    Cell spec = interp::call(parse_url, kept, 1);
    if (!is(spec, TypeId::object)) error::raise(ErrorId::script_invalid_arg, kept[0]);
    stack::push(spec);
    Cell port = port::make(cell::datatype(TypeId::port), spec, TypeId::port);
    stack::data_top = kept;
    return port;
}

void init() {
    wrap_forwarded(std::make_index_sequence<std::size(kForwarded)>());
    // open, read and write: ports and URLs of other schemes than http.
    for (Slot s : {Slot::open, Slot::read, Slot::write}) original[uint32_t(s)] = actions::at(uint32_t(s));
    actions::define(uint32_t(Slot::open), open_entry);
    actions::define(uint32_t(Slot::read), read_entry);
    actions::define(uint32_t(Slot::write), write_entry);
    url::service.open = open_url;
    url::service.read = read_url;
    url::service.write = write_url;
}

}  // namespace kaz::port_actions
