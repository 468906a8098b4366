// image! — pixels as values: construction, pixel access, rectangles, text form, comparison and
// the decoding and encoding the codecs call.
#include "datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/cells.h"
#include "datatypes/file.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "platform/files.h"
#include "platform/image.h"
#include "runtime/cycles.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::image {
namespace {

// ---- helpers ----

uint32_t pixel_count(const Cell& image) { return width(image) * height(image); }
uint32_t size_word(uint32_t w, uint32_t h) { return w | h << 16; }

// The pixel word of a tuple: A = 255 - the fourth byte (opaque for a 3-byte tuple).
uint32_t pixel_of(const Cell& tuple) {
    uint32_t r = tuple_cell::byte(tuple, 0), g = tuple_cell::byte(tuple, 1), b = tuple_cell::byte(tuple, 2);
    uint32_t a = tuple_cell::count(tuple) >= 4 ? 255u - tuple_cell::byte(tuple, 3) : 255u;
    return b | g << 8 | r << 16 | a << 24;
}

Cell tuple_of(uint32_t pixel) {
    Cell t = tuple_cell::make(4);
    tuple_cell::set_byte(t, 0, uint8_t(pixel >> 16));
    tuple_cell::set_byte(t, 1, uint8_t(pixel >> 8));
    tuple_cell::set_byte(t, 2, uint8_t(pixel));
    tuple_cell::set_byte(t, 3, uint8_t(255 - (pixel >> 24)));
    return t;
}

bool word_q(const Cell& c) { return type_of(c) >= TypeId::word && type_of(c) <= TypeId::get_word; }
bool symbol_is(const Cell& word, uint32_t sym) {
    return symbol::canonical_id(word.data2) == symbol::canonical_id(sym);
}

// The absolute pixel a 1-based position names: an integer from the head, a pair by column and
// row; -1 outside the image.
int64_t pick_position(const Cell& image, int32_t index, const Cell& index_value) {
    int64_t count = pixel_count(image), w = width(image), h = height(image);
    if (is(index_value, TypeId::pair)) {
        int64_t x = pair_cell::x(index_value), y = pair_cell::y(index_value);
        if (x < 1 || x > w || y < 1 || y > h) return -1;
        return (y - 1) * w + x - 1;
    }
    int64_t pos = int64_t(image.data1) + index - 1;
    return pos < 0 || pos >= count ? -1 : pos;
}

// Tells the owner of an owned image about a change of `count` pixels from `index`.
bool notify(const Cell& image, const Cell& action, const Cell* value, uint32_t index, uint32_t count) {
    return series_::notify(image, action, value, int32_t(index), int32_t(count));
}

[[noreturn]] void bad_media(const Cell& data) { error::raise(ErrorId::access_bad_media, data); }

// A new image of the rectangle (x, y, w, h) of `source`, which lies inside it.
Cell copy_rectangle(const Cell& source, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    if (w == 0 || h == 0) return make_image(0, 0);
    Cell result = make_image(w, h);
    const uint32_t* from = pixels(source);  // after the allocation
    uint32_t* to = pixels(result);
    uint32_t sw = width(source);
    for (uint32_t row = 0; row < h; ++row)
        std::memcpy(to + size_t(row) * w, from + size_t(y + row) * sw + x, size_t(w) * 4);
    return result;
}

using text::write;

using mold::new_line;

constexpr char kHex[] = "0123456789ABCDEF";

Cell decoded(const platform::image::Bitmap& bitmap) {
    return from_pixels(bitmap.width, bitmap.height, bitmap.pixels.data());
}

}  // namespace

// ---- helpers ----

uint32_t* pixels(const Cell& image) {
    return reinterpret_cast<uint32_t*>(memory::buffer_of(series_cell::node(image))->head);
}

Cell& init_cell(Cell& c, Node node, uint32_t w, uint32_t h) {
    c = cell::make(TypeId::image, 0, node, size_word(w, h));
    return c;
}

