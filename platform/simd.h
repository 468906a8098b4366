// The few vector instructions the runtime asks for by name.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace kaz::platform {

// Writes four 32-bit words to `destination` in one 16-byte store: the next reader loads them
// whole, and a load that spans several narrower stores cannot be forwarded from them (a stall
// of a dozen cycles).
inline void store_words(void* destination, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) {
    __m128i x = _mm_set_epi32(int(w3), int(w2), int(w1), int(w0));
    _mm_storeu_si128(static_cast<__m128i*>(destination), x);
}

}  // namespace kaz::platform
