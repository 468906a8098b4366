// DEFLATE compression (RFC 1951) and the two containers around it: the zlib stream (RFC 1950)
// and the gzip member (RFC 1952). Bytes in, bytes out; no values of the language here.
//
// Every function fills a caller's buffer and never writes past it. `dest` is the room given:
// an empty span measures, writing nothing. The result holds a status and a size: the bytes
// produced when done, the bytes needed when the room was too small (status too_small), and for
// a match reaching before the output's start, the bytes produced until then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kaz::deflate {

// The numbers are the system's: the natives turn any but done and too_small into an error.
enum class Status : uint32_t {
    done = 0,
    too_small = 1,         // the size is the size needed
    bad_data = 2,          // malformed stream or container, checksum mismatch, input cut short
    stored_too_long = 3,   // a stored block longer than the input left
    bad_block_type = 4,    // a block of type 3
    distance_too_far = 5,  // a match reaching before the start of the output
};

struct Result {
    Status status;
    size_t size;
};

// Largest input the compressor takes: positions are 32-bit, counted from 1. Larger input gives
// bad_data.
inline constexpr size_t kMaxInput = 0xFFFF'0000;

// One raw DEFLATE stream of `source`: hash-chain matching over a 32 KB window with one-step
// lazy matching, blocks of 16,384 tokens each written stored, with the fixed codes or with
// codes of its own, whichever is smallest. Status done or too_small. The output depends only
// on the input.
Result compress(std::span<uint8_t> dest, std::span<const uint8_t> source);

// Inflates one raw DEFLATE stream: every block type, any window size. Input that ends before
// the final block, or a block that needs bits past the input's end, is bad_data; bytes after
// the final block are ignored.
Result decompress(std::span<uint8_t> dest, std::span<const uint8_t> source);

}  // namespace kaz::deflate

namespace kaz::zlib {

// The header 78 01, the DEFLATE stream, then the Adler-32 of the input, big-endian.
deflate::Result compress(std::span<uint8_t> dest, std::span<const uint8_t> source);

// One zlib stream: a valid header without a preset dictionary, the DEFLATE stream, and the
// Adler-32 of the output in the last four bytes.
deflate::Result decompress(std::span<uint8_t> dest, std::span<const uint8_t> source);

}  // namespace kaz::zlib

namespace kaz::gzip {

// One gzip member with no name and no time: 1F 8B 08 00, four zero bytes, 04 04, the DEFLATE
// stream, then the CRC-32 and the length of the input, little-endian. Input that already
// begins with a gzip header (1F 8B 08) is copied as it is.
deflate::Result compress(std::span<uint8_t> dest, std::span<const uint8_t> source);

// A gzip member, or members back to back (their outputs concatenated), each checked against its
// own CRC-32 and length. The stored length of the last member is only a hint: a room smaller
// than it gives too_small with that length at once, unless the input could never inflate to so
// much, in which case the data is inflated to measure.
deflate::Result decompress(std::span<uint8_t> dest, std::span<const uint8_t> source);

}  // namespace kaz::gzip
