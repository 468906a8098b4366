// checksum — CRC-32, Adler-32 and the internet checksum; digests and HMAC over the platform's.
#include "services/checksum.h"

#include <array>
#include <cstring>

#include "datatypes/symbol.h"
#include "platform/carryless.h"
#include "runtime/console.h"
#include "runtime/error.h"

namespace kaz::checksum {
namespace {

// ---- method words ----

constexpr std::string_view kNames[] = {
#define KAZ_METHOD(name) #name,
    KAZ_CHECKSUM_METHODS(KAZ_METHOD)
#undef KAZ_METHOD
};
constexpr size_t kMethods = std::size(kNames);

// The canonical symbol of each method word; 0 until init.
uint32_t symbols[kMethods] = {};

// ---- CRC-32 ----

constexpr uint32_t kCrcPoly = 0xEDB88320;

// kCrc[0] is the byte-at-a-time table; kCrc[k][b] is the CRC of byte b followed by k
// zero bytes, so that eight bytes are folded with eight independent lookups.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1) ? kCrcPoly : 0);
        t[0][i] = c;
    }
    for (size_t k = 1; k < t.size(); ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr CrcTables kCrc = make_crc_tables();

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Advances the uncomplemented register.
uint32_t crc_tables(uint32_t c, const uint8_t* p, size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        uint32_t lo = load_le32(p) ^ c;
        uint32_t hi = load_le32(p + 4);
        c = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24] ^
            kCrc[3][hi & 0xFF] ^ kCrc[2][(hi >> 8) & 0xFF] ^ kCrc[1][(hi >> 16) & 0xFF] ^ kCrc[0][hi >> 24];
    }
    for (; n > 0; ++p, --n) c = (c >> 8) ^ kCrc[0][(c ^ *p) & 0xFF];
    return c;
}

// ---- Adler-32 ----

constexpr uint32_t kAdlerBase = 65521;
// Bytes summed a block at a time, and between reductions: whole blocks, no more than the
// 5,552 bytes after which the sums could pass 2^32 - 1 (255 n (n + 1) / 2 + (n + 1)(base - 1)).
constexpr size_t kAdlerBlock = 64;
constexpr size_t kAdlerRun = 5552 / kAdlerBlock * kAdlerBlock;

// ---- digests ----

Digest finished(platform::crypto::Hash& h) {
    Digest d;
    if (!h.finish(d)) error::raise(ErrorId::internal_feature_na);
    return d;
}

}  // namespace

// ---- method words ----

void init() {
    for (size_t i = 0; i < kMethods; ++i) symbols[i] = symbol::canonical_id(symbol::intern(kNames[i]));
}

std::optional<Method> method_of(uint32_t symbol) {
    if (symbol == 0) return std::nullopt;
    uint32_t canonical = symbol::canonical_id(symbol);
    for (size_t i = 0; i < kMethods; ++i)
        if (symbols[i] == canonical) return Method(i);
    return std::nullopt;
}

std::string_view name(Method method) { return kNames[size_t(method)]; }

std::optional<Algorithm> digest_algorithm(Method method) {
    switch (method) {
    case Method::md5: return Algorithm::md5;
    case Method::sha1: return Algorithm::sha1;
    case Method::sha256: return Algorithm::sha256;
    case Method::sha384: return Algorithm::sha384;
    case Method::sha512: return Algorithm::sha512;
    default: return std::nullopt;
    }
}

size_t digest_size(Method method) {
    auto a = digest_algorithm(method);
    return a ? platform::crypto::digest_size(*a) : 0;
}

// ---- checksums ----

uint32_t crc32(std::span<const uint8_t> bytes, uint32_t crc) {
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    uint32_t c = ~crc;
    if (n >= 64 && platform::has_carryless_multiply()) {
        size_t folded = n & ~size_t(15);
        c = platform::crc32_fold(c, p, folded);
        p += folded;
        n -= folded;
    }
    return ~crc_tables(c, p, n);
}

uint32_t crc32_by_table(std::span<const uint8_t> bytes, uint32_t crc) {
    return ~crc_tables(~crc, bytes.data(), bytes.size());
}

