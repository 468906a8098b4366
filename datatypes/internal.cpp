#include "datatypes/internal.h"

#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/stack.h"

namespace kaz {

namespace sym {
#define KAZ_SYMBOL(cname, name) uint32_t cname = 0;
#define KAZ_GLOBAL_WORD(cname, name)
#define KAZ_WORD(cname, name)
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD
}  // namespace sym

namespace gwords {
#define KAZ_SYMBOL(cname, name)
#define KAZ_GLOBAL_WORD(cname, name) Cell cname{};
#define KAZ_WORD(cname, name)
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD
}  // namespace gwords

namespace words {
#define KAZ_SYMBOL(cname, name)
#define KAZ_GLOBAL_WORD(cname, name)
#define KAZ_WORD(cname, name) Cell cname{};
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD
#define KAZ_REFINEMENT_WORD(name) Cell name##_refinement{};
KAZ_REFINEMENT_WORDS(KAZ_REFINEMENT_WORD)
#undef KAZ_REFINEMENT_WORD
Cell ooo_issue{};
}  // namespace words

namespace internal {

void init_runtime() {
#define KAZ_SYMBOL(cname, name) sym::cname = symbol::intern(name);
#define KAZ_GLOBAL_WORD(cname, name)
#define KAZ_WORD(cname, name)
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD

#define KAZ_SYMBOL(cname, name)
#define KAZ_GLOBAL_WORD(cname, name) gwords::cname = word::from_symbol(sym::cname);
#define KAZ_WORD(cname, name)
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD

#define KAZ_SYMBOL(cname, name)
#define KAZ_GLOBAL_WORD(cname, name)
#define KAZ_WORD(cname, name) words::cname = word::from_c_string(name);
#include "datatypes/symbols.def"
#undef KAZ_SYMBOL
#undef KAZ_GLOBAL_WORD
#undef KAZ_WORD

    // Call frames of compiled bodies and anonymous functions are skipped by the walks.
    stack::walk_symbols = {words::body_tag.data2, words::anon_tag.data2, words::not_found_tag.data2};
}

void init_refinements() {
#define KAZ_REFINEMENT_WORD(name) words::name##_refinement = word::refinement_from_c_string(#name);
    KAZ_REFINEMENT_WORDS(KAZ_REFINEMENT_WORD)
#undef KAZ_REFINEMENT_WORD
}

void init_issues() {
    words::ooo_issue = word::from_c_string("ooo");
    cell::set_type(words::ooo_issue, TypeId::issue);
}

}  // namespace internal
}  // namespace kaz
