// Text to number: integer, float and money text read from string buffers of any unit.
#include "datatypes/text_number.h"

#include <cmath>
#include <limits>

#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/unicode.h"

namespace kaz::text_number {


namespace {

inline uint32_t at(const uint8_t* text, uint32_t i, uint32_t unit) {
    return string::get_char(text + size_t(i) * unit, unit);
}

constexpr bool digit_q(uint32_t cp) { return cp >= '0' && cp <= '9'; }

// The float checker: byte classes 0 other, 1 sign, 2 digit, 3 e/E, 4 point, 5 apostrophe,
// 6 end; states 0-8, 9 accept, 10 reject.
constexpr uint8_t kFloatStates[9][7] = {
    {10, 0, 1, 10, 4, 10, 10},   // 0 start
    {10, 10, 1, 6, 5, 2, 9},     // 1 integer digits
    {10, 10, 1, 10, 10, 10, 9},  // 2 after a separator
    {10, 10, 3, 6, 10, 4, 9},    // 3 fraction digits
    {10, 10, 3, 10, 10, 10, 9},  // 4 point first, or a separator in the fraction
    {10, 10, 3, 10, 10, 10, 9},  // 5 after the integer's point
    {10, 7, 8, 10, 10, 10, 10},  // 6 exponent mark
    {10, 10, 8, 10, 10, 10, 10}, // 7 exponent sign
    {10, 10, 8, 10, 10, 10, 9},  // 8 exponent digits
};

constexpr int byte_class(char c) {
    switch (c) {
        case '+': case '-': return 1;
        case 'e': case 'E': return 3;
        case '.': return 4;
        case '\'': return 5;
        default: return c >= '0' && c <= '9' ? 2 : 0;
    }
}

constexpr uint32_t kMaxFloatText = 312;

}  // namespace

int32_t string_to_integer(const uint8_t* text, uint32_t count, uint32_t unit, int32_t& error) {
    uint32_t i = 0;
    bool negative = false;
    if (count > 0) {
        uint32_t first = at(text, 0, unit);
        if (first == '+' || first == '-') {
            negative = first == '-';
            i = 1;
        }
    }
    int32_t magnitude = 0;
    bool digits = false, overflow = false;
    for (; i < count; ++i) {
        uint32_t cp = at(text, i, unit);
        if (cp == '\'') continue;
        if (!digit_q(cp)) {
            error = kInvalid;
            return 0;
        }
        digits = true;
        if (overflow) continue;
        int32_t d = int32_t(cp - '0');
        int32_t next;
        if (__builtin_mul_overflow(magnitude, 10, &next) || __builtin_add_overflow(next, d, &next)) {
            // The one magnitude beyond the positive range, read as the smallest integer.
            if (negative && magnitude == 214748364 && d == 8) {
                magnitude = std::numeric_limits<int32_t>::min();
                negative = false;
                continue;
            }
            overflow = true;
            continue;
        }
        magnitude = next;
    }
    if (!digits) {
        error = kInvalid;
        return 0;
    }
    if (overflow) {
        error = kOverflow;
        return 0;
    }
    return negative ? -magnitude : magnitude;
}

bool float_syntax_q(std::string_view text) {
    if (text.size() > kMaxFloatText) return false;
    int state = 0;
    for (char c : text) {
        state = kFloatStates[state][byte_class(c)];
        if (state == 10) return false;
    }
    return kFloatStates[state][6] != 10;
}

double string_to_float(const uint8_t* text, uint32_t count, uint32_t unit, int32_t& error) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (count == 0 || count > kMaxFloatText) {
        error = kInvalid;
        return kNaN;
    }
    char bytes[kMaxFloatText + 1] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t cp = at(text, i, unit);
        // Copying a wider code point into a byte would make digits out of other characters.
        if (cp > 0x7F) {
            error = kInvalid;
            return kNaN;
        }
        bytes[i] = cp == ',' ? '.' : char(cp);
    }
    if (!float_syntax_q({bytes, count})) {
        error = kInvalid;
        return kNaN;
    }
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (bytes[i] != '\'') bytes[n++] = bytes[i];
    size_t left = 0;
    double d = float_text::parse(bytes, bytes + n, 0, left);
    // Several signs pass the checker but no reading of them.
    if (left != 0) {
        error = kInvalid;
        return kNaN;
    }
    return d;
}

bool parse_money(const uint8_t* text, uint32_t count, uint32_t unit, MoneyText& out) {
    out = MoneyText{};
    if (count == 0) return false;
    uint32_t i = 0;
    uint32_t first = at(text, 0, unit);
    if (first == '+' || first == '-') {
        out.negative = first == '-';
        i = 1;
    }
    if (i < count && letter_q(at(text, i, unit))) {
        if (count - i < 5) return false;
        for (uint32_t k = 0; k < 3; ++k) {
            uint32_t cp = at(text, i + k, unit);
            if (!letter_q(cp)) return false;
            out.currency += char(cp);
        }
        if (at(text, i + 3, unit) != '$') return false;
        i += 4;
    } else if (i < count && at(text, i, unit) == '$') {
        if (++i >= count) return false;
    }
    bool point = false;
    uint32_t prev = 0;  // the previous character of the amount, 0 at its start
    for (; i < count; ++i) {
        uint32_t cp = at(text, i, unit);
        // The amount is read as a float's text is, within the same length.
        if (out.integer.size() + out.fraction.size() + (point ? 1 : 0) > kMaxFloatText) return false;
        bool ok;
        if (digit_q(cp)) {
            ok = true;
        } else if (cp == '\'') {
            ok = prev != 0 && prev != '\'' && prev != '.' && !point;
        } else if (cp == '.') {
            ok = prev != 0 && prev != '\'' && !point;
            if (ok) {
                point = true;
                prev = cp;
                continue;
            }
        } else {
            ok = false;
        }
        if (!ok) return false;
        (point ? out.fraction : out.integer) += char(cp);
        prev = cp;
    }
    return !out.integer.empty() && prev != '\'' && prev != '.';
}

}  // namespace kaz::text_number
