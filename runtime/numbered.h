// The check every hand-numbered list of a .def file makes of its numbers.
#pragma once

#include <cstddef>

namespace kaz {

// Whether `numbers` run 1, 2, 3... in list order: no gap, no repeat, no entry out of place.
template <typename T, size_t N>
constexpr bool numbered_from_one(const T (&numbers)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (numbers[i] != T(i + 1)) return false;
    return true;
}

}  // namespace kaz
