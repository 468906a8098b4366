#include "evaluator/hooks.h"

namespace kaz {

ServiceHooks service_hooks{};

}  // namespace kaz
