// The imaging layer: format recognition and dispatch, BMP of our own, GIF over giflib and TIFF
// over libtiff (both report errors as results, both opened on first use). PNG and JPEG live in image_png.cpp and
// image_jpeg.cpp.
#include "platform/image.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

#include <gif_lib.h>
#include <tiffio.h>

#include "platform/library.h"

namespace kaz::platform::image {
namespace {

// ---- little-endian fields ----

uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }
void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

constexpr uint32_t bgra(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return b | g << 8 | r << 16 | a << 24;
}

bool allocate(Bitmap& out, uint32_t width, uint32_t height, uint64_t max_pixels) {
    if (!size_ok(width, height, max_pixels)) return false;
    try {
        out.pixels.assign(size_t(width) * height, 0xFF000000u);
    } catch (const std::bad_alloc&) {
        return false;
    }
    out.width = width;
    out.height = height;
    return true;
}

bool fail(Bitmap& out) {
    out.pixels.clear();
    out.width = out.height = 0;
    return false;
}

bool all_opaque(const uint32_t* pixels, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if ((pixels[i] >> 24) != 0xFF) return false;
    return true;
}

// ---- BMP ----

// One colour channel of a bit-field pixel, scaled to 8 bits.
struct Channel {
    uint32_t mask = 0, shift = 0, max = 0;
    explicit Channel(uint32_t m = 0) : mask(m) {
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        max = m >> shift;
    }
    uint32_t get(uint32_t pixel, uint32_t absent) const {
        if (!max) return absent;
        return uint32_t((uint64_t((pixel & mask) >> shift) * 255 + max / 2) / max);
    }
};

constexpr uint32_t kBiRgb = 0, kBiBitfields = 3, kBiAlphaBitfields = 6;

bool read_bmp(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    if (size < 26 || data[0] != 'B' || data[1] != 'M') return false;
    uint32_t offset = u32(data + 10), header = u32(data + 14);
    if (header < 12 || size < 14 + uint64_t(header)) return false;
    const uint8_t* h = data + 14;
    int64_t width, height;
    uint32_t bits, compression = kBiRgb, colours = 0, palette_entry = 4;
    uint32_t masks[4] = {};
    if (header == 12) {
        width = u16(h + 4);
        height = u16(h + 6);
        bits = u16(h + 10);
        palette_entry = 3;
    } else {
        if (header < 40) return false;
        width = int32_t(u32(h + 4));
        height = int32_t(u32(h + 8));
        bits = u16(h + 14);
        compression = u32(h + 16);
        colours = u32(h + 32);
        if (compression == kBiBitfields || compression == kBiAlphaBitfields) {
            // The masks follow a 40-byte header, or are its continuation in the longer ones.
            uint32_t count = compression == kBiAlphaBitfields || header >= 56 ? 4 : 3;
            if (size < 14 + 40 + uint64_t(count) * 4) return false;
            for (uint32_t i = 0; i < count; ++i) masks[i] = u32(h + 40 + 4 * i);
        }
    }
    bool top_down = height < 0;
    if (top_down) height = -height;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
    bool paletted = bits == 1 || bits == 4 || bits == 8;
    if (!paletted && bits != 16 && bits != 24 && bits != 32) return false;
    if (compression != kBiRgb && !((compression == kBiBitfields || compression == kBiAlphaBitfields) &&
                                   (bits == 16 || bits == 32)))
        return false;
    // The colour table follows the header (and the masks a 40-byte header is followed by).
    uint32_t palette[256] = {};
    if (paletted) {
        uint64_t at = 14 + uint64_t(header);
        if (header == 40 && compression != kBiRgb) at += compression == kBiAlphaBitfields ? 16 : 12;
        uint32_t count = colours ? std::min<uint32_t>(colours, 1u << bits) : 1u << bits;
        if (at + uint64_t(count) * palette_entry > size) return false;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* e = data + at + size_t(i) * palette_entry;
            palette[i] = bgra(e[2], e[1], e[0], 255);
        }
        for (uint32_t i = count; i < 256; ++i) palette[i] = 0xFF000000u;
    }
    if (compression == kBiRgb) {
        if (bits == 16) masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
        if (bits == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    }
    Channel r(masks[0]), g(masks[1]), b(masks[2]), a(masks[3]);
    uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
    if (offset > size || stride * uint64_t(height) > size - offset) return false;
    if (!allocate(out, uint32_t(width), uint32_t(height), max_pixels)) return false;
    for (int64_t y = 0; y < height; ++y) {
        const uint8_t* row = data + offset + stride * uint64_t(top_down ? y : height - 1 - y);
        uint32_t* dst = out.pixels.data() + size_t(y) * size_t(width);
        for (int64_t x = 0; x < width; ++x) {
            switch (bits) {
                case 1: dst[x] = palette[(row[x >> 3] >> (7 - (x & 7))) & 1]; break;
                case 4: dst[x] = palette[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15]; break;
                case 8: dst[x] = palette[row[x]]; break;
                case 24: dst[x] = bgra(row[3 * x + 2], row[3 * x + 1], row[3 * x], 255); break;
                default: {
                    uint32_t p = bits == 16 ? u16(row + 2 * x) : u32(row + 4 * x);
                    dst[x] = bgra(r.get(p, 0), g.get(p, 0), b.get(p, 0), a.get(p, 255));
                }
            }
        }
    }
    return true;
}

// Opaque images as 24-bit rows; others as 32-bit rows with an alpha mask in a version 4 header.
bool write_bmp(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    size_t count = size_t(width) * height;
    bool opaque = all_opaque(pixels, count);
    uint32_t header = opaque ? 40 : 108, bits = opaque ? 24 : 32;
    uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
    uint64_t image = stride * height, offset = 14 + header;
    if (offset + image > 0x7FFF'0000ULL) return false;
    out.clear();
    out.reserve(size_t(offset + image));
    out.push_back('B');
    out.push_back('M');
    put32(out, uint32_t(offset + image));
    put32(out, 0);
    put32(out, uint32_t(offset));
    put32(out, header);
    put32(out, width);
    put32(out, height);  // bottom-up
    put16(out, 1);
    put16(out, bits);
    put32(out, opaque ? kBiRgb : kBiBitfields);
    put32(out, uint32_t(image));
    put32(out, 2835);  // 72 dots an inch
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    if (!opaque) {
        for (uint32_t m : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u}) put32(out, m);
        put32(out, 0x73524742);  // 'sRGB'
        out.resize(out.size() + 48, 0);  // end points and gamma, unused for sRGB
    }
    for (uint32_t y = height; y-- > 0;) {
        const uint32_t* row = pixels + size_t(y) * width;
        size_t start = out.size();
        if (opaque) {
            for (uint32_t x = 0; x < width; ++x) {
                out.push_back(uint8_t(row[x]));
                out.push_back(uint8_t(row[x] >> 8));
                out.push_back(uint8_t(row[x] >> 16));
            }
        } else {
            for (uint32_t x = 0; x < width; ++x) put32(out, row[x]);
        }
        out.resize(start + stride, 0);
    }
    return true;
}

// ---- GIF ----

// giflib is opened on first use: linked, it would load at every start.
#define KAZ_GIF_FUNCTIONS(X)                                                                       \
    X(DGifCloseFile) X(DGifExtensionToGCB) X(DGifGetExtension) X(DGifGetExtensionNext)             \
    X(DGifGetImageDesc) X(DGifGetLine) X(DGifGetRecordType) X(DGifOpen) X(EGifCloseFile)            \
    X(EGifGCBToExtension) X(EGifOpen) X(EGifPutExtension) X(EGifPutImageDesc) X(EGifPutLine)        \
    X(EGifPutScreenDesc) X(EGifSetGifVersion) X(GifFreeMapObject) X(GifMakeMapObject)              \
    X(GifQuantizeBuffer)
KAZ_GIF_FUNCTIONS(KAZ_LIBRARY_POINTER)

KAZ_LIBRARY_LOADER(gif_loaded, "libgif.so.7", KAZ_GIF_FUNCTIONS)

struct Reader {
    const uint8_t* data;
    size_t size, at;
};

int read_gif_bytes(GifFileType* gif, GifByteType* to, int n) {
    auto* r = static_cast<Reader*>(gif->UserData);
    size_t k = std::min(size_t(n), r->size - r->at);
    std::memcpy(to, r->data + r->at, k);
    r->at += k;
    return int(k);
}

// Reads the first frame; the colours of its own table or the global one, the transparent
// index of the control extension that precedes it.
bool read_gif_frame(GifFileType* gif, Bitmap& out, uint64_t max_pixels) {
    int transparent = -1;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
        if (type == TERMINATE_RECORD_TYPE) return false;
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) return false;
            if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4) {
                GraphicsControlBlock gcb;
                if (DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK) transparent = gcb.TransparentColor;
            }
            while (ext)
                if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) return false;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) continue;
        if (DGifGetImageDesc(gif) == GIF_ERROR) return false;
        const GifImageDesc& d = gif->Image;
        const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
        if (!map || d.Width <= 0 || d.Height <= 0) return false;
        if (!allocate(out, uint32_t(d.Width), uint32_t(d.Height), max_pixels)) return false;
        uint32_t colours[256];
        for (int i = 0; i < 256; ++i) {
            if (i < map->ColorCount) {
                const GifColorType& c = map->Colors[i];
                colours[i] = bgra(c.Red, c.Green, c.Blue, i == transparent ? 0 : 255);
            } else {
                colours[i] = i == transparent ? 0 : 0xFF000000u;
            }
        }
        std::unique_ptr<GifPixelType[]> line(new GifPixelType[size_t(d.Width)]);
        auto put_row = [&](int y) {
            if (DGifGetLine(gif, line.get(), d.Width) == GIF_ERROR) return false;
            uint32_t* dst = out.pixels.data() + size_t(y) * size_t(d.Width);
            for (int x = 0; x < d.Width; ++x) dst[x] = colours[line[size_t(x)]];
            return true;
        };
        if (d.Interlace) {
            constexpr int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4; ++pass)
                for (int y = start[pass]; y < d.Height; y += step[pass])
                    if (!put_row(y)) return false;
        } else {
            for (int y = 0; y < d.Height; ++y)
                if (!put_row(y)) return false;
        }
        return true;
    }
}

