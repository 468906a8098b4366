// port! — an object with the fields of system/standard/port, the language's handle on a source
// or sink reached through a scheme. The datatype does no input or output itself: the actions a
// port takes are forwarded to the function of the same name in its actor, an object the scheme
// supplies (evaluator/port_actions.*).
//
// A port cell is an object cell of type port!: data1 the context, data2 the class id (2),
// data3 the change-handler info.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::port {

// The class id every port carries.
inline constexpr uint32_t kClass = 2;

// ORDER PORT-FIELD: the fields of system/standard/port.
enum Field : uint32_t { spec = 0, scheme, actor, awake, state, data, extra };

// The value of a field, copied out.
Cell field(const Cell& port, Field f);

// ---- actions ----
// make: an object! spec is copied; any other spec is applied to a copy of
// system/standard/url-parts as its spec block. Its scheme must be a word! (else access
// no-scheme), the scheme an object! in system/schemes (else access unknown-scheme), and its
// actor an object! or a handle! (else access invalid-actor), each error with the spec.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
// form and mold: "make port! [" and the fields as an object molds them, then "]".
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);

// ---- registration ----
void init();

}  // namespace kaz::port
