// The JSON codec's loops (see json.h).
//
// The decoder walks the text once, in the order the grammar of load-json matches it, and keeps
// the grammar's side effects that an error report shows: `mark` is the position after the last
// value, name (its colon) or line feed matched, `last-lf` the position after the last line
// feed, and the line count. The values of open containers wait on a stack of their own (no C++
// recursion, whatever the nesting), and each container is made once, at its size, when it
// closes.
#include "services/json.h"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/context.h"
#include "evaluator/actions.h"
#include "evaluator/natives_frame.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kaz::json {

void TextOut::widen(uint32_t cp) {
    uint32_t unit = cp < 0x10000 ? 2 : 4;
    if (unit <= unit_) return;
    std::string wide;
    size_t n = length();
    wide.resize(n * unit);
    for (size_t i = 0; i < n; ++i) {
        uint32_t c;
        if (unit_ == 1) c = uint8_t(bytes_[i]);
        else {
            uint16_t u;
            std::memcpy(&u, bytes_.data() + i * 2, 2);
            c = u;
        }
        if (unit == 2) {
            uint16_t u = uint16_t(c);
            std::memcpy(wide.data() + i * 2, &u, 2);
        } else {
            std::memcpy(wide.data() + i * 4, &c, 4);
        }
    }
    bytes_.swap(wide);
    unit_ = unit;
    limit_ = unit == 2 ? 0x10000 : 0xFFFFFFFFu;
}

Cell TextOut::make_string(TypeId type) const {
    uint32_t n = uint32_t(length());
    Node node = series::alloc_units(n, unit_);
    SeriesBuffer* b = memory::buffer_of(node);
    if (!bytes_.empty()) std::memcpy(b->head, bytes_.data(), bytes_.size());
    b->tail = b->head + bytes_.size();
    return cell::make(type, 0, node, 0);
}

void append_to(Cell& output, const TextOut& text) {
    // Nothing made here is garbage: a collection now would only walk the values written.
    bool was = memory::gc_enabled;
    memory::gc_enabled = false;
    Cell made = text.make_string(TypeId::string);
    SeriesBuffer* ob = series_::buffer(output);
    if (output.data1 == 0 && ob->length() == 0 && !(ob->flags & series_flag::owned)) {
        // The output's node takes the made buffer, the made node the empty one, left to the
        // collector.
        SeriesBuffer* mb = series_::buffer(made);
        memory::set_buffer(output.data2, mb);
        mb->node = output.data2;
        memory::set_buffer(made.data2, ob);
        ob->node = made.data2;
    } else {
        string::concatenate(output, made, -1, 0, false, string::ConcatMode::append);
    }
    memory::gc_enabled = was;
}

std::vector<uint32_t> code_points(const Cell& text) {
    SeriesBuffer* b = series_::buffer(text);
    uint32_t n = b->length();
    std::vector<uint32_t> out;
    for (uint32_t i = text.data1; i < n; ++i) out.push_back(string::char_at(text, i));
    return out;
}

namespace {

using natives::arg;

Cell string_of(const uint32_t* cps, size_t count) {
    TextOut out;
    for (size_t i = 0; i < count; ++i) out.add(cps[i]);
    return out.make_string(TypeId::string);
}

int hex_value(uint32_t c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    return -1;
}

// Resolves the escapes of `cps` in place, as unescape does: the result is the first `written`
// code points. A high surrogate escape not followed by the escape of a low one raises script
// invalid-data with the text as far as it was rewritten. A low surrogate escape on its own
// stands for no character: it becomes U+FFFD, so that the text stays valid Unicode.
size_t unescape_in_place(std::vector<uint32_t>& cps) {
    size_t n = cps.size(), r = 0, w = 0;
    auto fail = [&]() { error::raise(ErrorId::script_invalid_data, string_of(cps.data(), n)); };
    auto read_hex4 = [&]() -> uint32_t {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            if (r >= n) fail();
            int h = hex_value(cps[r++]);
            if (h < 0) fail();
            v = v * 16 + uint32_t(h);
        }
        return v;
    };
    while (r < n) {
        uint32_t c = cps[r++];
        if (c == '\\') {
            if (r >= n) fail();
            uint32_t e = cps[r++];
            switch (e) {
                case '"': case '\\': case '/': c = e; break;
                case 'b': c = 8; break;
                case 'f': c = 12; break;
                case 'n': c = 10; break;
                case 'r': c = 13; break;
                case 't': c = 9; break;
                case 'u': {
                    c = read_hex4();
                    if (c >= 0xD800 && c <= 0xDBFF) {
                        if (r + 6 > n) fail();
                        if (cps[r] != '\\' || cps[r + 1] != 'u') fail();
                        r += 2;
                        uint32_t low = read_hex4();
                        if (low < 0xDC00 || low > 0xDFFF) fail();
                        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    } else if (c >= 0xDC00 && c <= 0xDFFF) {
                        c = 0xFFFD;
                    }
                    break;
                }
                default: fail();
            }
        }
        cps[w++] = c;
    }
    return w;
}

