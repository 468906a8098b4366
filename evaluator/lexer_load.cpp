// The lexer's loaders: one per token kind. Each checks its token and, when loading, appends
// its value. Checking and making share one pass, so a scan that only classifies text refuses
// exactly what a load refuses.
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "datatypes/base_codec.h"
#include "datatypes/binary.h"
#include "datatypes/calendar.h"
#include "datatypes/cells.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/money.h"
#include "datatypes/percent.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/text_number.h"
#include "datatypes/time.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "evaluator/lexer_internal.h"
#include "runtime/error.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace kaz::lexer {
namespace {

using tables::alpha;

constexpr int32_t id(TypeId t) { return int32_t(t); }

[[noreturn]] void invalid(State& st, const Token& t, TypeId type) {
    syntax_error(st, id(type), t.start, t.end);
}

bool new_line(const Token& t) { return t.new_line; }

constexpr uint8_t lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; }

bool equal_caseless(const uint8_t* s, const uint8_t* e, std::string_view name) {
    if (size_t(e - s) != name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (lower(s[i]) != lower(uint8_t(name[i]))) return false;
    return true;
}

// Strict UTF-8 over [s, e): every byte part of one well-formed sequence.
bool valid_utf8(const uint8_t* s, const uint8_t* e) {
    while (s < e) {
        if (*s < 0x80) {
            ++s;
            continue;
        }
        int32_t cp;
        s = utf8::decode_char(s, e, cp);
        if (cp < 0) return false;
    }
    return true;
}

// ---- escapes and text ----

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

struct EscapeName {
    const char* name;
    uint32_t cp;
};
constexpr EscapeName kEscapeNames[] = {{"null", 0}, {"back", 8},   {"tab", 9},   {"line", 10},
                                       {"page", 12}, {"esc", 27}, {"del", 127}};

// The escape after a ^ at p: its code point, or -1; p moves past it.
int32_t read_escape(const uint8_t*& p, const uint8_t* e) {
    uint8_t c = *p;
    switch (c) {
        case '"': ++p; return '"';
        case '-': ++p; return 9;
        case '/': ++p; return 10;
        case '@': ++p; return 0;
        case '^': ++p; return '^';
        case '{': ++p; return '{';
        case '}': ++p; return '}';
        case '~': ++p; return 127;
        case '(': {
            const uint8_t* q = p + 1;
            while (q < e && *q != ')') ++q;
            if (q == e) return -1;
            const uint8_t* s = p + 1;
            size_t n = size_t(q - s);
            if (n >= 1 && n <= 6) {
                uint32_t v = 0;
                bool hex = true;
                for (const uint8_t* r = s; r < q; ++r) {
                    int d = hex_value(*r);
                    if (d < 0) {
                        hex = false;
                        break;
                    }
                    v = v << 4 | uint32_t(d);
                }
                if (hex) {
                    if (v > 0x10FFFF) return -1;
                    p = q + 1;
                    return int32_t(v);
                }
            }
            for (const EscapeName& name : kEscapeNames) {
                if (equal_caseless(s, q, name.name)) {
                    p = q + 1;
                    return int32_t(name.cp);
                }
            }
            return -1;
        }
        default:
            break;
    }
    if (c >= 'a' && c <= 'z') {
        ++p;
        return c - 'a' + 1;
    }
    if (c >= 'A' && c <= '_') {
        ++p;
        return c - 64;
    }
    if (c < 0x80) {
        ++p;
        return c;
    }
    int32_t cp;
    p = utf8::decode_char(p, e, cp);
    return cp;
}

// The next code point of the text at p (an escape when `escapes`), or -1 when malformed.
inline int32_t next_char(const uint8_t*& p, const uint8_t* e, bool escapes) {
    uint8_t c = *p;
    if (c < 0x80 && !(c == '^' && escapes)) {
        ++p;
        return c;
    }
    if (c == '^' && escapes) {
        if (++p == e) return -1;
        return read_escape(p, e);
    }
    int32_t cp;
    p = utf8::decode_char(p, e, cp);
    return cp;
}

// The unit a text needs: from its lead bytes, widened by the ^( ) escapes of more than two or
// four hex digits.
uint32_t text_unit(const uint8_t* s, const uint8_t* e, uint32_t flags, bool escapes) {
    uint32_t unit = (flags & flag::lead_4) ? 4 : (flags & flag::lead_2_3) ? 2 : 1;
    if (!escapes || !(flags & flag::caret) || unit == 4) return unit;
    for (const uint8_t* p = s; p < e; ++p) {
        if (*p != '^') continue;
        if (p + 1 < e && p[1] == '(') {
            const uint8_t* q = p + 2;
            while (q < e && hex_value(*q) >= 0) ++q;
            if (q < e && *q == ')') {
                size_t n = size_t(q - p - 2);
                if (n > 4) return 4;
                if (n > 2) unit = 2;
            }
        }
        ++p;  // the escaped byte is never a ^ that starts another escape
    }
    return unit;
}

// Makes (when loading) the text [s, e) as a string of `type`; raises invalid `error_type` on
// malformed UTF-8 or escapes.
Cell make_text(State& st, const Token& t, const uint8_t* s, const uint8_t* e, uint32_t flags,
               bool escapes, TypeId type, TypeId error_type, bool load) {
    uint32_t bytes = uint32_t(e - s);
    bool plain = !(flags & flag::high) && !(escapes && (flags & flag::caret));
    if (plain) {
        if (!load) return cell::none();
        Node n = series::alloc_units(bytes, 1);
        SeriesBuffer* b = memory::buffer_of(n);
        std::memcpy(b->head, s, bytes);
        b->tail = b->head + bytes;
        return cell::make(type, 0, n, 0);
    }
    uint32_t unit = text_unit(s, e, flags, escapes);
    if (!load) {
        for (const uint8_t* p = s; p < e;)
            if (next_char(p, e, escapes) < 0) invalid(st, t, error_type);
        return cell::none();
    }
    // Never more code points than bytes.
    Node n = series::alloc_units(bytes, unit);
    SeriesBuffer* b = memory::buffer_of(n);
    uint8_t* out = b->head;
    for (const uint8_t* p = s; p < e;) {
        int32_t cp = next_char(p, e, escapes);
        if (cp < 0 || string::unit_for(uint32_t(cp)) > unit) invalid(st, t, error_type);
        string::put_char(out, unit, uint32_t(cp));
        out += unit;
    }
    b->tail = out;
    return cell::make(type, 0, n, 0);
}

// The flags of [s, e), for the tokens whose scanner does not gather them.
uint32_t flags_of(const uint8_t* s, const uint8_t* e) {
    uint32_t f = 0;
    for (; s < e; ++s) f |= kFlags[*s];
    return f;
}

// File and url text with a % escape is decoded after it is made.
Cell percent_decoded(Cell text, const uint8_t* s, const uint8_t* e) {
    if (!std::memchr(s, '%', size_t(e - s))) return text;
    Cell decoded = string::make_cell(uint32_t(e - s), type_of(text));
    url::percent_decode(text, decoded.data2);
    return decoded;
}

// ---- words ----

uint32_t intern(State& st, const Token& t, const uint8_t* s, const uint8_t* e, TypeId error_type) {
    if (!valid_utf8(s, e)) invalid(st, t, error_type);
    return symbol::intern(std::string_view(reinterpret_cast<const char*>(s), size_t(e - s)));
}

void word_token(State& st, Token& t, bool load) {
    const uint8_t* s = t.start;
    const uint8_t* e = t.end;
    TypeId type = TypeId::word;
    if (t.sigil) {
        ++s;
        type = t.sigil == '\'' ? TypeId::lit_word : TypeId::get_word;
    }
    if (e[-1] == ':' && e - s > 1) {
        // Only a word without a sigil may end in a colon.
        if (t.sigil == ':') invalid(st, t, TypeId::word);
        if (t.sigil == '\'') invalid(st, t, TypeId::lit_word);
        type = TypeId::set_word;
        --e;
    }
    t.type = id(type);
    if (!load) {
        if (!valid_utf8(s, e)) invalid(st, t, type);
        return;
    }
    append_word(st, type, s, e, new_line(t));
}

// "/" alone is a word; '/ :/ /: its lit-word, get-word and set-word.
void refinement_token(State& st, Token& t, bool load) {
    const uint8_t* s = t.start;
    const uint8_t* e = t.end;
    size_t n = size_t(e - s);
    TypeId type = TypeId::refinement;
    const uint8_t* name = s + 1;
    if (n == 1) {
        type = TypeId::word;
        name = s;
    } else if (n == 2 && (s[0] == '\'' || s[0] == ':' || s[1] == ':')) {
        type = s[0] == '\'' ? TypeId::lit_word : s[0] == ':' ? TypeId::get_word : TypeId::set_word;
        name = s[0] == '/' ? s : s + 1;
        e = name + 1;
    } else if (s[0] != '/') {
        invalid(st, t, TypeId::refinement);
    }
    t.type = id(type);
    if (!load) {
        if (!valid_utf8(name, e)) invalid(st, t, type);
        return;
    }
    append_word(st, type, name, e, new_line(t));
}

void issue_token(State& st, Token& t, bool load) {
    if (t.start[0] != '#' || t.end - t.start < 2) invalid(st, t, TypeId::issue);
    if (!load) {
        if (!valid_utf8(t.start + 1, t.end)) invalid(st, t, TypeId::issue);
        return;
    }
    uint32_t symbol = intern(st, t, t.start + 1, t.end, TypeId::issue);
    append_value(st, cell::make(TypeId::issue, context::global, symbol, word::kNoIndex), new_line(t));
}

// ---- numbers ----

// Copies a number's text without its quote separators into `out` (room for 313 bytes);
// false when longer than a float text may be.
bool unquoted(const uint8_t* s, const uint8_t* e, char* out, size_t& n) {
    n = 0;
    if (e - s > 312) return false;
    for (; s < e; ++s)
        if (*s != '\'') out[n++] = char(*s);
    return true;
}

// A decimal float from [s, e): the float syntax, then the correctly rounded conversion.
bool read_float(const uint8_t* s, const uint8_t* e, int extra_exponent, double& value) {
    std::string_view text(reinterpret_cast<const char*>(s), size_t(e - s));
    if (!text_number::float_syntax_q(text)) return false;
    char buf[320];
    size_t n;
    if (!unquoted(s, e, buf, n)) return false;
    size_t left = 0;
    value = float_text::parse(buf, buf + n, extra_exponent, left);
    return left == 0;
}

void float_token(State& st, Token& t, bool load) {
    double v;
    if (!read_float(t.start, t.end, 0, v)) invalid(st, t, TypeId::float_);
    t.type = id(TypeId::float_);
    if (load) append_value(st, cell::float_(v), new_line(t));
}

enum class IntRead { ok, empty, doubled_quote, not_digit, too_big };

// An optionally signed decimal integer with quote separators; more than ten digits, or a value
// beyond the 32 bits, is too big (the text of the smallest integer excepted).
IntRead read_integer(const uint8_t* s, const uint8_t* e, int32_t& value) {
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-')) negative = *s++ == '-';
    int64_t v = 0;
    int digits = 0;
    bool quote = false;
    for (; s < e; ++s) {
        if (*s == '\'') {
            if (quote) return IntRead::doubled_quote;
            quote = true;
            continue;
        }
        quote = false;
        if (*s < '0' || *s > '9') return IntRead::not_digit;
        if (++digits <= 10) v = v * 10 + (*s - '0');
    }
    if (digits == 0) return IntRead::empty;
    if (digits > 10) return IntRead::too_big;
    if (negative) v = -v;
    if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min())
        return IntRead::too_big;
    value = int32_t(v);
    return IntRead::ok;
}

