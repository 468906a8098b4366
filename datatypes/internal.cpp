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
Cell local_refinement{}, extern_refinement{}, compare_refinement{}, part_refinement{},
    skip_refinement{}, with_refinement{}, ooo_issue{};
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
    words::local_refinement = word::refinement_from_c_string("local");
    words::extern_refinement = word::refinement_from_c_string("extern");
    words::compare_refinement = word::refinement_from_c_string("compare");
    words::part_refinement = word::refinement_from_c_string("part");
    words::skip_refinement = word::refinement_from_c_string("skip");
    words::with_refinement = word::refinement_from_c_string("with");
}

void init_issues() {
    words::ooo_issue = word::from_c_string("ooo");
    cell::set_type(words::ooo_issue, TypeId::issue);
}

}  // namespace internal
}  // namespace kaz
