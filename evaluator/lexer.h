// The lexer: UTF-8 source text to values. A hand-written scanner classifies each token from a
// byte-class table; one loader per token kind makes its value. Scans nest (a callback may load
// text again): each running scan is a state on the C++ stack, linked in a chain that the
// collector walks through for_each_live. Nothing is shared between scans but that chain.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::lexer {

// Token kinds, numbered as the environment's list of token-kind words is indexed: a token
// without a datatype reports -kind as its type.
enum class Kind : uint8_t {
    end = 1, error, block_open, block_close, paren_open, paren_close, brace_open, brace_close,
    map_open, path_start, construction, comment, comma, string, word, issue, integer,
    refinement, char_, file, binary, percent, float_, special_float, tuple, date, pair, point,
    time, money, tag, url, email, hex, raw_string, ref,
};
inline constexpr int kKindCount = int(Kind::ref);  // the last kind

// Lexer events: bits of a callback's event mask, each named by the word of the same name.
// ORDER LEXER-EVENT: the bits run from 1 up in this order.
#define KAZ_LEXER_EVENTS(X) X(1, prescan) X(2, scan) X(4, load) X(8, open) X(16, close) X(32, error)
namespace event {
#define KAZ_LEXER_EVENT_BIT(bit, name) inline constexpr uint32_t name = bit;
KAZ_LEXER_EVENTS(KAZ_LEXER_EVENT_BIT)
#undef KAZ_LEXER_EVENT_BIT
#define KAZ_LEXER_EVENT_OR(bit, name) | bit
inline constexpr uint32_t all = 0 KAZ_LEXER_EVENTS(KAZ_LEXER_EVENT_OR);
#undef KAZ_LEXER_EVENT_OR
}  // namespace event

// Receives lexer events. The five arguments are those a Kaz callback receives: the event word;
// the source series, its index at the token's end (at its start for open, and for the prescan
// of a token without a datatype); the type (a datatype!, none!, or the token-kind word); the
// line as integer!; the loaded value for load, otherwise a pair! of the token's start and end
// positions counted from 1 (characters of a string source, bytes of a binary one). Moving the
// index of args[1] moves the lexer's read position there (clamped to the input). The answer
// vetoes the token (prescan, scan), drops the loaded value (load), or lets an error be raised
// (error) when false.
class Callback {
public:
    explicit Callback(uint32_t mask = event::all) : mask_(mask) {}
    virtual ~Callback() = default;
    virtual bool call(Cell (&args)[5]) = 0;
    uint32_t mask() const { return mask_; }
    // The callback as a value for the collector (a function!), or null when it is C++ alone.
    virtual const Cell* value() const { return nullptr; }

private:
    uint32_t mask_;
};

// The event mask of a Kaz callback: when its body is a block whose first value is a block, the
// OR of the bits of the event words found there (canonical comparison, other values ignored);
// otherwise every event.
uint32_t event_mask(const Cell& callback);

// The block of words naming the token kinds, indexed by kind from 1, which a callback receives
// as the type of a token without a datatype; none! until the environment sets it.
extern Cell kind_words;

// ---- scanning ----

struct ScanFlags {
    bool one = false;   // stop after the first value (or the first typed token)
    bool full = true;   // false: prescan only, structural tokens checked, nothing else
    bool load = true;   // false: scan without making values
    bool wrap = false;  // with `one`, still answer a block
};

struct ScanResult {
    // The datatype id of the last token, 0 for none, or -1 when the scan stopped on an error
    // without raising it (not loading, or a callback refused it).
    int32_t type;
    // Characters consumed for a string source, bytes for a binary one.
    uint32_t consumed;
};

// Scans `count` bytes of UTF-8. Loading, the values go into a new block! written to
// `destination`, or are appended to `into` when given (the destination is then `into`), or
// with `one` (and not `wrap`) the first value itself (unset! when there is none). A syntax
// error is raised when loading; otherwise it ends the scan with type -1 and the destination
// none!. `source` is the series the text came from (the callback's input); `base` its index
// at the first byte. May allocate; `bytes` may lie in a series buffer.
ScanResult scan(Cell& destination, const uint8_t* bytes, uint32_t count, const ScanFlags& flags,
                Callback* callback, const Cell& source, uint32_t base, const Cell* into);

// The same over `length` code points of a string from its head (-1: to the tail).
ScanResult scan_string(Cell& destination, const Cell& string, int32_t length,
                       const ScanFlags& flags, Callback* callback, const Cell* into);

// The whole text of a string! loaded into a new block! (`to block!`, `load`, `do` of text).
Cell load_text(const Cell& string);

// The datatype id the UTF-8 text's first token scans as, 0 for none, -1 for an error.
int32_t scan_type(const uint8_t* bytes, uint32_t count);

// ---- transcode ----

struct TranscodeOptions {
    bool next = false;
    bool one = false;
    bool prescan = false;
    bool scan = false;
    const Cell* part = nullptr;   // integer! length, or a position in the source
    const Cell* into = nullptr;   // block!
    const Cell* trace = nullptr;  // Kaz callback: function! or routine!
    Callback* callback = nullptr; // C++ callback, in place of a Kaz one
};

// The core of the transcode native: a binary! (UTF-8, a leading byte-order mark skipped) or a
// string! source. Answers a block of the values (the /into block), the value alone (/one), a
// block of the value and the source advanced past it (/next), or for /prescan and /scan the
// datatype! the text scans as (error! for a syntax error, none! for nothing).
Cell transcode(const Cell& source, const TranscodeOptions& options);

// ---- collector ----

// Calls `visit` on every cell a running scan holds: the values made so far, each source and
// each Kaz callback, and the kind-words block.
void for_each_live(void (*visit)(const Cell& cell, void* context), void* context);

}  // namespace kaz::lexer
