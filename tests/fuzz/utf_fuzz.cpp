// Arbitrary bytes through the UTF-8 and UTF-16LE decoders: each input gives text or a raised
// error, never a crash nor a read outside the input. The first byte chooses the options; the
// decoded text is converted back out and must give the same code points again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "boot/boot.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

using namespace kaz;

namespace {

// Two strings and their caches serve every input, so that memory stays bounded with no
// collector.
Cell target, scratch;

void check(bool ok) {
    if (!ok) std::abort();
}

std::vector<uint32_t> code_points(Node node) {
    SeriesBuffer* b = memory::buffer_of(node);
    std::vector<uint32_t> out;
    for (uint8_t* p = b->head; p < b->tail; p += b->unit()) out.push_back(string::get_char(p, b->unit()));
    return out;
}

void run(const uint8_t* data, size_t size) {
    uint8_t options = data[0];
    const uint8_t* text = data + 1;
    uint32_t count = uint32_t(size - 1);

    // The lenient decoder walks the whole input in steps that stay inside it.
    const uint8_t* end = text + count;
    for (const uint8_t* p = text; p < end;) {
        int32_t cp;
        const uint8_t* next = utf8::decode_char(p, end, cp);
        check(next > p && next <= end && cp >= -1 && cp <= 0x10FFFF);
        p = next;
    }
    check(utf8::count_chars(text, end) <= count);
    check(utf8::skip_chars(text, end, count + 1) == end);

    if (options & 1) {
        SeriesBuffer* b = string::load_utf16le(text, count / 2, target.data2, options & 2);
        check(b->used() / b->unit() <= count / 2);
    } else {
        uint32_t left;
        string::load_utf8_buffer(text, count, target.data2, left, options & 2);
        check(left <= 3 && left <= count);
    }
    std::vector<uint32_t> decoded = code_points(target.data2);

    // Out and in again: UTF-16 for any text, UTF-8 when no refused surrogate is in it.
    int32_t length = -1;
    const uint16_t* wide = string::to_wide_len(target, length, false);
    std::vector<uint8_t> le(size_t(length) * 2);
    for (int32_t i = 0; i < length; ++i) le[2 * i] = uint8_t(wide[i]), le[2 * i + 1] = uint8_t(wide[i] >> 8);
    string::load_utf16le(le.data(), uint32_t(length), scratch.data2, false);
    std::vector<uint32_t> again = code_points(scratch.data2);
    // A lone high surrogate written just before a lone low one reads back as their pair.
    bool joins = false;
    for (size_t i = 0; i + 1 < decoded.size(); ++i)
        joins |= decoded[i] >= 0xD800 && decoded[i] <= 0xDBFF && decoded[i + 1] >= 0xDC00 && decoded[i + 1] <= 0xDFFF;
    check(joins || again == decoded);

    length = -1;
    const char* utf8 = string::to_utf8(target, length);
    std::vector<uint8_t> bytes(utf8, utf8 + length);
    bool refused = false;
    for (uint32_t cp : decoded) refused |= cp >= 0xDC00 && cp <= 0xDCFF;
    if (!refused) {
        uint32_t left;
        string::load_utf8_buffer(bytes.data(), uint32_t(bytes.size()), scratch.data2, left, false);
        // A leading U+FEFF is read back as a byte-order mark.
        if (!decoded.empty() && decoded[0] == 0xFEFF) decoded.erase(decoded.begin());
        check(left == 0 && code_points(scratch.data2) == decoded);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool booted = false;
    if (!booted) {
        boot::run();
        target = cell::make(TypeId::string, 0, series::alloc_units(16, 1), 0);
        scratch = cell::make(TypeId::string, 0, series::alloc_units(16, 1), 0);
        booted = true;
    }
    if (size == 0) return 0;
    stack::frames_top = stack::frames_begin;
    stack::base = stack::data_top = stack::data_begin;
    frame::push_trap(cell::make(TypeId::word, 0, 1, 0xFFFFFFFF));
    try {
        run(data, size);
    } catch (const Throw& t) {
        check(t.code == throw_code::error);
    }
    return 0;
}
