// Upper and lower case of any Unicode code point and of strings, for uppercase, lowercase,
// case-insensitive comparison and the hashing of words and strings.
//
// Simple (one-to-one) mappings: up to U+FFFF two lookup tables filled at start-up by
// init_tables, above it two short sorted lists.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::case_ {

namespace detail {
// Indexed by code point; 0: no mapping in that direction.
extern uint32_t to_upper[0x10000];
extern uint32_t to_lower[0x10000];
uint32_t change_above(uint32_t cp, bool upper);
}  // namespace detail

// Fills the lookup tables; called once at start-up, before any symbol is made.
void init_tables();

// The upper (upper true) or lower case of cp, or cp itself when it has none.
inline uint32_t change_char(uint32_t cp, bool upper) {
    if (cp <= 0xFFFF) {
        uint32_t mapped = (upper ? detail::to_upper : detail::to_lower)[cp];
        return mapped ? mapped : cp;
    }
    return detail::change_above(cp, upper);
}

inline uint32_t upper_char(uint32_t cp) {
    if (cp <= 0xFFFF) {
        uint32_t mapped = detail::to_upper[cp];
        return mapped ? mapped : cp;
    }
    return detail::change_above(cp, true);
}

// The upper case of cp when that differs from it, else its lower case.
uint32_t swap_char(uint32_t cp);

// Changes the case of a char! value, or of a string in place from its head: to the tail, or
// with `part` (null or none!: no part) for an integer! count of code points or up to a position
// of the same series. A part series of another series raises script invalid-refine-arg. The
// string's buffer widens when a mapped code point needs a wider unit.
void change_string(Cell& value, const Cell* part, bool upper);

// The refinement word the invalid-part error names; set once words exist.
extern Cell part_word;

}  // namespace kaz::case_