// ---- decoding ----

// The characters that end a word (the grammar's not-word-char).
bool not_word_char(uint32_t c) {
    switch (c) {
        case '/': case '\\': case '^': case ',': case '[': case ']': case '(': case ')': case '{':
        case '}': case '"': case '#': case '%': case '$': case '@': case ':': case ';': case '\n':
        case 0xA0: case ' ': case '\t': case '\r': case '<': case '>':
            return true;
        default:
            return false;
    }
}
bool digit(uint32_t c) { return c >= '0' && c <= '9'; }

// Whether a name is kept as a word key: a first character that may start a word, then word
// characters. Names that read as numbers (+1, -.5, .5) and names with control characters do
// not make words; they stay text keys.
bool word_name(const uint32_t* s, size_t n) {
    if (n == 0) return false;
    if (not_word_char(s[0]) || digit(s[0]) || s[0] == '\'') return false;
    for (size_t i = 0; i < n; ++i)
        if (not_word_char(s[i]) || s[i] < 0x20 || s[i] == 0x7F) return false;
    size_t k = 0;
    if (s[k] == '+' || s[k] == '-') ++k;
    if (k < n && s[k] == '.') ++k;
    if (k < n && digit(s[k])) return false;
    return true;
}

template <typename Unit>
class Decoder {
public:
    Decoder(const Unit* s, size_t n) : s_(s), n_(n) {}

    // True when the text is one JSON value; its value is then `result`.
    bool run(Cell& result);

    size_t mark = 0, last_lf = 0;
    int64_t line = 1;

private:
    enum Kind : uint8_t { array, object };

    void ws() {
        while (i_ < n_) {
            Unit c = s_[i_];
            if (c == ' ' || c == '\t' || c == '\r') {
                ++i_;
            } else if (c == '\n') {
                ++i_;
                last_lf = mark = i_;
                ++line;
            } else {
                break;
            }
        }
    }
    bool literal(const char* word) {
        size_t k = std::strlen(word);
        if (n_ - i_ < k) return false;
        for (size_t j = 0; j < k; ++j)
            if (s_[i_ + j] != Unit(uint8_t(word[j]))) return false;
        i_ += k;
        return true;
    }
    bool string_literal(Cell& out, bool key);
    bool number(Cell& out);
    void add(const Cell& v) {
        if (kinds_.empty()) *top_ = v;
        else values_.push_back(v);
    }
    // The values of the innermost open container as a new block.
    Cell close() {
        size_t from = starts_.back(), count = values_.size() - from;
        starts_.pop_back();
        Cell made = *block::push_new(int32_t(count));
        --stack::data_top;
        SeriesBuffer* b = memory::buffer_of(made.data2);
        if (size_t(b->end() - b->tail) >= count * sizeof(Cell)) {
            if (count) std::memcpy(b->tail, values_.data() + from, count * sizeof(Cell));
            b->tail += count * sizeof(Cell);
        } else {
            for (size_t k = from; k < values_.size(); ++k) block::append_cell(made, values_[k]);
        }
        values_.resize(from);
        return made;
    }
    bool name();

    const Unit* s_;
    size_t n_, i_ = 0;
    // The values of the open containers, innermost last, each container's from its start. The
    // collector is held off while they are here, out of its sight.
    std::vector<Cell> values_;
    std::vector<size_t> starts_;
    Cell* top_ = nullptr;
    std::vector<Kind> kinds_;
    std::vector<uint32_t> work_;
    std::u32string name_;
    // Word cells by name: names repeat from object to object. A word holds no series.
    std::unordered_map<std::u32string, Cell> words_;
};

