// JPEG through libjpeg-turbo. The library reports errors by calling error_exit, which must not
// return: ours longjmps back to the function that set up the codec. Those functions hold only
// plain C data (the codec structs, raw pointers) across their setjmp, and every buffer they
// fill is allocated before the jump point by the caller, so a jump leaks and skips nothing.
#include "platform/image.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#include "platform/library.h"

namespace kaz::platform::image {
namespace {

// libjpeg is opened on first use, as the other codecs' libraries are: linked, it would load at
// every start.
#define KAZ_JPEG_FUNCTIONS(X)                                                                      \
    X(jpeg_CreateCompress) X(jpeg_CreateDecompress) X(jpeg_calc_output_dimensions)                 \
    X(jpeg_destroy_compress) X(jpeg_destroy_decompress) X(jpeg_finish_compress)                    \
    X(jpeg_finish_decompress) X(jpeg_mem_src) X(jpeg_read_header) X(jpeg_read_scanlines)            \
    X(jpeg_set_defaults) X(jpeg_set_quality) X(jpeg_start_compress) X(jpeg_start_decompress)       \
    X(jpeg_std_error) X(jpeg_write_scanlines)
KAZ_JPEG_FUNCTIONS(KAZ_LIBRARY_POINTER)

KAZ_LIBRARY_LOADER(jpeg_loaded, "libjpeg.so.62", KAZ_JPEG_FUNCTIONS)

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void error_exit(j_common_ptr codec) {
    auto* e = reinterpret_cast<ErrorManager*>(codec->err);
    std::longjmp(e->jump, 1);
}
// Warnings (corrupt but decodable data) are not reported anywhere, but data that ends early is
// a damaged file, never an image padded with grey.
void emit_message(j_common_ptr codec, int level) {
    if (level < 0 && codec->err->msg_code == JWRN_JPEG_EOF) error_exit(codec);
}
void output_message(j_common_ptr) {}

void set_up_errors(ErrorManager& e, j_common_ptr codec) {
    codec->err = jpeg_std_error(&e.base);
    e.base.error_exit = error_exit;
    e.base.output_message = output_message;
    e.base.emit_message = emit_message;
}

enum class Stage { header, pixels };

// Reads the header (stage header: the size only) or the whole image into `dst`, which holds
// width x height words. Returns 0 on success.
int run_decoder(const uint8_t* data, size_t size, Stage stage, uint32_t* width, uint32_t* height,
                uint32_t* dst) {
    jpeg_decompress_struct codec;
    ErrorManager errors;
    set_up_errors(errors, reinterpret_cast<j_common_ptr>(&codec));
    jpeg_create_decompress(&codec);
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&codec);
        return 1;
    }
    jpeg_mem_src(&codec, data, static_cast<unsigned long>(size));
    jpeg_read_header(&codec, TRUE);
    bool cmyk = codec.jpeg_color_space == JCS_CMYK || codec.jpeg_color_space == JCS_YCCK;
    codec.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    jpeg_calc_output_dimensions(&codec);
    *width = codec.output_width;
    *height = codec.output_height;
    if (stage == Stage::header) {
        jpeg_destroy_decompress(&codec);
        return 0;
    }
    jpeg_start_decompress(&codec);
    // Adobe writes CMYK inverted; other writers store it plain.
    bool inverted = codec.saw_Adobe_marker;
    while (codec.output_scanline < codec.output_height) {
        uint32_t* row = dst + size_t(codec.output_scanline) * codec.output_width;
        JSAMPROW rows[1] = {reinterpret_cast<JSAMPROW>(row)};
        jpeg_read_scanlines(&codec, rows, 1);
        if (!cmyk) continue;
        // CMYK pixels were written in place as 4 bytes C, M, Y, K: turn them into BGRA.
        auto* p = reinterpret_cast<uint8_t*>(row);
        for (uint32_t x = 0; x < codec.output_width; ++x, p += 4) {
            uint32_t c = p[0], m = p[1], y = p[2], k = p[3];
            if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
            uint32_t r = (c * k + 127) / 255, g = (m * k + 127) / 255, b = (y * k + 127) / 255;
            p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r), p[3] = 255;
        }
    }
    jpeg_finish_decompress(&codec);
    jpeg_destroy_decompress(&codec);
    return 0;
}

