#include "runtime/width.h"

#include <algorithm>

namespace kaz::text {
namespace {

struct WidthRange {
    uint32_t first, last;
};

#include "runtime/width_tables.inc"

template <size_t N>
bool in_table(const WidthRange (&table)[N], uint32_t cp) {
    if (cp < table[0].first || cp > table[N - 1].last) return false;
    const WidthRange* r = std::lower_bound(table, table + N, cp,
                                           [](const WidthRange& a, uint32_t b) { return a.last < b; });
    return cp >= r->first;
}

}  // namespace

int char_width(uint32_t cp) {
    if (cp == 0) return 0;
    if (cp < 32 || (cp >= 127 && cp <= 159)) return 1;
    if (in_table(kZeroWidth, cp)) return 0;
    if (in_table(kWide, cp)) return 2;
    return 1;
}

int char_width_cjk(uint32_t cp) { return in_table(kAmbiguous, cp) ? 2 : char_width(cp); }

}  // namespace kaz::text
