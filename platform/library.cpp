#include "platform/library.h"

#include <dlfcn.h>

namespace kaz::platform {

bool load_library(const char* soname, std::span<const LibrarySymbol> symbols) {
    void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    for (const LibrarySymbol& s : symbols) {
        *s.slot = dlsym(library, s.name);
        if (!*s.slot) return false;
    }
    return true;
}

}  // namespace kaz::platform