bool read_gif(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    Reader reader{data, size, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, read_gif_bytes, &error);
    if (!gif) return false;
    bool ok = false;
    try {
        ok = read_gif_frame(gif, out, max_pixels);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    DGifCloseFile(gif, &error);
    return ok || fail(out);
}

int write_gif_bytes(GifFileType* gif, const GifByteType* from, int n) {
    static_cast<std::vector<uint8_t>*>(gif->UserData)->insert(
        static_cast<std::vector<uint8_t>*>(gif->UserData)->end(), from, from + n);
    return n;
}

// Colour indices and a table for the pixels: the exact colours when there are few enough,
// else a reduction; pixels under half opacity take an index of their own.
struct Indexed {
    std::vector<GifByteType> indices;
    std::vector<GifColorType> table;
    int transparent = -1;
};

bool index_pixels(const uint32_t* pixels, uint32_t width, uint32_t height, Indexed& ix) {
    size_t count = size_t(width) * height;
    bool see_through = false;
    for (size_t i = 0; i < count && !see_through; ++i) see_through = (pixels[i] >> 24) < 128;
    const size_t room = see_through ? 255 : 256;
    ix.indices.resize(count);
    std::unordered_map<uint32_t, uint32_t> seen;
    bool exact = true;
    for (size_t i = 0; i < count; ++i) {
        if ((pixels[i] >> 24) < 128) continue;
        uint32_t rgb = pixels[i] & 0xFFFFFF;
        auto [it, added] = seen.try_emplace(rgb, uint32_t(seen.size()));
        if (added && seen.size() > room) {
            exact = false;
            break;
        }
        ix.indices[i] = GifByteType(it->second);
    }
    if (exact) {
        ix.table.resize(seen.size());
        for (auto [rgb, index] : seen)
            ix.table[index] = GifColorType{GifByteType(rgb >> 16), GifByteType(rgb >> 8), GifByteType(rgb)};
    } else {
        std::vector<GifByteType> r(count), g(count), b(count);
        for (size_t i = 0; i < count; ++i) {
            r[i] = GifByteType(pixels[i] >> 16);
            g[i] = GifByteType(pixels[i] >> 8);
            b[i] = GifByteType(pixels[i]);
        }
        int size = int(room);
        ix.table.resize(256);
        if (GifQuantizeBuffer(width, height, &size, r.data(), g.data(), b.data(), ix.indices.data(),
                              ix.table.data()) == GIF_ERROR)
            return false;
        ix.table.resize(size_t(size));
    }
    if (see_through) {
        ix.transparent = int(ix.table.size());
        ix.table.push_back(GifColorType{0, 0, 0});
        for (size_t i = 0; i < count; ++i)
            if ((pixels[i] >> 24) < 128) ix.indices[i] = GifByteType(ix.transparent);
    }
    return true;
}

bool write_gif_frames(GifFileType* gif, const Indexed& ix, uint32_t width, uint32_t height) {
    int bits = 1;
    while ((1u << bits) < ix.table.size()) ++bits;
    ColorMapObject* map = GifMakeMapObject(1 << bits, nullptr);
    if (!map) return false;
    std::copy(ix.table.begin(), ix.table.end(), map->Colors);
    for (int i = int(ix.table.size()); i < (1 << bits); ++i) map->Colors[i] = GifColorType{0, 0, 0};
    EGifSetGifVersion(gif, true);
    bool ok = EGifPutScreenDesc(gif, int(width), int(height), bits, 0, map) == GIF_OK;
    GifFreeMapObject(map);
    if (ok && ix.transparent >= 0) {
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
        gcb.TransparentColor = ix.transparent;
        GifByteType ext[4];
        size_t n = EGifGCBToExtension(&gcb, ext);
        ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(n), ext) == GIF_OK;
    }
    ok = ok && EGifPutImageDesc(gif, 0, 0, int(width), int(height), false, nullptr) == GIF_OK;
    for (uint32_t y = 0; ok && y < height; ++y)
        ok = EGifPutLine(gif, const_cast<GifPixelType*>(ix.indices.data() + size_t(y) * width), int(width)) == GIF_OK;
    return ok;
}

