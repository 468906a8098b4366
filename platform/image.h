// The imaging layer: image files decoded to pixels and pixels encoded to image files, over
// libpng, libjpeg-turbo, giflib and libtiff, with a BMP reader and writer of our own.
//
// Pixels are 32-bit words in BGRA byte order (B in the lowest byte, alpha in the highest),
// straight alpha (255 opaque), rows top-down, stride width x 4: the layout image! keeps and
// the drawing back-end hands to cairo (after premultiplying).
//
// No library error escapes: the libraries that report errors by longjmp are called only from
// functions that hold no C++ object across their setjmp, and every failure is a false result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kaz::platform::image {

// ORDER IMAGE-FORMAT: the encoder's format ids.
enum class Format : int32_t { bmp = 0, png = 1, gif = 2, jpeg = 3, tiff = 4 };

// The largest side an image may have (its size word keeps 16 bits a side).
inline constexpr uint32_t kMaxSide = 0xFFFF;
// The most pixels a decoded image may have: beyond it the pixels no longer fit one series.
inline constexpr uint64_t kMaxPixels = 0x7FFF'0000ULL / 4;

struct Bitmap {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;  // width x height BGRA words
};

// The format the first bytes announce: PNG, JPEG, BMP, GIF87a/GIF89a or TIFF (either byte
// order); none for anything else.
std::optional<Format> sniff(const uint8_t* data, size_t size);

// Decodes the first image (the first frame of an animation) of a file held in memory. False
// when the bytes are not an image of a known format, are damaged or truncated, or would give
// more than `max_pixels` pixels or a side past kMaxSide.
bool decode(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels = kMaxPixels);

// Encodes width x height pixels as a file of `format`, appending to `out`. JPEG drops the alpha
// and uses `quality` (1-100); GIF keeps up to 256 colours exactly and reduces images with more,
// with pixels under half opacity transparent. False on failure (out is then left empty).
bool encode(Format format, const uint32_t* pixels, uint32_t width, uint32_t height,
            std::vector<uint8_t>& out, int quality = 75);

// Each codec, for the tests and the benchmark.
bool decode_png(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels);
bool decode_jpeg(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels);
bool decode_gif(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels);
bool decode_tiff(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels);
bool decode_bmp(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels);
bool encode_png(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);
bool encode_jpeg(const uint32_t* pixels, uint32_t width, uint32_t height, int quality,
                 std::vector<uint8_t>& out);
bool encode_gif(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);
bool encode_tiff(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);
bool encode_bmp(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);

// True when the size is one an image may have.
inline bool size_ok(uint64_t width, uint64_t height, uint64_t max_pixels) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           width * height <= max_pixels && width * height <= kMaxPixels;
}

}  // namespace kaz::platform::image
