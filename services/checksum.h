// Checksums and digests: what the `checksum` native computes, and the CRC-32 and Adler-32 of
// the gzip and zlib framings. CRC-32, Adler-32 and the internet checksum are computed here;
// the MD5 and SHA digests come from the platform's cryptographic library, and HMAC is built
// over them here.
//
// What the native hands in: the bytes from the head of a binary!, the UTF-8 bytes of a
// string!, or a file's whole content, and the method word's symbol. None of these functions
// allocates in the collected heap, so pointers into series buffers stay valid across a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/crypto.h"

namespace kaz::checksum {

// ORDER CHECKSUM-METHODS: the method words, in the order start-up interns them.
#define KAZ_CHECKSUM_METHODS(X) \
    X(tcp) X(md5) X(sha1) X(crc32) X(adler32) X(sha256) X(sha384) X(sha512) X(hash)

enum class Method : uint8_t {
#define KAZ_METHOD(name) name,
    KAZ_CHECKSUM_METHODS(KAZ_METHOD)
#undef KAZ_METHOD
};

using Algorithm = platform::crypto::Algorithm;
using Digest = platform::crypto::Digest;

// Interns the method words (start-up, after the ownership table).
void init();
// The method a word names, in any letter case; nothing for any other word, which the native
// refuses with a script error.
std::optional<Method> method_of(uint32_t symbol);
std::string_view name(Method method);

// The digest a method computes; nothing for tcp, crc32, adler32 and hash.
std::optional<Algorithm> digest_algorithm(Method method);
// Bytes of the method's digest: md5 16, sha1 20, sha256 32, sha384 48, sha512 64; 0 for the
// methods that give an integer!.
size_t digest_size(Method method);

// CRC-32 (the reflected polynomial 0xEDB88320, as in zlib and gzip). `crc` is the CRC of
// the bytes before these, so that a stream can be summed in pieces: crc32(a + b) ==
// crc32(b, crc32(a)). No bytes give 0.
uint32_t crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);
// The same by tables alone, eight bytes a step: what crc32 falls back on when the processor
// cannot multiply without carries, and for the last bytes of every input.
uint32_t crc32_by_table(std::span<const uint8_t> bytes, uint32_t crc = 0);

// Adler-32 (RFC 1950), continuing from `adler` as crc32 does; no bytes give 1.
uint32_t adler32(std::span<const uint8_t> bytes, uint32_t adler = 1);

// The 16-bit internet checksum (the `tcp` method): the ones' complement of the ones'-complement
// sum of the bytes taken in pairs, the first byte of each pair the high one. An odd last byte
// is added as it is, as the low byte of its pair. No bytes give 0xFFFF.
uint16_t tcp(std::span<const uint8_t> bytes);

// The digest of `bytes`. The library refusing (a restricted configuration, no memory)
// raises internal feature-na: a failed digest is never passed off as one.
Digest crypto_digest(Algorithm algorithm, std::span<const uint8_t> bytes);

// HMAC (RFC 2104) of `data` under `key`: a key longer than the algorithm's block is replaced
// by its digest; the inner digest is taken over the key xor 0x36 then the data, the outer
// over the key xor 0x5C then the inner digest. Raises as crypto_digest does.
Digest hmac(Algorithm algorithm, std::span<const uint8_t> data, std::span<const uint8_t> key);
// The /with form of the native for a string! or binary! key: the HMAC for the digest
// methods; for the others prints the line "The selected algorithm doesn't support HMAC
// calculation" and gives nothing (the native's result is then none).
std::optional<Digest> hmac(Method method, std::span<const uint8_t> data, std::span<const uint8_t> key);

// The `hash` method with its integer! table size: not designed yet, so it prints the line
// "** /hash support not yet implemented; algorithm TBD." and gives 0.
int32_t hash(int32_t table_size);

}  // namespace kaz::checksum
