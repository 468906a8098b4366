// Bytes as base 2, 16, 58 and 64 text: the encoders and decoders behind `enbase`, `debase`
// and the binary! text forms. Pure functions over caller buffers: none allocates in the
// collected heap, so pointers into series buffers taken before a call stay valid through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kaz::binary {

enum class Base : uint8_t { base2 = 2, base16 = 16, base58 = 58, base64 = 64 };

// The base a number names; nothing for any other (the natives raise invalid-arg).
std::optional<Base> base_of(int32_t number);

// ---- encoders ----
// Text in one line, no breaks; each writes at `out` and returns the end of what it wrote.
// The caller sizes the buffer with encoded_length.
//   base 2:  eight "0"/"1" per byte, the most significant bit first;
//   base 16: two upper-case digits per byte;
//   base 58: the digits of the bytes read as one big-endian number, in the alphabet
//            "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz", after one "1" for
//            each leading zero byte;
//   base 64: the alphabet of RFC 4648 (A-Z a-z 0-9 + /), four characters per three bytes;
//            a last group of one byte ends in "==", of two bytes in "=".

// Characters the text of `length` bytes takes: exact for bases 2, 16 and 64, the most it can
// take for base 58. `length` at most SIZE_MAX / 8.
size_t encoded_length(Base base, size_t length);

char* encode_base2(char* out, const uint8_t* bytes, size_t length);
char* encode_base16(char* out, const uint8_t* bytes, size_t length);
// Quadratic in the length, as any base that is not a power of two is.
char* encode_base58(char* out, const uint8_t* bytes, size_t length);
char* encode_base64(char* out, const uint8_t* bytes, size_t length);
char* encode(Base base, char* out, const uint8_t* bytes, size_t length);

// The text of the bytes in a new std::string.
std::string encode(Base base, std::string_view bytes);

// ---- decoders ----
// Text to decode as string buffers hold it: `length` code points of `unit` bytes each (1, 2
// or 4). Everywhere ";" starts a comment that runs to the next line feed.
//   base 2:  code points up to space (32) are skipped; every other must be "0" or "1"; each
//            eight bits make a byte, and bits left over (not a whole byte) refuse the text;
//   base 16: code points up to space are skipped; digits 0-9, A-F, a-f, two to a byte, the
//            first the high one; a last odd digit is dropped; anything else, a code point
//            above 127 included, refuses the text;
//   base 58: backspace, tab, line feed, form feed, carriage return, space and the apostrophe
//            are skipped; anything outside the alphabet, a code point above 127 included,
//            refuses the text; leading zero bytes of the number are dropped and one zero byte
//            is kept for each leading "1";
//   base 64: the characters base 58 skips are skipped; "=" ends the data: after three
//            characters of a group it adds two bytes, after two one byte, anywhere else it
//            refuses the text; a last group cut short without "=" is dropped; anything
//            outside the alphabet refuses the text.
struct Text {
    const void* units;
    uint32_t unit;  // 1, 2 or 4
    size_t length;  // in code points

    Text(const void* units_, uint32_t unit_, size_t length_) : units(units_), unit(unit_), length(length_) {}
    Text(std::string_view latin1) : units(latin1.data()), unit(1), length(latin1.size()) {}
    Text(std::u16string_view ucs2) : units(ucs2.data()), unit(2), length(ucs2.size()) {}
    Text(std::u32string_view wide) : units(wide.data()), unit(4), length(wide.size()) {}
};

// Bytes a decoder may write for a text of `length` code points: length / 8 for base 2,
// length / 2 for base 16, length for base 58, (length × 3 + 9) / 4 for base 64.
size_t decoded_capacity(Base base, size_t length);

// Each writes the bytes at `out` (decoded_capacity bytes at least) and returns how many it
// wrote, or nothing when the text is refused (what was written is then meaningless).
std::optional<size_t> decode_base2(uint8_t* out, Text text);
std::optional<size_t> decode_base16(uint8_t* out, Text text);
std::optional<size_t> decode_base58(uint8_t* out, Text text);
std::optional<size_t> decode_base64(uint8_t* out, Text text);
std::optional<size_t> decode(Base base, uint8_t* out, Text text);

// The bytes of the text in a new std::string; nothing when refused.
std::optional<std::string> decode(Base base, Text text);

}  // namespace kaz::binary