Cell make_image(uint32_t w, uint32_t h) {
    if (w > platform::image::kMaxSide || h > platform::image::kMaxSide ||
        uint64_t(w) * h > platform::image::kMaxPixels)
        error::raise(ErrorId::internal_no_memory);
    if (w == 0 || h == 0) w = h = 0;
    uint32_t count = w * h;
    Node node = series::alloc(std::max<uint32_t>(count, 1), 4);
    SeriesBuffer* b = memory::buffer_of(node);
    std::fill_n(reinterpret_cast<uint32_t*>(b->head), count, 0xFFFFFFFFu);
    b->tail = b->head + size_t(count) * 4;
    Cell c;
    return init_cell(c, node, w, h);
}

Cell from_pixels(uint32_t w, uint32_t h, const uint32_t* source) {
    Cell c = make_image(w, h);
    if (pixel_count(c)) std::memcpy(pixels(c), source, size_t(pixel_count(c)) * 4);
    return c;
}

// ---- entry points ----

Cell decode_binary(const Cell& data) {
    binary::Source bytes = binary::source_of(data);
    if (!platform::image::sniff(bytes.data(), bytes.size)) return cell::none();
    platform::image::Bitmap bitmap;
    // The bytes stay put while the C++ decoder reads them: nothing is allocated in the heap.
    if (!platform::image::decode(bytes.data(), bytes.size, bitmap)) bad_media(data);
    return decoded(bitmap);
}

Cell decode(const Cell& data) {
    if (is(data, TypeId::binary)) return decode_binary(data);
    if (!is(data, TypeId::file)) error::raise(ErrorId::script_invalid_arg, data);
    std::string bytes;
    platform::File f = platform::open_file(file::to_os_c_string(data), platform::open_mode::read);
    if (!f.is_open() || !platform::read_to_end(f, bytes)) error::raise(ErrorId::access_cannot_open, data);
    platform::image::Bitmap bitmap;
    if (!platform::image::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), bitmap))
        error::raise(ErrorId::access_cannot_open, data);
    return decoded(bitmap);
}

Cell encode(const Cell& image, int32_t format) {
    if (pixel_count(image) == 0 || format < kBmp || format > kTiff) bad_media(image);
    std::vector<uint8_t> bytes;
    // No allocation in the heap while the encoder reads the pixels.
    if (!platform::image::encode(platform::image::Format(format), pixels(image), width(image), height(image), bytes))
        bad_media(image);
    return binary::from_bytes(bytes);
}

Cell extract_bytes(const Cell& image, Bytes mode) {
    uint32_t count = pixel_count(image);
    uint32_t per = mode == Bytes::alpha ? 1 : mode == Bytes::rgb ? 3 : 4;
    Cell result = binary::make_cell(count * per);
    const uint32_t* p = pixels(image);  // after the allocation
    uint8_t* out = memory::buffer_of(result.data2)->head;
    if (mode == Bytes::argb) {
        std::memcpy(out, p, size_t(count) * 4);
    } else {
        for (uint32_t i = 0; i < count; ++i) {
            if (mode == Bytes::alpha) {
                *out++ = uint8_t(255 - (p[i] >> 24));
            } else {
                *out++ = uint8_t(p[i] >> 16);
                *out++ = uint8_t(p[i] >> 8);
                *out++ = uint8_t(p[i]);
            }
        }
    }
    memory::buffer_of(result.data2)->tail = memory::buffer_of(result.data2)->head + size_t(count) * per;
    return result;
}

