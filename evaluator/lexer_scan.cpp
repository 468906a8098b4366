// The lexer's scanner: byte tables and the token recognizer. Each token is read by a tight
// loop over one byte set, chosen by a switch on its first byte; a byte no rule allows makes an
// error token naming the datatype that was being read.
#include "evaluator/lexer_internal.h"

namespace kaz::lexer {

bool blank_q(uint32_t cp) {
    switch (cp) {
        case 0x85: case 0xA0: case 0x1680: case 0x180E: case 0x2028: case 0x2029: case 0x202F:
        case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200B;
    }
}

uint32_t blank_length(const uint8_t* p, const uint8_t* end) {
    // Every blank code point starts with one of these lead bytes.
    uint8_t b = p[0];
    if (b == 0xC2) {
        if (end - p >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) return 2;
        return 0;
    }
    if (b < 0xE1 || b > 0xE3 || end - p < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80)
        return 0;
    uint32_t cp = uint32_t(b & 0x0F) << 12 | uint32_t(p[1] & 0x3F) << 6 | uint32_t(p[2] & 0x3F);
    return blank_q(cp) ? 3 : 0;
}

int32_t count_lines(const uint8_t* from, const uint8_t* to) {
    int32_t n = 0;
    for (; from < to; ++from) n += *from == '\n';
    return n;
}

const uint8_t* brace_string_end(const uint8_t* body, uint32_t& flags, const uint8_t*& stop) {
    const uint8_t* q = body;
    uint32_t depth = 1, f = 0;
    for (;;) {
        while (!in(*q, set::brace_special)) ++q;
        uint8_t c = *q;
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0) {
                flags = f;
                return q + 1;
            }
        } else if (c == '^') {
            f |= flag::caret;
            uint8_t next = q[1];
            if (next == 0 || in(next, set::bad)) {
                stop = q + 1;
                return nullptr;
            }
            f |= kFlags[next];
            if (next == '\n') f |= flag::multiline;
            ++q;
        } else if (c == '\n') {
            f |= flag::multiline;
        } else if (c == 0 || in(c, set::bad)) {
            // A NUL ends the input, even inside a string.
            stop = q;
            return nullptr;
        } else {
            f |= kFlags[c];
        }
        ++q;
    }
}

namespace {

using tables::alpha;
using tables::one_of;

// ---- the recognizer ----

struct Reader {
    State& st;
    bool path;  // reading a path element
    const uint8_t* start;
    int32_t lines;  // line feeds read so far: before the token, then inside it
    bool new_line;  // a line feed came before the token's start
    Token t;

    Token done(Kind kind, int32_t type, const uint8_t* end, uint32_t flags = 0) {
        t = Token{kind, type, start, end, flags, new_line, t.sigil};
        st.pos = end;
        st.line += lines;
        return t;
    }
    // An error token: `type` is what was being read; `at` the byte refused.
    Token fail(int32_t type, const uint8_t* at) {
        t = Token{Kind::error, type, start, at, 0, new_line, t.sigil};
        st.pos = at;
        st.line += lines;
        return t;
    }
    Token path_error(const uint8_t* at) { return fail(int32_t(TypeId::path), at); }

    // Bytes that end a number (and the words grown from one); a blank code point too.
    bool number_end(const uint8_t* q) const {
        uint8_t c = *q;
        return in(c, set::end) || c == '<' || c == ',' || (path && (c == '/' || c == ':')) ||
               word_stop(q);
    }
    // A hexadecimal integer ends wherever the word it would otherwise be ends, so that a word
    // never has a name that reads back as a number.
    bool hex_end(const uint8_t* q) const {
        return number_end(q) || *q == '#' || *q == '\\';
    }
    // A word is over at a blank code point too.
    bool word_stop(const uint8_t* q) const { return *q >= 0xC2 && *q <= 0xE3 && blank_length(q, st.end); }

