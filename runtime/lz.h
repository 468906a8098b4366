// The LZ bit-stream codec: byte-oriented LZ77 for the compressed data stored with the literal
// image (debug records, compressed serialised payloads).
//
// Block layout, integers little-endian:
//   u32 length of the chunk area after this 8-byte header
//   u32 total uncompressed length
//   chunks back to back: u32 output length (1 to 1,048,576), then a bit stream read from its
//   least significant bit up, padded to a whole byte; the next chunk starts at the byte after.
// Tokens: `0` + 8 bits is a literal byte; `1` + length code + distance code copies L + 3
// bytes, one at a time, from D + 1 bytes back in the same chunk (overlapping copies repeat).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kaz::lz {

// Why a block was refused.
enum class Status {
    ok,
    truncated,            // the data ends inside the header, a length word or a bit stream
    bad_area_length,      // the chunk area is longer than the data given
    absurd_length,        // the declared uncompressed length cannot come from so little data
    bad_chunk_length,     // 0, above 1,048,576, or more than the output still expected
    match_before_start,   // a match reaches back before the chunk's first byte
    match_past_end,       // a match runs past the chunk's length
    length_mismatch,      // the chunks end before the declared uncompressed length is produced
};

// Text naming a status, for callers that report the failure.
const char* status_text(Status status);

inline constexpr uint32_t kChunkSize = 1 << 20;
inline constexpr size_t kHeaderSize = 8;

// Expands the block in data[0, size). Never reads at or past data + size, nor past the chunk
// area. Returns a tracked-heap buffer holding the output (free it with free_output) and stores
// its length through `length` when given; a malformed block gives null and its reason through
// `status` when given. The declared length is checked against the largest output the data
// could possibly encode before anything is allocated.
uint8_t* decompress(const uint8_t* data, size_t size, size_t* length = nullptr,
                    Status* status = nullptr);

void free_output(uint8_t* buffer);

// Largest input compress accepts: the worst-case block must still fit the 32-bit lengths.
inline constexpr size_t kMaxInput = 0xE0000000;

// Compresses data[0, size) into a block in a fresh vector. Input of more than 127 bytes is
// cut into 1 MB chunks and matched; shorter input becomes one chunk of literals, and empty
// input a bare header. Input above kMaxInput gives an empty vector (never a valid block).
// Reentrant: the match tables are allocated per call.
std::vector<uint8_t> compress(const uint8_t* data, size_t size);

}  // namespace kaz::lz
