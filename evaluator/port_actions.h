// The actions of port! values, and of URLs that become ports: each action applied to a port is
// forwarded to the function of the same name in the port's actor, called with the port and the
// action's other arguments in the action's own order (a refinement as a logic! followed by its
// arguments, none! for those of an absent one). read and write run the actor's open, then copy
// (write: insert first), then close.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::port_actions {

// Calls the actor's function for action `slot` with the arguments of an action frame: `args[0]`
// is the port, then the action's arguments in order, and `refs` the refinements' positions in
// `args` (-1 when absent), as the action's entry receives them. Raises access invalid-port when
// the actor is no object!, access no-port-action (with the action's word) when it has no
// function! of that name; errors of the function pass through.
Cell call_actor(uint32_t slot, const Cell* args, const int32_t* refs);

// The port of a URL's scheme, made from what url-parser/parse-url gives for it; script
// invalid-arg with the URL when that is not an object!.
Cell port_of(const Cell& url);

// Wraps the entry of every action a port! takes, so that a port is served before any action
// table is looked at, and fills url!'s service for URLs of other schemes. After the entries
// are made.
void init();

}  // namespace kaz::port_actions
