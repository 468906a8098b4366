// url! and file! — text values that name resources and files. A url! is a string! cell of
// type url! that molds with percent escapes and joins path segments; a file! is a url! in the
// language's own path notation ("/" separators) that molds with a "%" prefix and is turned into
// a POSIX path for the operating system. Everything else is the string! behaviour.
//
// Also the percent-encoding codec that url! mold, the lexer and the enhex and dehex natives
// share. Any allocation may move any buffer: pointers into buffers are valid only until the
// next allocation.
#pragma once

#include <cstdint>
#include <string_view>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::url {

// The escape kind that selects the strict table (only "-", ".", "_", "~", digits and letters
// pass); any other kind selects the URL table.
inline constexpr uint32_t kStrict = 254;

// A byte as percent-encoding writes it: itself, or "%" and two upper-case hex digits.
struct Escaped {
    char text[3];
    uint8_t length;
    std::string_view view() const { return {text, length}; }
};

// True when the table of `kind` passes the byte unescaped (never for 0x80 and above).
bool passes_q(uint32_t kind, uint8_t byte);
Escaped escape_byte(uint32_t kind, uint8_t byte);
// True when `text` starts with "%" and two hexadecimal digits; `byte` receives their value.
bool hex_pair(std::string_view text, uint8_t& byte);

// Appends the UTF-8 bytes of the string from its head, each escaped by the table of `kind`,
// to `destination` (enhex): a byte series, or a string of any unit (the result is ASCII).
void percent_encode(const Cell& string, Node destination, uint32_t kind);
// Appends the code points of the string from its head to the string series `destination`,
// with every valid escape decoded (dehex): an escape of a byte below 0x80 gives that code
// point; an escaped UTF-8 lead byte followed by escapes of its continuation bytes gives the one
// code point they encode. Anything else, a "%" that starts no valid escape or a lone or broken
// sequence, is copied unchanged.
void percent_decode(const Cell& source, Node destination);

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);

// ---- registration ----
void init();

}  // namespace kaz::url

namespace kaz::file {

Cell* push(const Cell& file);

// Appends the POSIX form of the path to the string series `output`. A path starting with "/"
// is absolute ("//" at its start counts as one "/"); any other path is relative, and with
// `full` the current directory comes first. Letters after a leading "/" are directory names,
// never drives, and "\" is an ordinary character.
void to_os_path(const Cell& file, Node output, bool full);
// The NUL-terminated UTF-8 path that file services hand to the system: the POSIX form without
// the current directory. Valid until the next allocation. A path holding a NUL character
// raises script invalid-arg with the file: the system would read a shorter, other path.
const char* to_os_c_string(const Cell& file);
// The process's current directory as a string!, ending in "/".
Cell os_current_dir();

// What the file! actions ask of the file service, which lies above the datatypes: boot fills
// it once. Until then (or in a test that leaves a member null) the action raises internal
// not-done. Each member answers the action's value.
struct Service {
    Cell (*read)(const Cell& file, const Cell* seek, const Cell* part, bool binary, bool lines);
    // The count of bytes written, as an integer!.
    Cell (*write)(const Cell& file, const Cell& data, const Cell* seek, const Cell* part, bool binary,
                  bool append, bool lines);
    // The last modification as a date!, or none!.
    Cell (*query)(const Cell& file);
    bool (*delete_)(const Cell& file);
    bool (*rename)(const Cell& from, const Cell& to);
};
extern Service service;

// ---- actions ----
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// /as (and /allow for write) are not built: they raise internal not-done before anything is
// read or written. A directory path (one ending in "/") reads as its listing.
Cell read(const Cell& file, const ReadOptions& options);
Cell write(const Cell& file, const Cell& data, const WriteOptions& options);
// query: the date! of the last modification, none! when the system cannot tell. delete and
// rename: logic! success, never an error; rename's target must be a file! too.
void query();
void delete_();
void rename();

// ---- registration ----
void init();

}  // namespace kaz::file
