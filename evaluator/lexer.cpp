// The lexer's driver: the token loop, containers and paths, events to a callback, syntax errors,
// and the scan entries behind load, to block! and transcode.
#include "evaluator/lexer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "datatypes/block.h"
#include "datatypes/internal.h"
#include "datatypes/map.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/lexer_internal.h"
#include "evaluator/natives_control.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/text.h"
#include "runtime/unicode.h"

namespace kaz::lexer {

Cell kind_words = cell::none();
State* chain = nullptr;

// ---- buffers ----

namespace {
// Doubles a heap array of trivially copyable items, moving it off its inline storage first.
template <typename T>
T* grow_array(T* data, const T* inline_data, uint32_t size, uint32_t& capacity) {
    if (capacity > 0x7FFFFFFFu / sizeof(T) / 2) error::raise(ErrorId::internal_no_memory);
    uint32_t wanted = capacity * 2;
    void* fresh = data == inline_data ? std::malloc(size_t(wanted) * sizeof(T))
                                      : std::realloc(data, size_t(wanted) * sizeof(T));
    if (!fresh) error::raise(ErrorId::internal_no_memory);
    if (data == inline_data) std::memcpy(fresh, inline_data, size_t(size) * sizeof(T));
    capacity = wanted;
    return static_cast<T*>(fresh);
}
}  // namespace

void TokenBuffer::grow() { data_ = grow_array(data_, inline_, size_, capacity_); }
void OpenStack::grow() { data_ = grow_array(data_, inline_, size_, capacity_); }

namespace {

// The text a scan reads: a private copy ending in a NUL, so that every loop stops at the end
// without a bound check and a callback that changes the source cannot pull it away.
class Input {
public:
    Input() = default;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input() {
        if (data_ != inline_) std::free(data_);
    }
    uint8_t* reserve(uint64_t size) {
        if (size + 1 > sizeof inline_) {
            if (size >= 0xFFFF'0000ULL) error::raise(ErrorId::internal_no_memory);
            data_ = static_cast<uint8_t*>(std::malloc(size_t(size) + 1));
            if (!data_) error::raise(ErrorId::internal_no_memory);
        }
        return data_;
    }
    uint8_t* data() { return data_; }

private:
    uint8_t inline_[256];
    uint8_t* data_ = inline_;
};

// Links a state into the scan chain for its lifetime, whatever way the scan ends.
struct ChainLink {
    State& st;
    explicit ChainLink(State& s) : st(s) {
        st.parent = chain;
        chain = &st;
    }
    ~ChainLink() { chain = st.parent; }
    ChainLink(const ChainLink&) = delete;
    ChainLink& operator=(const ChainLink&) = delete;
};

constexpr bool path_type_q(TypeId t) { return t >= TypeId::path && t <= TypeId::get_path; }

// ---- positions ----

// The source index of a byte position: characters for a string source, bytes for a binary.
uint32_t position(State& st, const uint8_t* p) {
    if (!st.string_source) return st.base + uint32_t(p - st.begin);
    if (!st.cache_pos) {
        st.cache_pos = st.begin;
        st.cache_index = 0;
    }
    if (p >= st.cache_pos)
        st.cache_index += utf8::count_chars(st.cache_pos, p);
    else
        st.cache_index -= utf8::count_chars(p, st.cache_pos);
    st.cache_pos = p;
    return st.base + st.cache_index;
}

// The byte position of a source index, clamped to the input.
const uint8_t* position_of(State& st, uint32_t index) {
    if (index <= st.base) return st.begin;
    uint32_t n = index - st.base;
    if (!st.string_source) return st.begin + std::min<uint64_t>(n, uint64_t(st.end - st.begin));
    return utf8::skip_chars(st.begin, st.end, n);
}

// ---- events ----

// The word of each event, at the position of its bit.
constexpr const Cell* kEventWords[] = {
#define KAZ_LEXER_EVENT_WORD(bit, name) &words::name,
    KAZ_LEXER_EVENTS(KAZ_LEXER_EVENT_WORD)
#undef KAZ_LEXER_EVENT_WORD
};
constexpr uint32_t kEventBits[] = {
#define KAZ_LEXER_EVENT_BIT(bit, name) bit,
    KAZ_LEXER_EVENTS(KAZ_LEXER_EVENT_BIT)
#undef KAZ_LEXER_EVENT_BIT
};
static_assert(bits_from_one(kEventBits), "each lexer event has the next bit");

const Cell& event_word(uint32_t bit) { return *kEventWords[__builtin_ctz(bit)]; }

// A token's type as a callback sees it: a datatype!, none!, or for -kind the kind's word.
Cell type_argument(int32_t type) {
    if (type > 0) return cell::datatype(TypeId(type));
    if (type < 0 && is(kind_words, TypeId::block)) {
        SeriesBuffer* b = memory::buffer_of(kind_words.data2);
        uint32_t i = kind_words.data1 + uint32_t(-type) - 1;
        if (i < b->length()) return b->cells()[i];
    }
    return cell::none();
}

// ---- values ----

Cell series_of(TypeId type, const Cell* cells, uint32_t n) {
    Node node = series::alloc_cells(std::max<uint32_t>(n, 1));
    SeriesBuffer* b = memory::buffer_of(node);
    std::memcpy(b->head, cells, size_t(n) * sizeof(Cell));
    b->tail = b->head + size_t(n) * sizeof(Cell);
    return cell::make(type, 0, node, 0);
}

// ---- syntax errors ----

Cell line_text(int32_t line) {
    std::string text = "(line " + std::to_string(line) + ")";
    Cell s = string::make_cell(20);
    text::append_ascii(s.data2, text);
    return s;
}

// The text from `start` to the first line feed, the end, or 30 bytes (finishing the UTF-8
// sequence that the limit cuts); a byte that is not UTF-8 shows as U+FFFD.
Cell near_text(State& st, const uint8_t* start) {
    const uint8_t* limit = start + std::min<ptrdiff_t>(30, st.end - start);
    const uint8_t* stop = start;
    while (stop < limit && *stop != '\n' && *stop != 0) ++stop;
    while (stop < st.end && (*stop & 0xC0) == 0x80 && stop > start && *stop != 0) ++stop;
    std::string text;
    for (const uint8_t* p = start; p < stop;) {
        if (*p < 0x80) {
            text += char(*p++);
            continue;
        }
        int32_t cp;
        const uint8_t* next = utf8::decode_char(p, stop, cp);
        if (cp < 0) {
            text += "\xEF\xBF\xBD";
            ++p;
        } else {
            text.append(reinterpret_cast<const char*>(p), size_t(next - p));
            p = next;
        }
    }
    return string::from_utf8(text);
}

}  // namespace

void append_value(State& st, Cell c, bool new_line) {
    if (new_line)
        c.header |= cell_flag::new_line;
    else
        c.header &= ~cell_flag::new_line;
    st.cells.push(c);
}

bool fire_event(State& st, uint32_t bit, int32_t type, const Cell* value, const uint8_t* start,
                const uint8_t* end, bool at_start) {
    if (!st.callback || !(st.callback->mask() & bit)) return true;
    Cell args[5];
    args[0] = event_word(bit);
    uint32_t start_index = position(st, start);
    uint32_t end_index = position(st, end);
    args[1] = st.source;
    args[1].data1 = at_start ? start_index : end_index;
    args[2] = type_argument(type);
    args[3] = cell::integer(st.line);
    if (value)
        args[4] = *value;
    else
        args[4] = cell::make(TypeId::pair, 0, start_index - st.base + 1, end_index - st.base + 1);
    uint32_t given = args[1].data1;
    bool result = st.callback->call(args);
    // A callback may move the read position within the same series; never out of the input.
    if (type_of(args[1]) == type_of(st.source) && args[1].data2 == st.source.data2 &&
        args[1].data1 != given)
        st.pos = position_of(st, args[1].data1);
    return result;
}

void syntax_error(State& st, int32_t type, const uint8_t* start, const uint8_t* end) {
    if (!start) start = st.opens.empty() ? st.begin : st.opens.top().at;
    if (!end || end < start) end = start;
    if (!st.load) {
        // Not loading: the error ends the scan; a callback hears of it first.
        fire_event(st, event::error, int32_t(TypeId::error), nullptr, start, end);
        st.token_type = -1;
        throw Stop{};
    }
    if (st.callback) {
        int32_t open_type = st.opens.empty() ? 0 : int32_t(st.opens.top().type);
        int32_t reported = type > 0 ? type
                           : open_type > 0 ? open_type
                           : st.token_type > 0 ? st.token_type
                                               : int32_t(TypeId::error);
        if (!fire_event(st, event::error, reported, nullptr, start, end)) {
            st.token_type = -1;
            throw Stop{};
        }
    }
    Cell line = line_text(st.line);
    Cell near = near_text(st, start);
    switch (type) {
        case -1:
            error::raise(ErrorId::syntax_bad_char, line, near);
        case -2:
            error::raise(ErrorId::syntax_malconstruct, line, near);
        case -3:
        case -4:
            error::raise(ErrorId::syntax_missing, line, cell::make(TypeId::char_, 0, st.missing), near);
        default:
            error::raise(ErrorId::syntax_invalid, line, cell::datatype(TypeId(type)), near);
    }
}

namespace {

// ---- containers ----

void open_container(State& st, const Token& t, TypeId type) {
    st.opens.push(Open{st.cells.size(), type, t.new_line, t.start});
    fire_event(st, event::open, int32_t(type), nullptr, t.start, t.end, true);
}

// The closing character missing when `byte` meets the innermost container (or none).
uint8_t missing_char(State& st, uint8_t byte) {
    TypeId open = st.opens.empty() ? TypeId::invalid : st.opens.top().type;
    if (open == TypeId::block || open == TypeId::map) return byte == ']' ? '[' : ']';
    if (open == TypeId::paren || open == TypeId::point2d) return byte == ')' ? '(' : ')';
    return byte == ']' ? '[' : byte == ')' ? '(' : ']';
}

// Replaces the innermost container's values by the container.
void close_container(State& st, TypeId type, const uint8_t* start, const uint8_t* end) {
    Open o = st.opens.top();
    if (st.load) {
        uint32_t n = st.cells.size() - o.first;
        Cell c = series_of(type == TypeId::map ? TypeId::block : type, st.cells.data() + o.first, n);
        if (type == TypeId::map) {
            Cell pairs = c;
            map::init_cell(c, &pairs, 0);
        }
        st.cells.resize_down(o.first);
        append_value(st, c, o.new_line);
    }
    st.opens.pop();
    st.token_type = int32_t(type);
    fire_event(st, event::close, int32_t(type), nullptr, start, end);
}

void close_bracket(State& st, const Token& t) {
    uint8_t byte = *t.start;
    TypeId open = st.opens.empty() ? TypeId::invalid : st.opens.top().type;
    bool fits = byte == ']' ? (open == TypeId::block || open == TypeId::map) : open == TypeId::paren;
    if (!fits) {
        st.missing = missing_char(st, byte);
        // Inside a container the error shows where that container opened; with nothing open,
        // the closer itself (the input's start may be pages away).
        syntax_error(st, path_type_q(open) ? -1 : -3, st.opens.empty() ? t.start : nullptr, t.end);
    }
    if (open == TypeId::map && st.load) {
        // Keys alternate with values; each key of a type a map can index.
        const Open& o = st.opens.top();
        uint32_t n = st.cells.size() - o.first;
        bool valid = n % 2 == 0;
        for (uint32_t i = o.first; valid && i < st.cells.size(); i += 2)
            valid = map::valid_key_type_q(type_of(st.cells[i]));
        if (!valid) syntax_error(st, int32_t(TypeId::map), o.at, t.end);
    }
    close_container(st, open, t.start, t.end);
}

// After a path element: a delimiter (or the end) closes the path, a colon there makes it a
// set-path, a / is the separator. Anything else cannot follow an element.
void path_step(State& st) {
    const Open& o = st.opens.top();
    const uint8_t* p = st.pos;
    uint8_t c = p < st.end ? *p : 0;
    if (c == '/') {
        st.pos = p + 1;
        // A separator must be followed by an element.
        if (st.pos >= st.end || *st.pos == 0) syntax_error(st, int32_t(TypeId::path), o.at, st.pos);
        return;
    }
    if (!in(c, set::path_delimiter) && c != ',')
        syntax_error(st, int32_t(TypeId::path), o.at, p + 1);
    TypeId type = o.type;
    if (c == ':') {
        if (type != TypeId::path) {
            st.missing = 0;
            syntax_error(st, -1, o.at, p + 1);
        }
        if (p[1] == '/') syntax_error(st, int32_t(TypeId::path), o.at, p + 2);
        type = TypeId::set_path;
        st.pos = p + 1;
        st.opens.top().type = type;
    }
    close_container(st, type, o.at, st.pos);
}

void comma(State& st, const Token& t) {
    Open* o = st.opens.empty() ? nullptr : &st.opens.top();
    if (o && o->type == TypeId::paren) {
        // A paren holding a comma can only have been meant as a point.
        o->type = TypeId::point2d;
        return;
    }
    if (o && o->type == TypeId::point2d) return;
    syntax_error(st, int32_t(TypeId::point2d), t.start, t.end);
}

// ---- tokens ----

// A token that makes a value: checked (and reported) when not loading or when a callback wants
// scan events, then made and reported.
void value_token(State& st, Token& t) {
    bool load = st.load;
    if (!st.load || (st.callback && (st.callback->mask() & event::scan))) {
        load_token(st, t, false);
        st.token_type = t.type;
        if (st.callback) load = fire_event(st, event::scan, t.type, nullptr, t.start, t.end);
    }
    if (load && st.load) {
        uint32_t before = st.cells.size();
        load_token(st, t, true);
        st.token_type = t.type;
        if (st.callback && st.cells.size() > before) {
            Cell value = st.cells.back();
            if (!fire_event(st, event::load, t.type, &value, t.start, t.end)) st.cells.resize_down(before);
        }
    }
}

// A brace string, read whole from its {: nested braces and escapes, line feeds kept.
void brace_string(State& st, const Token& open) {
    constexpr int32_t kString = int32_t(TypeId::string);
    fire_event(st, event::open, kString, nullptr, open.start, open.end, true);
    const uint8_t* body = st.pos;
    uint32_t flags = 0;
    const uint8_t* stop = nullptr;
    const uint8_t* close = brace_string_end(body, flags, stop);
    if (!close) {
        st.line += count_lines(body, stop);
        syntax_error(st, kString, open.start, stop);
    }
    if (flags & flag::multiline) st.line += count_lines(body, close);
    st.pos = close;
    Token t{Kind::brace_close, kString, body - 1, close, flags, open.new_line, 0};
    fire_event(st, event::close, kString, nullptr, t.start, t.end);
    if (st.load) {
        value_token(st, t);
    } else {
        load_token(st, t, false);
    }
    st.token_type = kString;
}

// The tokens up to the comma: containers, brace strings, comments, errors.
void structural(State& st, Token& t, bool path) {
    switch (t.kind) {
        case Kind::end:
            st.pos = st.end;
            return;
        case Kind::error:
            st.token_type = int32_t(TypeId::error);
            // Errors of what may follow a / report from the path's start.
            syntax_error(st, t.type, path && t.type == int32_t(TypeId::path) ? nullptr : t.start, t.end);
        case Kind::block_open:
            return open_container(st, t, TypeId::block);
        case Kind::paren_open:
            return open_container(st, t, TypeId::paren);
        case Kind::map_open:
            if (t.start[0] != '#') syntax_error(st, int32_t(TypeId::map), t.start, t.end);
            return open_container(st, t, TypeId::map);
        case Kind::block_close:
        case Kind::paren_close:
            return close_bracket(st, t);
        case Kind::brace_open:
            return brace_string(st, t);
        case Kind::path_start: {
            TypeId type = t.sigil == '\'' ? TypeId::lit_path : t.sigil == ':' ? TypeId::get_path : TypeId::path;
            open_container(st, t, type);
            const uint8_t* name = t.start + (t.sigil ? 1 : 0);
            if (st.load) {
                append_word(st, TypeId::word, name, t.end - 1, false);
            } else {
                Token word{Kind::word, int32_t(TypeId::word), name, t.end - 1, 0, 0, 0};
                load_token(st, word, false);
            }
            return;
        }
        case Kind::construction:
            load_token(st, t, st.load);
            st.token_type = t.type;
            return;
        case Kind::comment:
            fire_event(st, event::scan, -int32_t(Kind::comment), nullptr, t.start, t.end);
            return;
        case Kind::comma:
            return comma(st, t);
        default:
            return;
    }
}

// The token loop.
void drive(State& st, const ScanFlags& flags) {
    while (st.pos < st.end) {
        bool path = !st.opens.empty() && path_type_q(st.opens.top().type);
        Token t = next_token(st, path);
        Kind kind = t.kind;
        st.token_type = kind == Kind::error ? int32_t(TypeId::error) : t.type;
        bool structural_kind = kind < Kind::string;
        if (st.prescan && (structural_kind || kind == Kind::string)) {
            if (structural_kind)
                structural(st, t, path);
            else
                load_token(st, t, false);
        }
        bool go_on = !st.prescan;
        if (st.callback && kind != Kind::comment) {
            int32_t type = kind == Kind::error ? int32_t(TypeId::error)
                           : t.type > 0         ? t.type
                                                : -int32_t(kind);
            go_on = fire_event(st, event::prescan, type, nullptr, t.start, t.end, type < 0);
        }
        if (go_on) {
            if (!structural_kind)
                value_token(st, t);
            else if (!st.prescan)
                structural(st, t, path);
        }
        if (kind != Kind::path_start && !st.opens.empty() && path_type_q(st.opens.top().type))
            path_step(st);
        if (kind == Kind::end) {
            // A NUL ends the input even when bytes follow it.
            st.pos = st.end;
            break;
        }
        if ((flags.one || st.prescan) && st.opens.empty() && st.token_type > 0) {
            st.last_type = st.token_type;
            break;
        }
        st.last_type = st.token_type;
    }
    if (!st.opens.empty()) {
        // The input ended inside a container, or after a path's / with no element.
        TypeId open = st.opens.top().type;
        if (path_type_q(open)) syntax_error(st, int32_t(TypeId::path), st.opens.top().at, st.end);
        st.missing = open == TypeId::block || open == TypeId::map ? ']' : ')';
        syntax_error(st, -4, nullptr, st.end);
    }
}

// The scan of `count` bytes already copied to `input` (a NUL after them).
ScanResult run_scan(Cell& destination, uint8_t* input, uint32_t count, const ScanFlags& flags,
                    Callback* callback, const Cell& source, uint32_t base, const Cell* into) {
    input[count] = 0;
    State st;
    ChainLink link(st);
    st.begin = st.pos = input;
    st.end = input + count;
    st.load = flags.full && flags.load;
    st.prescan = !flags.full;
    st.callback = callback;
    st.source = source;
    st.base = base;
    st.string_source = type_of(source) != TypeId::binary;
    try {
        drive(st, flags);
    } catch (const Stop&) {
        destination = cell::none();
        return {-1, position(st, st.pos) - base};
    }
    uint32_t consumed = position(st, st.pos) - base;
    if (!st.load) {
        destination = cell::none();
        return {st.last_type, consumed};
    }
    uint32_t n = st.cells.size();
    if (flags.one && !flags.wrap) {
        destination = n ? st.cells[0] : cell::unset();
    } else if (into) {
        for (uint32_t i = 0; i < n; ++i) block::append_cell(*into, st.cells[i]);
        destination = *into;
    } else {
        destination = series_of(TypeId::block, st.cells.data(), n);
    }
    return {st.last_type, consumed};
}

// A Kaz function! or routine! as a callback.
class FunctionCallback : public Callback {
public:
    explicit FunctionCallback(const Cell& function) : Callback(event_mask(function)), function_(function) {}
    bool call(Cell (&args)[5]) override {
        return interp::true_q(interp::call(function_, args, 5), false);
    }
    const Cell* value() const override { return &function_; }

private:
    Cell function_;
};

}  // namespace

// ---- entries ----

uint32_t event_mask(const Cell& callback) {
    TypeId t = type_of(callback);
    if ((t != TypeId::function && t != TypeId::routine) || !callback.data3) return event::all;
    SeriesBuffer* more = memory::buffer_of(callback.data3);
    if (more->length() < 1) return event::all;
    const Cell& body = more->cells()[0];
    if (!is(body, TypeId::block)) return event::all;
    SeriesBuffer* b = memory::buffer_of(body.data2);
    if (body.data1 >= b->length()) return event::all;
    const Cell& first = b->cells()[body.data1];
    if (!is(first, TypeId::block)) return event::all;
    uint32_t mask = 0;
    SeriesBuffer* words = memory::buffer_of(first.data2);
    for (uint32_t i = first.data1; i < words->length(); ++i) {
        const Cell& w = words->cells()[i];
        if (!word::any_word_type_q(type_of(w))) continue;
        for (size_t k = 0; k < std::size(kEventWords); ++k)
            if (symbol::canonical_id(w.data2) == symbol::canonical_id(kEventWords[k]->data2)) mask |= kEventBits[k];
    }
    return mask;
}

ScanResult scan(Cell& destination, const uint8_t* bytes, uint32_t count, const ScanFlags& flags,
                Callback* callback, const Cell& source, uint32_t base, const Cell* into) {
    Input input;
    uint8_t* copy = input.reserve(count);
    if (count) std::memcpy(copy, bytes, count);
    return run_scan(destination, copy, count, flags, callback, source, base, into);
}

ScanResult scan_string(Cell& destination, const Cell& string, int32_t length,
                       const ScanFlags& flags, Callback* callback, const Cell* into) {
    Cell s = string;
    uint32_t available = series_::length_from_head(s);
    uint32_t count = length < 0 ? available : std::min(uint32_t(length), available);
    SeriesBuffer* b = memory::buffer_of(s.data2);
    uint32_t unit = b->unit();
    const uint8_t* start = b->head + size_t(s.data1) * unit;
    uint64_t size = utf8::range_size(start, start + size_t(count) * unit, unit);
    Input input;
    uint8_t* copy = input.reserve(size);
    uint32_t written = string::encode_utf8_into(s, copy, count, false);
    return run_scan(destination, copy, written, flags, callback, s, s.data1, into);
}

Cell load_text(const Cell& string) {
    Cell block = cell::none();
    scan_string(block, string, -1, ScanFlags{}, nullptr, nullptr);
    return block;
}

int32_t scan_type(const uint8_t* bytes, uint32_t count) {
    Cell unused = cell::none();
    Cell source = cell::make(TypeId::binary);
    return scan(unused, bytes, count, ScanFlags{.one = true, .load = false}, nullptr, source, 0, nullptr).type;
}

Cell transcode(const Cell& source, const TranscodeOptions& o) {
    TypeId t = type_of(source);
    if (t != TypeId::binary && t != TypeId::string) error::raise(ErrorId::script_invalid_arg, source);
    Cell src = source;
    uint32_t head = series_::clamp_head(src);
    uint32_t length = series_::total_length(src) - head;
    if (o.part) {
        int64_t n;
        if (is(*o.part, TypeId::integer))
            n = cell::get_integer(*o.part);
        else if (series_::same_series_q(*o.part, src))
            n = int64_t(o.part->data1) - int64_t(head);
        else
            error::raise(ErrorId::script_not_same_type);
        length = uint32_t(std::clamp<int64_t>(n, 0, length));
    }
    if (o.trace && !is(*o.trace, TypeId::function) && !is(*o.trace, TypeId::routine))
        error::raise(ErrorId::script_invalid_arg, *o.trace);
    std::optional<FunctionCallback> kaz_callback;
    if (o.trace) kaz_callback.emplace(*o.trace);
    Callback* callback = kaz_callback ? &*kaz_callback : o.callback;

    ScanFlags flags{.one = o.next || o.one, .full = !o.prescan, .load = !o.scan, .wrap = false};
    Cell value = cell::none();
    ScanResult r;
    uint32_t base = head;
    if (t == TypeId::binary) {
        const uint8_t* bytes = memory::buffer_of(src.data2)->head + head;
        if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
            bytes += 3;
            length -= 3;
            base += 3;
        }
        r = scan(value, bytes, length, flags, callback, src, base, o.into);
    } else {
        r = scan_string(value, src, int32_t(length), flags, callback, o.into);
    }
    if (o.prescan || o.scan) {
        value = r.type > 0 ? cell::datatype(TypeId(r.type))
                : r.type < 0 ? cell::datatype(TypeId::error)
                             : cell::none();
    }
    if (!o.next) return value;
    Cell advanced = src;
    advanced.data1 = base + r.consumed;
    Cell pair[2] = {value, advanced};
    return series_of(TypeId::block, pair, 2);
}

void for_each_live(void (*visit)(const Cell& cell, void* context), void* context) {
    visit(kind_words, context);
    for (State* st = chain; st; st = st->parent) {
        for (uint32_t i = 0; i < st->cells.size(); ++i) visit(st->cells[i], context);
        visit(st->source, context);
        if (st->callback && st->callback->value()) visit(*st->callback->value(), context);
    }
}

}  // namespace kaz::lexer