void integer_token(State& st, Token& t, bool load) {
    int32_t v = 0;
    switch (read_integer(t.start, t.end, v)) {
        case IntRead::ok:
            if (load) append_value(st, cell::integer(v), new_line(t));
            return;
        case IntRead::too_big:
            return float_token(st, t, load);
        case IntRead::empty:
            invalid(st, t, TypeId::pair);
        default:
            invalid(st, t, TypeId::integer);
    }
}

void hex_token(State& st, Token& t, bool load) {
    const uint8_t* s = t.start;
    const uint8_t* e = t.end - 1;  // before the h
    size_t n = size_t(e - s);
    if (n == 1 && !(s[0] >= '0' && s[0] <= '9')) invalid(st, t, TypeId::word);
    if (n < 2 || n > 8) invalid(st, t, TypeId::integer);
    uint32_t v = 0;
    for (const uint8_t* p = s; p < e; ++p) {
        int d = hex_value(*p);
        if (d < 0) invalid(st, t, TypeId::integer);
        v = v << 4 | uint32_t(d);
    }
    if (load) append_value(st, cell::integer(int32_t(v)), new_line(t));
}

void percent_token(State& st, Token& t, bool load) {
    double v;
    if (!read_float(t.start, t.end - 1, -2, v)) invalid(st, t, TypeId::float_);
    if (!load) return;
    Cell c = cell::make(TypeId::percent);
    append_value(st, percent::init_cell(c, v), new_line(t));
}

