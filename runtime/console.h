// The lowest output layer: text to standard output as UTF-8, and to every text print hook.
//
// On a terminal, escape sequences ESC [ params letter are interpreted: the subset the console
// understands is written as the equivalent terminal sequence, the rest is dropped. Redirected
// output gets every byte as text. Each primitive buffers its output and flushes before it
// returns; the buffer is process-wide, so the primitives are not re-entrant, except that a
// text hook may print (hooks run after the flush).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace kaz::console {

// Finds out whether standard output is a terminal and empties the buffer. The primitives
// call it on first use when start-up has not.
void init();
bool terminal_q();

// Writes `bytes` bytes of text in units of 1 (Latin-1), 2 (16-bit, surrogate pairs joined)
// or 4 bytes per code point; with `new_line` a line feed follows. Another unit size ends
// the process with runtime error 101.
void write_units(const void* text, size_t bytes, uint32_t unit, bool new_line);
void write_wide(const char32_t* text, size_t bytes);
void write_wide_line(const char32_t* text, size_t bytes);
void print_utf16(const char16_t* text, size_t bytes);
void print_utf16_line(const char16_t* text, size_t bytes);
void print_latin1(const char* text, size_t length);
void print_latin1_line(const char* text, size_t length);
// NUL-terminated UTF-8 bytes, written as they are.
void print_c_string(const char* text);
// One Latin-1 character.
void print_char(char c);

// Numbers as "%i", "%02X", "%08X", "%.16g" and "%.7g".
void print_integer(int32_t value);
void print_hex_byte(uint8_t value);
void print_hex(uint32_t value);
void print_float64(double value);
void print_float32(float value);

// One entry of a typed print: a tag and its value.
struct Typed {
    enum Tag : uint32_t {
        logic = 1, integer = 2, character = 3, float32 = 4, float64 = 5, string = 6, hex = 7
    };
    uint32_t tag;  // any tag outside 1-6 prints the value in hexadecimal
    union {
        uint32_t word;
        int32_t number;
        float single;
        double real;
        const char* text;
    };
};
namespace typed {
inline Typed logic(bool b) { Typed t{Typed::logic, {}}; t.word = b; return t; }
inline Typed integer(int32_t i) { Typed t{Typed::integer, {}}; t.number = i; return t; }
inline Typed character(char c) { Typed t{Typed::character, {}}; t.word = uint8_t(c); return t; }
inline Typed float32(float f) { Typed t{Typed::float32, {}}; t.single = f; return t; }
inline Typed float64(double d) { Typed t{Typed::float64, {}}; t.real = d; return t; }
inline Typed string(const char* s) { Typed t{Typed::string, {}}; t.text = s; return t; }
inline Typed hex(uint32_t u) { Typed t{Typed::hex, {}}; t.word = u; return t; }
}  // namespace typed

// Prints the entries with no separator: logic "true"/"false", integer "%i", a Latin-1
// character, float32 "%.7g", float64 "%.16g", a NUL-terminated UTF-8 string, else "%08X".
void print_typed(std::initializer_list<Typed> entries);
void print_typed_line(std::initializer_list<Typed> entries);

// Writes what is buffered. Whatever ends the process calls it first.
void flush();

}  // namespace kaz::console
