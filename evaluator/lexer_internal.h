// The lexer's shared internals: byte tables, tokens, the scan state, the loaders.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "evaluator/lexer.h"
#include "evaluator/lexer_tables.h"
#include "runtime/cell.h"

namespace kaz::lexer {

// The code points other than ASCII blanks that separate words.
bool blank_q(uint32_t cp);
// The blank code point starting at p (a lead byte), or 0 bytes when there is none there.
uint32_t blank_length(const uint8_t* p, const uint8_t* end);

// ---- tokens ----

struct Token {
    Kind kind;
    // The datatype id (0 for none). An error token names the type that was being read, or -1
    // (bad-char) when none, or -2 (malconstruct).
    int32_t type;
    const uint8_t* start;
    const uint8_t* end;
    uint32_t flags;
    // A line feed stands between the previous token's end and this one's start. Line feeds
    // inside the token (a multi-line string) do not count: they are its content.
    bool new_line;
    uint8_t sigil;   // a word's leading ' or :, else 0
};

// ---- the scan state ----

// The values a scan has made: a growable array of cells, inline while small. The collector
// reaches them through the scan chain.
class TokenBuffer {
public:
    TokenBuffer() = default;
    TokenBuffer(const TokenBuffer&) = delete;
    TokenBuffer& operator=(const TokenBuffer&) = delete;
    ~TokenBuffer() {
        if (data_ != inline_) std::free(data_);
    }
    uint32_t size() const { return size_; }
    Cell* data() { return data_; }
    const Cell* data() const { return data_; }
    Cell& operator[](uint32_t i) { return data_[i]; }
    Cell& back() { return data_[size_ - 1]; }
    void push(const Cell& c) {
        if (size_ == capacity_) grow();
        data_[size_++] = c;
    }
    void resize_down(uint32_t n) { size_ = n; }

private:
    void grow();
    static constexpr uint32_t kInline = 64;
    Cell inline_[kInline];
    Cell* data_ = inline_;
    uint32_t size_ = 0;
    uint32_t capacity_ = kInline;
};

// An open container: its first value's index in the token buffer, its type, where its
// opening token began and whether that token stood on a new line.
struct Open {
    uint32_t first;
    TypeId type;  // block, paren, map, a path kind, or point2d once a comma turned a paren
    bool new_line;
    const uint8_t* at;
};

class OpenStack {
public:
    OpenStack() = default;
    OpenStack(const OpenStack&) = delete;
    OpenStack& operator=(const OpenStack&) = delete;
    ~OpenStack() {
        if (data_ != inline_) std::free(data_);
    }
    bool empty() const { return size_ == 0; }
    uint32_t size() const { return size_; }
    Open& top() { return data_[size_ - 1]; }
    void push(const Open& o) {
        if (size_ == capacity_) grow();
        data_[size_++] = o;
    }
    void pop() { --size_; }

private:
    void grow();
    static constexpr uint32_t kInline = 16;
    Open inline_[kInline];
    Open* data_ = inline_;
    uint32_t size_ = 0;
    uint32_t capacity_ = kInline;
};

// The words a scan made lately, by their text: a repeated word is neither interned nor looked
// up in the global context again. Names point into the scan's input.
struct WordCache {
    struct Entry {
        const uint8_t* name;
        uint32_t length;
        Cell word;
    };
    static constexpr uint32_t kSize = 2048;
    Entry entries[kSize];
};

// Thrown inside a scan to end it without an error: the type is already set.
struct Stop {};

struct State {
    State* parent = nullptr;  // the scan this one runs inside (the chain's next link)
    const uint8_t* begin = nullptr;
    const uint8_t* end = nullptr;  // a NUL byte sits here
    const uint8_t* pos = nullptr;
    int32_t line = 1;
    int32_t token_type = 0;
    int32_t last_type = 0;
    uint8_t missing = 0;  // the closing character a missing error names
    bool load = true;     // values are made
    bool prescan = false; // prescan only
    TokenBuffer cells;
    OpenStack opens;
    Callback* callback = nullptr;
    Cell source{};
    uint32_t base = 0;            // the source's index at the first byte
    bool string_source = false;   // positions count characters
    const uint8_t* cache_pos = nullptr;  // the last byte position converted to a character index
    uint32_t cache_index = 0;
    uint32_t words_made = 0;
    std::unique_ptr<WordCache> word_cache;  // made once a scan has made a few words
};

// The innermost running scan.
extern State* chain;

// ---- the scanner (lexer_scan.cpp) ----

// Reads the next token from st.pos, skipping blanks and counting lines; `path_element` reads
// what may follow a / inside a path. Moves st.pos to the token's end. Point literals are read
// whole: the token runs from the ( to the ) included.
Token next_token(State& st, bool path_element);
// The brace string whose text starts at `body`, after its {: its end after the matching },
// or null when the input ends first or a bad byte comes (`stop` then receives where); `flags`
// receives the flags of its bytes.
const uint8_t* brace_string_end(const uint8_t* body, uint32_t& flags, const uint8_t*& stop);
// Line feeds in [from, to).
int32_t count_lines(const uint8_t* from, const uint8_t* to);

// ---- loaders (lexer_load.cpp) ----

// Each checks its token and, with `load`, appends its value to the scan's cells; a refusal
// raises the syntax error (which ends a scan that is not loading). The token's type may be
// changed to the type of the value made (an integer too large loads as a float!).
void load_token(State& st, Token& t, bool load);
// Appends a word of `type` named by the bytes [start, end), bound to the global context.
void append_word(State& st, TypeId type, const uint8_t* start, const uint8_t* end, bool new_line);

// ---- errors and events (lexer.cpp) ----

// Raises the syntax error for `type` (a datatype id, or -1 bad-char, -2 malconstruct, -3 a
// closing bracket that matches nothing, -4 the end inside a container), near `start` (null:
// the innermost container's opening, else the input start). A scan that is not loading, or
// whose callback refuses the error, ends at once instead.
[[noreturn]] void syntax_error(State& st, int32_t type, const uint8_t* start, const uint8_t* end);
// Calls the callback when it asks for the event; true when it has none or asks not. With
// `at_start` the source index is the token's start, else its end. The callback may move the
// read position.
bool fire_event(State& st, uint32_t bit, int32_t type, const Cell* value, const uint8_t* start,
          const uint8_t* end, bool at_start = false);
// Appends a value cell, flagged when its token crossed a line feed.
void append_value(State& st, Cell c, bool new_line);

}  // namespace kaz::lexer