template <typename Unit>
bool Decoder<Unit>::string_literal(Cell& out, bool key) {
    if (i_ >= n_ || s_[i_] != '"') return false;
    size_t start = ++i_;
    bool escapes = false;
    uint32_t widest = 0;
    while (true) {
        if (i_ >= n_) return false;
        uint32_t c = s_[i_];
        if (c == '"') break;
        if (c < 0x20) return false;
        if (c == '\\') {
            if (i_ + 1 >= n_) return false;
            uint32_t e = s_[i_ + 1];
            if (e == 'u') {
                if (n_ - i_ < 6) return false;
                for (size_t k = 2; k < 6; ++k)
                    if (hex_value(s_[i_ + k]) < 0) return false;
                i_ += 6;
            } else if (e == '"' || e == 't' || e == '\\' || e == '/' || e == 'n' || e == 'r' || e == 'b' ||
                       e == 'f') {
                i_ += 2;
            } else {
                return false;
            }
            escapes = true;
            continue;
        }
        if (c > widest) widest = c;
        ++i_;
    }
    size_t end = i_++;
    size_t count = end - start;
    const uint32_t* text = nullptr;
    if (escapes || key) {
        work_.assign(s_ + start, s_ + end);
        if (escapes) work_.resize(unescape_in_place(work_));
        text = work_.data();
        count = work_.size();
        widest = 0;
        for (size_t k = 0; k < count; ++k)
            if (text[k] > widest) widest = text[k];
    }
    if (key && word_name(text, count)) {
        name_.assign(reinterpret_cast<const char32_t*>(text), count);
        auto found = words_.find(name_);
        if (found != words_.end()) {
            out = found->second;
            return true;
        }
        std::string utf8;
        for (size_t k = 0; k < count; ++k) {
            uint8_t buf[4];
            utf8.append(reinterpret_cast<char*>(buf), utf8::encode_char(text[k], buf));
        }
        out = word::from_symbol(symbol::intern(utf8));
        words_.emplace(name_, out);
        return true;
    }
    uint32_t unit = widest < 0x80 ? 1 : widest < 0x10000 ? 2 : 4;
    Node node = series::alloc_units(uint32_t(count), unit);
    SeriesBuffer* b = memory::buffer_of(node);
    auto fill = [&](auto* dst) {
        if (text) {
            for (size_t k = 0; k < count; ++k) dst[k] = decltype(+*dst)(text[k]);
        } else if (sizeof(*dst) == sizeof(Unit)) {
            std::memcpy(dst, s_ + start, count * sizeof(Unit));
        } else {
            for (size_t k = 0; k < count; ++k) dst[k] = decltype(+*dst)(s_[start + k]);
        }
    };
    if (unit == 1) fill(b->head);
    else if (unit == 2) fill(reinterpret_cast<uint16_t*>(b->head));
    else fill(reinterpret_cast<uint32_t*>(b->head));
    b->tail = b->head + count * unit;
    out = cell::make(TypeId::string, 0, node, 0);
    return true;
}

// A number as load makes it: an integer when it has neither fraction nor exponent and fits in
// 32 bits, else a float.
template <typename Unit>
bool Decoder<Unit>::number(Cell& out) {
    size_t start = i_;
    if (i_ < n_ && s_[i_] == '-') ++i_;
    if (i_ >= n_ || !digit(s_[i_])) {
        i_ = start;
        return false;
    }
    if (s_[i_] == '0') ++i_;
    else
        while (i_ < n_ && digit(s_[i_])) ++i_;
    bool whole = true;
    if (i_ + 1 < n_ && s_[i_] == '.' && digit(s_[i_ + 1])) {
        whole = false;
        i_ += 2;
        while (i_ < n_ && digit(s_[i_])) ++i_;
    }
    if (i_ < n_ && (s_[i_] == 'e' || s_[i_] == 'E')) {
        size_t k = i_ + 1;
        if (k < n_ && (s_[k] == '+' || s_[k] == '-')) ++k;
        if (k < n_ && digit(s_[k])) {
            whole = false;
            i_ = k;
            while (i_ < n_ && digit(s_[i_])) ++i_;
        }
    }
    char text[400];
    size_t count = i_ - start;
    if (whole && count <= 11) {
        int64_t v = 0;
        size_t k = start;
        bool negative = s_[k] == '-';
        if (negative) ++k;
        for (; k < i_; ++k) v = v * 10 + int64_t(s_[k] - '0');
        if (negative) v = -v;
        if (v >= INT32_MIN && v <= INT32_MAX) {
            out = cell::integer(int32_t(v));
            return true;
        }
    }
    std::string longer;
    char* t = text;
    if (count >= sizeof text) {
        longer.resize(count);
        t = longer.data();
    }
    for (size_t k = 0; k < count; ++k) t[k] = char(s_[start + k]);
    int32_t error = 0;
    out = cell::float_(string::scan_float(t, uint32_t(count), error));
    return true;
}