void special_float_token(State& st, Token& t, bool load) {
    const uint8_t* s = t.start;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (t.end - s < 3 || s[0] != '1' || s[1] != '.' || s[2] != '#') invalid(st, t, TypeId::float_);
    double v;
    if (equal_caseless(s + 3, t.end, "nan")) {
        uint64_t bits = 0x7FF8000000000000ULL;
        std::memcpy(&v, &bits, sizeof v);
    } else if (equal_caseless(s + 3, t.end, "inf")) {
        v = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    } else {
        invalid(st, t, TypeId::float_);
    }
    if (load) append_value(st, cell::float_(v), new_line(t));
}

void tuple_token(State& st, Token& t, bool load) {
    uint32_t parts = 0;
    int32_t bytes[tuple_cell::kMaxBytes];
    const uint8_t* p = t.start;
    while (p <= t.end) {
        const uint8_t* q = p;
        int v = 0;
        while (q < t.end && *q >= '0' && *q <= '9') {
            v = v * 10 + (*q - '0');
            if (v > 255) invalid(st, t, TypeId::tuple);
            ++q;
        }
        if (q == p || (q < t.end && *q != '.')) invalid(st, t, TypeId::tuple);
        if (parts == tuple_cell::kMaxBytes) invalid(st, t, TypeId::tuple);
        bytes[parts++] = v;
        p = q + 1;
    }
    if (load) append_value(st, tuple::from_ints(parts, bytes), new_line(t));
}

