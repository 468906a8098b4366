// What the compressor, the decompressor and the containers share: the format's tables and the
// inflater's entry point that also reports where the stream ended.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "services/deflate.h"

namespace kaz::deflate::detail {

// ---- the format's tables ----

inline constexpr int kLengthCodes = 29;    // symbols 257-285
inline constexpr int kDistanceCodes = 30;  // codes 30 and 31 never occur in valid data
inline constexpr int kEndOfBlock = 256;
inline constexpr uint32_t kMaxMatch = 258;

inline constexpr uint16_t kLengthBase[kLengthCodes] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                                       15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t kLengthExtra[kLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
                                                       1, 1, 2, 2, 2, 2, 3, 3, 3, 3,
                                                       4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr uint16_t kDistanceBase[kDistanceCodes] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t kDistanceExtra[kDistanceCodes] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,
                                                           4, 4, 5, 5, 6, 6, 7,  7,  8,  8,
                                                           9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The order in which a dynamic block sends the lengths of the code-length code.
inline constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};

// The fixed code's lengths for literal/length symbol s (0-287); distances are all 5 bits.
constexpr uint8_t fixed_length(int s) { return s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8; }

// Bits of each byte in reverse order: codes are defined first bit most significant, and the
// stream carries them least significant bit first.
inline constexpr std::array<uint8_t, 256> kReversedByte = [] {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        int r = 0;
        for (int b = 0; b < 8; ++b) r |= ((i >> b) & 1) << (7 - b);
        t[i] = uint8_t(r);
    }
    return t;
}();

// The low `length` bits of `code` in reverse order.
constexpr uint32_t reverse_bits(uint32_t code, unsigned length) {
    uint32_t r16 = uint32_t(kReversedByte[code & 0xFF]) << 8 | kReversedByte[(code >> 8) & 0xFF];
    return r16 >> (16 - length);
}

// ---- the inflater ----

// Inflates the raw stream at the start of `source` into `dest`, counting the output beyond its
// end (the size is then the size needed). `consumed` receives the bytes the stream took, up to
// the byte that holds the final block's last bit.
Result inflate(std::span<uint8_t> dest, std::span<const uint8_t> source, size_t& consumed);

// The largest output a DEFLATE stream of `bytes` bytes can give: a match of 258 bytes costs at
// least two bits (a one-bit length code and a one-bit distance code).
constexpr uint64_t max_inflated_size(uint64_t bytes) { return bytes * 4 * kMaxMatch; }

}  // namespace kaz::deflate::detail