bool write_gif(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    Indexed ix;
    if (!index_pixels(pixels, width, height, ix)) return false;
    out.clear();
    int error = 0;
    GifFileType* gif = EGifOpen(&out, write_gif_bytes, &error);
    if (!gif) return false;
    bool ok = write_gif_frames(gif, ix, width, height);
    if (EGifCloseFile(gif, &error) == GIF_ERROR) ok = false;
    return ok;
}

// ---- TIFF ----

// libtiff is opened on first use: linked, it and the codecs it links would load at every start.
#define KAZ_TIFF_FUNCTIONS(X)                                                                      \
    X(TIFFClientOpenExt) X(TIFFClose) X(TIFFDefaultStripSize) X(TIFFGetField)                      \
    X(TIFFGetFieldDefaulted) X(TIFFIsTiled) X(TIFFOpenOptionsAlloc) X(TIFFOpenOptionsFree)         \
    X(TIFFOpenOptionsSetErrorHandlerExtR) X(TIFFOpenOptionsSetMaxSingleMemAlloc)                   \
    X(TIFFOpenOptionsSetWarningHandlerExtR) X(TIFFRGBAImageOK) X(TIFFReadRGBAImageOriented)        \
    X(TIFFReadScanline) X(TIFFScanlineSize) X(TIFFSetField) X(TIFFWriteScanline)
