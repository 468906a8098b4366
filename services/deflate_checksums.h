// The two checksums the containers carry: CRC-32 (gzip) and Adler-32 (zlib). Kept behind these
// two functions so that the containers can move to the checksum service without other change.
#pragma once

#include <cstdint>
#include <span>

namespace kaz::deflate {

// CRC-32 of the polynomial 0xEDB88320, continued from `crc` (0 to start).
uint32_t crc32(std::span<const uint8_t> data, uint32_t crc = 0);

// Adler-32, continued from `adler` (1 to start).
uint32_t adler32(std::span<const uint8_t> data, uint32_t adler = 1);

}  // namespace kaz::deflate
