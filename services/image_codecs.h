// The image codecs' routines: the encode and decode of the png, jpeg, bmp, gif and tiff codec
// objects of system/codecs, over image!'s decoding and encoding.
#pragma once

#include <span>

#include "evaluator/routines.h"
#include "runtime/cell.h"

namespace kaz::image_codecs {

struct Codec {
    const char* name;                 // the codec's name in system/codecs
    routines::Definition encode;      // [img [image!] where [any-type!]]
    routines::Definition decode;      // [data [any-type!]]
};

// The codecs, in the order system/codecs lists them.
std::span<const Codec> codecs();

}  // namespace kaz::image_codecs