KAZ_TIFF_FUNCTIONS(KAZ_LIBRARY_POINTER)

KAZ_LIBRARY_LOADER(tiff_loaded, "libtiff.so.6", KAZ_TIFF_FUNCTIONS)

// A file in memory: read from fixed bytes, or written into a growing vector.
struct Stream {
    const uint8_t* data = nullptr;
    size_t size = 0;
    std::vector<uint8_t>* out = nullptr;
    uint64_t at = 0;
};

tmsize_t tiff_read(thandle_t h, void* to, tmsize_t n) {
    auto* s = static_cast<Stream*>(h);
    if (!s->data || n < 0 || s->at >= s->size) return 0;
    size_t k = std::min<uint64_t>(uint64_t(n), s->size - s->at);
    std::memcpy(to, s->data + s->at, k);
    s->at += k;
    return tmsize_t(k);
}

tmsize_t tiff_write(thandle_t h, void* from, tmsize_t n) {
    auto* s = static_cast<Stream*>(h);
    if (!s->out || n < 0) return 0;
    try {
        if (s->at + uint64_t(n) > s->out->size()) s->out->resize(size_t(s->at + uint64_t(n)));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    std::memcpy(s->out->data() + s->at, from, size_t(n));
    s->at += uint64_t(n);
    return n;
}

toff_t tiff_seek(thandle_t h, toff_t offset, int whence) {
    auto* s = static_cast<Stream*>(h);
    uint64_t size = s->out ? s->out->size() : s->size;
    uint64_t base = whence == SEEK_CUR ? s->at : whence == SEEK_END ? size : 0;
    s->at = base + offset;
    return s->at;
}

int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t h) {
    auto* s = static_cast<Stream*>(h);
    return s->out ? s->out->size() : s->size;
}
int tiff_map(thandle_t h, void** base, toff_t* size) {
    auto* s = static_cast<Stream*>(h);
    if (!s->data) return 0;
    *base = const_cast<uint8_t*>(s->data);
    *size = s->size;
    return 1;
}
void tiff_unmap(thandle_t, void*, toff_t) {}

