// PNG through libpng's simplified interface: it keeps its setjmp inside the library and
// reports every failure as a result, so no jump ever crosses our frames.
#include "platform/image.h"

#include <cstring>
#include <memory>
#include <new>

#include <png.h>

namespace kaz::platform::image {

bool decode_png(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size)) return false;
    if (!size_ok(image.width, image.height, max_pixels)) {
        png_image_free(&image);
        return false;
    }
    // 8-bit BGRA: straight alpha, sRGB.
    image.format = PNG_FORMAT_BGRA;
    try {
        out.pixels.resize(size_t(image.width) * image.height);
    } catch (const std::bad_alloc&) {
        png_image_free(&image);
        return false;
    }
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        out.pixels.clear();
        return false;
    }
    out.width = image.width;
    out.height = image.height;
    return true;
}

bool encode_png(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
    size_t count = size_t(width) * height;
    bool opaque = true;
    for (size_t i = 0; i < count && opaque; ++i) opaque = (pixels[i] >> 24) == 0xFF;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = opaque ? PNG_FORMAT_BGR : PNG_FORMAT_BGRA;
    try {
        // An opaque image is written without its alpha: a quarter less to compress and store.
        std::unique_ptr<uint8_t[]> packed;
        const void* source = pixels;
        if (opaque) {
            packed.reset(new uint8_t[count * 3]);
            uint8_t* p = packed.get();
            for (size_t i = 0; i < count; ++i, p += 3) std::memcpy(p, &pixels[i], 3);
            source = packed.get();
        }
        png_alloc_size_t bound = PNG_IMAGE_PNG_SIZE_MAX(image);
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[bound]);
        png_alloc_size_t written = bound;
        if (!png_image_write_to_memory(&image, buffer.get(), &written, 0, source, 0, nullptr)) {
            png_image_free(&image);
            return false;
        }
        out.assign(buffer.get(), buffer.get() + written);
    } catch (const std::bad_alloc&) {
        png_image_free(&image);
        return false;
    }
    return true;
}

}  // namespace kaz::platform::image
