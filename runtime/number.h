// Number conversions every datatype shares.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/error.h"

namespace kaz::number {

// True when a double truncated toward zero fits a 32-bit integer (NaN never does).
constexpr bool fits_int32(double d) { return d > -2147483649.0 && d < 2147483648.0; }

// The one conversion of a double to a 32-bit integer: truncates toward zero; NaN or a value
// outside the 32-bit range raises `error` with `arg` as its argument.
inline int32_t to_int32(double d, ErrorId error, const Cell& arg) {
    if (!fits_int32(d)) error::raise(error, arg);
    return int32_t(d);
}

// The same for code that has no value to name: the double itself becomes the argument.
inline int32_t to_int32(double d, ErrorId error) {
    if (!fits_int32(d)) error::raise(error, cell::float_(d));
    return int32_t(d);
}

}  // namespace kaz::number