void pair_token(State& st, Token& t, bool load) {
    const uint8_t* x = t.start + 1;
    while (*x != 'x' && *x != 'X') ++x;
    if (std::memchr(t.start, '.', size_t(t.end - t.start))) invalid(st, t, TypeId::pair);
    int32_t v[2];
    int i = 0;
    for (auto [s, e] : {std::pair{t.start, x}, std::pair{x + 1, t.end}}) {
        IntRead r = read_integer(s, e, v[i++]);
        if (r == IntRead::doubled_quote) invalid(st, t, TypeId::integer);
        if (r != IntRead::ok) invalid(st, t, TypeId::pair);
    }
    if (load) append_value(st, pair_cell::make(v[0], v[1]), new_line(t));
}

// Hours, minutes and seconds; "mm:ss.f" or "mm:ss,f" after a point or comma.
void time_token(State& st, Token& t, bool load) {
    const uint8_t* p = t.start;
    const uint8_t* e = t.end;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    auto integer = [&](const uint8_t* from, const uint8_t*& to) -> int32_t {
        to = from;
        while (to < e && ((*to >= '0' && *to <= '9') || *to == '\'')) ++to;
        int32_t v;
        if (read_integer(from, to, v) != IntRead::ok) invalid(st, t, TypeId::time);
        return v;
    };
    const uint8_t* q;
    int32_t hours = integer(p, q);
    if (q == e || *q != ':') invalid(st, t, TypeId::time);
    const uint8_t* m = q + 1;
    if (m == e) invalid(st, t, TypeId::time);
    int32_t minutes = integer(m, q);
    double seconds = 0;
    if (q < e) {
        if (*q != '.' && *q != ',' && *q != ':') invalid(st, t, TypeId::time);
        for (const uint8_t* r = t.start; r < e; ++r)
            if (*r == 'e' || *r == 'E') invalid(st, t, TypeId::time);
        const uint8_t* from = q + 1;
        if (*q != ':') {
            // Minutes and seconds: what was read as hours and minutes moves down.
            minutes = hours;
            hours = 0;
            from = m;
        }
        int32_t error = 0;
        seconds = text_number::string_to_float(from, uint32_t(e - from), 1, error);
        if (error || seconds < 0) invalid(st, t, TypeId::time);
    }
    if (!load) return;
    double value = double(hours) * 3600.0 + double(minutes) * 60.0 + seconds;
    if (negative) value = -value;
    Cell c;
    time::init_cell(value, c);
    append_value(st, c, new_line(t));
}

// ---- dates ----

constexpr const char* kMonths[] = {"january", "february", "march",     "april",   "may",      "june",
                                   "july",    "august",   "september", "october", "november", "december"};

int days_in(int32_t month, int32_t year) {
    constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && !date::leap_year_q(year) ? 28 : kDays[month - 1];
}

// What a date token says: a calendar date, or an ISO week and weekday, or a day of the year;
// the local clock when a time is given, and its zone bits.
struct DateText {
    int32_t year = 0, month = 1, day = 1;
    int32_t week = 0, weekday = 1;  // yyyy-Www[-d], when week > 0
    int32_t ordinal = 0;            // yyyy-ddd, when above 0
    bool timed = false;
    double seconds = 0.0;
    uint32_t zone = 0;
};

