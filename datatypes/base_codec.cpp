// binary! text forms — base 2, 16, 58 and 64 encoders and decoders.
#include "datatypes/base_codec.h"

#include <array>
#include <cstring>
#include <vector>

namespace kaz::binary {
namespace {

// ---- tables ----

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase58Digits[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What a decoder makes of a code point below 128: a digit's value, or one of these. Every
// code point from 128 up is invalid in every base.
enum : int8_t { kInvalid = -1, kSkip = -2, kComment = -3, kPad = -4 };

using DecodeTable = std::array<int8_t, 128>;

// The blanks that bases 58 and 64 pass over: backspace, tab, line feed, form feed, carriage
// return, space and the apostrophe.
constexpr std::string_view kSparseBlanks{"\b\t\n\f\r '", 7};

// `all_controls_blank`: every code point up to space is skipped (bases 2 and 16).
constexpr DecodeTable make_table(std::string_view digits, bool all_controls_blank, bool pad) {
    DecodeTable t{};
    for (auto& v : t) v = kInvalid;
    for (size_t i = 0; i < digits.size(); ++i) t[size_t(digits[i])] = int8_t(i);
    if (all_controls_blank) {
        for (size_t c = 0; c <= 32; ++c) t[c] = kSkip;
    } else {
        for (char c : kSparseBlanks) t[size_t(c)] = kSkip;
    }
    t[';'] = kComment;
    if (pad) t['='] = kPad;
    return t;
}

constexpr DecodeTable make_hex_table() {
    DecodeTable t = make_table("0123456789ABCDEF", true, false);
    for (int i = 0; i < 6; ++i) t[size_t('a' + i)] = int8_t(10 + i);
    return t;
}

constexpr DecodeTable kBase2Table = make_table("01", true, false);
constexpr DecodeTable kBase16Table = make_hex_table();
constexpr DecodeTable kBase58Table = make_table(kBase58Digits, false, false);
constexpr DecodeTable kBase64Table = make_table(kBase64Digits, false, true);

inline int8_t class_of(const DecodeTable& table, uint32_t c) { return c < 128 ? table[c] : int8_t(kInvalid); }

// Two base-16 digits for each byte value.
constexpr std::array<std::array<char, 2>, 256> make_hex_pairs() {
    std::array<std::array<char, 2>, 256> t{};
    for (size_t b = 0; b < 256; ++b) t[b] = {kHexDigits[b >> 4], kHexDigits[b & 15]};
    return t;
}
constexpr auto kHexPairs = make_hex_pairs();

// Two base-64 digits for each 12-bit value: a group of three bytes is two lookups.
constexpr std::array<std::array<char, 2>, 4096> make_base64_pairs() {
    std::array<std::array<char, 2>, 4096> t{};
    for (size_t v = 0; v < 4096; ++v) t[v] = {kBase64Digits[v >> 6], kBase64Digits[v & 63]};
    return t;
}
constexpr auto kBase64Pairs = make_base64_pairs();

// Base 58 works on limbs of five digits, the largest power of 58 that leaves room in 64-bit
// arithmetic for a limb times 2^32.
constexpr uint32_t kLimbDigits = 5;
constexpr uint64_t kLimb58 = 58ull * 58 * 58 * 58 * 58;

// ---- reading text of any unit ----

// Past a comment: at the line feed that ends it (the decoders skip it), or at the end.
template <typename Unit>
const Unit* comment_end(const Unit* p, const Unit* end) {
    while (p < end && *p != '\n') ++p;
    return p;
}

// Calls `decode(first, end)` with the text's code points typed by their unit.
template <typename F>
std::optional<size_t> with_units(const Text& text, F decode) {
    switch (text.unit) {
    case 1: {
        auto* p = static_cast<const uint8_t*>(text.units);
        return decode(p, p + text.length);
    }
    case 2: {
        auto* p = static_cast<const uint16_t*>(text.units);
        return decode(p, p + text.length);
    }
    case 4: {
        auto* p = static_cast<const uint32_t*>(text.units);
        return decode(p, p + text.length);
    }
    default: return std::nullopt;
    }
}

// ---- decoders ----

template <typename Unit>
std::optional<size_t> base2(uint8_t* out, const Unit* p, const Unit* end) {
    uint8_t* o = out;
    uint32_t bits = 0;
    int count = 0;
    while (p < end) {
        int8_t v = class_of(kBase2Table, *p++);
        if (v >= 0) {
            bits = bits << 1 | uint32_t(v);
            if (++count == 8) {
                *o++ = uint8_t(bits);
                bits = 0;
                count = 0;
            }
        } else if (v == kComment) {
            p = comment_end(p, end);
        } else if (v != kSkip) {
            return std::nullopt;
        }
    }
    if (count != 0) return std::nullopt;
    return size_t(o - out);
}

template <typename Unit>
std::optional<size_t> base16(uint8_t* out, const Unit* p, const Unit* end) {
    uint8_t* o = out;
    int high = -1;
    while (p < end) {
        // Pairs of digits in a row, the common case, a byte a step.
        if (high < 0) {
            while (end - p >= 2) {
                int8_t a = class_of(kBase16Table, p[0]);
                int8_t b = class_of(kBase16Table, p[1]);
                if ((a | b) < 0) break;
                *o++ = uint8_t(a << 4 | b);
                p += 2;
            }
            if (p == end) break;
        }
        int8_t v = class_of(kBase16Table, *p++);
        if (v >= 0) {
            if (high < 0) {
                high = v;
            } else {
                *o++ = uint8_t(high << 4 | v);
                high = -1;
            }
        } else if (v == kComment) {
            p = comment_end(p, end);
        } else if (v != kSkip) {
            return std::nullopt;
        }
    }
    return size_t(o - out);
}

template <typename Unit>
std::optional<size_t> base58(uint8_t* out, const Unit* p, const Unit* end) {
    // The number in limbs of 32 bits, least significant first.
    std::vector<uint32_t> limbs;
    size_t leading_ones = 0;
    bool number_started = false;
    uint64_t pending = 0;  // up to kLimbDigits digits not yet multiplied in
    uint64_t scale = 1;    // 58 ^ digits pending
    auto carry_in = [&] {
        uint64_t carry = pending;
        for (uint32_t& limb : limbs) {
            uint64_t x = uint64_t(limb) * scale + carry;
            limb = uint32_t(x);
            carry = x >> 32;
        }
        if (carry) limbs.push_back(uint32_t(carry));
        pending = 0;
        scale = 1;
    };
    while (p < end) {
        int8_t v = class_of(kBase58Table, *p++);
        if (v >= 0) {
            if (!number_started) {
                if (v == 0) {
                    ++leading_ones;
                    continue;
                }
                number_started = true;
            }
            pending = pending * 58 + uint64_t(v);
            scale *= 58;
            if (scale == kLimb58) carry_in();
        } else if (v == kComment) {
            p = comment_end(p, end);
        } else if (v != kSkip) {
            return std::nullopt;
        }
    }
    if (scale > 1) carry_in();

    uint8_t* o = out;
    std::memset(o, 0, leading_ones);
    o += leading_ones;
    bool started = false;
    for (size_t i = limbs.size(); i-- > 0;) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            uint8_t byte = uint8_t(limbs[i] >> shift);
            if (byte == 0 && !started) continue;
            started = true;
            *o++ = byte;
        }
    }
    return size_t(o - out);
}

template <typename Unit>
std::optional<size_t> base64(uint8_t* out, const Unit* p, const Unit* end) {
    uint8_t* o = out;
    uint32_t group = 0;
    int count = 0;
    while (p < end) {
        // Whole groups of four digits, the common case, three bytes a step.
        if (count == 0) {
            while (end - p >= 4) {
                int8_t a = class_of(kBase64Table, p[0]);
                int8_t b = class_of(kBase64Table, p[1]);
                int8_t c = class_of(kBase64Table, p[2]);
                int8_t d = class_of(kBase64Table, p[3]);
                if ((a | b | c | d) < 0) break;
                uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | uint32_t(d);
                o[0] = uint8_t(v >> 16);
                o[1] = uint8_t(v >> 8);
                o[2] = uint8_t(v);
                o += 3;
                p += 4;
            }
            if (p == end) break;
        }
        int8_t v = class_of(kBase64Table, *p++);
        if (v >= 0) {
            group = group << 6 | uint32_t(v);
            if (++count == 4) {
                o[0] = uint8_t(group >> 16);
                o[1] = uint8_t(group >> 8);
                o[2] = uint8_t(group);
                o += 3;
                group = 0;
                count = 0;
            }
        } else if (v == kSkip) {
            continue;
        } else if (v == kComment) {
            p = comment_end(p, end);
        } else if (v == kPad) {
            // The data ends here, whatever follows.
            if (count == 3) {
                *o++ = uint8_t(group >> 10);
                *o++ = uint8_t(group >> 2);
            } else if (count == 2) {
                *o++ = uint8_t(group >> 4);
            } else {
                return std::nullopt;
            }
            return size_t(o - out);
        } else {
            return std::nullopt;
        }
    }
    return size_t(o - out);
}

}  // namespace

