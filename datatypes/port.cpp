// port! — made from a spec and a registered scheme; molds as an object does.
#include "datatypes/port.h"

#include <string_view>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/gc.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::port {
namespace {

using text::write;

Cell* slot_of(const Cell& object, const char* name) {
    int32_t p = context::find_symbol(object.data1, word::from_c_string(name).data2, true);
    return p < 0 ? nullptr : context::value_at(object.data1, uint32_t(p));
}

// The definition registered under the scheme's name in system/schemes (pairs of a name and an
// object), or none!.
Cell scheme_named(const Cell& name) {
    Cell schemes = object::system_field({"schemes"});
    if (!is(schemes, TypeId::block)) return cell::none();
    uint32_t canonical = symbol::canonical_id(name.data2);
    SeriesBuffer* b = memory::buffer_of(schemes.data2);
    for (uint32_t i = schemes.data1; i + 1 < b->length(); i += 2) {
        Cell key = b->cells()[i];
        if (is(key, TypeId::word) && symbol::canonical_id(key.data2) == canonical) return b->cells()[i + 1];
    }
    return cell::none();
}

}  // namespace

Cell field(const Cell& port, Field f) { return *context::value_at(port.data1, f); }

// ---- actions ----

Cell make(const Cell&, const Cell& spec, TypeId) {
    // The spec object and the port are kept on the data stack while others are made.
    Cell* spec_object = stack::push(cell::none());
    if (is(spec, TypeId::object)) {
        object::copy(spec, *spec_object, nullptr, false, nullptr);
    } else {
        Cell parts = object::system_field({"standard", "url-parts"});
        if (!is(parts, TypeId::object)) error::raise(ErrorId::internal_not_done);
        *spec_object = object::make(parts, spec, TypeId::object);
    }
    const Cell* scheme_slot = slot_of(*spec_object, "scheme");
    Cell scheme_word = scheme_slot ? *scheme_slot : cell::none();
    if (!is(scheme_word, TypeId::word)) error::raise(ErrorId::access_no_scheme, spec);

    Cell prototype = object::system_field({"standard", "port"});
    if (!is(prototype, TypeId::object)) error::raise(ErrorId::internal_not_done);
    Cell* empty = stack::push(cell::none());
    block::init_cell(*empty, 0);
    Cell* port = stack::push(object::make(prototype, *empty, TypeId::object));
    cell::set_type(*port, TypeId::port);
    port->data2 = kClass;
    object::store(*port);
    *context::value_at(port->data1, Field::spec) = *spec_object;
    *context::value_at(port->data1, Field::scheme) = scheme_word;

    Cell scheme = scheme_named(scheme_word);
    if (!is(scheme, TypeId::object)) error::raise(ErrorId::access_unknown_scheme, spec);
    const Cell* actor_slot = slot_of(scheme, "actor");
    Cell actor = actor_slot ? *actor_slot : cell::none();
    if (!is(actor, TypeId::object) && !is(actor, TypeId::handle)) error::raise(ErrorId::access_invalid_actor, spec);
    *context::value_at(port->data1, Field::actor) = actor;
    Cell result = *port;
    stack::pop(3);
    return result;
}

int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent) {
    if (cycles::find_q(value.data1)) return write(string, "make port! [...]", limit);
    limit = write(string, "make port! [", limit);
    int32_t before = limit;
    limit = object::mold_fields(value, string, only, all, flat, !flat, part, limit, indent + 1);
    if (!flat && limit != before) limit = kaz::mold::indent(string, indent, limit);
    return write(string, "]", limit);
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    return mold(value, string, false, false, false, part, limit, 0);
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::port, {.data1 = gc::Ref::block, .data3 = gc::Ref::series_opt});
    // Of object!, its parent, only what reads a port as an object; every action it forwards is
    // taken at the action's entry (evaluator/port_actions.*), before any table is looked at.
    const ActionTable& object_row = registry::actions(TypeId::object);
    registry::define(TypeId::port, exactly(ActionTable{.make = make,
                                                       .reflect = object_row.reflect,
                                                       .form = form,
                                                       .mold = mold,
                                                       .eval_path = object_row.eval_path,
                                                       .compare = object_row.compare}));
}

}  // namespace kaz::port
