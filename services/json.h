// The JSON codec's loops: decoding a whole JSON text into values, writing values as JSON text,
// and resolving the backslash escapes of a JSON string, for the environment's load-json,
// to-json and unescape. The environment keeps the grammar and the functions' specs; the work
// over megabytes happens here, with the same results and the same error positions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "evaluator/routines.h"
#include "runtime/cell.h"

namespace kaz::json {

// Text built code point by code point, at the narrowest unit that holds it so far (1 for
// ASCII, 2 up to U+FFFF, 4 beyond), then made into a string! in one copy.
class TextOut {
public:
    void add(uint32_t cp) {
        if (cp >= limit_) widen(cp);
        switch (unit_) {
            case 1: bytes_.push_back(char(cp)); break;
            case 2: put<uint16_t>(cp); break;
            default: put<uint32_t>(cp); break;
        }
    }
    void add_ascii(std::string_view text) {
        if (unit_ == 1) {
            bytes_.append(text);
            return;
        }
        for (char c : text) add(uint8_t(c));
    }
    // Code points below 0x80 of a string buffer of any unit.
    template <typename Unit>
    void add_ascii_units(const Unit* units, size_t count) {
        if (unit_ == 1) {
            size_t at = bytes_.size();
            bytes_.resize(at + count);
            for (size_t i = 0; i < count; ++i) bytes_[at + i] = char(units[i]);
            return;
        }
        for (size_t i = 0; i < count; ++i) add(units[i]);
    }
    // Code points of a string buffer of any unit.
    template <typename Unit>
    void add_units(const Unit* units, size_t count) {
        for (size_t i = 0; i < count; ++i) add(units[i]);
    }
    size_t length() const { return bytes_.size() / unit_; }
    bool empty() const { return bytes_.empty(); }
    void clear() {
        bytes_.clear();
        unit_ = 1;
        limit_ = 0x80;
    }
    // A new string! of the text.
    Cell make_string(TypeId type) const;

private:
    template <typename Unit>
    void put(uint32_t cp) {
        Unit u = Unit(cp);
        bytes_.append(reinterpret_cast<const char*>(&u), sizeof u);
    }
    void widen(uint32_t cp);

    std::string bytes_;
    uint32_t unit_ = 1;
    uint32_t limit_ = 0x80;
};

// Appends the text to the string `output` (a string! from its index), taking the made buffer
// itself when the output is empty and no object owns it, instead of copying megabytes twice.
void append_to(Cell& output, const TextOut& text);

// The code points of a text value from its index to its tail.
std::vector<uint32_t> code_points(const Cell& text);

std::span<const routines::Definition> routines();

}  // namespace kaz::json
