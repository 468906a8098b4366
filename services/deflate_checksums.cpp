#include "services/deflate_checksums.h"

#include <array>
#include <cstddef>

namespace kaz::deflate {
namespace {

// Eight tables so that eight bytes are folded per step: table k gives the CRC of a byte
// followed by k zero bytes.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables kCrcTables = [] {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320 ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}();

uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint32_t kAdlerModulus = 65521;
// The most bytes that can be summed before the second sum may pass 32 bits.
constexpr size_t kAdlerRun = 5552;

}  // namespace

uint32_t crc32(std::span<const uint8_t> data, uint32_t crc) {
    const auto& t = kCrcTables;
    const uint8_t* p = data.data();
    size_t n = data.size();
    crc = ~crc;
    for (; n >= 8; p += 8, n -= 8) {
        uint32_t one = load_le32(p) ^ crc;
        uint32_t two = load_le32(p + 4);
        crc = t[7][one & 0xFF] ^ t[6][(one >> 8) & 0xFF] ^ t[5][(one >> 16) & 0xFF] ^ t[4][one >> 24] ^
              t[3][two & 0xFF] ^ t[2][(two >> 8) & 0xFF] ^ t[1][(two >> 16) & 0xFF] ^ t[0][two >> 24];
    }
    for (; n > 0; ++p, --n) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t adler32(std::span<const uint8_t> data, uint32_t adler) {
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
    const uint8_t* p = data.data();
    size_t n = data.size();
    while (n > 0) {
        size_t run = n < kAdlerRun ? n : kAdlerRun;
        n -= run;
        for (; run >= 8; run -= 8, p += 8) {
            for (int i = 0; i < 8; ++i) {
                a += p[i];
                b += a;
            }
        }
        for (; run > 0; --run) {
            a += *p++;
            b += a;
        }
        a %= kAdlerModulus;
        b %= kAdlerModulus;
    }
    return b << 16 | a;
}

}  // namespace kaz::deflate
