#include "boot/environment.h"

namespace kaz::environment {

std::string_view source(std::string_view name) {
    for (size_t i = 0; i < kSourceCount; ++i)
        if (name == kSources[i].name) return kSources[i].text;
    return {};
}

}  // namespace kaz::environment
