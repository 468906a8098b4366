// The comparison operations: what every compare action and every hash-table lookup receives.
#pragma once

#include <cstdint>

namespace kaz {

// The operation every compare action receives.
enum class CompareOp : uint8_t {
    equal = 0,
    not_equal = 1,
    strict_equal = 2,  // case-sensitive for text
    lesser = 3,
    lesser_or_equal = 4,
    greater = 5,
    greater_or_equal = 6,
    sort = 7,
    case_sort = 8,
    same = 9,           // identity
    match_case = 10,    // literal match: a word! matches a lit-word! of the same symbol
    match = 11,
    find = 12,          // the equality of find, select, put and remove
};
// What a compare action answers for values that cannot be compared.
inline constexpr int32_t kNotComparable = -2;

// The comparisons that ask only whether two values are the same.
constexpr bool equality_q(CompareOp op) {
    return op == CompareOp::equal || op == CompareOp::not_equal || op == CompareOp::strict_equal ||
           op == CompareOp::same || op == CompareOp::find;
}
// Those and the two sort orders: what a type without an order of its own still answers.
constexpr bool equality_or_sort_q(CompareOp op) {
    return equality_q(op) || op == CompareOp::sort || op == CompareOp::case_sort;
}

}  // namespace kaz
