// image! — a two-dimensional series of pixels. The cell: data1 the head in pixels, data2 the
// image node, data3 the size word (width in the low 16 bits, height in the high 16 bits).
//
// The image node is a series of 4-byte units, one a pixel: BGRA words (B in the lowest byte,
// alpha in the highest), straight alpha, rows top-down, as the imaging layer (platform/image.h)
// reads and writes them and the drawing back-end hands them on. Being a series, it is owned,
// marked and freed like any other; an image of no pixels still has its (empty) node.
//
// As a value a pixel is a 4-byte tuple R.G.B.T where T = 255 - alpha (0 is opaque); a 3-byte
// tuple is opaque.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::image {

// ORDER IMAGE-FORMAT: the encoder's format ids (platform::image::Format).
inline constexpr int32_t kBmp = 0, kPng = 1, kGif = 2, kJpeg = 3, kTiff = 4;
// The byte layouts of extract_bytes and set_bytes.
enum class Bytes : int32_t { alpha = 0, rgb = 1, argb = 2 };

// ---- helpers ----
inline uint32_t width(const Cell& image) { return image.data3 & 0xFFFF; }
inline uint32_t height(const Cell& image) { return image.data3 >> 16; }
// The pixels from the first, valid until the next allocation.
uint32_t* pixels(const Cell& image);
// A new image of width x height opaque white pixels. A side past 65535 raises internal
// no-memory.
Cell make_image(uint32_t width, uint32_t height);
// A new image holding a copy of the pixels, which must not lie in a series buffer.
Cell from_pixels(uint32_t width, uint32_t height, const uint32_t* pixels);
// Makes `c` an image! at index 0 over `node`, a node of width x height pixels.
Cell& init_cell(Cell& c, Node node, uint32_t width, uint32_t height);

// ---- entry points for the codecs and the other modules ----
// A binary! is decoded from memory (as decode_binary; bytes of no known format give none!), a
// file! from the file (any failure raises access cannot-open with the file). Other values raise
// script invalid-arg.
Cell decode(const Cell& data);
// The bytes from the head: none! when they carry no known magic, else the decoded image;
// damaged or truncated bytes of a known format raise access bad-media.
Cell decode_binary(const Cell& binary);
// The image as a file of the format id (kBmp...); an image of no pixels, an unknown format or
// a failing encoder raise access bad-media.
Cell encode(const Cell& image, int32_t format);
// A new binary! of every pixel from the first, in the layout `mode` names.
Cell extract_bytes(const Cell& image, Bytes mode);
// Sets every pixel from the first from a binary!, a tuple! or an integer!; tells the owner.
void set_bytes(const Cell& image, const Cell& value, Bytes mode);
// A copy scaled to width x height (nearest pixel).
Cell resize(const Cell& image, uint32_t width, uint32_t height);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void at();
void skip();
void next();
void tail();
void tail_q();
int32_t length_q(const Cell& series);
Cell pick(const Cell& series, int32_t index, const Cell& index_value);
Cell poke(const Cell& series, int32_t index, const Cell& index_value, const Cell& value);
Cell change(const Cell& series, const Cell& value, int32_t part, bool only, int32_t dup, bool append);
void copy(const Cell& value, Cell& result, const Cell* part, bool deep, const Cell* types);

// ---- registration ----
void init();

}  // namespace kaz::image