// A property's name: the string, optional whitespace and the colon, after which `mark` moves.
template <typename Unit>
bool Decoder<Unit>::name() {
    ws();
    Cell key;
    if (!string_literal(key, true)) return false;
    ws();
    if (i_ >= n_ || s_[i_] != ':') return false;
    mark = ++i_;
    add(key);
    return true;
}

template <typename Unit>
bool Decoder<Unit>::run(Cell& result) {
    top_ = &result;
    result = cell::none();
    while (true) {
        // A value.
        ws();
        if (i_ >= n_) return false;
        Cell v;
        Unit c = s_[i_];
        bool opened = false;
        if (c == '{' || c == '[') {
            ++i_;
            starts_.push_back(values_.size());
            kinds_.push_back(c == '{' ? object : array);
            opened = true;
            ws();
            if (i_ < n_ && s_[i_] == (c == '{' ? '}' : ']')) {
                ++i_;
            } else if (c == '{') {
                if (!name()) return false;
                continue;
            } else {
                continue;
            }
        } else if (literal("true")) {
            v = cell::logic(true);
        } else if (literal("false")) {
            v = cell::logic(false);
        } else if (literal("null")) {
            v = cell::none();
        } else if (!string_literal(v, false) && !number(v)) {
            return false;
        }
        // The value ends here; containers that close after it end too.
        bool closing = opened;
        while (true) {
            if (closing) {
                Cell made = close();
                Kind k = kinds_.back();
                kinds_.pop_back();
                if (k == object) {
                    Cell m;
                    map::init_cell(m, &made, 0);
                    v = m;
                } else {
                    v = made;
                }
            }
            add(v);
            mark = i_;
            ws();
            if (kinds_.empty()) return i_ == n_;
            if (i_ < n_ && s_[i_] == ',') {
                ++i_;
                ws();
                if (kinds_.back() == object && !name()) return false;
                break;  // the next value
            }
            if (i_ < n_ && s_[i_] == (kinds_.back() == object ? '}' : ']')) {
                ++i_;
                closing = true;
                continue;
            }
            return false;
        }
    }
}

// json-decode input: the block [value] when the text from the input's index is one JSON
// value, else the block [line mark last-lf] of the grammar's state when it failed, the two
// positions as offsets from the input's index.
routines::Result json_decode(const routines::Arg*, uint32_t) {
    Cell input = arg(0);
    Cell* value = stack::push(cell::none());
    Cell* out = block::push_new(3);
    gc::Pause pause;
    SeriesBuffer* b = series_::buffer(input);
    uint32_t from = std::min(input.data1, b->length());
    uint32_t n = b->length() - from;
    // The collector is held off, so the input's buffer stays where it is while it is read.
    auto decode = [&](auto* units) {
        using Unit = std::remove_const_t<std::remove_pointer_t<decltype(units)>>;
        Decoder<Unit> d(units + from, n);
        if (d.run(*value)) {
            block::append_cell(*out, *value);
        } else {
            block::append_cell(*out, cell::integer(int32_t(std::min<int64_t>(d.line, INT32_MAX))));
            block::append_cell(*out, cell::integer(int32_t(d.mark)));
            block::append_cell(*out, cell::integer(int32_t(d.last_lf)));
        }
    };
    switch (b->unit()) {
        case 1: decode(static_cast<const uint8_t*>(b->head)); break;
        case 2: decode(reinterpret_cast<const uint16_t*>(b->head)); break;
        default: decode(reinterpret_cast<const uint32_t*>(b->head)); break;
    }
    arg(0) = *out;
    stack::data_top = value;
    return {};
}

// unescape str: the escapes of the string from its index resolved in place; the same string.
routines::Result unescape(const routines::Arg*, uint32_t) {
    Cell str = arg(0);
    std::vector<uint32_t> cps = code_points(str);
    size_t n = unescape_in_place(cps);
    Cell resolved = string_of(cps.data(), n);
    Cell* keep = stack::push(resolved);
    string::remove_units(str, str.data1, series_::buffer(str)->length() - str.data1);
    string::concatenate(str, *keep, -1, 0, false, string::ConcatMode::append);
    stack::data_top = keep;
    arg(0) = str;
    return {};
}