struct DateReader {
    const uint8_t* p;
    const uint8_t* e;
    bool digit() const { return p < e && *p >= '0' && *p <= '9'; }
    // Up to `max` digits (at least one); -1 when none.
    int32_t number(int max, int* count = nullptr) {
        int n = 0;
        int32_t v = 0;
        while (digit() && n < max) v = v * 10 + (*p++ - '0'), ++n;
        if (count) *count = n;
        return n ? v : -1;
    }
    bool take(uint8_t c) {
        if (p < e && *p == c) {
            ++p;
            return true;
        }
        return false;
    }
    // A month by number or by a name of 3 to 9 letters, a prefix of the month's name.
    int32_t month() {
        if (digit()) return number(2);
        const uint8_t* s = p;
        while (p < e && alpha(*p)) ++p;
        size_t n = size_t(p - s);
        if (n < 3 || n > 9) return -1;
        for (int i = 0; i < 12; ++i) {
            std::string_view name = kMonths[i];
            if (n <= name.size() && equal_caseless(s, p, name.substr(0, n))) return i + 1;
        }
        return -1;
    }
    // Seconds below 60 (in `least` to 2 digits), with an optional fraction after a point:
    // read from their text, so that the fraction is the nearest double to what is written.
    bool seconds(double& out, int least = 1) {
        const uint8_t* from = p;
        int n = 0;
        int32_t s = number(2, &n);
        if (n < least || s > 59) return false;
        if (take('.') && number(9) < 0) return false;
        int32_t error = 0;
        out = text_number::string_to_float(from, uint32_t(p - from), 1, error);
        return error == 0;
    }
    // hh:mm[:ss[.fraction]]
    bool time(double& out) {
        int32_t h = number(2);
        if (h < 0 || h > 23 || !take(':')) return false;
        int32_t m = number(2);
        if (m < 0 || m > 59) return false;
        double s = 0.0;
        if (take(':') && !seconds(s)) return false;
        out = h * 3600.0 + m * 60.0 + s;
        return true;
    }
    // Z, +hh[:mm], -hh[:mm], or without the colon in the basic form: hours -15 to 15, minutes
    // below 60, counted down to quarter hours.
    bool zone(bool compact, uint32_t& bits) {
        bits = 0;
        if (take('Z')) return true;
        if (p == e || (*p != '+' && *p != '-')) return true;
        bool west = *p++ == '-';
        int32_t h = number(2);
        if (h < 0 || h > 15) return false;
        int32_t m = 0;
        if (compact ? digit() : take(':')) m = number(2);
        std::optional<uint32_t> z = date::zone_from_fields(west, h, m);
        if (!z) return false;
        bits = *z;
        return true;
    }
};

// Reads and checks a date token. The year may carry a sign: in front of the token (-44-1-1,
// -2024-01-15), or in front of a year written last (1/Jan/-44, as dates before year 0 form).
bool read_date(const uint8_t* s, const uint8_t* e, DateText& d) {
    DateReader r{s, e};
    bool negative = r.take('-');
    int count = 0;
    int32_t first = r.number(9, &count);
    if (first < 0) return false;
    if (r.p < e && *r.p == 'T' && count >= 8) {
        // Basic form: yyyymmddThhmm[ss[.f]][zone].
        d.day = first % 100;
        d.month = first / 100 % 100;
        d.year = first / 10000;
        ++r.p;
        int n = 0;
        int32_t hm = r.number(4, &n);
        if (n != 4) return false;
        int32_t hours = hm / 100, minutes = hm % 100;
        if (hours > 23 || minutes > 59) return false;
        double seconds = 0.0;
        if (r.digit() && !r.seconds(seconds, 2)) return false;
        d.timed = true;
        d.seconds = hours * 3600.0 + minutes * 60.0 + seconds;
        if (!r.zone(true, d.zone)) return false;
    } else {
        if (count > 4) return false;
        uint8_t sep = r.p < e ? *r.p : 0;
        if (sep != '-' && sep != '/') return false;
        ++r.p;
        if (sep == '-' && r.p < e && *r.p == 'W') {
            ++r.p;
            d.week = r.number(2);
            if (d.week < 1 || d.week > 53) return false;
            if (r.take('-')) {
                d.weekday = r.number(1);
                if (d.weekday < 1 || d.weekday > 7) return false;
            }
            d.year = first;
        } else {
            const uint8_t* mark = r.p;
            int n = 0;
            int32_t ordinal = r.number(3, &n);
            if (sep == '-' && n == 3 && count == 4 && (r.p == e || *r.p == 'T' || *r.p == '/')) {
                d.year = first;
                d.ordinal = ordinal;
                if (ordinal < 1 || ordinal > (date::leap_year_q(negative ? -first : first) ? 366 : 365)) return false;
            } else {
                r.p = mark;
                int32_t m = r.month();
                if (m < 1 || !r.take(sep)) return false;
                bool negative_third = !negative && r.take('-');
                int ycount = 0;
                int32_t third = r.number(9, &ycount);
                if (third < 0) return false;
                if (!negative_third && first > 99 && third <= 31) {
                    d.year = first;
                    d.day = third;
                } else {
                    d.day = first;
                    d.year = third;
                    // Two digits stand for a year near ours; a signed year is as written.
                    if (ycount <= 2 && !negative && !negative_third) d.year += d.year < 50 ? 2000 : 1900;
                    negative = negative || negative_third;
                }
                d.month = m;
            }
        }
        if (r.p < e && (*r.p == '/' || *r.p == 'T')) {
            ++r.p;
            d.timed = true;
            if (!r.time(d.seconds) || !r.zone(false, d.zone)) return false;
        }
    }
    if (negative) d.year = -d.year;
    if (r.p != e) return false;
    if (d.year < -9999 || d.year > 9999 || d.month < 1 || d.month > 12) return false;
    return d.day >= 1 && d.day <= days_in(d.month, d.year);
}

