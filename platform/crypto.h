// Message digests (MD5, SHA-1, SHA-256, SHA-384, SHA-512) from the system's cryptographic
// library, fed incrementally so that large inputs need no contiguous copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kaz::platform::crypto {

enum class Algorithm : uint8_t { md5, sha1, sha256, sha384, sha512 };

inline constexpr size_t kMaxDigestSize = 64;

// Bytes of a digest: 16, 20, 32, 48, 64.
constexpr size_t digest_size(Algorithm a) {
    constexpr size_t sizes[] = {16, 20, 32, 48, 64};
    return sizes[size_t(a)];
}
// Bytes of the algorithm's input block (the HMAC pad size): 128 for SHA-384 and SHA-512,
// 64 for the others.
constexpr size_t block_size(Algorithm a) {
    return a == Algorithm::sha384 || a == Algorithm::sha512 ? 128 : 64;
}

// A finished digest: its first `size` bytes.
struct Digest {
    uint8_t bytes[kMaxDigestSize];
    size_t size;
    std::span<const uint8_t> view() const { return {bytes, size}; }
};

// One digest in progress. A library that refuses the algorithm (a restricted configuration,
// no memory) makes the hash failed: updates are then ignored and finish reports the failure,
// so that a refusal is never passed off as a digest.
class Hash {
public:
    explicit Hash(Algorithm algorithm);
    ~Hash();
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    void update(std::span<const uint8_t> bytes);
    // Writes the digest into `out`; false when the hash failed. The hash is spent afterwards.
    bool finish(Digest& out);

private:
    Algorithm algorithm_;
    void* context_;  // the library's digest context; null once failed or finished
};

// The digest of `bytes` in one call; false when the library refused.
bool digest(Algorithm algorithm, std::span<const uint8_t> bytes, Digest& out);

}  // namespace kaz::platform::crypto