// ---- encoding ----

class Encoder {
public:
    Encoder(TextOut& out, bool ascii, const std::vector<uint32_t>* indent, int64_t level)
        : out_(out), ascii_(ascii), indent_(indent), level_(level) {}
    void value(const Cell& v, int depth);
    void text(const Cell& s);

private:
    template <typename Unit>
    void escape(const Unit* units, size_t count);
    void escape_char(uint32_t c);
    void line_and_indent(int64_t change) {
        out_.add('\n');
        level_ += change;
        for (int64_t k = 0; k < level_; ++k)
            for (uint32_t c : *indent_) out_.add(c);
    }
    void formed(const Cell& v, bool mold);
    void key_value(const Cell& key, const Cell& v, int depth);

    TextOut& out_;
    bool ascii_;
    const std::vector<uint32_t>* indent_;
    int64_t level_;
    std::vector<uint32_t> names_;
};

void Encoder::escape_char(uint32_t c) {
    switch (c) {
        case '"': out_.add_ascii("\\\""); return;
        case '\\': out_.add_ascii("\\\\"); return;
        case 8: out_.add_ascii("\\b"); return;
        case 12: out_.add_ascii("\\f"); return;
        case 10: out_.add_ascii("\\n"); return;
        case 13: out_.add_ascii("\\r"); return;
        case 9: out_.add_ascii("\\t"); return;
        default: break;
    }
    auto hex4 = [&](uint32_t v) {
        static const char digits[] = "0123456789ABCDEF";
        char t[6] = {'\\', 'u', digits[(v >> 12) & 15], digits[(v >> 8) & 15], digits[(v >> 4) & 15],
                     digits[v & 15]};
        out_.add_ascii(std::string_view(t, 6));
    };
    if (c <= 0xFFFF) {
        hex4(c);
    } else {
        uint32_t n = c - 0x10000;
        hex4((n >> 10) + 0xD800);
        hex4((n & 1023) + 0xDC00);
    }
}

template <typename Unit>
void Encoder::escape(const Unit* units, size_t count) {
    out_.add('"');
    size_t i = 0;
    while (i < count) {
        // A run of plain ASCII goes out at once.
        size_t run = i;
        while (run < count && units[run] >= 32 && units[run] < 0x80 && units[run] != '"' && units[run] != '\\') ++run;
        if (run > i) {
            out_.add_ascii_units(units + i, run - i);
            i = run;
            continue;
        }
        uint32_t c = units[i++];
        // A surrogate code point has no UTF-8 form: it is written as its escape, which JSON
        // readers take, so that the text stays encodable.
        bool normal = ascii_ ? (c >= 32 && c <= 127 && c != '"' && c != '\\')
                             : (c >= 32 && c != '"' && c != '\\' && (c < 0xD800 || c > 0xDFFF));
        if (normal) out_.add(c);
        else escape_char(c);
    }
    out_.add('"');
}

void Encoder::text(const Cell& s) {
    SeriesBuffer* b = series_::buffer(s);
    uint32_t n = b->length();
    uint32_t from = std::min(s.data1, n);
    switch (b->unit()) {
        case 1: escape(b->head + from, n - from); break;
        case 2: escape(reinterpret_cast<const uint16_t*>(b->head) + from, n - from); break;
        default: escape(reinterpret_cast<const uint32_t*>(b->head) + from, n - from); break;
    }
}

// The value formed (or molded), written as a JSON string.
void Encoder::formed(const Cell& v, bool mold) {
    Cell* s = stack::push(string::make_cell(16));
    if (mold) actions::mold(v, s->data2, false, false, false, nullptr, INT32_MAX, 0);
    else actions::form(v, s->data2, nullptr, INT32_MAX);
    text(*s);
    stack::data_top = s;
}

void Encoder::key_value(const Cell& key, const Cell& v, int depth) {
    TypeId t = type_of(key);
    if (string::any_string_q(t)) {
        value(key, depth);
    } else if (word::any_word_type_q(t)) {
        // A word's form is its name.
        std::string_view name = symbol::name(key.data2);
        names_.clear();
        for (size_t k = 0; k < name.size();) {
            uint32_t c = uint8_t(name[k]);
            size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            if (len > 1) {
                c &= 0x3F >> (len - 1);
                for (size_t j = 1; j < len && k + j < name.size(); ++j) c = (c << 6) | (uint8_t(name[k + j]) & 0x3F);
            }
            names_.push_back(c);
            k += len;
        }
        escape(names_.data(), names_.size());
    } else {
        formed(key, true);
    }
    if (indent_) out_.add_ascii(": ");
    else out_.add(':');
    value(v, depth);
}