void date_token(State& st, Token& t, bool load) {
    DateText d;
    if (!read_date(t.start, t.end, d)) invalid(st, t, TypeId::date);
    if (!load) return;
    int64_t n;
    if (d.week > 0) {
        int32_t jan1_weekday = 0;
        n = date::isoweek1_start(date::from_fields(d.year, 1, 1, 0, false), jan1_weekday) + 7 * (d.week - 1) +
            (d.weekday - 1);
    } else {
        n = date::day_number_of(d.year, d.month, d.ordinal > 0 ? d.ordinal : d.day);
    }
    Cell c = date::make_cell(date::from_day_number(n, d.zone, d.timed), 0.0);
    if (d.timed) date::set_time(c, d.seconds, true);
    append_value(st, c, new_line(t));
}

// ---- money, binary, points ----

void money_token(State& st, Token& t, bool load) {
    const uint8_t* p = t.start;
    const uint8_t* e = t.end;
    if (*p == '+' || *p == '-') ++p;
    const uint8_t* dollar = p;
    while (*dollar != '$') ++dollar;
    if (dollar - p != 0 && dollar - p != 3) invalid(st, t, TypeId::money);
    const uint8_t* q = dollar + 1;
    if (q == e || *q == '.' || *q == ',' || *q == '\'') invalid(st, t, TypeId::money);
    while (q < e && (*q == '0' || *q == '\'')) ++q;
    // As many digits as an amount holds, 17 before the point and 5 after it: whatever mold
    // writes of an amount loads back.
    int whole = 0, fraction = -1;
    bool quote = false;
    for (; q < e; ++q) {
        if (*q == '\'') {
            if (quote || fraction >= 0 || q + 1 == e) invalid(st, t, TypeId::money);
            quote = true;
            continue;
        }
        quote = false;
        if (*q == '.' || *q == ',') {
            if (fraction >= 0) invalid(st, t, TypeId::money);
            fraction = 0;
        } else if (fraction >= 0) {
            ++fraction;
        } else {
            ++whole;
        }
    }
    if (whole > money::kIntegerDigits || fraction > money::kFractionDigits) invalid(st, t, TypeId::money);
    // A currency code must be one the list holds.
    uint8_t currency = 0;
    if (dollar != p) {
        currency = money::currency_index(std::string_view(reinterpret_cast<const char*>(p), 3));
        if (!currency) invalid(st, t, TypeId::money);
    }
    if (!load) return;
    const uint8_t* digits = dollar + 1;
    const uint8_t* point = digits;
    while (point < e && *point != '.' && *point != ',') ++point;
    auto text = [](const uint8_t* from, const uint8_t* to) {
        return std::string_view(reinterpret_cast<const char*>(from), size_t(to - from));
    };
    Cell c = money::make_cell();
    bool negative = *t.start == '-';
    if (!money::init_from_digits(c, negative, currency, text(digits, point), text(point < e ? point + 1 : e, e)))
        invalid(st, t, TypeId::money);
    append_value(st, c, new_line(t));
}

int base64_value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

void binary_token(State& st, Token& t, bool load) {
    const uint8_t* brace = t.start;
    while (*brace != '{') ++brace;
    int base = 16;
    if (t.start[0] != '#') {
        int32_t v = 0;
        const uint8_t* hash = brace - 1;
        if (hash - t.start > 2) invalid(st, t, TypeId::binary);
        for (const uint8_t* p = t.start; p < hash; ++p) {
            if (*p < '0' || *p > '9') invalid(st, t, TypeId::binary);
            v = v * 10 + (*p - '0');
        }
        if (v != 2 && v != 16 && v != 64) invalid(st, t, TypeId::binary);
        base = v;
    }
    int bits = 0, group = 0, padding = 0;
    const int per_digit = base == 2 ? 1 : base == 16 ? 4 : 6;
    for (const uint8_t* p = brace + 1; p < t.end - 1; ++p) {
        uint8_t c = *p;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == ';') {
            while (p < t.end - 1 && *p != '\n') ++p;
            continue;
        }
        int v = base == 64 ? base64_value(c) : hex_value(c);
        if (base == 64 && c == '=') {
            ++padding;
            continue;
        }
        if (v < 0 || v >= (base == 64 ? 64 : base) || padding) invalid(st, t, TypeId::binary);
        bits += per_digit;
        ++group;
    }
    bool complete = base == 2 ? bits % 8 == 0 : base == 16 ? bits % 8 == 0
                                                           : (group + padding) % 4 == 0 && padding <= 2;
    if (!complete) invalid(st, t, TypeId::binary);
    if (!load) return;
    // The text was checked above: the decoder reads it by the same rules (blanks and ;
    // comments skipped) and cannot refuse it.
    const binary::Base codec = base == 2 ? binary::Base::base2 : base == 16 ? binary::Base::base16
                                                                             : binary::Base::base64;
    std::string_view digits(reinterpret_cast<const char*>(brace + 1), size_t(t.end - 1 - (brace + 1)));
    Cell value = binary::make_cell(uint32_t(binary::decoded_capacity(codec, digits.size())));
    SeriesBuffer* b = memory::buffer_of(value.data2);
    std::optional<size_t> n = binary::decode(codec, b->head, binary::Text(digits));
    if (!n) invalid(st, t, TypeId::binary);
    b->tail = b->head + *n;
    append_value(st, value, new_line(t));
}

