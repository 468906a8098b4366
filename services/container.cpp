// The zlib stream and the gzip member around DEFLATE data: headers, trailers and their
// checksums. Sizes reported on too_small are exact: the containers measure through the
// compressor and the inflater, which count what does not fit.
#include <algorithm>
#include <cstring>

#include "services/checksum.h"
#include "services/deflate.h"
#include "services/deflate_internal.h"

namespace kaz {
namespace {

using deflate::Result;
using deflate::Status;

uint32_t load_le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t load_le32(const uint8_t* p) { return load_le16(p) | load_le16(p + 2) << 16; }
uint32_t load_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void store_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// The part of `dest` from `offset` on, empty when the offset is past its end.
std::span<uint8_t> rest_of(std::span<uint8_t> dest, size_t offset) {
    return offset < dest.size() ? dest.subspan(offset) : std::span<uint8_t>();
}

// Header and trailer bytes around the DEFLATE data of each container.
constexpr size_t kZlibHeader = 2;
constexpr size_t kZlibTrailer = 4;
constexpr size_t kGzipHeader = 10;
constexpr size_t kGzipTrailer = 8;
constexpr size_t kGzipMinimum = kGzipHeader + kGzipTrailer;

bool gzip_magic(std::span<const uint8_t> s) { return s.size() > 2 && s[0] == 0x1F && s[1] == 0x8B && s[2] == 8; }

namespace gzip_flag {
constexpr uint8_t header_crc = 2;
constexpr uint8_t extra = 4;
constexpr uint8_t name = 8;
constexpr uint8_t comment = 16;
constexpr uint8_t reserved = 0xE0;
}  // namespace gzip_flag

// Checks the member header at `at`; gives the offset of its DEFLATE data. The data and the
// trailer must still fit in the input.
bool read_gzip_header(std::span<const uint8_t> s, size_t at, size_t& data_at) {
    size_t n = s.size();
    if (n - at < kGzipMinimum || !gzip_magic(s.subspan(at))) return false;
    uint8_t flags = s[at + 3];
    if (flags & gzip_flag::reserved) return false;
    size_t i = at + kGzipHeader;
    if (flags & gzip_flag::extra) {
        if (n - i < 2) return false;
        size_t length = load_le16(&s[i]);
        i += 2;
        if (length > n - i) return false;
        i += length;
    }
    for (uint8_t text : {gzip_flag::name, gzip_flag::comment}) {
        if (!(flags & text)) continue;
        const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(&s[i], 0, n - i));
        if (!zero) return false;
        i = size_t(zero - s.data()) + 1;
    }
    if (flags & gzip_flag::header_crc) {
        if (n - i < 2) return false;
        if ((checksum::crc32(s.subspan(at, i - at)) & 0xFFFF) != load_le16(&s[i])) return false;
        i += 2;
    }
    if (n - i < kGzipTrailer) return false;
    data_at = i;
    return true;
}

}  // namespace

namespace zlib {

Result compress(std::span<uint8_t> dest, std::span<const uint8_t> source) {
    Result r = deflate::compress(rest_of(dest, kZlibHeader), source);
    size_t size = r.size + kZlibHeader + kZlibTrailer;
    if (r.status != Status::done) return {r.status, size};
    if (size > dest.size()) return {Status::too_small, size};
    // No preset dictionary, the fastest-method level: 78 01 is a multiple of 31.
    dest[0] = 0x78;
    dest[1] = 0x01;
    store_be32(&dest[kZlibHeader + r.size], checksum::adler32(source));
    return {Status::done, size};
}

Result decompress(std::span<uint8_t> dest, std::span<const uint8_t> source) {
    size_t n = source.size();
    if (n < kZlibHeader + kZlibTrailer) return {Status::bad_data, 0};
    uint32_t cmf = source[0];
    uint32_t flg = source[1];
    bool method_deflate = (cmf & 0x0F) == 8;
    bool window_ok = (cmf & 0x80) == 0;  // at most 32 KB
    bool dictionary = flg & 0x20;
    if ((cmf << 8 | flg) % 31 != 0 || !method_deflate || !window_ok || dictionary) return {Status::bad_data, 0};
    size_t consumed;
    Result r = deflate::detail::inflate(dest, source.subspan(kZlibHeader, n - kZlibHeader - kZlibTrailer), consumed);
    if (r.status != Status::done) return r;
    if (checksum::adler32(dest.first(r.size)) != load_be32(&source[n - kZlibTrailer])) return {Status::bad_data, r.size};
    return r;
}

}  // namespace zlib

namespace gzip {

Result compress(std::span<uint8_t> dest, std::span<const uint8_t> source) {
    // Already a gzip member: kept as it is.
    if (gzip_magic(source)) {
        if (source.size() > dest.size()) return {Status::too_small, source.size()};
        std::memcpy(dest.data(), source.data(), source.size());
        return {Status::done, source.size()};
    }
    Result r = deflate::compress(rest_of(dest, kGzipHeader), source);
    size_t size = r.size + kGzipMinimum;
    if (r.status != Status::done) return {r.status, size};
    if (size > dest.size()) return {Status::too_small, size};
    // No flags, no time; extra flags 4 and system 4.
    constexpr uint8_t kHeader[kGzipHeader] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4};
    std::memcpy(dest.data(), kHeader, kGzipHeader);
    uint8_t* trailer = &dest[kGzipHeader + r.size];
    store_le32(trailer, checksum::crc32(source));
    store_le32(trailer + 4, uint32_t(source.size()));
    return {Status::done, size};
}

Result decompress(std::span<uint8_t> dest, std::span<const uint8_t> source) {
    size_t n = source.size();
    size_t data_at;
    if (!read_gzip_header(source, 0, data_at)) return {Status::bad_data, 0};

    // The last member's stored length answers a measure at once, unless it is more than the
    // whole input could inflate to: then it is not trusted, and the data is inflated to count.
    uint32_t hint = load_le32(&source[n - 4]);
    if (hint > dest.size() && hint <= deflate::detail::max_inflated_size(n - kGzipMinimum))
        return {Status::too_small, hint};

    size_t total = 0;
    size_t at = 0;
    for (;;) {
        // No member's data reaches into the last trailer.
        std::span<const uint8_t> data = source.subspan(data_at, n - kGzipTrailer - data_at);
        std::span<uint8_t> out = rest_of(dest, total);
        size_t consumed;
        Result r = deflate::detail::inflate(out, data, consumed);
        if (r.status != Status::done && r.status != Status::too_small) return {r.status, total + r.size};
        const uint8_t* trailer = &source[data_at + consumed];
        if (uint32_t(r.size) != load_le32(trailer + 4)) return {Status::bad_data, total + r.size};
        if (r.status == Status::done && checksum::crc32(out.first(r.size)) != load_le32(trailer))
            return {Status::bad_data, total + r.size};
        total += r.size;
        at = data_at + consumed + kGzipTrailer;
        if (at == n) break;
        // Members back to back: anything else after a member is bad data.
        if (!read_gzip_header(source, at, data_at)) return {Status::bad_data, total};
    }
    return {total > dest.size() ? Status::too_small : Status::done, total};
}

}  // namespace gzip
}  // namespace kaz
