// PNG through libpng's low-level interface (several times faster at reading than its simplified
// one, and free to choose the compression strategy).
#include "platform/image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <png.h>
#include <zlib.h>

#include "platform/library.h"

namespace kaz::platform::image {

namespace {

// libpng is opened on first use, as the other codecs' libraries are: linked, it would load at
// every start.
#define KAZ_PNG_FUNCTIONS(X)                                                                       \
    X(png_create_info_struct) X(png_create_read_struct) X(png_create_write_struct)                 \
    X(png_destroy_read_struct) X(png_destroy_write_struct) X(png_error) X(png_get_image_height)    \
    X(png_get_image_width) X(png_get_io_ptr) X(png_get_rowbytes) X(png_longjmp) X(png_read_end)     \
    X(png_read_info) X(png_read_row) X(png_read_update_info) X(png_set_IHDR) X(png_set_bgr)         \
    X(png_set_compression_level) X(png_set_compression_strategy) X(png_set_expand)                 \
    X(png_set_filler) X(png_set_gray_to_rgb) X(png_set_interlace_handling) X(png_set_longjmp_fn)    \
    X(png_set_read_fn) X(png_set_strip_16) X(png_set_user_limits) X(png_set_write_fn)             \
    X(png_write_end) X(png_write_info) X(png_write_row)
KAZ_PNG_FUNCTIONS(KAZ_LIBRARY_POINTER)

KAZ_LIBRARY_LOADER(png_loaded, "libpng16.so.16", KAZ_PNG_FUNCTIONS)

// The low-level reader: libpng reports errors by longjmp to the setjmp in run_reader, which
// holds only plain C data across it (the codec structs, the source record, the caller's
// buffer), so a jump skips and leaks nothing. Messages are dropped: the result tells.
struct Source {
    const uint8_t* data;
    size_t size, at;
};

void read_bytes(png_structp png, png_bytep out, size_t count) {
    auto* s = static_cast<Source*>(png_get_io_ptr(png));
    if (count > s->size - s->at) png_error(png, "truncated");
    std::memcpy(out, s->data + s->at, count);
    s->at += count;
}

[[noreturn]] void fail_quietly(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
    __builtin_unreachable();  // the call through the loaded pointer does not say so
}
void warn_quietly(png_structp, png_const_charp) {}

enum class Stage { header, pixels };

// Reads the header (the size only) or the whole image into `dst`, width x height BGRA words.
// Returns 0 on success.
int run_reader(const uint8_t* data, size_t size, Stage stage, uint32_t* width, uint32_t* height,
               uint32_t* dst) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, fail_quietly, warn_quietly);
    if (!png) return 1;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return 1;
    }
    Source source{data, size, 0};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return 1;
    }
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_set_read_fn(png, &source, read_bytes);
    png_read_info(png, info);
    *width = png_get_image_width(png, info);
    *height = png_get_image_height(png, info);
    if (stage == Stage::header) {
        png_destroy_read_struct(&png, &info, nullptr);
        return 0;
    }
    // Any colour type and depth to 8-bit BGRA, straight alpha (opaque where the file has none).
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t(*width) * 4) png_error(png, "unexpected row layout");
    // Each pass of an interlaced image completes the rows the earlier passes left in place.
    for (int pass = 0; pass < passes; ++pass)
        for (uint32_t y = 0; y < *height; ++y)
            png_read_row(png, reinterpret_cast<png_bytep>(dst + size_t(y) * *width), nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return 0;
}

// The writer's output: a malloc block the caller frees, whatever happened.
struct Sink {
    unsigned char* data;
    size_t size, capacity;
};

void write_bytes(png_structp png, png_bytep bytes, size_t count) {
    auto* s = static_cast<Sink*>(png_get_io_ptr(png));
    if (count > s->capacity - s->size) {
        size_t capacity = std::max(s->capacity * 2, s->size + count + 65536);
        auto* bigger = static_cast<unsigned char*>(std::realloc(s->data, capacity));
        if (!bigger) png_error(png, "no memory");
        s->data = bigger;
        s->capacity = capacity;
    }
    std::memcpy(s->data + s->size, bytes, count);
    s->size += count;
}

void flush_bytes(png_structp) {}

// Writes 8-bit RGB (an opaque image: a quarter less to compress and store) or RGBA, at zlib's
// level 6 with its default strategy (about a third faster than libpng's filtered strategy, for
// files a percent larger). Returns 0 on success.
int run_writer(const uint32_t* pixels, uint32_t width, uint32_t height, bool opaque, Sink* sink) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, fail_quietly, warn_quietly);
    if (!png) return 1;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return 1;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return 1;
    }
    png_set_write_fn(png, sink, write_bytes, flush_bytes);
    png_set_IHDR(png, info, width, height, 8, opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 6);
    png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
    png_write_info(png, info);
    if (opaque) png_set_filler(png, 0, PNG_FILLER_AFTER);  // drops the alpha byte of each word
    png_set_bgr(png);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, reinterpret_cast<png_const_bytep>(pixels + size_t(y) * width));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 0;
}

}  // namespace

bool decode_png(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    if (!png_loaded()) return false;
    uint32_t width = 0, height = 0;
    if (run_reader(data, size, Stage::header, &width, &height, nullptr) != 0) return false;
    if (!size_ok(width, height, max_pixels)) return false;
    try {
        out.pixels.resize(size_t(width) * height);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t w = 0, h = 0;
    if (run_reader(data, size, Stage::pixels, &w, &h, out.pixels.data()) != 0 || w != width || h != height) {
        out.pixels.clear();
        return false;
    }
    out.width = width;
    out.height = height;
    return true;
}

bool encode_png(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    if (!png_loaded()) return false;
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
    size_t count = size_t(width) * height;
    bool opaque = true;
    for (size_t i = 0; i < count && opaque; ++i) opaque = (pixels[i] >> 24) == 0xFF;
    Sink sink{nullptr, 0, 0};
    int failed = run_writer(pixels, width, height, opaque, &sink);
    if (failed == 0) {
        try {
            out.assign(sink.data, sink.data + sink.size);
        } catch (const std::bad_alloc&) {
            failed = 1;
        }
    }
    std::free(sink.data);
    return failed == 0;
}

}  // namespace kaz::platform::image
