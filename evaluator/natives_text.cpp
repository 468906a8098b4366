// The text natives: case, percent and base encodings, hexadecimal, and transcode.
#include "evaluator/natives_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "evaluator/lexer.h"
#include "evaluator/natives_frame.h"
#include "evaluator/natives_math.h"
#include "platform/os.h"
#include "runtime/case_fold.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

namespace kaz::natives {

namespace text_natives {

void change_case(const int32_t* refs, bool upper) {
    Cell value = arg(0);
    Cell limit = cell::none();
    if (given(refs, 0)) {
        limit = *ref_arg(refs, 0);
        if (is(limit, TypeId::float_) || is(limit, TypeId::percent)) limit = cell::integer(number_to_integer(limit));
    }
    case_::change_string(value, &limit, upper);
    result(value);
}

void uppercase(const int32_t* refs) { change_case(refs, true); }
void lowercase(const int32_t* refs) { change_case(refs, false); }

// ---- percent encoding ----

void dehex(const int32_t*) {
    Cell source = arg(0);
    Cell* out = stack::push(string::make_cell(series_::length_from_head(source)));
    url::percent_decode(source, out->data2);
    arg(0) = *out;
}

void enhex(const int32_t*) {
    Cell source = arg(0);
    Cell* out = stack::push(string::make_cell(series_::length_from_head(source)));
    // A string! is escaped strictly; the other text types keep what URLs allow.
    uint32_t kind = is(source, TypeId::string) ? url::kStrict : uint32_t(type_of(source));
    url::percent_encode(source, out->data2, kind);
    arg(0) = *out;
}

void to_hex(const int32_t* refs) {
    string::Hex hex = string::int_to_hex(cell::get_integer(arg(0)), false);
    int32_t n = 8;
    if (const Cell* size = ref_arg(refs, 0)) {
        n = cell::get_integer(*size);
        if (n <= 0) error::raise(ErrorId::script_invalid_arg, *size);
        n = std::min(n, 8);
    }
    std::string digits(hex.view().substr(size_t(8 - n)));
    arg(0) = issue::from_c_string(digits.c_str());
}

// ---- base encodings ----

// The bytes of a binary! from its head, or the UTF-8 bytes of a string.
std::string bytes_of(const Cell& value) {
    std::string out;
    Cell v = value;
    series_::clamp_head(v);
    if (is(v, TypeId::binary)) {
        SeriesBuffer* b = buffer(v.data2);
        out.assign(reinterpret_cast<const char*>(b->head) + v.data1, b->length() - v.data1);
        return out;
    }
    for (uint32_t i = v.data1; i < series_::total_length(v); ++i) {
        uint8_t utf8[4];
        uint32_t n = utf8::encode_char(string::char_at(v, i), utf8);
        out.append(reinterpret_cast<const char*>(utf8), n);
    }
    return out;
}

constexpr char kBase58Digits[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void encode_base2(const std::string& in, std::string& out) {
    for (unsigned char c : in)
        for (int bit = 7; bit >= 0; --bit) out += char('0' + ((c >> bit) & 1));
}

void encode_base16(const std::string& in, std::string& out) {
    for (unsigned char c : in) out += string::byte_to_hex(c).view();
}

// Repeated division by 58 of the number the bytes spell, most significant first.
void encode_base58(const std::string& in, std::string& out) {
    size_t zeros = 0;
    while (zeros < in.size() && in[zeros] == 0) ++zeros;
    std::string number = in.substr(zeros);
    std::string digits;
    size_t first = 0;
    while (first < number.size()) {
        uint32_t remainder = 0;
        for (size_t i = first; i < number.size(); ++i) {
            uint32_t v = remainder * 256 + uint8_t(number[i]);
            number[i] = char(v / 58);
            remainder = v % 58;
        }
        digits += kBase58Digits[remainder];
        while (first < number.size() && number[first] == 0) ++first;
    }
    out.append(zeros, '1');
    out.append(digits.rbegin(), digits.rend());
}

void encode_base64(const std::string& in, std::string& out) {
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8 | uint8_t(in[i + 2]);
        for (int k = 18; k >= 0; k -= 6) out += kBase64Digits[(v >> k) & 63];
    }
    size_t rest = in.size() - i;
    if (rest == 0) return;
    uint32_t v = uint32_t(uint8_t(in[i])) << 16 | (rest == 2 ? uint32_t(uint8_t(in[i + 1])) << 8 : 0);
    out += kBase64Digits[(v >> 18) & 63];
    out += kBase64Digits[(v >> 12) & 63];
    out += rest == 2 ? kBase64Digits[(v >> 6) & 63] : '=';
    out += '=';
}

// The text a decoder reads: the code points of the string from its head, with `;` comments
// (up to the next line feed) left out.
std::u32string decoder_text(const Cell& value) {
    Cell v = value;
    series_::clamp_head(v);
    std::u32string text;
    bool comment = false;
    for (uint32_t i = v.data1; i < series_::total_length(v); ++i) {
        char32_t cp = string::char_at(v, i);
        if (comment) {
            comment = cp != '\n';
            continue;
        }
        if (cp == ';') comment = true;
        else text += cp;
    }
    return text;
}

int hex_digit(char32_t c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    return -1;
}

// The characters base 58 and base 64 text may hold between digits.
bool layout_char_q(char32_t c) { return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == 39; }

std::optional<std::string> decode_base2(const std::u32string& text) {
    std::string out;
    uint32_t bits = 0, count = 0;
    for (char32_t c : text) {
        if (c <= 32) continue;
        if (c != '0' && c != '1') return std::nullopt;
        bits = bits << 1 | uint32_t(c - '0');
        if (++count == 8) {
            out += char(bits);
            bits = count = 0;
        }
    }
    if (count) return std::nullopt;
    return out;
}

// A character beyond ASCII is no digit (it is not read modulo 128 as an ASCII one).
std::optional<std::string> decode_base16(const std::u32string& text) {
    std::string out;
    int high = -1;
    for (char32_t c : text) {
        if (c <= 32) continue;
        int d = hex_digit(c);
        if (d < 0) return std::nullopt;
        if (high < 0) {
            high = d;
        } else {
            out += char(high << 4 | d);
            high = -1;
        }
    }
    return out;
}

std::optional<std::string> decode_base58(const std::u32string& text) {
    std::string number;  // base-256 digits, most significant first
    size_t ones = 0;
    bool leading = true;
    for (char32_t c : text) {
        if (layout_char_q(c)) continue;
        if (c > 127) break;
        const char* at = std::strchr(kBase58Digits, int(c));
        if (!at || c == 0) return std::nullopt;
        uint32_t carry = uint32_t(at - kBase58Digits);
        if (leading && carry == 0) {
            ++ones;
            continue;
        }
        leading = false;
        for (size_t i = number.size(); i-- > 0;) {
            carry += uint32_t(uint8_t(number[i])) * 58;
            number[i] = char(carry & 0xFF);
            carry >>= 8;
        }
        while (carry) {
            number.insert(number.begin(), char(carry & 0xFF));
            carry >>= 8;
        }
    }
    return std::string(ones, '\0') + number;
}

std::optional<std::string> decode_base64(const std::u32string& text) {
    std::string out;
    uint32_t group = 0, count = 0;
    for (char32_t c : text) {
        if (layout_char_q(c)) continue;
        if (c == '=') {
            if (count == 3) {
                out += char(group >> 10);
                out += char(group >> 2);
            } else if (count == 2) {
                out += char(group >> 4);
            } else {
                return std::nullopt;
            }
            return out;
        }
        const char* at = c > 127 || c == 0 ? nullptr : std::strchr(kBase64Digits, int(c));
        if (!at) return std::nullopt;
        group = group << 6 | uint32_t(at - kBase64Digits);
        if (++count == 4) {
            out += char(group >> 16);
            out += char(group >> 8);
            out += char(group);
            group = count = 0;
        }
    }
    return out;  // an unfinished last group is dropped
}

int32_t base_argument(const int32_t* refs, int32_t fallback) {
    const Cell* base = ref_arg(refs, 0);
    if (!base) return fallback;
    int32_t b = cell::get_integer(*base);
    if (b != 2 && b != 16 && b != 58 && b != 64) error::raise(ErrorId::script_invalid_arg, *base);
    return b;
}

void debase(const int32_t* refs) {
    int32_t base = base_argument(refs, 64);
    std::u32string text = decoder_text(arg(0));
    std::optional<std::string> bytes = base == 2    ? decode_base2(text)
                                       : base == 16 ? decode_base16(text)
                                       : base == 58 ? decode_base58(text)
                                                    : decode_base64(text);
    if (!bytes) {
        arg(0) = cell::none();
        return;
    }
    Node n = series::alloc_bytes(uint32_t(bytes->size()));
    SeriesBuffer* b = buffer(n);
    std::memcpy(series::reserve_bytes(b, uint32_t(bytes->size())), bytes->data(), bytes->size());
    arg(0) = cell::make(TypeId::binary, 0, n, 0);
}

void enbase(const int32_t* refs) {
    int32_t base = base_argument(refs, 64);
    std::string bytes = bytes_of(arg(0));
    // The room the text needs, checked before anything is made.
    uint64_t n = bytes.size();
    uint64_t size = base == 64   ? (n + 2) / 3 * 4 + n / 48 * 2 + 4
                    : base == 58 ? n * 2 + 1
                    : base == 16 ? n * 2 + n / 32 + 32
                                 : n * 8 + n / 8 * 2 + 4;
    if (size > 0x7FFFFFFF) error::raise(ErrorId::script_too_long);
    std::string out;
    out.reserve(size_t(size));
    if (base == 2) encode_base2(bytes, out);
    else if (base == 16) encode_base16(bytes, out);
    else if (base == 58) encode_base58(bytes, out);
    else encode_base64(bytes, out);
    Cell* text = stack::push(string::make_cell(uint32_t(out.size())));
    text::append_ascii(text->data2, out);
    arg(0) = *text;
}

// ---- transcode ----

// transcode src /next /one /prescan /scan /part length /into dst /trace callback
void transcode(const int32_t* refs) {
    lexer::TranscodeOptions o;
    o.next = given(refs, 0);
    o.one = given(refs, 1);
    o.prescan = given(refs, 2);
    o.scan = given(refs, 3);
    o.part = given(refs, 4) ? &arg(uint32_t(refs[4])) : nullptr;
    o.into = given(refs, 5) ? &arg(uint32_t(refs[5])) : nullptr;
    o.trace = given(refs, 6) ? &arg(uint32_t(refs[6])) : nullptr;
    Cell source = arg(0);
    result(lexer::transcode(source, o));
}

}  // namespace text_natives

void init_text() {
    define(Number::uppercase, text_natives::uppercase);
    define(Number::lowercase, text_natives::lowercase);
    define(Number::dehex, text_natives::dehex);
    define(Number::enhex, text_natives::enhex);
    define(Number::to_hex, text_natives::to_hex);
    define(Number::debase, text_natives::debase);
    define(Number::enbase, text_natives::enbase);
    define(Number::transcode, text_natives::transcode);
}

}  // namespace kaz::natives
