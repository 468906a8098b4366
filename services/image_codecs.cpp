// The image codecs' routines. Each codec has its own encode, which names the codec's format;
// every decode recognises the format by the data itself.
#include "services/image_codecs.h"

#include "datatypes/image.h"
#include "runtime/stack.h"

namespace kaz::image_codecs {
namespace {

// The result goes to the return slot, the first argument's cell.
template <int32_t format>
routines::Result encode(const routines::Arg*, uint32_t) {
    stack::base[0] = image::encode(stack::base[0], format);
    return {};
}

routines::Result decode(const routines::Arg*, uint32_t) {
    stack::base[0] = image::decode(stack::base[0]);
    return {};
}

constexpr const char* kEncodeSpec = "img [image!] where [any-type!]";
constexpr const char* kDecodeSpec = "data [any-type!]";

constexpr Codec kCodecs[] = {
    {"png", {"png-encode", kEncodeSpec, encode<image::kPng>, TypeId(0)}, {"png-decode", kDecodeSpec, decode, TypeId(0)}},
    {"jpeg", {"jpeg-encode", kEncodeSpec, encode<image::kJpeg>, TypeId(0)}, {"jpeg-decode", kDecodeSpec, decode, TypeId(0)}},
    {"bmp", {"bmp-encode", kEncodeSpec, encode<image::kBmp>, TypeId(0)}, {"bmp-decode", kDecodeSpec, decode, TypeId(0)}},
    {"gif", {"gif-encode", kEncodeSpec, encode<image::kGif>, TypeId(0)}, {"gif-decode", kDecodeSpec, decode, TypeId(0)}},
    {"tiff", {"tiff-encode", kEncodeSpec, encode<image::kTiff>, TypeId(0)}, {"tiff-decode", kDecodeSpec, decode, TypeId(0)}},
};

}  // namespace

std::span<const Codec> codecs() { return kCodecs; }

}  // namespace kaz::image_codecs
