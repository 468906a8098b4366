#include "runtime/console.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "runtime/resource.h"
#include "runtime/throw.h"

namespace kaz::console {
namespace {

// ---- state ----

constexpr size_t kBufferSize = 1024;
// Pending bytes past which the buffer is written out; the longest sequence still fits.
constexpr size_t kFlushAbove = kBufferSize - 4;

struct State {
    bool ready = false;
    bool terminal = false;
    size_t fill = 0;
    char buffer[kBufferSize];
};
State state;

void ensure_ready() {
    if (!state.ready) init();
}

void put_bytes(const char* bytes, size_t n) {
    while (n > 0) {
        size_t part = std::min(n, kBufferSize - state.fill);
        std::memcpy(state.buffer + state.fill, bytes, part);
        state.fill += part;
        bytes += part;
        n -= part;
        if (state.fill > kFlushAbove) flush();
    }
}

void put_ascii(const char* text) {
    while (*text) put_bytes(text++, 1);
}

// Code points past the Unicode range cannot be encoded; they become U+FFFD.
size_t encode_utf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | cp >> 6);
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp > 0x10FFFF) cp = 0xFFFD;
    if (cp < 0x10000) {
        out[0] = char(0xE0 | cp >> 12);
        out[1] = char(0x80 | (cp >> 6 & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | cp >> 18);
    out[1] = char(0x80 | (cp >> 12 & 0x3F));
    out[2] = char(0x80 | (cp >> 6 & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

// ---- text in units ----

// Unit 0 stands for bytes that are UTF-8 already and are written as they are.
constexpr uint32_t kRaw = 0;

struct Text {
    const uint8_t* data;
    size_t count;  // units
    uint32_t unit;

    uint32_t at(size_t i) const {
        if (unit == 2) {
            uint16_t u;
            std::memcpy(&u, data + 2 * i, 2);
            return u;
        }
        if (unit == 4) {
            uint32_t u;
            std::memcpy(&u, data + 4 * i, 4);
            return u;
        }
        return data[i];
    }
};

Text make_text(const void* text, size_t bytes, uint32_t unit, uint32_t caller) {
    if (unit != 1 && unit != 2 && unit != 4) runtime::no_switch_matched(caller);
    return Text{static_cast<const uint8_t*>(text), bytes / unit, unit};
}

Text raw_text(const char* text, size_t length) {
    return Text{reinterpret_cast<const uint8_t*>(text), length, kRaw};
}

bool high_surrogate_q(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool low_surrogate_q(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The bytes of the character at unit i; `units` receives how many units it takes. 16-bit
// text may hold a surrogate pair, one code point; an unpaired surrogate is kept as it is.
size_t char_at(const Text& t, size_t i, size_t& units, char* out) {
    units = 1;
    uint32_t u = t.at(i);
    if (t.unit == kRaw) {
        out[0] = char(u);
        return 1;
    }
    if (t.unit == 2 && high_surrogate_q(u) && i + 1 < t.count && low_surrogate_q(t.at(i + 1))) {
        units = 2;
        u = ((u & 0x3FF) << 10 | (t.at(i + 1) & 0x3FF)) + 0x10000;
    }
    return encode_utf8(u, out);
}

std::string utf8_of(const Text& t) {
    std::string out;
    out.reserve(t.count);
    char bytes[4];
    for (size_t i = 0, units; i < t.count; i += units) {
        out.append(bytes, char_at(t, i, units, bytes));
    }
    return out;
}

// ---- escape sequences on a terminal ----

// The attribute codes the console knows: reset, bright, underscore, reverse, the eight
// foreground and background colours and the two defaults.
bool known_attribute_q(uint32_t p) {
    return p == 0 || p == 1 || p == 4 || p == 7 || (p >= 30 && p <= 37) || p == 39 ||
           (p >= 40 && p <= 47) || p == 49;
}

void put_number(uint32_t n) {
    char digits[12];
    int length = std::snprintf(digits, sizeof digits, "%u", n);
    put_bytes(digits, size_t(length));
}

// Interprets ESC [ params letter from unit `i`, just past the "[", and returns the unit
// after it. Parameters are decimal, separated by ";"; the first two are kept and a missing
// one reads as 0. What the console does is written as the terminal sequence that does the
// same; anything else is dropped, and so is a sequence cut by the end of the text.
size_t ansi_sequence(const Text& t, size_t i) {
    constexpr uint32_t kLargest = 32767;  // the console's coordinates are 16-bit
    uint32_t params[2] = {0, 0};
    uint32_t count = 0;  // parameters seen, kept or not
    uint32_t final = 0;
    for (; i < t.count; ++i) {
        uint32_t u = t.at(i);
        if (u >= '0' && u <= '9') {
            if (count == 0) count = 1;
            if (count <= 2) {
                uint32_t& p = params[count - 1];
                p = p * 10 + (u - '0');
                if (p > kLargest) p = kLargest;
            }
        } else if (u == ';') {
            count = count == 0 ? 2 : count + 1;
        } else {
            final = u;
            ++i;
            break;
        }
    }
    uint32_t kept = count < 2 ? count : 2;
    switch (final) {
        case 'm': {
            // Each known attribute is applied in turn; with none, nothing changes.
            bool first = true;
            for (uint32_t k = 0; k < kept; ++k) {
                if (!known_attribute_q(params[k])) continue;
                put_ascii(first ? "\x1b[" : ";");
                put_number(params[k]);
                first = false;
            }
            if (!first) put_ascii("m");
            break;
        }
        case 'A':
        case 'B':
        case 'C':
        case 'D':
            if (params[0] > 0) {
                put_ascii("\x1b[");
                put_number(params[0]);
                char letter = char(final);
                put_bytes(&letter, 1);
            }
            break;
        case 'H':
        case 'f':
            // Column first, row second, both from 0; the terminal counts rows first, from 1.
            if (params[0] == 0 && params[1] == 0) {
                put_ascii("\x1b[H");
            } else {
                put_ascii("\x1b[");
                put_number(params[1] + 1);
                put_ascii(";");
                put_number(params[0] + 1);
                put_ascii("H");
            }
            break;
        case 'J':
            if (params[0] == 1) put_ascii("\x1b[1J");  // screen start to the cursor
            if (params[0] == 2) put_ascii("\x1b[2J");  // whole screen
            break;
        case 'K':
            // The console clear modes 4, 5 and 3: the cursor to the line end, the line start
            // to the cursor, the whole line.
            if (params[0] == 0) put_ascii("\x1b[K");
            if (params[0] == 1) put_ascii("\x1b[1K");
            if (params[0] == 2) put_ascii("\x1b[2K");
            break;
        case 's': put_ascii("\x1b[s"); break;
        case 'u': put_ascii("\x1b[u"); break;
        default: break;  // "?" and every other letter: no effect
    }
    return i;
}

// Writes text, interpreting escape sequences when standard output is a terminal.
void put_text(const Text& t) {
    char bytes[4];
    for (size_t i = 0, units; i < t.count; i += units) {
        if (state.terminal && t.at(i) == 0x1B && i + 1 < t.count && t.at(i + 1) == '[') {
            units = ansi_sequence(t, i + 2) - i;
            continue;
        }
        put_bytes(bytes, char_at(t, i, units, bytes));
    }
}

// The common end of every primitive: the text, its line end, a flush, then the hooks. The
// hooks run last so that one of them may print.
void write_text(const Text& t, bool new_line) {
    ensure_ready();
    put_text(t);
    if (new_line) put_bytes("\n", 1);
    flush();
    if (print_hooks::text_count() == 0) return;
    std::string text = utf8_of(t);
    print_hooks::call_text(text.data(), text.size(), new_line ? 1 : 0);
}

template <typename Value>
void print_number(const char* format, Value value) {
    char text[64];
    int length = std::snprintf(text, sizeof text, format, value);
    write_text(raw_text(text, size_t(length)), false);
}

// The text of one typed entry, appended as UTF-8.
void append_typed(std::string& out, const Typed& entry) {
    char number[64];
    int length = 0;
    switch (entry.tag) {
        case Typed::logic: out += entry.word ? "true" : "false"; return;
        case Typed::integer:
            length = std::snprintf(number, sizeof number, "%i", entry.number);
            break;
        case Typed::character: {
            char bytes[4];
            out.append(bytes, encode_utf8(entry.word & 0xFF, bytes));
            return;
        }
        case Typed::float32:
            length = std::snprintf(number, sizeof number, "%.7g", double(entry.single));
            break;
        case Typed::float64:
            length = std::snprintf(number, sizeof number, "%.16g", entry.real);
            break;
        case Typed::string:
            if (entry.text) out += entry.text;
            return;
        default:
            length = std::snprintf(number, sizeof number, "%08X", entry.word);
            break;
    }
    out.append(number, size_t(length));
}

void print_typed_entries(std::initializer_list<Typed> entries, bool new_line) {
    std::string text;
    for (const Typed& entry : entries) append_typed(text, entry);
    write_text(raw_text(text.data(), text.size()), new_line);
}

}  // namespace

// ---- primitives ----

void init() {
    state.terminal = platform::stdout_terminal_q();
    state.fill = 0;
    state.ready = true;
}

bool terminal_q() {
    ensure_ready();
    return state.terminal;
}

void flush() {
    if (state.fill == 0) return;
    // Emptied first: a write that fails must not leave the text to be written again.
    size_t n = state.fill;
    state.fill = 0;
    platform::write_stdout(state.buffer, n);
}

void write_units(const void* text, size_t bytes, uint32_t unit, bool new_line) {
    write_text(make_text(text, bytes, unit, KAZ_CALLER_ADDRESS()), new_line);
}

void write_wide(const char32_t* text, size_t bytes) { write_units(text, bytes, 4, false); }
void write_wide_line(const char32_t* text, size_t bytes) { write_units(text, bytes, 4, true); }
void print_utf16(const char16_t* text, size_t bytes) { write_units(text, bytes, 2, false); }
void print_utf16_line(const char16_t* text, size_t bytes) { write_units(text, bytes, 2, true); }
void print_latin1(const char* text, size_t length) { write_units(text, length, 1, false); }
void print_latin1_line(const char* text, size_t length) { write_units(text, length, 1, true); }
void print_c_string(const char* text) { write_text(raw_text(text, std::strlen(text)), false); }
void print_char(char c) { write_units(&c, 1, 1, false); }

void print_integer(int32_t value) { print_number("%i", value); }
void print_hex_byte(uint8_t value) { print_number("%02X", unsigned(value)); }
void print_hex(uint32_t value) { print_number("%08X", value); }
void print_float64(double value) { print_number("%.16g", value); }
void print_float32(float value) { print_number("%.7g", double(value)); }

void print_typed(std::initializer_list<Typed> entries) { print_typed_entries(entries, false); }
void print_typed_line(std::initializer_list<Typed> entries) { print_typed_entries(entries, true); }

}  // namespace kaz::console
