// The environment written in Kaz: its source files, read by the build into one Kazbin image
// that the executable carries, and evaluated at start-up in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/cell.h"

namespace kaz::environment {

// The image: for each source file in build order, its file name as a string! and the block its
// text loads to. Made by the build's image maker (boot/image_maker.cpp).
extern const uint8_t kImage[];
extern const size_t kImageSize;

// Decodes the image into the root block; once, before the first `loaded`.
void load_image();
// The block a source file loaded to; raises internal not-done when the image has no such file.
Cell loaded(std::string_view name);

}  // namespace kaz::environment
