#include "runtime/case_fold.h"

#include <algorithm>

#include "runtime/error.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace kaz::case_ {
namespace {

struct CasePair {
    uint32_t cp, mapped;
};

#include "runtime/case_tables.inc"

template <size_t N>
uint32_t search(const CasePair (&pairs)[N], uint32_t cp) {
    if (cp < pairs[0].cp || cp > pairs[N - 1].cp) return cp;
    const CasePair* p = std::lower_bound(pairs, pairs + N, cp,
                                         [](const CasePair& a, uint32_t b) { return a.cp < b; });
    return p->cp == cp ? p->mapped : cp;
}

}  // namespace

namespace detail {

uint32_t to_upper[0x10000];
uint32_t to_lower[0x10000];

uint32_t change_above(uint32_t cp, bool upper) {
    return upper ? search(kToUpperAbove, cp) : search(kToLowerAbove, cp);
}

}  // namespace detail

void init_tables() {
    for (const CasePair& p : kToUpperPairs) detail::to_upper[p.cp] = p.mapped;
    for (const CasePair& p : kToLowerPairs) detail::to_lower[p.cp] = p.mapped;
}

uint32_t swap_char(uint32_t cp) {
    uint32_t upper = change_char(cp, true);
    return upper != cp ? upper : change_char(cp, false);
}

Cell part_word = cell::none();

void change_string(Cell& value, const Cell* part, bool upper) {
    if (is(value, TypeId::char_)) {
        value.data2 = change_char(value.data2, upper);
        return;
    }
    SeriesBuffer* b = memory::buffer_of(value.data2);
    uint32_t length = b->length();
    if (value.data1 > length) value.data1 = length;
    uint32_t count = length - value.data1;
    if (part && !is(*part, TypeId::none)) {
        if (is(*part, TypeId::integer)) {
            count = std::min(count, uint32_t(std::max(cell::get_integer(*part), 0)));
        } else {
            if (type_of(*part) != type_of(value) || part->data2 != value.data2)
                error::raise(ErrorId::script_invalid_refine_arg, part_word, *part);
            uint32_t end = std::min(part->data1, length);
            count = end > value.data1 ? end - value.data1 : 0;
        }
    }
    uint32_t unit = b->unit();
    for (uint32_t i = value.data1; i < value.data1 + count; ++i) {
        uint32_t cp = string::get_char(b->head + i * unit, unit);
        uint32_t mapped = change_char(cp, upper);
        if (mapped == cp) continue;
        if (string::unit_for(mapped) > unit) {
            b = string::widen_to(b, string::unit_for(mapped));
            unit = b->unit();
        }
        string::put_char(b->head + i * unit, unit, mapped);
    }
    if (runtime_hooks.case_changed) runtime_hooks.case_changed(value, upper, int32_t(value.data1), int32_t(count));
}

}  // namespace kaz::case_
