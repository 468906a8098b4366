// The imaging layer against files Pillow wrote (tests/fixtures/images, with the pixels Pillow
// decodes them to), through round trips of each encoder, and on damaged input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image.h"

using namespace kaz::platform::image;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_fixture(std::string_view name) {
    std::ifstream in(std::string(KAZ_SOURCE_DIR "/tests/fixtures/images/") + std::string(name), std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The reference as BGRA words.
std::vector<uint32_t> reference(std::string_view name) {
    Bytes rgba = read_fixture(std::string(name) + ".rgba");
    std::vector<uint32_t> words(rgba.size() / 4);
    for (size_t i = 0; i < words.size(); ++i) {
        const uint8_t* p = &rgba[4 * i];
        words[i] = uint32_t(p[2]) | uint32_t(p[1]) << 8 | uint32_t(p[0]) << 16 | uint32_t(p[3]) << 24;
    }
    return words;
}

// The largest difference of a channel; the colour of fully transparent pixels is not compared.
int worst_difference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        for (int shift = 0; shift < 32; shift += 8) {
            if (shift < 24 && (a[i] >> 24) == 0 && (b[i] >> 24) == 0) continue;
            worst = std::max(worst, std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF)));
        }
    }
    return worst;
}

// The mean difference of the colour channels.
double mean_difference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int shift = 0; shift < 24; shift += 8)
            sum += std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF));
    return sum / double(3 * a.size());
}

struct Fixture {
    std::string_view name;
    uint32_t width, height;
    int tolerance;  // per channel: Pillow and we share libjpeg-turbo, but not its settings
};
constexpr Fixture kFixtures[] = {
    {"rgb.png", 13, 7, 0},          {"rgba.png", 13, 7, 0},         {"palette.png", 13, 7, 0},
    {"grey.png", 13, 7, 0},         {"rgb.jpg", 13, 7, 2},          {"grey.jpg", 13, 7, 2},
    {"progressive.jpg", 13, 7, 2},  {"rgb24.bmp", 13, 7, 0},        {"palette8.bmp", 13, 7, 0},
    {"mono.bmp", 13, 7, 0},         {"few.gif", 13, 7, 0},          {"many.gif", 13, 7, 0},
    {"interlaced.gif", 13, 40, 0},  {"transparent.gif", 13, 7, 0},  {"animated.gif", 13, 7, 0},
    {"rgb.tif", 13, 7, 0},          {"rgba.tif", 13, 7, 0},         {"lzw.tif", 13, 7, 0},
    {"deflate.tif", 13, 7, 0},      {"grey.tif", 13, 7, 0},
};

TEST(ImageLayer, DecodesWhatPillowWroteToThePixelsPillowReads) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.name);
        Bytes file = read_fixture(f.name);
        Bitmap bitmap;
        ASSERT_TRUE(decode(file.data(), file.size(), bitmap));
        EXPECT_EQ(bitmap.width, f.width);
        EXPECT_EQ(bitmap.height, f.height);
        std::vector<uint32_t> want = reference(f.name);
        ASSERT_EQ(bitmap.pixels.size(), want.size());
        EXPECT_LE(worst_difference(bitmap.pixels, want), f.tolerance);
    }
}

TEST(ImageLayer, RecognisesFormatsByTheirFirstBytes) {
    struct Case {
        std::string_view bytes;
        std::optional<Format> format;
    };
    const Case cases[] = {
        {"\x89PNG\r\n", Format::png},  {"\xFF\xD8\xFF\xE0", Format::jpeg}, {"BM", Format::bmp},
        {"GIF87a", Format::gif},       {"GIF89a", Format::gif},            {"GIF88a", std::nullopt},
        {"GIF8", std::nullopt},        {std::string_view("II*\0", 4), Format::tiff},
        {std::string_view("MM\0*", 4), Format::tiff}, {std::string_view("II\0*", 4), std::nullopt},
        {"\xFF\xD8", std::nullopt},    {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(sniff(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.format);
    }
}

// Each encoder's file decodes back: exactly for the lossless formats (alpha included), exactly
// for GIF when the colours fit its table, and for JPEG (without alpha) with the small mean error
// of its default quality on a smooth picture.
TEST(ImageLayer, EveryEncoderRoundTrips) {
    Bytes file = read_fixture("rgba.png");
    Bitmap translucent, few;
    ASSERT_TRUE(decode(file.data(), file.size(), translucent));
    file = read_fixture("few.gif");
    ASSERT_TRUE(decode(file.data(), file.size(), few));
    Bitmap opaque = translucent, smooth;
    for (uint32_t& p : opaque.pixels) p |= 0xFF000000u;
    smooth.width = smooth.height = 64;
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x) smooth.pixels.push_back(0xFF000000u | (x * 4) << 16 | (y * 4) << 8 | (x + y) * 2);
    struct Case {
        Format format;
        const Bitmap* image;
        int tolerance;
    };
    const Case cases[] = {
        {Format::png, &translucent, 0}, {Format::png, &opaque, 0},  {Format::bmp, &translucent, 0},
        {Format::bmp, &opaque, 0},      {Format::tiff, &translucent, 0}, {Format::tiff, &opaque, 0},
        {Format::gif, &few, 0},         {Format::jpeg, &smooth, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.format));
        Bytes encoded;
        ASSERT_TRUE(encode(c.format, c.image->pixels.data(), c.image->width, c.image->height, encoded));
        EXPECT_EQ(sniff(encoded.data(), encoded.size()), c.format);
        Bitmap back;
        ASSERT_TRUE(decode(encoded.data(), encoded.size(), back));
        ASSERT_EQ(back.width, c.image->width);
        ASSERT_EQ(back.height, c.image->height);
        EXPECT_LE(worst_difference(back.pixels, c.image->pixels), c.tolerance);
        if (c.format == Format::jpeg) {
            EXPECT_LT(mean_difference(back.pixels, c.image->pixels), 2.0);
            for (uint32_t p : back.pixels) ASSERT_EQ(p >> 24, 255u);
        }
    }
}

