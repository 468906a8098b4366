// Shared libraries opened when first needed, for the large ones that most runs of kaz never
// use: linked, each would be loaded and relocated at every start.
#pragma once

#include <span>

namespace kaz::platform {

struct LibrarySymbol {
    const char* name;
    void** slot;  // where the function's address goes
};

// Opens `soname` and fills every slot with the address of its function: false when the library
// or any of the functions is missing (the slots are then not to be used).
bool load_library(const char* soname, std::span<const LibrarySymbol> symbols);

}  // namespace kaz::platform

// A pointer to library function `name`, bearing its name so that code calls it as written, and
// the entry that fills it.
#define KAZ_LIBRARY_POINTER(name) decltype(&::name) name = nullptr;
#define KAZ_LIBRARY_SYMBOL(name) {#name, reinterpret_cast<void**>(&name)},
// Defines `bool loader()`: whether `soname` is open with every function of `functions` (a list
// macro applied to each name) filled. The library is opened at the first call only.
#define KAZ_LIBRARY_LOADER(loader, soname, functions)                                              \
    bool loader() {                                                                                \
        static const bool loaded = [] {                                                            \
            const ::kaz::platform::LibrarySymbol symbols[] = {functions(KAZ_LIBRARY_SYMBOL)};       \
            return ::kaz::platform::load_library(soname, symbols);                                 \
        }();                                                                                       \
        return loaded;                                                                             \
    }