void set_bytes(const Cell& image, const Cell& value, Bytes mode) {
    bool bytes = is(value, TypeId::binary);
    if (!bytes && !is(value, TypeId::tuple) && !is(value, TypeId::integer))
        error::raise(ErrorId::script_invalid_arg, value);
    uint32_t count = pixel_count(image);
    notify(image, words::change, &value, 0, count);
    uint32_t* p = pixels(image);
    if (bytes) {
        binary::Source source = binary::source_of(value);
        const uint8_t* b = source.data();
        if (mode == Bytes::argb) {
            std::memcpy(p, b, std::min<size_t>(source.size, size_t(count) * 4));
        } else if (mode == Bytes::rgb) {
            uint32_t n = std::min(count, source.size / 3);
            for (uint32_t i = 0; i < n; ++i, b += 3)
                p[i] = (p[i] & 0xFF000000u) | uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
        } else {
            uint32_t n = std::min(count, source.size);
            for (uint32_t i = 0; i < n; ++i) p[i] = (p[i] & 0xFFFFFFu) | uint32_t(255 - b[i]) << 24;
        }
    } else {
        // One 32-bit value, its bytes b1 (lowest) to b4: a tuple's first four bytes.
        uint32_t v = is(value, TypeId::tuple) ? value.data1 : uint32_t(cell::get_integer(value));
        uint32_t r = v & 0xFF, g = (v >> 8) & 0xFF, b = (v >> 16) & 0xFF, t = v >> 24;
        uint32_t colour = b | g << 8 | r << 16;
        for (uint32_t i = 0; i < count; ++i) {
            if (mode == Bytes::argb) p[i] = colour | (255 - t) << 24;
            else if (mode == Bytes::rgb) p[i] = (p[i] & 0xFF000000u) | colour;
            else p[i] = (p[i] & 0xFFFFFFu) | ((255 - v) & 0xFF) << 24;
        }
    }
    notify(image, words::changed, &value, 0, count);
}

Cell resize(const Cell& image, uint32_t w, uint32_t h) {
    Cell result = make_image(w, h);
    uint32_t sw = width(image), sh = height(image);
    if (pixel_count(result) == 0 || sw == 0 || sh == 0) return result;
    const uint32_t* from = pixels(image);
    uint32_t* to = pixels(result);
    for (uint32_t y = 0; y < h; ++y) {
        const uint32_t* row = from + size_t(uint64_t(y) * sh / h) * sw;
        for (uint32_t x = 0; x < w; ++x) to[size_t(y) * w + x] = row[uint64_t(x) * sw / w];
    }
    return result;
}

// ---- actions ----

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    if (is(spec, TypeId::block)) {
        SeriesBuffer* b = memory::buffer_of(spec.data2);
        uint32_t head = std::min(spec.data1, b->length()), n = b->length() - head;
        if (n == 0) {
            if (!is(proto, TypeId::image)) error::raise(ErrorId::script_invalid_arg, spec);
            Cell result = cell::unset();
            copy(proto, result, nullptr, false, nullptr);
            return result;
        }
        const Cell* v = b->cells() + head;
        Cell size = v[0], colours = n > 1 ? v[1] : cell::none(), alpha = n > 2 ? v[2] : cell::none();
        if (!is(size, TypeId::pair)) error::raise(ErrorId::script_invalid_arg, size);
        if (n > 1 && !is(colours, TypeId::binary) && !is(colours, TypeId::tuple))
            error::raise(ErrorId::script_invalid_arg, colours);
        if (n > 2 && !is(alpha, TypeId::binary)) error::raise(ErrorId::script_invalid_arg, alpha);
        Cell image = make_image(uint32_t(std::max(pair_cell::x(size), 0)), uint32_t(std::max(pair_cell::y(size), 0)));
        uint32_t count = pixel_count(image);
        uint32_t* p = pixels(image);
        if (is(colours, TypeId::tuple)) {
            std::fill_n(p, count, pixel_of(colours));
            return image;
        }
        // Pixels past the bytes given stay opaque white.
        if (is(colours, TypeId::binary)) {
            binary::Source rgb = binary::source_of(colours);
            uint32_t k = std::min(count, rgb.size / 3);
            const uint8_t* c = rgb.data();
            for (uint32_t i = 0; i < k; ++i, c += 3)
                p[i] = 0xFF000000u | uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
        }
        if (is(alpha, TypeId::binary)) {
            binary::Source a = binary::source_of(alpha);
            uint32_t k = std::min(count, a.size);
            for (uint32_t i = 0; i < k; ++i) p[i] = (p[i] & 0xFFFFFFu) | uint32_t(255 - a.data()[i]) << 24;
        }
        return image;
    }
    if (is(spec, TypeId::pair))
        return make_image(uint32_t(std::max(pair_cell::x(spec), 0)), uint32_t(std::max(pair_cell::y(spec), 0)));
    return to(proto, spec, type);
}

