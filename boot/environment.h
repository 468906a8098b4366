// The environment written in Kaz: its source files, embedded in the executable at build time
// and evaluated at start-up in this order.
#pragma once

#include <cstddef>
#include <string_view>

namespace kaz::environment {

struct Source {
    const char* name;
    std::string_view text;
};
extern const Source kSources[];
extern const size_t kSourceCount;

// The text of an embedded source by file name; empty when there is none.
std::string_view source(std::string_view name);

}  // namespace kaz::environment