    Token read();
    Token word(const uint8_t* body, int32_t type);
    Token number(const uint8_t* p);
    Token fraction(const uint8_t* p);
    Token exponent(const uint8_t* p);
    Token pair(const uint8_t* p);
    Token percent(const uint8_t* p);
    Token email(const uint8_t* at);
    Token money(const uint8_t* dollar, int32_t type);
    Token hash(const uint8_t* p);
    Token binary(const uint8_t* brace);
    Token quoted(const uint8_t* quote, Kind kind, int32_t type, bool escapes);
    Token sigil_word(const uint8_t* p);
    Token slash(const uint8_t* p);
    Token less(const uint8_t* p);
    Token file(const uint8_t* p);
    Token raw_string(const uint8_t* p, uint32_t n);
    Token paren(const uint8_t* p);
};

Token Reader::read() {
    const uint8_t* p = st.pos;
    if (!path) {
        for (;;) {
            uint8_t c = *p;
            if (in(c, set::skip)) {
                lines += c == '\n';
                ++p;
                continue;
            }
            // The other blank code points separate tokens as well.
            if (c >= 0xC2 && c <= 0xE3) {
                if (uint32_t n = blank_length(p, st.end)) {
                    p += n;
                    continue;
                }
            }
            break;
        }
    }
    start = p;
    new_line = lines > 0;
    uint8_t c = *p;
    if (path) {
        // What may not follow a / in a path.
        if (in(c, set::skip) || c == 0 || one_of(c, "[]{}/\\%,;^)") || (c >= 0x7F && c <= 0xBF) ||
            in(c, set::bad) || word_stop(p))
            return path_error(p);
    }
    switch (c) {
        case 0:
            return done(Kind::end, 0, p);
        case '[':
            return done(Kind::block_open, 0, p + 1);
        case ']':
            return done(Kind::block_close, 0, p + 1);
        case '(':
            return paren(p);
        case ')':
            return done(Kind::paren_close, 0, p + 1);
        case '{':
            return done(Kind::brace_open, 0, p + 1);
        case '"':
            return quoted(p, Kind::string, int32_t(TypeId::string), true);
        case '#':
            return hash(p);
        case '\'':
        case ':':
            return sigil_word(p);
        case ';': {
            const uint8_t* q = p + 1;
            while (*q != '\n' && *q != 0) {
                if (in(*q, set::bad)) return fail(-1, q);
                ++q;
            }
            return done(Kind::comment, 0, q);
        }
        case ',':
            return done(Kind::comma, 0, p + 1);
        case '%':
            return file(p);
        case '/':
            return slash(p);
        case '<':
            return less(p);
        case '$':
            return money(p, int32_t(TypeId::money));
        case '@': {
            // In a path, a / or : after a ref belongs to the path.
            const uint8_t* q = p + 1;
            while (in(*q, set::ref) && !(path && (*q == '/' || *q == ':'))) ++q;
            if (!in(*q, set::end) && *q != '<' && !(path && (*q == '/' || *q == ':')))
                return fail(int32_t(TypeId::ref), q);
            return done(Kind::ref, int32_t(TypeId::ref), q);
        }
        case '+':
        case '-':
            if (in(p[1], set::digit)) return number(p);
            if (p[1] == '$') return money(p + 1, int32_t(TypeId::money));
            return word(p, int32_t(TypeId::word));
        case '.':
            if (in(p[1], set::digit)) return number(p);
            return word(p, int32_t(TypeId::word));
        case '}':
        case '\\':
            return fail(-1, p);
        default:
            break;
    }
    if (in(c, set::digit)) return number(p);
    if (c >= 'A' && c <= 'F' && !path) {
        // A run of upper-case hexadecimal digits ending in h is an integer; without the h, a word.
        const uint8_t* q = p;
        while (in(*q, set::hex_upper) || *q == '\'') ++q;
        if (*q == 'h' && hex_end(q + 1)) return done(Kind::hex, int32_t(TypeId::integer), q + 1);
    }
    if (in(c, set::word_start)) return word(p, int32_t(TypeId::word));
    // Continuation and bad bytes cannot start anything.
    return fail(-1, p);
}

// The body of a word from `body` (after any sigil): its end decides what the token is.
Token Reader::word(const uint8_t* body, int32_t type) {
    const uint8_t* q = body;
    for (;;) {
        uint8_t c = *q;
        if (in(c, set::word)) {
            if (c >= 0x80 && word_stop(q)) break;
            ++q;
            continue;
        }
        if (path && c == '<') {
            ++q;
            continue;
        }
        break;
    }
    uint8_t c = *q;
    bool sigil = t.sigil != 0;
    switch (c) {
        case ':':
            if (path) break;
            if (in(q[1], set::end)) return done(Kind::word, type, q + 1, flag::colon);
            {
                // Text after the colon: a url.
                const uint8_t* r = q + 1;
                while (in(*r, set::url)) ++r;
                if (*r == '>' || *r == '^' || in(*r, set::bad)) return fail(int32_t(TypeId::url), r);
                return done(Kind::url, int32_t(TypeId::url), r);
            }
        case '/':
            if (path) break;
            return done(Kind::path_start, 0, q + 1);
        case '@':
            if (sigil) return fail(type, q);
            return email(q);
        case '$':
            if (sigil) return fail(type, q);
            return money(q, int32_t(TypeId::money));
        default:
            if (in(c, set::end) || c == '#' || c == '\\' || c == '<' || c == ',' || word_stop(q))
                break;
            return fail(type, q);
    }
    return done(Kind::word, type, q);
}

Token Reader::sigil_word(const uint8_t* p) {
    t.sigil = *p;
    int32_t type = int32_t(*p == '\'' ? TypeId::lit_word : TypeId::get_word);
    uint8_t c = p[1];
    if ((in(c, set::word_start) && !(c >= 0x80 && word_stop(p + 1))) || c == '.' || c == '+' ||
        c == '-')
        return word(p + 1, type);
    const uint8_t* q = p + 1;
    switch (c) {
        case '/':
            if (in(p[2], set::end)) return done(Kind::refinement, int32_t(TypeId::refinement), p + 2);
            if (p[2] == '/' && in(p[3], set::end)) return done(Kind::word, type, p + 3);
            return fail(type, p + 2);
        case '<':
            while (one_of(*q, "<=>-")) ++q;
            if (in(*q, set::end)) return done(Kind::word, type, q);
            return fail(type, q);
        case '%':
            while (*q == '%') ++q;
            if (in(*q, set::end)) return done(Kind::word, type, q);
            return fail(type, q);
        default:
            return fail(type, p + 1);
    }
}

Token Reader::slash(const uint8_t* p) {
    uint8_t c = p[1];
    constexpr int32_t kRefinement = int32_t(TypeId::refinement);
    if (in(c, set::end)) return done(Kind::refinement, kRefinement, p + 1);
    if (c == '/' && in(p[2], set::end)) return done(Kind::word, int32_t(TypeId::word), p + 2);
    if (c == ':' && in(p[2], set::end)) return done(Kind::refinement, kRefinement, p + 2);
    if (c == '/' || !in(c, set::word) || word_stop(p + 1)) return fail(kRefinement, p + 1);
    const uint8_t* q = p + 1;
    while (in(*q, set::word) && !(*q >= 0x80 && word_stop(q))) ++q;
    if (in(*q, set::end) || *q == '/' || *q == '@' || word_stop(q))
        return done(Kind::refinement, kRefinement, q);
    return fail(kRefinement, q);
}

Token Reader::less(const uint8_t* p) {
    uint8_t c = p[1];
    constexpr int32_t kWord = int32_t(TypeId::word);
    if (in(c, set::end)) return done(Kind::word, kWord, p + 1);
    if (one_of(c, "<=>-") && in(p[2], set::end)) return done(Kind::word, kWord, p + 2);
    const uint8_t* q = p + 1;
    uint8_t quote = 0;
    uint32_t flags = 0;
    for (;; ++q) {
        uint8_t b = *q;
        if (b == 0 || in(b, set::bad)) return fail(int32_t(TypeId::tag), q);
        flags |= kFlags[b];
        if (b == '\n') {
            ++lines;
        } else if (quote) {
            if (b == quote) quote = 0;
        } else if (b == '"' || b == '\'') {
            quote = b;
        } else if (b == '>') {
            return done(Kind::tag, int32_t(TypeId::tag), q + 1, flags);
        }
    }
}

Token Reader::file(const uint8_t* p) {
    const uint8_t* q = p;
    while (*q == '%') ++q;
    uint32_t n = uint32_t(q - p);
    if (*q == '{') return raw_string(p, n);
    constexpr int32_t kFile = int32_t(TypeId::file);
    if (n == 1 && *q == '"') return quoted(p + 1, Kind::file, kFile, false);
    if (n <= 2 && in(*q, set::end)) return done(Kind::word, int32_t(TypeId::word), q);
    const uint8_t* r = p + 1;
    uint32_t flags = flag::percent;
    while (!in(*r, set::file_end)) {
        if (*r == '"' || in(*r, set::bad)) return fail(kFile, r);
        flags |= kFlags[*r];
        ++r;
    }
    return done(Kind::file, kFile, r, flags);
}

// A raw string of n %: its closing } and % run must be followed by a delimiter. A shorter run
// than n reads on to a } followed by n %.
Token Reader::raw_string(const uint8_t* p, uint32_t n) {
    constexpr int32_t kString = int32_t(TypeId::string);
    const uint8_t* q = p + n + 1;
    uint32_t flags = 0;
    for (;; ++q) {
        uint8_t b = *q;
        if (b == 0 || in(b, set::bad)) return fail(kString, q);
        flags |= kFlags[b];
        lines += b == '\n';
        if (b != '}' || q[1] != '%') continue;
        const uint8_t* after = q + 1;
        while (*after == '%') ++after;
        uint32_t m = uint32_t(after - q - 1);
        if (!((in(*after, set::end) && *after != '}') || *after == '<')) return fail(kString, after);
        if (m > n) return fail(kString, after);
        if (m == n) return done(Kind::raw_string, kString, after, flags);
        for (q = after;; ++q) {
            b = *q;
            if (b == 0 || in(b, set::bad)) return fail(kString, q);
            flags |= kFlags[b];
            lines += b == '\n';
            if (b != '}') continue;
            uint32_t k = 0;
            while (k < n && q[1 + k] == '%') ++k;
            if (k == n) return done(Kind::raw_string, kString, q + 1 + n, flags);
        }
    }
}

// A quoted text from its opening quote; ^ escapes the next byte when `escapes`.
Token Reader::quoted(const uint8_t* quote, Kind kind, int32_t type, bool escapes) {
    const uint8_t* q = quote + 1;
    uint32_t flags = 0;
    for (;;) {
        while (!in(*q, set::quoted_special)) ++q;
        uint8_t b = *q;
        if (b == '"') return done(kind, type, q + 1, flags);
        if (b == '^') {
            if (!escapes) {
                ++q;
                continue;
            }
            flags |= flag::caret;
            uint8_t next = q[1];
            if (next == 0 || in(next, set::bad)) return fail(type, q + 1);
            lines += next == '\n';
            flags |= kFlags[next];
            q += 2;
            continue;
        }
        if (b == '\n' || b == 0 || in(b, set::bad)) return fail(type, q);
        flags |= kFlags[b];
        ++q;
    }
}

Token Reader::number(const uint8_t* p) {
    constexpr int32_t kInteger = int32_t(TypeId::integer);
    const uint8_t* q = p;
    if (*q == '+' || *q == '-') ++q;
    if (*q == '.') return fraction(q);
    if (!path) {
        const uint8_t* r = q;
        while (in(*r, set::hex_upper) || *r == '\'') ++r;
        if (*r == 'h' && hex_end(r + 1)) return done(Kind::hex, kInteger, r + 1);
    }
    while (in(*q, set::digit) || *q == '\'') ++q;
    uint8_t c = *q;
    if (number_end(q)) return done(Kind::integer, kInteger, q);
    switch (c) {
        case '.':
            if (q[1] == '#') {
                const uint8_t* r = q + 2;
                while (alpha(*r)) ++r;
                if (number_end(r)) return done(Kind::special_float, int32_t(TypeId::float_), r);
                return fail(int32_t(TypeId::float_), r);
            }
            return fraction(q);
        case 'E':
            // 1EF is a word: digits, E and another upper-case hexadecimal letter.
            if (q[1] >= 'A' && q[1] <= 'F') return word(p, int32_t(TypeId::word));
            return exponent(q);
        case 'e':
            return exponent(q);
        case '%':
            return percent(q);
        case 'x':
        case 'X':
            return pair(q);
        case '@':
            return email(q);
        case '#':
            return hash(q);
        default:
            break;
    }
    if (!path) {
        if (c == ':') {
            // A time: digits, colons, points and commas, signs and exponents the loader refuses.
            const uint8_t* r = q + 1;
            while (in(*r, set::digit) || one_of(*r, ":.,'eE+-")) ++r;
            if (in(*r, set::end) || *r == '<' || *r == '/') return done(Kind::time, int32_t(TypeId::time), r);
            return fail(int32_t(TypeId::time), r);
        }
        if (c == 'T' || c == '/' || c == '-') {
            const uint8_t* r = q + 1;
            while (!in(*r, set::end) && *r != '<' && *r != '$') {
                if (in(*r, set::date_bad)) return fail(int32_t(TypeId::date), r);
                ++r;
            }
            return done(Kind::date, int32_t(TypeId::date), r);
        }
    }
    return fail(kInteger, q);
}

// From the point of a decimal number.
Token Reader::fraction(const uint8_t* p) {
    constexpr int32_t kFloat = int32_t(TypeId::float_);
    const uint8_t* q = p + 1;
    while (in(*q, set::digit) || *q == '\'') ++q;
    uint8_t c = *q;
    if (number_end(q)) return done(Kind::float_, kFloat, q);
    switch (c) {
        case '.': {
            const uint8_t* r = q + 1;
            while (in(*r, set::digit) || *r == '.') ++r;
            if (number_end(r)) return done(Kind::tuple, int32_t(TypeId::tuple), r);
            return fail(int32_t(TypeId::tuple), r);
        }
        case 'e':
        case 'E':
            return exponent(q);
        case '%':
            return percent(q);
        case 'x':
        case 'X':
            return pair(q);
        case '@':
            return email(q);
        default:
            return fail(kFloat, q);
    }
}

Token Reader::exponent(const uint8_t* p) {
    constexpr int32_t kFloat = int32_t(TypeId::float_);
    const uint8_t* q = p + 1;
    while (in(*q, set::digit) || *q == '+' || *q == '-') ++q;
    if (number_end(q)) return done(Kind::float_, kFloat, q, flag::exponent);
    if (*q == '%') return percent(q);
    return fail(kFloat, q);
}

Token Reader::percent(const uint8_t* p) {
    if (number_end(p + 1)) return done(Kind::percent, int32_t(TypeId::percent), p + 1);
    return fail(int32_t(TypeId::percent), p + 1);
}

Token Reader::pair(const uint8_t* p) {
    const uint8_t* q = p + 1;
    if (*q == '+' || *q == '-') ++q;
    while (in(*q, set::digit) || one_of(*q, "eE.'")) ++q;
    if (number_end(q)) return done(Kind::pair, int32_t(TypeId::pair), q);
    return fail(int32_t(TypeId::pair), q);
}

Token Reader::email(const uint8_t* at) {
    const uint8_t* q = at + 1;
    while (in(*q, set::email_host)) ++q;
    if (in(*q, set::end) || *q == '/' || *q == '\\' || *q == '<')
        return done(Kind::email, int32_t(TypeId::email), q);
    return fail(int32_t(TypeId::email), q);
}

// From the $ of an amount (a sign or currency code may precede it).
Token Reader::money(const uint8_t* dollar, int32_t type) {
    const uint8_t* q = dollar + 1;
    if (!in(*q, set::digit)) return fail(type, q);
    while (in(*q, set::digit) || *q == '\'') ++q;
    if (*q == '.') {
        ++q;
        while (in(*q, set::digit) || *q == '\'') ++q;
    }
    uint8_t c = *q;
    if (in(c, set::end) || one_of(c, "#:/<")) return done(Kind::money, type, q);
    return fail(type, q);
}

Token Reader::binary(const uint8_t* brace) {
    constexpr int32_t kBinary = int32_t(TypeId::binary);
    const uint8_t* q = brace + 1;
    for (;;) {
        uint8_t b = *q;
        if (in(b, set::binary_body)) {
            lines += b == '\n';
            ++q;
        } else if (b == ';') {
            while (*q != '\n' && *q != 0) {
                if (in(*q, set::bad)) return fail(kBinary, q);
                ++q;
            }
        } else if (b == '}') {
            return done(Kind::binary, kBinary, q + 1);
        } else {
            return fail(kBinary, q);
        }
    }
}

// The forms that begin with #, from the # (a number may stand before it: the token's start).
Token Reader::hash(const uint8_t* p) {
    constexpr int32_t kIssue = int32_t(TypeId::issue);
    uint8_t c = p[1];
    switch (c) {
        case '[':
            if (path) return fail(kIssue, p + 1);
            return done(Kind::map_open, 0, p + 2);
        case '(': {
            const uint8_t* q = p + 2;
            while (*q != ')') {
                if (*q == 0 || in(*q, set::bad)) return fail(-1, q);
                lines += *q == '\n';
                ++q;
            }
            return done(Kind::construction, 0, q + 1);
        }
        case '{':
            if (path) return fail(kIssue, p + 1);
            return binary(p + 1);
        case '"':
            return quoted(p + 1, Kind::char_, int32_t(TypeId::char_), true);
        default:
            break;
    }
    if (in(c, set::skip) || one_of(c, "])}:<>,") ||
        (path && (c == 0 || one_of(c, "/=;@"))))
        return fail(kIssue, p + 1);
    if (c == ';' || c == '@' || c == 0) return done(Kind::issue, kIssue, p + 1);
    const uint8_t* q = p + 1;
    uint32_t flags = 0;
    for (;;) {
        uint8_t b = *q;
        if (in(b, set::end) || b == '@' || (path && (b == '/' || b == ':'))) break;
        if (b == ':' || b == '/' || in(b, set::bad)) return fail(kIssue, q);
        if (b >= 0x80 && word_stop(q)) break;
        flags |= kFlags[b];
        ++q;
    }
    return done(Kind::issue, kIssue, q, flags);
}

// A ( opens a paren, or a point literal when what follows looks like coordinates.
Token Reader::paren(const uint8_t* p) {
    const uint8_t* q = p + 1;
    if (st.end - q >= 4) {
        const uint8_t* r = q;
        while (r < st.end && *r != ',' && in(*r, set::point_ahead)) ++r;
        if (r == st.end || *r == ',') {
            constexpr int32_t kPoint = int32_t(TypeId::point2d);
            while (*q != ')') {
                if (!in(*q, set::point_body)) return fail(kPoint, q);
                ++q;
            }
            return done(Kind::point, kPoint, q + 1);
        }
    }
    return done(Kind::paren_open, 0, p + 1);
}

}  // namespace

Token next_token(State& st, bool path_element) {
    Reader r{st, path_element, st.pos, 0, false, Token{}};
    return r.read();
}

}  // namespace kaz::lexer