Cell to(const Cell&, const Cell& spec, TypeId) {
    if (is(spec, TypeId::image)) {
        Cell whole = spec;
        whole.data1 = 0;
        Cell result = cell::unset();
        copy(whole, result, nullptr, false, nullptr);
        return result;
    }
    // A face is drawn by the GUI engine's snapshot, which does not exist yet.
    if (is(spec, TypeId::object)) error::raise(ErrorId::internal_not_done, spec);
    error::raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::image), spec);
}

int32_t mold(const Cell& value, Node string, bool only, bool, bool flat, const Cell* part, int32_t limit,
             int32_t indent) {
    uint32_t w = width(value), h = height(value), count = pixel_count(value);
    if (!only) limit = write(string, "make image! [", limit);
    std::string size = std::to_string(w) + "x" + std::to_string(h);
    limit = write(string, size, limit);
    if (count == 0) return write(string, " #{}]", limit);
    uint32_t head = std::min(value.data1, count), n = count - head;
    limit = write(string, " #{", limit);
    if (n > 30 && !flat) limit = new_line(string, indent + 1, limit);
    uint32_t written = 0;
    bool translucent = false;
    for (; written < n; ++written) {
        if (part && limit <= 0) break;
        uint32_t p = pixels(value)[head + written];  // the text grows: read through the node
        translucent |= (p >> 24) != 0xFF;
        char digits[6] = {kHex[(p >> 20) & 15], kHex[(p >> 16) & 15], kHex[(p >> 12) & 15],
                          kHex[(p >> 8) & 15],  kHex[(p >> 4) & 15],  kHex[p & 15]};
        limit = write(string, {digits, 6}, limit);
        if (!flat && (written + 1) % 10 == 0) limit = new_line(string, indent + 1, limit);
    }
    if (written > 30 && written % 10 != 0 && !flat) limit = new_line(string, indent, limit);
    limit = write(string, "}", limit);
    for (uint32_t i = written; i < n && !translucent; ++i) translucent = (pixels(value)[head + i] >> 24) != 0xFF;
    if (translucent) {
        limit = write(string, " #{", limit);
        if (!flat) limit = new_line(string, indent + 1, limit);
        uint32_t k = 0;
        for (; k < n; ++k) {
            if (part && limit <= 0) break;
            uint32_t t = 255 - (pixels(value)[head + k] >> 24);
            char digits[2] = {kHex[t >> 4], kHex[t & 15]};
            limit = write(string, {digits, 2}, limit);
            if (!flat && (k + 1) % 10 == 0) limit = new_line(string, indent + 1, limit);
        }
        if (!flat) limit = new_line(string, indent, limit);
        limit = write(string, "}", limit);
    }
    if (!only) limit = write(string, "]", limit);
    return limit;
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    return mold(value, string, false, false, false, part, limit, 0);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    if (is(element, TypeId::integer) || is(element, TypeId::pair)) {
        int32_t index = is(element, TypeId::integer) ? cell::get_integer(element) : 0;
        return value ? poke(parent, index, element, *value) : pick(parent, index, element);
    }
    if (word_q(element)) {
        bool size = symbol_is(element, sym::size);
        Bytes mode = symbol_is(element, sym::argb) ? Bytes::argb
                   : symbol_is(element, sym::rgb)  ? Bytes::rgb
                                                   : Bytes::alpha;
        bool bytes = size || symbol_is(element, sym::argb) || symbol_is(element, sym::rgb) ||
                     symbol_is(element, sym::alpha);
        if (bytes && !value) {
            if (size) return pair_cell::make(int32_t(width(parent)), int32_t(height(parent)));
            return extract_bytes(parent, mode);
        }
        if (bytes && !size) {
            set_bytes(parent, *value, mode);
            return *value;
        }
    }
    error::raise(ErrorId::script_invalid_path, step.path ? *step.path : cell::none(), element);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::image)) return kNotComparable;
    bool same = a.data2 == b.data2 && a.data1 == b.data1;
    if (op == CompareOp::same) return same ? 0 : -1;
    if (same) return 0;
    uint32_t na = pixel_count(a), nb = pixel_count(b);
    if (na != nb) return na < nb ? -1 : 1;
    int r = std::memcmp(pixels(a), pixels(b), size_t(na) * 4);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// at and skip: an integer from the head (1-based for at, where 0 counts as 1), or a pair by