// The library's messages would go to standard error: they are dropped, the result tells.
int tiff_quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* open_tiff(Stream& s, const char* mode, uint64_t max_alloc) {
    if (!tiff_loaded()) return nullptr;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiff_quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiff_quiet, nullptr);
    if (max_alloc) TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(max_alloc));
    TIFF* tif = TIFFClientOpenExt("image", mode, &s, tiff_read, tiff_write, tiff_seek, tiff_close,
                                  tiff_size, tiff_map, tiff_unmap, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

uint8_t unpremultiply(uint32_t c, uint32_t a) { return uint8_t(std::min<uint32_t>(255, (c * 255 + a / 2) / a)); }

bool read_tiff_pixels(TIFF* tif, Bitmap& out, uint64_t max_pixels) {
    uint32_t width = 0, height = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height))
        return false;
    if (!allocate(out, width, height, max_pixels)) return false;
    uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, extra_count = 0;
    uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    bool has_photometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    // The common case, 8-bit RGB or RGBA in strips, is read as it is stored: libtiff's general
    // reader premultiplies alpha, which would lose the colours of translucent pixels.
    if (has_photometric && photometric == PHOTOMETRIC_RGB && bits == 8 && planar == PLANARCONFIG_CONTIG &&
        !TIFFIsTiled(tif) && (samples == 3 || (samples == 4 && extra_count == 1))) {
        bool associated = samples == 4 && extra[0] == EXTRASAMPLE_ASSOCALPHA;
        tmsize_t line = TIFFScanlineSize(tif);
        if (line < tmsize_t(width) * samples) return false;
        std::unique_ptr<uint8_t[]> row(new uint8_t[size_t(line)]);
        for (uint32_t y = 0; y < height; ++y) {
            if (TIFFReadScanline(tif, row.get(), y, 0) < 0) return false;
            uint32_t* dst = out.pixels.data() + size_t(y) * width;
            const uint8_t* p = row.get();
            for (uint32_t x = 0; x < width; ++x, p += samples) {
                uint32_t a = samples == 4 ? p[3] : 255;
                if (associated && a && a < 255)
                    dst[x] = bgra(unpremultiply(p[0], a), unpremultiply(p[1], a), unpremultiply(p[2], a), a);
                else
                    dst[x] = bgra(p[0], p[1], p[2], a);
            }
        }
        return true;
    }
    char message[1024];
    if (!TIFFRGBAImageOK(tif, message)) return false;
    std::unique_ptr<uint32_t[]> raster(new uint32_t[size_t(width) * height]);
    if (!TIFFReadRGBAImageOriented(tif, width, height, raster.get(), ORIENTATION_TOPLEFT, 0)) return false;
    for (size_t i = 0; i < size_t(width) * height; ++i) {
        uint32_t p = raster[i], a = TIFFGetA(p);
        uint32_t r = TIFFGetR(p), g = TIFFGetG(p), b = TIFFGetB(p);
        if (a && a < 255) r = unpremultiply(r, a), g = unpremultiply(g, a), b = unpremultiply(b, a);
        out.pixels[i] = bgra(r, g, b, a);
    }
    return true;
}