// (x, y) or (x, y, z): each coordinate a float, or a special float when it holds a #.
void point_token(State& st, Token& t, bool load) {
    const uint8_t* p = t.start + 1;
    const uint8_t* e = t.end - 1;  // the )
    int n = 0;
    float v[3] = {0, 0, 0};
    for (;;) {
        while (p < e && (*p == ' ' || *p == '\t')) ++p;
        const uint8_t* s = p;
        while (p < e && *p != ',' && *p != ' ' && *p != '\t') ++p;
        TypeId type = n < 2 ? TypeId::point2d : TypeId::point3d;
        if (p == s) invalid(st, t, type);
        if (std::memchr(s, '#', size_t(p - s))) {
            Token coordinate{Kind::special_float, 0, s, p, 0, 0, 0};
            const uint8_t* q = s;
            if (*q == '+' || *q == '-') ++q;
            bool inf = equal_caseless(q, p, "1.#inf");
            if (!(inf || equal_caseless(q, p, "1.#nan"))) invalid(st, coordinate, type);
            if (n < 3) v[n] = inf ? (*s == '-' ? -HUGE_VALF : HUGE_VALF) : std::numeric_limits<float>::quiet_NaN();
        } else {
            double d;
            if (p - s > 312 || !read_float(s, p, 0, d)) invalid(st, t, type);
            if (n < 3) v[n] = float(d);
        }
        if (++n > 3) invalid(st, t, TypeId::point3d);
        while (p < e && (*p == ' ' || *p == '\t')) ++p;
        if (p == e) break;
        if (*p != ',') invalid(st, t, type);
        ++p;
    }
    if (n < 2) invalid(st, t, TypeId::point2d);
    t.type = id(n == 2 ? TypeId::point2d : TypeId::point3d);
    if (load) append_value(st, n == 2 ? point_cell::make2(v[0], v[1]) : point_cell::make3(v[0], v[1], v[2]), new_line(t));
}

// ---- construction ----

void construction_token(State& st, Token& t, bool load) {
    if (t.start[0] != '#') syntax_error(st, -2, t.start, t.end);
    const uint8_t* s = t.start + 2;
    const uint8_t* e = t.end - 1;
    Cell value;
    if (equal_caseless(s, e, "true")) {
        value = cell::logic(true);
    } else if (equal_caseless(s, e, "false")) {
        value = cell::logic(false);
    } else if (equal_caseless(s, e, "none")) {
        value = cell::none();
    } else if (equal_caseless(s, e, "unset")) {
        value = cell::unset();
    } else {
        value = cell::none();
        bool found = false;
        for (int i = 1; i <= int(registry::max_id()) && !found; ++i) {
            if (!registry::registered_q(TypeId(i))) continue;
            if (equal_caseless(s, e, registry::name_of(TypeId(i), true))) {
                value = cell::datatype(TypeId(i));
                found = true;
            }
        }
        if (!found) syntax_error(st, -2, t.start, t.end);
    }
    t.type = id(type_of(value));
    if (load) append_value(st, value, new_line(t));
}

// ---- texts ----

void string_like(State& st, Token& t, const uint8_t* s, const uint8_t* e, bool escapes,
                 TypeId type, bool load, bool decode = false) {
    Cell c = make_text(st, t, s, e, t.flags, escapes, type, type, load);
    if (!load) return;
    if (decode) c = percent_decoded(c, s, e);
    append_value(st, c, new_line(t));
}

void char_token(State& st, Token& t, bool load) {
    const uint8_t* s = t.start;
    if (s[0] != '#' || s[1] != '"') invalid(st, t, TypeId::char_);
    const uint8_t* p = s + 2;
    const uint8_t* e = t.end - 1;
    if (p == e) invalid(st, t, TypeId::char_);
    int32_t cp = next_char(p, e, true);
    if (cp < 0 || p != e) invalid(st, t, TypeId::char_);
    if (load) append_value(st, char_::cell_of(uint32_t(cp)), new_line(t));
}