// More colours than a GIF table holds are reduced, and pixels under half opacity become the
// transparent index; the rest keep their colours approximately.
TEST(ImageLayer, GifReducesColoursAndKeepsTransparency) {
    Bytes file = read_fixture("rgba.png");
    Bitmap translucent;
    ASSERT_TRUE(decode(file.data(), file.size(), translucent));
    Bitmap big;
    big.width = 64, big.height = 64;
    for (uint32_t i = 0; i < 64 * 64; ++i) big.pixels.push_back(0xFF000000u | (i * 2654435761u >> 8));
    for (const Bitmap* image : {&translucent, &big}) {
        Bytes encoded;
        ASSERT_TRUE(encode(Format::gif, image->pixels.data(), image->width, image->height, encoded));
        Bitmap back;
        ASSERT_TRUE(decode(encoded.data(), encoded.size(), back));
        ASSERT_EQ(back.pixels.size(), image->pixels.size());
        for (size_t i = 0; i < back.pixels.size(); ++i) {
            bool shown = (image->pixels[i] >> 24) >= 128;
            ASSERT_EQ(back.pixels[i] >> 24, shown ? 255u : 0u) << i;
        }
    }
}

// A truncated file fails or gives exactly the pixels of the whole one (a GIF may lose only its
// trailer): a decoder never makes up pixels for missing data.
TEST(ImageLayer, TruncatedFilesFailOrLoseNothing) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.name);
        Bytes file = read_fixture(f.name);
        Bitmap whole;
        ASSERT_TRUE(decode(file.data(), file.size(), whole));
        for (size_t cut = 0; cut < file.size(); ++cut) {
            Bytes part(file.begin(), file.begin() + ptrdiff_t(cut));
            Bitmap bitmap;
            if (decode(part.data(), part.size(), bitmap)) {
                EXPECT_EQ(bitmap.pixels, whole.pixels) << "cut at " << cut;
            } else {
                EXPECT_TRUE(bitmap.pixels.empty());
            }
        }
    }
}

// Every byte of every fixture spoiled in turn: a result or a refusal, never a crash or a read
// outside the input (the sanitizer build checks that).
TEST(ImageLayer, CorruptedFilesNeverCrash) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.name);
        Bytes file = read_fixture(f.name);
        for (size_t i = 0; i < file.size(); ++i) {
            Bytes spoiled = file;
            spoiled[i] ^= 0xA5;
            Bitmap bitmap;
            if (decode(spoiled.data(), spoiled.size(), bitmap, 1 << 20)) {
                EXPECT_EQ(bitmap.pixels.size(), size_t(bitmap.width) * bitmap.height);
            }
        }
    }
}

TEST(ImageLayer, RefusesSizesPastTheLimits) {
    // A BMP header that claims 70000 x 1 pixels, and a PNG past the decoder's pixel limit.
    Bitmap bitmap;
    Bytes wide(54 + 4, 0);
    wide[0] = 'B', wide[1] = 'M', wide[10] = 54, wide[14] = 40;
    wide[18] = 0x70, wide[19] = 0x11, wide[20] = 0x01;  // 70000
    wide[22] = 1, wide[26] = 1, wide[28] = 24;
    EXPECT_FALSE(decode(wide.data(), wide.size(), bitmap));
    Bytes png = read_fixture("rgb.png");
    EXPECT_FALSE(decode(png.data(), png.size(), bitmap, 13 * 7 - 1));
    EXPECT_TRUE(decode(png.data(), png.size(), bitmap, 13 * 7));
    Bytes out;
    uint32_t pixel = 0;
    EXPECT_FALSE(encode(Format::png, &pixel, 0, 1, out));
    EXPECT_FALSE(encode(Format::bmp, &pixel, 70000, 1, out));
}

}  // namespace
