// The runtime's fixed symbols and words, made once at start-up (see symbols.def).
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::sym {
#define KAZ_SYMBOL(cname, name) extern uint32_t cname;
#define KAZ_GLOBAL_WORD(cname, name)
#define KAZ_WORD(cname, name)
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD
}  // namespace kaz::sym

// Global words made from the symbols above.
namespace kaz::gwords {
#define KAZ_SYMBOL(cname, name)
#define KAZ_GLOBAL_WORD(cname, name) extern Cell cname;
#define KAZ_WORD(cname, name)
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD
}  // namespace kaz::gwords

// Global words made by name: event and action names handed to user callbacks.
namespace kaz::words {
#define KAZ_SYMBOL(cname, name)
#define KAZ_GLOBAL_WORD(cname, name)
#define KAZ_WORD(cname, name) extern Cell cname;
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD
// The refinement words (unbound) and the issue word of start-up.
extern Cell local_refinement, extern_refinement, compare_refinement, part_refinement,
    skip_refinement, with_refinement, ooo_issue;
}  // namespace kaz::words

namespace kaz::internal {
// Interns the symbols, then makes the global words and the words, in the system's order.
void init_runtime();
// The refinement words local, extern, compare, part, skip, with.
void init_refinements();
// The issue word ooo.
void init_issues();
}  // namespace kaz::internal