void file_token(State& st, Token& t, bool load) {
    if (t.start[1] == '"') {
        if (t.end - t.start < 3 || t.end[-1] != '"') invalid(st, t, TypeId::file);
        return string_like(st, t, t.start + 2, t.end - 1, false, TypeId::file, load, true);
    }
    string_like(st, t, t.start + 1, t.end, false, TypeId::file, load, true);
}

void url_token(State& st, Token& t, bool load) {
    if (t.sigil == ':' || t.start[0] == ':') invalid(st, t, TypeId::get_word);
    if (t.sigil == '\'' || t.start[0] == '\'') invalid(st, t, TypeId::lit_word);
    t.flags = flags_of(t.start, t.end);
    string_like(st, t, t.start, t.end, false, TypeId::url, load, true);
}

void raw_string_token(State& st, Token& t, bool load) {
    const uint8_t* s = t.start;
    while (*s == '%') ++s;
    size_t n = size_t(s - t.start);
    if (!st.load && st.callback) {
        // Scanned without loading, it reports its delimiters as a brace string does.
        fire_event(st, event::open, id(TypeId::string), nullptr, t.start, s + 1, true);
        fire_event(st, event::close, id(TypeId::string), nullptr, t.end - n - 1, t.end);
    }
    string_like(st, t, s + 1, t.end - n - 1, false, TypeId::string, load);
}

// Tags, emails and refs: the text without its delimiters, escapes off.
void delimited_text(State& st, Token& t, const uint8_t* s, const uint8_t* e, TypeId type, bool load) {
    t.flags = flags_of(s, e);
    string_like(st, t, s, e, false, type, load);
}

}  // namespace

void append_word(State& st, TypeId type, const uint8_t* start, const uint8_t* end, bool new_line) {
    uint32_t n = uint32_t(end - start);
    WordCache::Entry* entry = nullptr;
    // Small scans do without the cache: it costs more to make than it saves them.
    if (st.word_cache || ++st.words_made > 32) {
        if (!st.word_cache) st.word_cache = std::make_unique<WordCache>();
        uint32_t h = n;
        for (const uint8_t* p = start; p < end; ++p) h = (h ^ *p) * 0x01000193u;
        entry = &st.word_cache->entries[(h ^ h >> 16) % WordCache::kSize];
        if (entry->length == n && entry->name && std::memcmp(entry->name, start, n) == 0) {
            Cell w = entry->word;
            append_value(st, cell::set_type(w, type), new_line);
            return;
        }
    }
    Token t{Kind::word, id(type), start, end, 0, 0, 0};
    uint32_t symbol = intern(st, t, start, end, type);
    Cell w = cell::unset();
    word::init_global_cell(symbol, w);
    if (entry) *entry = WordCache::Entry{start, n, w};
    append_value(st, cell::set_type(w, type), new_line);
}

void load_token(State& st, Token& t, bool load) {
    switch (t.kind) {
        case Kind::string:
        case Kind::brace_close:
            return string_like(st, t, t.start + 1, t.end - 1, true, TypeId::string, load);
        case Kind::word:
            return word_token(st, t, load);
        case Kind::issue:
            return issue_token(st, t, load);
        case Kind::integer:
            return integer_token(st, t, load);
        case Kind::refinement:
            return refinement_token(st, t, load);
        case Kind::char_:
            return char_token(st, t, load);
        case Kind::file:
            return file_token(st, t, load);
        case Kind::binary:
            return binary_token(st, t, load);
        case Kind::percent:
            return percent_token(st, t, load);
        case Kind::float_:
            return float_token(st, t, load);
        case Kind::special_float:
            return special_float_token(st, t, load);
        case Kind::tuple:
            return tuple_token(st, t, load);
        case Kind::date:
            return date_token(st, t, load);
        case Kind::pair:
            return pair_token(st, t, load);
        case Kind::point:
            return point_token(st, t, load);
        case Kind::time:
            return time_token(st, t, load);
        case Kind::money:
            return money_token(st, t, load);
        case Kind::tag:
            if (t.start[0] != '<') invalid(st, t, TypeId::tag);
            return delimited_text(st, t, t.start + 1, t.end - 1, TypeId::tag, load);
        case Kind::url:
            return url_token(st, t, load);
        case Kind::email:
            return delimited_text(st, t, t.start, t.end, TypeId::email, load);
        case Kind::hex:
            return hex_token(st, t, load);
        case Kind::raw_string:
            return raw_string_token(st, t, load);
        case Kind::ref:
            return delimited_text(st, t, t.start + 1, t.end, TypeId::ref, load);
        case Kind::construction:
            return construction_token(st, t, load);
        default:
            return;
    }
}

}  // namespace kaz::lexer
