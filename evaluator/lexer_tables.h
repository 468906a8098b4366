// The lexer's byte tables: which sets each byte belongs to, and the flags it gives a token.
// Built at compile time; every scanner loop tests one set bit.
#pragma once

#include <array>
#include <cstdint>

namespace kaz::lexer {

// Flags OR-ed over a token's bytes, for its loader.
namespace flag {
inline constexpr uint32_t high = 1u << 16;        // a byte at or above 0x80
inline constexpr uint32_t multiline = 1u << 17;   // a brace string crossing a line feed
inline constexpr uint32_t percent = 1u << 18;
inline constexpr uint32_t greater = 1u << 19;
inline constexpr uint32_t less = 1u << 20;
inline constexpr uint32_t sign = 1u << 21;
inline constexpr uint32_t hash = 1u << 23;
inline constexpr uint32_t exponent = 1u << 24;    // e or E
inline constexpr uint32_t quote = 1u << 25;
inline constexpr uint32_t colon = 1u << 26;
inline constexpr uint32_t comma = 1u << 27;
inline constexpr uint32_t dot = 1u << 28;
inline constexpr uint32_t caret = 1u << 29;
inline constexpr uint32_t lead_2_3 = 1u << 30;    // a lead byte of a 2- or 3-byte sequence
inline constexpr uint32_t lead_4 = 1u << 31;      // a lead byte of a 4-byte sequence
}  // namespace flag

// Sets of bytes the scanner's loops test, one bit each.
namespace set {
inline constexpr uint32_t skip = 1u << 0;        // between tokens: blanks, LF, control bytes
inline constexpr uint32_t end = 1u << 1;         // ends a token: blanks, LF, [ ] ( ) { } " ; control, NUL
inline constexpr uint32_t digit = 1u << 2;
inline constexpr uint32_t hex_upper = 1u << 3;   // 0-9 A-F
inline constexpr uint32_t word = 1u << 4;        // continues a word
inline constexpr uint32_t letter = 1u << 5;      // letters, word bytes, UTF-8 bytes
inline constexpr uint32_t url = 1u << 6;         // continues a url
inline constexpr uint32_t path_delimiter = 1u << 7;
inline constexpr uint32_t point_ahead = 1u << 8;
inline constexpr uint32_t point_body = 1u << 9;
inline constexpr uint32_t email_host = 1u << 10;
inline constexpr uint32_t ref = 1u << 11;
inline constexpr uint32_t file_end = 1u << 12;
inline constexpr uint32_t bad = 1u << 13;         // 0xC0, 0xC1, 0xF8-0xFF
inline constexpr uint32_t date_bad = 1u << 14;
inline constexpr uint32_t word_start = 1u << 15;
inline constexpr uint32_t brace_special = 1u << 16;   // stops the brace-string loop
inline constexpr uint32_t quoted_special = 1u << 17;  // stops the quoted-string loop
inline constexpr uint32_t binary_body = 1u << 18;
inline constexpr uint32_t lower_hex = 1u << 19;       // a-f
inline constexpr uint32_t hex_digit = 1u << 20;       // 0-9 A-F a-f
}  // namespace set

namespace tables {

constexpr bool blank_byte(int b) { return b == '\t' || b == '\r' || b == ' '; }
constexpr bool control_byte(int b) {
    return (b >= 0x01 && b <= 0x08) || b == 0x0B || b == 0x0C || (b >= 0x0E && b <= 0x1F);
}
constexpr bool bad_byte(int b) { return b == 0xC0 || b == 0xC1 || b >= 0xF8; }
constexpr bool lead_byte(int b) { return b >= 0xC2 && b <= 0xF7; }
constexpr bool alpha(int b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }
constexpr bool digit_byte(int b) { return b >= '0' && b <= '9'; }
constexpr bool word_byte(int b) {
    return b == '!' || b == '&' || b == '*' || b == '?' || b == '_' || b == '`' || b == '|' ||
           b == '~';
}
constexpr bool one_of(int b, const char* chars) {
    for (; *chars; ++chars)
        if (b == uint8_t(*chars)) return true;
    return false;
}
// The letters that have no class of their own: they pass where the word class passes.
constexpr bool word_class(int b) {
    return word_byte(b) || lead_byte(b) ||
           (alpha(b) && !one_of(b, "abcdefABCDEFxXTh"));
}

constexpr std::array<uint32_t, 256> make_sets() {
    std::array<uint32_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
        uint32_t s = 0;
        bool end = blank_byte(b) || b == '\n' || control_byte(b) || b == 0 || one_of(b, "[](){}\";");
        if (blank_byte(b) || b == '\n' || control_byte(b)) s |= set::skip;
        if (end) s |= set::end;
        if (digit_byte(b)) s |= set::digit;
        if (digit_byte(b) || (b >= 'A' && b <= 'F')) s |= set::hex_upper;
        if (b >= 'a' && b <= 'f') s |= set::lower_hex;
        if (digit_byte(b) || (b >= 'A' && b <= 'F') || (b >= 'a' && b <= 'f')) s |= set::hex_digit;
        if (alpha(b) || digit_byte(b) || word_byte(b) || one_of(b, "'>=.+-^") ||
            (b >= 0x7F && b <= 0xBF) || lead_byte(b))
            s |= set::word;
        if (alpha(b) || word_byte(b) || one_of(b, "^>=") || lead_byte(b)) s |= set::word_start;
        if (alpha(b) || word_byte(b) || (b >= 0x80 && b <= 0xBF) || lead_byte(b)) s |= set::letter;
        if (!end && !one_of(b, "\\<>^") && !bad_byte(b)) s |= set::url;
        if (blank_byte(b) || b == '\n' || control_byte(b) || b == 0 || one_of(b, "[](){\":<;,") ||
            word_class(b) || bad_byte(b))
            s |= set::path_delimiter;
        if (one_of(b, "\t #+-.AEFINaefin") || digit_byte(b)) s |= set::point_ahead;
        if (blank_byte(b) || digit_byte(b) || one_of(b, "#eE,.+-") || (b >= 'a' && b <= 'f') ||
            (b >= 'A' && b <= 'F') || word_class(b))
            s |= set::point_body;
        if (alpha(b) || word_byte(b) || (b >= 0x80 && b <= 0xBF) || lead_byte(b) ||
            digit_byte(b) || one_of(b, "%.+-"))
            s |= set::email_host;
        if (alpha(b) || word_byte(b) || (b >= 0x80 && b <= 0xBF) || lead_byte(b) ||
            digit_byte(b) || one_of(b, ":/%.+-"))
            s |= set::ref;
        if (blank_byte(b) || b == '\n' || control_byte(b) || b == 0 || one_of(b, "[](){}:;@"))
            s |= set::file_end;
        if (bad_byte(b)) s |= set::bad;
        if (one_of(b, "%,@^") || (b >= 0x7F && b <= 0xBF) || bad_byte(b)) s |= set::date_bad;
        if (one_of(b, "{}^\n") || b == 0 || b >= 0x80) s |= set::brace_special;
        if (one_of(b, "\"^\n") || b == 0 || b >= 0x80) s |= set::quoted_special;
        if (blank_byte(b) || b == '\n' || alpha(b) || digit_byte(b) || word_byte(b) ||
            one_of(b, "/=+"))
            s |= set::binary_body;
        t[size_t(b)] = s;
    }
    return t;
}

constexpr std::array<uint32_t, 256> make_flags() {
    std::array<uint32_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
        uint32_t f = 0;
        if (b >= 0x80) f |= flag::high;
        if (b == '%') f |= flag::percent;
        if (b == '>') f |= flag::greater;
        if (b == '<') f |= flag::less;
        if (b == '+' || b == '-') f |= flag::sign;
        if (b == '#') f |= flag::hash;
        if (b == 'e' || b == 'E') f |= flag::exponent;
        if (b == '\'') f |= flag::quote;
        if (b == ':') f |= flag::colon;
        if (b == ',') f |= flag::comma;
        if (b == '.') f |= flag::dot;
        if (b == '^') f |= flag::caret;
        if (b >= 0xC2 && b <= 0xEF) f |= flag::lead_2_3;
        if (b >= 0xF0 && b <= 0xF7) f |= flag::lead_4;
        t[size_t(b)] = f;
    }
    return t;
}

}  // namespace tables

inline constexpr std::array<uint32_t, 256> kSets = tables::make_sets();
inline constexpr std::array<uint32_t, 256> kFlags = tables::make_flags();

inline bool in(uint8_t byte, uint32_t s) { return (kSets[byte] & s) != 0; }

}  // namespace kaz::lexer