void Encoder::value(const Cell& v, int depth) {
    if (depth > 10000) error::raise(ErrorId::internal_stack_overflow);
    TypeId t = type_of(v);
    switch (t) {
        case TypeId::none: out_.add_ascii("null"); return;
        case TypeId::logic: out_.add_ascii(v.data1 ? "true" : "false"); return;
        case TypeId::integer: out_.add_ascii(std::to_string(cell::get_integer(v))); return;
        case TypeId::float_:
        case TypeId::percent:
            out_.add_ascii(float_::format(cell::get_float(v), float_::FormatKind::float_).view());
            return;
        case TypeId::string: text(v); return;
        case TypeId::map:
        case TypeId::object: {
            // Cells are fetched again at each step: writing a value may move buffers. The map
            // or object stays reachable from `v`, which the caller holds.
            bool is_map = t == TypeId::map;
            Cell body = cell::make(TypeId::block, 0, v.data2, 0);
            uint32_t n = is_map ? block::length_from_head(body) : context::word_count(v.data1);
            uint32_t step = is_map ? 2 : 1;
            bool first = true;
            for (uint32_t k = 0; k < n; k += step) {
                Cell key, val;
                if (is_map) {
                    key = *block::cell_at(body, k);
                    val = *block::cell_at(body, k + 1);
                    if (val.header == 0) continue;  // a removed entry
                } else {
                    key = *context::word_at(v.data1, k);
                    val = *context::value_at(v.data1, k);
                }
                if (first) {
                    out_.add('{');
                    if (indent_) line_and_indent(1);
                    first = false;
                } else {
                    out_.add(',');
                    if (indent_) line_and_indent(0);
                }
                key_value(key, val, depth + 1);
            }
            if (first) {
                out_.add_ascii("{}");
            } else {
                if (indent_) line_and_indent(-1);
                out_.add('}');
            }
            return;
        }
        default: break;
    }
    if (series_::any_block_q(t)) {
        Cell b = v;
        Cell* keep = stack::push(b);
        uint32_t n = series_::total_length(b);
        if (b.data1 >= n) {
            out_.add_ascii("[]");
        } else {
            out_.add('[');
            if (indent_) line_and_indent(1);
            for (uint32_t k = b.data1; k < n && k < series_::total_length(*keep); ++k) {
                if (k > b.data1) {
                    out_.add(',');
                    if (indent_) line_and_indent(0);
                }
                Cell item = *block::cell_at(*keep, k);
                value(item, depth + 1);
            }
            if (indent_) line_and_indent(-1);
            out_.add(']');
        }
        stack::data_top = keep;
        return;
    }
    formed(v, !string::any_string_q(t));
}

// json-encode output value indent level ascii?: appends the JSON text of the value to the
// output string, pretty printed with the indent string (none: compact) from the nesting level
// given; returns the output.
routines::Result json_encode(const routines::Arg* args, uint32_t) {
    Cell output = arg(0), value = arg(1), indent = arg(2);
    int64_t level = args[3].integer;
    bool ascii = args[4].integer != 0;
    std::vector<uint32_t> indent_text;
    bool pretty = string::any_string_q(type_of(indent));
    if (pretty) indent_text = code_points(indent);
    TextOut out;
    Encoder e(out, ascii, pretty ? &indent_text : nullptr, level);
    e.value(value, 0);
    append_to(output, out);
    arg(0) = output;
    return {};
}

constexpr routines::Definition kRoutines[] = {
    {"json-decode", R"k(input [string!])k", json_decode, TypeId(0)},
    {"json-encode",
     R"k(output [string!] value [any-type!] indent [any-type!] level [integer!] ascii? [logic!])k",
     json_encode, TypeId(0)},
    {"json-unescape", R"k("Resolve the escapes of a JSON string" str [string!] "(modified)")k", unescape,
     TypeId(0)},
};

}  // namespace

std::span<const routines::Definition> routines() { return kRoutines; }

}  // namespace kaz::json
