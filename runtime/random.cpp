#include "runtime/random.h"

#include <cstring>

#include "platform/random.h"
#include "runtime/error.h"
#include "runtime/heap.h"

namespace kaz::random {
namespace {

constexpr int kWords = 624;
constexpr int kShift = 397;
constexpr uint32_t kMatrix = 0x9908B0DF;
constexpr uint32_t kUpper = 0x80000000;
constexpr uint32_t kLower = 0x7FFFFFFF;
// A secure draw is tried this many times before the source is declared unavailable.
constexpr int kSecureAttempts = 3;

uint32_t* state = nullptr;
int index = kWords;

uint32_t mix(uint32_t upper, uint32_t lower, uint32_t far) {
    uint32_t v = (upper & kUpper) | (lower & kLower);
    return far ^ (v >> 1) ^ ((v & 1) ? kMatrix : 0);
}

void twist() {
    for (int i = 0; i < kWords - 1; ++i)
        state[i] = mix(state[i], state[i + 1], state[(i + kShift) % kWords]);
    state[kWords - 1] = mix(state[kWords - 1], state[0], state[kShift - 1]);
}

uint32_t raw(bool secure) { return secure ? uint32_t(next_secure()) : next() & kLower; }

}  // namespace

void init() {
    heap::free(state);
    state = static_cast<uint32_t*>(heap::alloc(kWords * sizeof(uint32_t)));
    seed(kDefaultSeed);
}

void seed(uint32_t value) {
    state[0] = value;
    for (uint32_t i = 1; i < kWords; ++i)
        state[i] = 1812433253u * (state[i - 1] ^ (state[i - 1] >> 30)) + i;
    index = kWords;
}

uint32_t next() {
    if (index >= kWords) {
        twist();
        index = 0;
    }
    uint32_t y = state[index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680;
    y ^= (y << 15) & 0xEFC60000;
    y ^= y >> 18;
    return y;
}

int32_t next_secure() {
    uint8_t bytes[4];
    for (int attempt = 0; attempt < kSecureAttempts; ++attempt) {
        if (platform::secure_random(bytes, sizeof bytes)) {
            uint32_t word;
            std::memcpy(&word, bytes, sizeof word);
            return int32_t(word & kLower);
        }
    }
    error::raise(ErrorId::internal_feature_na);
}

int32_t int_(bool secure, int32_t n) {
    if (n == 0) return 0;
    if (n == INT32_MIN) return -1 - int32_t(raw(secure));
    uint32_t m = n < 0 ? uint32_t(-n) : uint32_t(n);
    uint32_t limit = kLower / m * m;
    uint32_t draw;
    do draw = raw(secure);
    while (draw >= limit);
    int32_t r = int32_t(draw % m) + 1;
    return n > 0 ? r : -r;
}

}  // namespace kaz::random
