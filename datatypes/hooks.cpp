#include "datatypes/hooks.h"

namespace kaz {

DatatypeHooks datatype_hooks{};

}  // namespace kaz
