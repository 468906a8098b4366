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
// The refinement words (unbound), made in this order: words::<name>_refinement.
#define KAZ_REFINEMENT_WORDS(X) X(local) X(extern) X(compare) X(part) X(skip) X(with)
#define KAZ_REFINEMENT_WORD(name) extern Cell name##_refinement;
KAZ_REFINEMENT_WORDS(KAZ_REFINEMENT_WORD)
#undef KAZ_REFINEMENT_WORD
// The issue word of start-up.
extern Cell ooo_issue;
}  // namespace kaz::words

namespace kaz::internal {
// Interns the symbols, then makes the global words and the words, in the system's order.
void init_runtime();
// The refinement words.
void init_refinements();
// The issue word ooo.
void init_issues();
}  // namespace kaz::internal
