// Arbitrary bytes through the image decoders (the magic picks the decoder, as it does for the
// codecs). Each input is refused or decoded, never a crash, a hang, a read outside the input or
// a jump out of a library. What decodes has the size it claims and survives a lossless round
// trip through the PNG and BMP encoders unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/image.h"

using namespace kaz::platform::image;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Small images only: the fuzzer's memory limit is not the decoders' subject.
constexpr uint64_t kFuzzPixels = 1 << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bitmap bitmap;
    if (!decode(data, size, bitmap, kFuzzPixels)) {
        check(bitmap.pixels.empty());
        return 0;
    }
    check(bitmap.width > 0 && bitmap.height > 0);
    check(bitmap.pixels.size() == size_t(bitmap.width) * bitmap.height);
    for (Format format : {Format::png, Format::bmp}) {
        std::vector<uint8_t> encoded;
        check(encode(format, bitmap.pixels.data(), bitmap.width, bitmap.height, encoded));
        Bitmap back;
        check(decode(encoded.data(), encoded.size(), back, kFuzzPixels));
        check(back.width == bitmap.width && back.height == bitmap.height && back.pixels == bitmap.pixels);
    }
    return 0;
}