bool read_tiff(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    Stream s;
    s.data = data;
    s.size = size;
    // No single allocation past what the largest image allowed needs, with room for its strips.
    TIFF* tif = open_tiff(s, "rm", std::min<uint64_t>(max_pixels * 8 + (16u << 20), 0x7FFF'0000ULL));
    if (!tif) return false;
    bool ok = false;
    try {
        ok = read_tiff_pixels(tif, out, max_pixels);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    TIFFClose(tif);
    return ok || fail(out);
}

bool write_tiff(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    size_t count = size_t(width) * height;
    uint16_t samples = all_opaque(pixels, count) ? 3 : 4;
    out.clear();
    Stream s;
    s.out = &out;
    TIFF* tif = open_tiff(s, "w", 0);
    if (!tif) return false;
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples) &&
              TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
              TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    if (ok && samples == 4) {
        uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    try {
        std::unique_ptr<uint8_t[]> row(new uint8_t[size_t(width) * samples]);
        for (uint32_t y = 0; ok && y < height; ++y) {
            const uint32_t* src = pixels + size_t(y) * width;
            uint8_t* p = row.get();
            for (uint32_t x = 0; x < width; ++x, p += samples) {
                p[0] = uint8_t(src[x] >> 16);
                p[1] = uint8_t(src[x] >> 8);
                p[2] = uint8_t(src[x]);
                if (samples == 4) p[3] = uint8_t(src[x] >> 24);
            }
            ok = TIFFWriteScanline(tif, row.get(), y, 0) >= 0;
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    TIFFClose(tif);  // writes the directory
    if (!ok) out.clear();
    return ok && !out.empty();
}

}  // namespace

std::optional<Format> sniff(const uint8_t* d, size_t n) {
    auto starts = [&](std::initializer_list<uint8_t> magic) {
        return n >= magic.size() && std::equal(magic.begin(), magic.end(), d);
    };
    if (starts({0x89, 0x50, 0x4E, 0x47})) return Format::png;
    if (starts({0xFF, 0xD8, 0xFF})) return Format::jpeg;
    if (starts({0x42, 0x4D})) return Format::bmp;
    if (n >= 6 && starts({0x47, 0x49, 0x46, 0x38}) && (d[4] == 0x37 || d[4] == 0x39) && d[5] == 0x61)
        return Format::gif;
    if (starts({0x49, 0x49, 0x2A, 0x00}) || starts({0x4D, 0x4D, 0x00, 0x2A})) return Format::tiff;
    return std::nullopt;
}

bool decode_bmp(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    return read_bmp(data, size, out, max_pixels) || fail(out);
}
bool decode_gif(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    return gif_loaded() && read_gif(data, size, out, max_pixels);
}
bool decode_tiff(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    return read_tiff(data, size, out, max_pixels);
}

bool decode(const uint8_t* data, size_t size, Bitmap& out, uint64_t max_pixels) {
    std::optional<Format> format = sniff(data, size);
    if (!format) return false;
    switch (*format) {
        case Format::png: return decode_png(data, size, out, max_pixels);
        case Format::jpeg: return decode_jpeg(data, size, out, max_pixels);
        case Format::bmp: return decode_bmp(data, size, out, max_pixels);
        case Format::gif: return decode_gif(data, size, out, max_pixels);
        case Format::tiff: return decode_tiff(data, size, out, max_pixels);
    }
    return false;
}

bool encode_gif(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    if (!gif_loaded()) return false;
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
    try {
        return write_gif(pixels, width, height, out) || (out.clear(), false);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}
bool encode_tiff(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
    try {
        return write_tiff(pixels, width, height, out);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}
bool encode_bmp(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return false;
    try {
        return write_bmp(pixels, width, height, out);
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}

bool encode(Format format, const uint32_t* pixels, uint32_t width, uint32_t height,
            std::vector<uint8_t>& out, int quality) {
    out.clear();
    switch (format) {
        case Format::png: return encode_png(pixels, width, height, out);
        case Format::jpeg: return encode_jpeg(pixels, width, height, quality, out);
        case Format::bmp: return encode_bmp(pixels, width, height, out);
        case Format::gif: return encode_gif(pixels, width, height, out);
        case Format::tiff: return encode_tiff(pixels, width, height, out);
    }
    return false;
}

}  // namespace kaz::platform::image
