// The checks the hand-numbered lists (.def files and X-macro lists) make of their numbers.
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

// Whether `bits` run 1, 2, 4... in list order: one bit each, the next one up.
template <typename T, size_t N>
constexpr bool bits_from_one(const T (&bits)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (bits[i] != T(1) << i) return false;
    return true;
}

}  // namespace kaz