// A destination growing a malloc block of its own, so that whoever holds it frees it whatever
// happened to the codec.
struct Destination {
    jpeg_destination_mgr base;
    unsigned char* data;
    size_t capacity;
};

void init_destination(j_compress_ptr codec) {
    auto* d = reinterpret_cast<Destination*>(codec->dest);
    d->base.next_output_byte = d->data;
    d->base.free_in_buffer = d->capacity;
}

boolean grow_destination(j_compress_ptr codec) {
    auto* d = reinterpret_cast<Destination*>(codec->dest);
    size_t used = d->capacity;
    auto* bigger = static_cast<unsigned char*>(std::realloc(d->data, d->capacity * 2));
    if (!bigger) ERREXIT1(codec, JERR_OUT_OF_MEMORY, 10);
    d->data = bigger;
    d->capacity *= 2;
    d->base.next_output_byte = d->data + used;
    d->base.free_in_buffer = d->capacity - used;
    return TRUE;
}

void term_destination(j_compress_ptr) {}

// Encodes into `dest`, whose block the caller frees.
int run_encoder(const uint32_t* pixels, uint32_t width, uint32_t height, int quality, Destination* dest) {
    jpeg_compress_struct codec;
    ErrorManager errors;
    set_up_errors(errors, reinterpret_cast<j_common_ptr>(&codec));
    jpeg_create_compress(&codec);
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&codec);
        return 1;
    }
    dest->base.init_destination = init_destination;
    dest->base.empty_output_buffer = grow_destination;
    dest->base.term_destination = term_destination;
    codec.dest = &dest->base;
    codec.image_width = width;
    codec.image_height = height;
    codec.input_components = 4;
    codec.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&codec);
    jpeg_set_quality(&codec, quality, TRUE);
    jpeg_start_compress(&codec, TRUE);
    while (codec.next_scanline < codec.image_height) {
        JSAMPROW rows[1] = {reinterpret_cast<JSAMPROW>(
            const_cast<uint32_t*>(pixels + size_t(codec.next_scanline) * width))};
        jpeg_write_scanlines(&codec, rows, 1);
    }
    jpeg_finish_compress(&codec);
    jpeg_destroy_compress(&codec);
    return 0;
}

}  // namespace

bool decode_jpeg(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    if (!jpeg_loaded()) return false;
    uint32_t width = 0, height = 0;
    if (run_decoder(data, size, Stage::header, &width, &height, nullptr) != 0) return false;
    if (!size_ok(width, height, max_pixels)) return false;
    try {
        out.pixels.assign(size_t(width) * height, 0xFF000000u);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t w = 0, h = 0;
    if (run_decoder(data, size, Stage::pixels, &w, &h, out.pixels.data()) != 0 || w != width || h != height) {
        out.pixels.clear();
        return false;
    }
    out.width = width;
    out.height = height;
    return true;
}

bool encode_jpeg(const uint32_t* pixels, uint32_t width, uint32_t height, int quality,
                 std::vector<uint8_t>& out) {
    if (!jpeg_loaded()) return false;
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
    Destination dest{};
    dest.capacity = 65536 + size_t(width) * height / 4;
    dest.data = static_cast<unsigned char*>(std::malloc(dest.capacity));
    if (!dest.data) return false;
    int failed = run_encoder(pixels, width, height, quality < 1 ? 1 : quality > 100 ? 100 : quality, &dest);
    if (failed == 0) {
        try {
            out.assign(dest.data, dest.base.next_output_byte);
        } catch (const std::bad_alloc&) {
            failed = 1;
        }
    }
    std::free(dest.data);
    return failed == 0;
}

}  // namespace kaz::platform::image