std::optional<Base> base_of(int32_t number) {
    switch (number) {
    case 2: return Base::base2;
    case 16: return Base::base16;
    case 58: return Base::base58;
    case 64: return Base::base64;
    default: return std::nullopt;
    }
}

// ---- encoders ----

size_t encoded_length(Base base, size_t length) {
    switch (base) {
    case Base::base2: return length * 8;
    case Base::base16: return length * 2;
    // log 256 / log 58 is 1.3657 digits a byte; a leading zero byte takes one.
    case Base::base58: return length * 138 / 100 + 1;
    case Base::base64: return (length + 2) / 3 * 4;
    }
    return 0;
}

char* encode_base2(char* out, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = bytes[i];
        for (int bit = 7; bit >= 0; --bit) *out++ = char('0' + ((b >> bit) & 1));
    }
    return out;
}

char* encode_base16(char* out, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i, out += 2) std::memcpy(out, kHexPairs[bytes[i]].data(), 2);
    return out;
}

char* encode_base58(char* out, const uint8_t* bytes, size_t length) {
    size_t i = 0;
    while (i < length && bytes[i] == 0) {
        *out++ = '1';
        ++i;
    }
    // The number in limbs of five digits, least significant first, taking the bytes four at a
    // time (the odd ones first, so that the rest come in whole words).
    std::vector<uint32_t> limbs;
    limbs.reserve((length - i) * 138 / 100 / kLimbDigits + 1);
    auto multiply_add = [&](uint64_t factor, uint64_t addend) {
        uint64_t carry = addend;
        for (uint32_t& limb : limbs) {
            uint64_t x = limb * factor + carry;
            limb = uint32_t(x % kLimb58);
            carry = x / kLimb58;
        }
        for (; carry; carry /= kLimb58) limbs.push_back(uint32_t(carry % kLimb58));
    };
    if (size_t odd = (length - i) % 4) {
        uint64_t v = 0;
        for (size_t k = 0; k < odd; ++k) v = v << 8 | bytes[i++];
        multiply_add(uint64_t(1) << (8 * odd), v);
    }
    for (; i < length; i += 4) {
        uint32_t word = uint32_t(bytes[i]) << 24 | uint32_t(bytes[i + 1]) << 16 |
                        uint32_t(bytes[i + 2]) << 8 | bytes[i + 3];
        multiply_add(uint64_t(1) << 32, word);
    }
    if (limbs.empty()) return out;
    // The top limb without its leading zero digits, every other one with all five.
    char top[kLimbDigits];
    size_t n = 0;
    for (uint32_t v = limbs.back(); v; v /= 58) top[n++] = kBase58Digits[v % 58];
    while (n > 0) *out++ = top[--n];
    for (size_t l = limbs.size() - 1; l-- > 0;) {
        uint32_t v = limbs[l];
        for (size_t d = kLimbDigits; d-- > 0; v /= 58) out[d] = kBase58Digits[v % 58];
        out += kLimbDigits;
    }
    return out;
}