// column and row; the head is clamped to the image.
void at_or_skip(bool at) {
    Cell& s = stack::base[0];
    const Cell& i = stack::base[1];
    int64_t count = pixel_count(s), w = width(s), target;
    if (is(i, TypeId::pair)) {
        int64_t x = pair_cell::x(i), y = pair_cell::y(i);
        target = at ? (y - 1) * w + x - 1 : y * w + x;
    } else if (is(i, TypeId::integer)) {
        int64_t n = cell::get_integer(i), h = std::min<int64_t>(s.data1, count);
        target = at && n >= 1 ? h + n - 1 : at && n == 0 ? h : h + n;
    } else {
        error::raise(ErrorId::script_invalid_arg, i);
    }
    s.data1 = uint32_t(std::clamp<int64_t>(target, 0, count));
}

void at() { at_or_skip(true); }
void skip() { at_or_skip(false); }

void next() {
    Cell& s = stack::base[0];
    if (s.data1 < pixel_count(s)) ++s.data1;
}

void tail() { stack::base[0].data1 = pixel_count(stack::base[0]); }
void tail_q() { stack::base[0] = cell::logic(stack::base[0].data1 >= pixel_count(stack::base[0])); }

// The whole image, wherever the head is.
int32_t length_q(const Cell& series) { return int32_t(pixel_count(series)); }

Cell pick(const Cell& series, int32_t index, const Cell& index_value) {
    if (!is(index_value, TypeId::pair) && !is(index_value, TypeId::integer)) return cell::none();
    int64_t pos = pick_position(series, index, index_value);
    return pos < 0 ? cell::none() : tuple_of(pixels(series)[pos]);
}

Cell poke(const Cell& series, int32_t index, const Cell& index_value, const Cell& value) {
    int64_t pos = is(index_value, TypeId::pair) || is(index_value, TypeId::integer)
                      ? pick_position(series, index, index_value)
                      : -1;
    if (pos < 0) error::raise(ErrorId::script_out_of_range, index_value);
    if (!is(value, TypeId::tuple)) error::raise(ErrorId::script_invalid_arg, value);
    notify(series, words::poke, &value, uint32_t(pos), 1);
    pixels(series)[pos] = pixel_of(value);
    notify(series, words::poked, &value, uint32_t(pos), 1);
    return value;
}

