// The hooks through which the lower layers call the higher ones.
#pragma once

namespace kaz::boot {

// Fills runtime/hooks.h, datatypes/hooks.h and evaluator/hooks.h, every member. Start-up calls
// it once, after the error catalog exists: from then on errors are error! objects and every
// service is reachable.
void install_hooks();

}  // namespace kaz::boot
