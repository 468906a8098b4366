#include "platform/carryless.h"

#include <cstdlib>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kaz::platform {
namespace {

// The CRC-32 polynomial in normal bit order, x^32 included.
constexpr uint64_t kPoly = 0x104C11DB7;

// x^n mod P(x) over GF(2).
constexpr uint64_t xpow_mod(unsigned n) {
    uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & (uint64_t(1) << 32)) r ^= kPoly;
    }
    return r;
}

constexpr uint64_t reflect(uint64_t v, unsigned bits) {
    uint64_t r = 0;
    for (unsigned i = 0; i < bits; ++i) r |= ((v >> i) & 1) << (bits - 1 - i);
    return r;
}

// The multiplier that moves a 64-bit half of the remainder forward by n - 32 bits, in the
// reflected domain: the product of two reflected polynomials comes out one bit short, hence
// the shift.
constexpr uint64_t fold_constant(unsigned n) { return reflect(xpow_mod(n), 32) << 1; }

// floor(x^64 / P(x)), reflected over its 33 bits: Barrett's quotient estimate.
constexpr uint64_t barrett_quotient() {
    // Long division of x^64 by P; the quotient has degree 32.
    unsigned __int128 rest = static_cast<unsigned __int128>(1) << 64;
    uint64_t q = 0;
    for (int shift = 32; shift >= 0; --shift) {
        if ((rest >> (32 + shift)) & 1) {
            q |= uint64_t(1) << shift;
            rest ^= static_cast<unsigned __int128>(kPoly) << shift;
        }
    }
    return reflect(q, 33);
}

// Four lanes of 128 bits are carried 512 bits forward per step; one lane 128 bits.
constexpr uint64_t kFold512Low = fold_constant(4 * 128 + 32);
constexpr uint64_t kFold512High = fold_constant(4 * 128 - 32);
constexpr uint64_t kFold128Low = fold_constant(128 + 32);
constexpr uint64_t kFold128High = fold_constant(128 - 32);
constexpr uint64_t kFold64 = fold_constant(64);
constexpr uint64_t kPolyReflected = reflect(kPoly, 33);
constexpr uint64_t kQuotient = barrett_quotient();

}  // namespace

#if defined(__x86_64__)

bool has_carryless_multiply() {
    static const bool available = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return available;
}

namespace {

#define KAZ_CLMUL __attribute__((target("pclmul,sse4.1")))

// lane × x^(distance) mod P, xor-ed with the next 16 bytes: the low half of the lane is the
// earlier (higher-degree) one, so it takes the longer distance.
KAZ_CLMUL inline __m128i fold(__m128i lane, __m128i constants, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

KAZ_CLMUL inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

KAZ_CLMUL uint32_t crc32_fold(uint32_t reg, const uint8_t* data, size_t length) {
    const __m128i by512 = _mm_set_epi64x(int64_t(kFold512High), int64_t(kFold512Low));
    const __m128i by128 = _mm_set_epi64x(int64_t(kFold128High), int64_t(kFold128Low));

    // The register enters as the first four bytes' partner, as the byte loop would take it.
    __m128i a = _mm_xor_si128(load(data), _mm_cvtsi32_si128(int(reg)));
    __m128i b = load(data + 16);
    __m128i c = load(data + 32);
    __m128i d = load(data + 48);
    data += 64;
    length -= 64;
    for (; length >= 64; data += 64, length -= 64) {
        a = fold(a, by512, load(data));
        b = fold(b, by512, load(data + 16));
        c = fold(c, by512, load(data + 32));
        d = fold(d, by512, load(data + 48));
    }
    // The four lanes into one, then the 16-byte blocks left.
    a = fold(a, by128, b);
    a = fold(a, by128, c);
    a = fold(a, by128, d);
    for (; length >= 16; data += 16, length -= 16) a = fold(a, by128, load(data));

    // 128 bits to 96: the low half moved 64 bits on, onto the high half.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    __m128i x = _mm_xor_si128(_mm_srli_si128(a, 8), _mm_clmulepi64_si128(a, by128, 0x10));
    // 96 bits to 64: the low 32 bits moved 32 bits on.
    const __m128i by64 = _mm_set_epi64x(0, int64_t(kFold64));
    x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, low32), by64, 0x00));
    // 64 bits to the 32-bit remainder by Barrett reduction: estimate the quotient from the low
    // word, multiply it back by P and cancel.
    const __m128i barrett = _mm_set_epi64x(int64_t(kQuotient), int64_t(kPolyReflected));
    __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10), low32);
    x = _mm_xor_si128(x, _mm_clmulepi64_si128(q, barrett, 0x00));
    return uint32_t(_mm_extract_epi32(x, 1));
}

#undef KAZ_CLMUL

#else

bool has_carryless_multiply() { return false; }

uint32_t crc32_fold(uint32_t, const uint8_t*, size_t) { std::abort(); }

#endif

}  // namespace kaz::platform
