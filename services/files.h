// The simple file service: what the file! actions (read, write, query, delete, rename), the
// routines create-dir, exists? and write-stdout, and the checksum of a file ask of the file
// system. It works on whole files: every read opens, reads and closes; every write opens,
// writes and closes. No buffering, no port.
//
// Paths arrive as file! values (read from their head) and reach the system as the same POSIX
// path (file::to_os_c_string): "/" is the only separator, a trailing "/" marks a directory, "\"
// is an ordinary character. Text is UTF-8 both ways and line ends are kept as they are: reads
// turn no CR LF into LF except when splitting lines, writes add no CR.
//
// Any allocation may move any series buffer: the functions here that make values may collect.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/cell.h"

namespace kaz::simple_io {

// True when the path names a directory by its text alone: its last character is "/", or it is
// "." or "..", or it ends in "/." or "/..". Asks nothing of the file system.
bool dir_path_q(const Cell& file);

// Reads a file, or lists a directory (the `read` action of file!; `checksum` on a file).
//
// In: `file` a file!; `seek`, `part` the refinements' arguments or null when not given;
// `binary`, `lines` the refinements' flags.
// Out, in this order of precedence:
//  - a path that dir_path_q holds for: a block! of file! values, one per entry but "." and
//    "..", hidden ones included, sorted by the bytes of their names; a directory (or a link to
//    one) ends in "/". "/" lists the root directory. `seek`, `part`, `binary`, `lines` are
//    ignored.
//  - the bytes from `seek` (0 from the start) up to `part` bytes (all when `part` is larger or
//    not given):
//    - nothing to read (an empty file, `part` 0, `seek` at or past the end): an empty binary!
//      with `binary`, else an empty string!, also with `lines`;
//    - with `binary`: a binary! of them (`binary` wins over `lines`);
//    - with `lines`: a block! of string! lines: split at each LF, a CR right before the LF
//      dropped, no empty line after a final LF;
//    - else a string! of them decoded as UTF-8, each invalid sequence (its longest valid
//      start, or one byte) as U+FFFD.
//    A negative `seek` or `part` counts as not given. A file whose size the system does not
//    tell (a pipe, a device, the kernel's own files) is read to its end, or only up to `seek`
//    and `part` when `part` is given.
// Errors: a `seek` or `part` that is not an integer! raises script invalid-refine-arg with the
// word (seek, part) and the argument; a file that cannot be opened or read, a directory read
// without its trailing "/", and 2 GB or more to deliver raise access cannot-open with `file`; a
// directory that cannot be listed raises access cannot-open with `file`.
Cell read(const Cell& file, const Cell* seek, const Cell* part, bool binary, bool lines);

// Writes data to a file (the `write` action of file!), or to standard output (`write-stdout`,
// `file` null: the descriptor is written to, never closed).
//
// In: `data` any value; `seek`, `part` the refinements' arguments or null when not given;
// `binary`, `append`, `lines` the refinements' flags.
// The bytes: a string! gives its UTF-8 from its head, line ends as they are; a
// binary! its bytes from its head, the first `part` of them when `part` is between 1 and its
// length; any other value is molded and written as text. With `lines`, each value of a block!
// (any other data as one value) is written so, followed by LF. `binary` changes no bytes.
// The file is made when absent and emptied first, unless `append` (the bytes go to its end)
// or a `seek` is given (the bytes go at that offset when it is above 0, the rest of the file
// kept; `append` wins). Everything is converted before the file is opened: an error while
// molding leaves the file untouched.
// Out: the bytes written; -1 when `part` is negative, and then nothing is written.
// Errors: a `part` or `seek` that is not an integer! raises script invalid-refine-arg with the
// word (part, seek) and the argument; a file that cannot be opened for writing, or a write that
// fails, raises access cannot-open with `file` (with none! for standard output).
int64_t write(const Cell* file, const Cell& data, const Cell* seek, const Cell* part, bool binary,
              bool append, bool lines);

// A moment as a date! holds it: UTC (zone 0), the fraction of the second in whole
// milliseconds given as nanoseconds.
struct Timestamp {
    int32_t year, month, day, hour, minute, second, nanosecond;
};
// The last modification of the file or directory (the `query` action of file!); nothing (the
// action gives none!) when it cannot be told, or when the path ends in "/" but names no
// directory.
std::optional<Timestamp> modified_date(const Cell& file);

// Deletes the file, or the empty directory when dir_path_q holds (the `delete` action of
// file!). False when the system refuses; never raises.
bool delete_(const Cell& file);
// Renames or moves `from` to `to` (the `rename` action of file!). False when the system
// refuses, and when something is at `to` already: nothing is ever replaced. Never raises.
bool rename(const Cell& from, const Cell& to);
// Makes one directory (`create-dir`, which raises access no-create with the path on false).
bool make_dir(const Cell& path);
// True when a file or directory is at the path (`exists?`).
bool file_exists_q(const Cell& path);

// A string! of the bytes decoded as UTF-8, each invalid sequence as U+FFFD (also used by the
// HTTP client). `bytes` must not lie in a series buffer.
Cell bytes_to_string(std::string_view bytes);
// A block! of the lines of the bytes, as `read` with `lines` gives them (also used by the HTTP
// client); an empty block! for no bytes. `bytes` must not lie in a series buffer.
Cell bytes_to_lines(std::string_view bytes);

}  // namespace kaz::simple_io
