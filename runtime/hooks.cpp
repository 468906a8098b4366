#include "runtime/hooks.h"

namespace kaz {

RuntimeHooks runtime_hooks{};

}  // namespace kaz