char* encode_base64(char* out, const uint8_t* bytes, size_t length) {
    size_t i = 0;
    for (; length - i >= 3; i += 3, out += 4) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        std::memcpy(out, kBase64Pairs[v >> 12].data(), 2);
        std::memcpy(out + 2, kBase64Pairs[v & 0xFFF].data(), 2);
    }
    if (length - i == 1) {
        uint32_t v = uint32_t(bytes[i]) << 4;
        std::memcpy(out, kBase64Pairs[v].data(), 2);
        out[2] = out[3] = '=';
        out += 4;
    } else if (length - i == 2) {
        uint32_t v = uint32_t(bytes[i]) << 10 | uint32_t(bytes[i + 1]) << 2;
        std::memcpy(out, kBase64Pairs[v >> 6].data(), 2);
        out[2] = kBase64Digits[v & 63];
        out[3] = '=';
        out += 4;
    }
    return out;
}

char* encode(Base base, char* out, const uint8_t* bytes, size_t length) {
    switch (base) {
    case Base::base2: return encode_base2(out, bytes, length);
    case Base::base16: return encode_base16(out, bytes, length);
    case Base::base58: return encode_base58(out, bytes, length);
    case Base::base64: return encode_base64(out, bytes, length);
    }
    return out;
}

std::string encode(Base base, std::string_view bytes) {
    std::string text(encoded_length(base, bytes.size()), '\0');
    char* end = encode(base, text.data(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    text.resize(size_t(end - text.data()));
    return text;
}

// ---- decoders ----

size_t decoded_capacity(Base base, size_t length) {
    switch (base) {
    case Base::base2: return length / 8;
    case Base::base16: return length / 2;
    case Base::base58: return length;  // no digit adds more than a byte
    case Base::base64: return (length * 3 + 9) / 4;
    }
    return 0;
}

std::optional<size_t> decode_base2(uint8_t* out, Text text) {
    return with_units(text, [out](auto p, auto end) { return base2(out, p, end); });
}

std::optional<size_t> decode_base16(uint8_t* out, Text text) {
    return with_units(text, [out](auto p, auto end) { return base16(out, p, end); });
}

std::optional<size_t> decode_base58(uint8_t* out, Text text) {
    return with_units(text, [out](auto p, auto end) { return base58(out, p, end); });
}

std::optional<size_t> decode_base64(uint8_t* out, Text text) {
    return with_units(text, [out](auto p, auto end) { return base64(out, p, end); });
}

std::optional<size_t> decode(Base base, uint8_t* out, Text text) {
    switch (base) {
    case Base::base2: return decode_base2(out, text);
    case Base::base16: return decode_base16(out, text);
    case Base::base58: return decode_base58(out, text);
    case Base::base64: return decode_base64(out, text);
    }
    return std::nullopt;
}

std::optional<std::string> decode(Base base, Text text) {
    std::string bytes(decoded_capacity(base, text.length), '\0');
    auto n = decode(base, reinterpret_cast<uint8_t*>(bytes.data()), text);
    if (!n) return std::nullopt;
    bytes.resize(*n);
    return bytes;
}

}  // namespace kaz::binary