// A tuple sets the pixel at the head; an image is copied into the rectangle from the head's
// column and row, clipped to this image.
Cell change(const Cell& series, const Cell& value, int32_t part, bool, int32_t dup, bool) {
    if (part >= 0 || dup > 1) error::raise(ErrorId::internal_not_done);
    Cell s = series;
    uint32_t count = pixel_count(s), w = width(s);
    uint32_t head = std::min(s.data1, count);
    if (is(value, TypeId::tuple)) {
        if (head >= count) return s;
        notify(s, words::change, &value, head, 1);
        pixels(s)[head] = pixel_of(value);
        notify(s, words::changed, &value, head, 1);
        s.data1 = head + 1;
        return s;
    }
    if (!is(value, TypeId::image)) error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(value)));
    if (head >= count) return s;
    uint32_t x = head % w, y = head / w;
    uint32_t cw = std::min(width(value), w - x), ch = std::min(height(value), height(s) - y);
    notify(s, words::change, &value, head, cw * ch);
    uint32_t* to = pixels(s);
    const uint32_t* from = pixels(value);
    // Row by row, with memmove: the source may be this very image.
    for (uint32_t row = 0; row < ch; ++row)
        std::memmove(to + size_t(y + row) * w + x, from + size_t(row) * width(value), size_t(cw) * 4);
    notify(s, words::changed, &value, head, cw * ch);
    return s;
}

void copy(const Cell& value, Cell& result, const Cell* part, bool, const Cell*) {
    uint32_t count = pixel_count(value), w = width(value), h = height(value);
    uint32_t head = std::min(value.data1, count);
    if (count == 0) {
        result = make_image(0, 0);
        return;
    }
    int64_t hx = head % w, hy = head / w;
    if (head == count) hx = 0, hy = h;
    int64_t x0 = hx, y0 = hy, x1 = w, y1 = h;
    if (part) {
        if (is(*part, TypeId::pair)) {
            int64_t px = pair_cell::x(*part), py = pair_cell::y(*part);
            x0 = px < 0 ? hx + px : hx, x1 = px < 0 ? hx : hx + px;
            y0 = py < 0 ? hy + py : hy, y1 = py < 0 ? hy : hy + py;
        } else if (is(*part, TypeId::image)) {
            if (part->data2 != value.data2)
                error::raise(ErrorId::script_invalid_refine_arg, series_::part_word(), *part);
            uint32_t other = std::min(part->data1, count);
            int64_t ox = other % w, oy = other / w;
            if (other == count) ox = 0, oy = h;
            x0 = std::min(hx, ox), x1 = std::max(hx, ox);
            y0 = std::min(hy, oy), y1 = std::max(hy, oy);
        } else if (is(*part, TypeId::integer) || is(*part, TypeId::float_)) {
            error::raise(ErrorId::internal_not_done);
        } else {
            error::raise(ErrorId::script_invalid_refine_arg, series_::part_word(), *part);
        }
    }
    x0 = std::clamp<int64_t>(x0, 0, w), x1 = std::clamp<int64_t>(x1, 0, w);
    y0 = std::clamp<int64_t>(y0, 0, h), y1 = std::clamp<int64_t>(y1, 0, h);
    if (x1 <= x0 || y1 <= y0) {
        result = make_image(0, 0);
        return;
    }
    result = copy_rectangle(value, uint32_t(x0), uint32_t(y0), uint32_t(x1 - x0), uint32_t(y1 - y0));
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::image, {.data2 = gc::Ref::series});
    const ActionTable& parent = registry::actions(TypeId::series);
    // The actions of its own, and of series! only navigation back to the head, the position
    // and ownership.
    registry::define(TypeId::image,
                     exactly(ActionTable{.make = make, .to = to, .form = form, .mold = mold,
                                         .eval_path = eval_path, .compare = compare, .at = at,
                                         .back = parent.back, .change = change, .copy = copy,
                                         .head = parent.head, .head_q = parent.head_q,
                                         .index_q = parent.index_q, .length_q = length_q, .next = next,
                                         .pick = pick, .poke = poke, .skip = skip, .tail = tail,
                                         .tail_q = tail_q, .modify = parent.modify}));
}

}  // namespace kaz::image
