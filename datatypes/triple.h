// triple! — three 32-bit integers in one cell; PARSE keeps its backtracking records in them.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::triple {

constexpr Cell make(int32_t a, int32_t b, int32_t c) {
    return cell::make(TypeId::triple, uint32_t(a), uint32_t(b), uint32_t(c));
}

// ---- actions ----
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);

void init();

}  // namespace kaz::triple