uint32_t adler32(std::span<const uint8_t> bytes, uint32_t adler) {
    // Reduced first, so that a running value out of range cannot overflow the first run.
    uint32_t a = (adler & 0xFFFF) % kAdlerBase;
    uint32_t b = (adler >> 16) % kAdlerBase;
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0) {
        size_t run = n < kAdlerRun ? n : kAdlerRun;
        n -= run;
        // Over whole blocks, b gains a for every byte and each byte weighted by the count of
        // bytes from it to the end of the run: a weight within its block (summed per column)
        // plus a block's length for every later block (summed through `earlier`, the total
        // of the blocks before each one). The column sums are what the compiler vectorises.
        size_t blocks = run / kAdlerBlock;
        uint32_t columns[kAdlerBlock] = {};
        uint32_t total = 0;
        uint32_t earlier = 0;  // at most 255 x 64 x 86 x 85 / 2
        for (size_t k = 0; k < blocks; ++k, p += kAdlerBlock) {
            earlier += total;
            uint32_t sum = 0;
            for (size_t i = 0; i < kAdlerBlock; ++i) {
                columns[i] += p[i];
                sum += p[i];
            }
            total += sum;
        }
        uint64_t weighted = 0;
        for (size_t i = 0; i < kAdlerBlock; ++i) weighted += uint64_t(kAdlerBlock - i) * columns[i];
        uint64_t wide_b = b + uint64_t(blocks) * kAdlerBlock * a + weighted + uint64_t(earlier) * kAdlerBlock;
        a += total;
        b = uint32_t(wide_b % kAdlerBase);
        for (run -= blocks * kAdlerBlock; run > 0; --run) b += a += *p++;
        a %= kAdlerBase;
        b %= kAdlerBase;
    }
    return a | b << 16;
}

uint16_t tcp(std::span<const uint8_t> bytes) {
    // A 64-bit sum cannot wrap before 2^48 bytes; a 32-bit one would past 128 KB, losing the
    // carries that the folds below return to the sum.
    uint64_t sum = 0;
    size_t n = bytes.size();
    const uint8_t* p = bytes.data();
    for (; n >= 2; p += 2, n -= 2) sum += uint32_t(p[0]) << 8 | p[1];
    if (n) sum += *p;
    while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
    return uint16_t(~sum);
}

// ---- digests ----

Digest crypto_digest(Algorithm algorithm, std::span<const uint8_t> bytes) {
    platform::crypto::Hash h(algorithm);
    h.update(bytes);
    return finished(h);
}

Digest hmac(Algorithm algorithm, std::span<const uint8_t> data, std::span<const uint8_t> key) {
    const size_t block = platform::crypto::block_size(algorithm);
    Digest short_key;
    if (key.size() > block) {
        short_key = crypto_digest(algorithm, key);
        key = short_key.view();
    }
    uint8_t inner_pad[128] = {};
    uint8_t outer_pad[128] = {};
    if (!key.empty()) std::memcpy(inner_pad, key.data(), key.size());
    std::memcpy(outer_pad, inner_pad, block);
    for (size_t i = 0; i < block; ++i) {
        inner_pad[i] ^= 0x36;
        outer_pad[i] ^= 0x5C;
    }
    platform::crypto::Hash inner(algorithm);
    inner.update({inner_pad, block});
    inner.update(data);
    Digest inner_digest = finished(inner);
    platform::crypto::Hash outer(algorithm);
    outer.update({outer_pad, block});
    outer.update(inner_digest.view());
    return finished(outer);
}

std::optional<Digest> hmac(Method method, std::span<const uint8_t> data, std::span<const uint8_t> key) {
    auto algorithm = digest_algorithm(method);
    if (!algorithm) {
        console::print_typed_line({console::typed::string("The selected algorithm doesn't support HMAC calculation")});
        return std::nullopt;
    }
    return hmac(*algorithm, data, key);
}

int32_t hash(int32_t) {
    console::print_typed_line({console::typed::string("** /hash support not yet implemented; algorithm TBD.")});
    return 0;
}

}  // namespace kaz::checksum
