// The simple file service over the platform's file layer.
#include "services/files.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "platform/bytes.h"
#include "platform/files.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kaz::simple_io {
namespace {

// A series holds fewer than 2^31 units: positions are 32-bit signed integers in the language.
constexpr int64_t kMaxBytes = INT32_MAX;

[[noreturn]] void cannot_open(const Cell& file) { error::raise(ErrorId::access_cannot_open, file); }

// The POSIX path of a file!, copied out: the converted text lives only until the next
// allocation.
std::string os_path(const Cell& file) { return file::to_os_c_string(file); }

// A refinement's integer argument: -1 when not given or negative. Anything but an integer!
// raises script invalid-refine-arg with the refinement's word and the argument.
int64_t integer_refinement(const Cell* argument, const char* name) {
    if (!argument) return -1;
    if (!is(*argument, TypeId::integer)) {
        Cell word = word::from_c_string(name);
        error::raise(ErrorId::script_invalid_refine_arg, word, *argument);
    }
    return std::max<int64_t>(cell::get_integer(*argument), -1);
}

// ---- decoding ----

// True when no byte has its high bit set; eight at a time.
bool ascii_q(const uint8_t* p, size_t n) {
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        any |= w;
    }
    for (; i < n; ++i) any |= p[i];
    return (any & 0x8080808080808080ULL) == 0;
}

// How much of the code units of `bytes` one string needs: code points (each refused sequence
// one U+FFFD) and the widest unit.
struct Measure {
    uint64_t count = 0;
    uint32_t unit = 1;
};
Measure measure(const uint8_t* p, const uint8_t* end) {
    Measure m;
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            ++m.count;
            continue;
        }
        int32_t cp;
        p = utf8::decode_char(p, end, cp);
        ++m.count;
        m.unit = std::max(m.unit, string::unit_for(cp < 0 ? 0xFFFD : uint32_t(cp)));
    }
    return m;
}

// A new string! of the bytes decoded as UTF-8. The bytes must not lie in a series buffer.
Cell decode(const uint8_t* p, size_t n) {
    if (ascii_q(p, n)) {
        Node node = series::alloc_bytes(uint32_t(n));
        SeriesBuffer* b = memory::buffer_of(node);
        if (n) std::memcpy(b->head, p, n);
        b->tail = b->head + n;
        return cell::make(TypeId::string, 0, node, 0);
    }
    const uint8_t* end = p + n;
    Measure m = measure(p, end);
    // Wider units can take a text of fewer than 2^31 bytes past what a buffer holds.
    if (m.count * m.unit > uint64_t(kMaxBytes)) error::raise(ErrorId::internal_no_memory);
    Node node = series::alloc_units(uint32_t(m.count), m.unit);
    SeriesBuffer* b = memory::buffer_of(node);
    uint8_t* out = b->head;
    while (p < end) {
        uint32_t cp;
        if (*p < 0x80) {
            cp = *p++;
        } else {
            int32_t c;
            p = utf8::decode_char(p, end, c);
            cp = c < 0 ? 0xFFFD : uint32_t(c);
        }
        string::put_char(out, m.unit, cp);
        out += m.unit;
    }
    b->tail = out;
    return cell::make(TypeId::string, 0, node, 0);
}

// Reads `want` bytes at `offset` a slice at a time and, when `ascii` is given, tells whether
// they are all ASCII, looking at each slice while it is still in the cache rather than going
// through megabytes of memory again. Returns the bytes read (fewer at the end of the file), or
// -1 on failure.
int64_t read_slices(const platform::File& f, uint8_t* out, int64_t want, int64_t offset, bool* ascii) {
    constexpr int64_t kSlice = 256 * 1024;
    int64_t done = 0;
    while (done < want) {
        int64_t ask = std::min(kSlice, want - done);
        int64_t n = platform::read_bytes(f, out + done, size_t(ask), offset + done);
        if (n < 0) return -1;
        if (ascii && *ascii) *ascii = ascii_q(out + done, size_t(n));
        done += n;
        if (n < ask) break;
    }
    return done;
}

Cell empty_value(bool binary) {
    return cell::make(binary ? TypeId::binary : TypeId::string, 0, series::alloc_bytes(0), 0);
}

// ---- directories ----

Cell listing(const Cell& path) {
    std::vector<platform::DirEntry> entries;
    if (!platform::list_dir(os_path(path).c_str(), entries)) cannot_open(path);
    Cell* block = stack::push(cell::none());
    block::init_cell(*block, int32_t(entries.size()));
    for (platform::DirEntry& e : entries) {
        if (e.directory) e.name += '/';
        Cell name = string::from_utf8(e.name, TypeId::file);
        block::append_cell(*block, name);
    }
    Cell result = *block;
    stack::pop(1);
    return result;
}

// ---- encoding ----

// Appends the UTF-8 of a string from its head. A code point past 0x10FFFF raises script
// invalid-char before anything is appended.
void append_utf8_of(const Cell& string, std::string& out) {
    Cell s = string;
    uint32_t head = series_::clamp_head(s);
    SeriesBuffer* b = memory::buffer_of(s.data2);
    uint32_t unit = b->unit();
    const uint8_t* p = b->head + size_t(head) * unit;
    const uint8_t* end = b->tail;
    uint64_t size = utf8::range_size(p, end, unit);
    size_t at = out.size();
    out.resize(at + size);
    auto* dest = reinterpret_cast<uint8_t*>(out.data() + at);
    for (; p < end; p += unit) {
        uint32_t cp = string::get_char(p, unit);
        if (cp < 0x80) *dest++ = uint8_t(cp);
        else dest += utf8::encode_char(cp, dest);
    }
}

// Bytes of a series from its head to its tail, as they lie in the buffer. Valid until the next
// allocation.
std::string_view series_bytes(const Cell& series) {
    Cell s = series;
    uint32_t head = series_::clamp_head(s);
    SeriesBuffer* b = memory::buffer_of(s.data2);
    const uint8_t* p = b->head + size_t(head) * b->unit();
    return {reinterpret_cast<const char*>(p), size_t(b->tail - p)};
}

// What one value writes: its bytes appended to `out`.
void append_bytes_of(const Cell& value, int64_t part, std::string& out) {
    TypeId t = type_of(value);
    if (t == TypeId::string) return append_utf8_of(value, out);
    if (t == TypeId::binary) {
        std::string_view bytes = series_bytes(value);
        if (part >= 1 && uint64_t(part) < bytes.size()) bytes = bytes.substr(0, size_t(part));
        out.append(bytes);
        return;
    }
    Cell* text = stack::push(string::make_cell(64));
    actions::mold(value, text->data2, false, false, false, nullptr, INT32_MAX, 0);
    append_utf8_of(*text, out);
    stack::pop(1);
}

// The bytes a write sends: either a run of a series' buffer, taken as it is (a binary!, a text
// of ASCII in a 1-byte buffer: no copy of megabytes), or bytes made here.
struct Payload {
    Cell series = cell::none();
    uint32_t start = 0, length = 0;
    std::string made;

    std::string_view bytes() const {
        if (is(series, TypeId::none)) return made;
        const uint8_t* p = memory::buffer_of(series.data2)->head + start;
        return {reinterpret_cast<const char*>(p), length};
    }
};

Payload payload_of(const Cell& data, int64_t part, bool lines) {
    Payload p;
    TypeId t = type_of(data);
    if (lines) {
        if (t == TypeId::block) {
            // Molding may move the block's buffer: its cells are taken again each time.
            Cell b = data;
            uint32_t head = series_::clamp_head(b);
            for (uint32_t i = head; i < series_::total_length(b); ++i) {
                Cell v = *block::cell_at(b, i);
                append_bytes_of(v, part, p.made);
                p.made += '\n';
            }
        } else {
            append_bytes_of(data, part, p.made);
            p.made += '\n';
        }
        return p;
    }
    std::string_view direct;
    bool as_is = false;
    if (t == TypeId::binary) {
        direct = series_bytes(data);
        if (part >= 1 && uint64_t(part) < direct.size()) direct = direct.substr(0, size_t(part));
        as_is = true;
    } else if (t == TypeId::string && memory::buffer_of(data.data2)->unit() == 1) {
        direct = series_bytes(data);
        as_is = ascii_q(reinterpret_cast<const uint8_t*>(direct.data()), direct.size());
    }
    if (as_is) {
        p.series = data;
        p.start = uint32_t(reinterpret_cast<const uint8_t*>(direct.data()) - memory::buffer_of(data.data2)->head);
        p.length = uint32_t(direct.size());
        return p;
    }
    append_bytes_of(data, part, p.made);
    return p;
}

// ---- dates ----

Timestamp timestamp_of(int64_t seconds, int32_t nanoseconds) {
    using namespace std::chrono;
    sys_seconds moment{std::chrono::seconds(seconds)};
    sys_days day = floor<days>(moment);
    year_month_day date{day};
    hh_mm_ss time{moment - day};
    return {int32_t(date.year()), int32_t(unsigned(date.month())), int32_t(unsigned(date.day())),
            int32_t(time.hours().count()), int32_t(time.minutes().count()),
            int32_t(time.seconds().count()), nanoseconds / 1'000'000 * 1'000'000};
}

}  // namespace

bool dir_path_q(const Cell& file) {
    Cell f = file;
    uint32_t head = series_::clamp_head(f), tail = series_::total_length(f);
    uint32_t n = tail - head;
    auto at_end = [&](uint32_t back) { return string::char_at(f, tail - back); };
    if (n == 0) return false;
    if (at_end(1) == '/') return true;
    // ".", "..", and the same after a "/".
    uint32_t dots = 0;
    while (dots < 2 && dots < n && at_end(dots + 1) == '.') ++dots;
    if (dots == 0) return false;
    if (dots == 2 && n > 2 && at_end(3) == '.') return false;
    return dots == n || at_end(dots + 1) == '/';
}

Cell read(const Cell& file, const Cell* seek_arg, const Cell* part_arg, bool binary, bool lines) {
    if (dir_path_q(file)) return listing(file);
    int64_t seek = std::max<int64_t>(integer_refinement(seek_arg, "seek"), 0);
    int64_t part = integer_refinement(part_arg, "part");

    platform::File f = platform::open_file(os_path(file).c_str(), platform::open_mode::read);
    if (!f.is_open()) cannot_open(file);
    std::optional<platform::FileStatus> status = platform::status_of(f);
    if (!status || status->directory) cannot_open(file);

    // What is read, from the file or from the bytes of a stream whose size nobody knows
    // before reading it through (pipes, the kernel's files).
    std::string streamed;
    int64_t available;
    bool sized = status->regular && status->size > 0;
    if (sized) {
        available = status->size - seek;
    } else {
        // Never more than asked for, nor than a value can hold: a device may have no end.
        size_t limit = part >= 0 ? size_t(seek + part) : size_t(seek + kMaxBytes + 1);
        if (!platform::read_to_end(f, streamed, limit)) cannot_open(file);
        available = int64_t(streamed.size()) - seek;
    }
    int64_t want = std::max<int64_t>(available, 0);
    if (part >= 0) want = std::min(want, part);
    if (want == 0) return empty_value(binary);
    if (want > kMaxBytes) cannot_open(file);

    if (!sized) {
        auto* p = reinterpret_cast<const uint8_t*>(streamed.data()) + seek;
        if (binary) {
            Node node = series::alloc_bytes(uint32_t(want));
            SeriesBuffer* b = memory::buffer_of(node);
            std::memcpy(b->head, p, size_t(want));
            b->tail = b->head + want;
            return cell::make(TypeId::binary, 0, node, 0);
        }
        std::string_view bytes(reinterpret_cast<const char*>(p), size_t(want));
        return lines ? bytes_to_lines(bytes) : decode(p, size_t(want));
    }
    if (lines && !binary) {
        std::string bytes(size_t(want), '\0');
        int64_t got = platform::read_bytes(f, bytes.data(), bytes.size(), seek);
        if (got < 0) cannot_open(file);
        if (got == 0) return empty_value(false);  // cut short since its size was taken
        bytes.resize(size_t(got));
        return bytes_to_lines(bytes);
    }
    // Straight into the value's buffer: no allocation happens while the system fills it. A
    // buffer of megabytes has pages of its own, which the page layer asks to be huge.
    Node node = series::alloc_bytes(uint32_t(want));
    SeriesBuffer* b = memory::buffer_of(node);
    bool ascii = true;
    int64_t got = read_slices(f, b->head, want, seek, binary ? nullptr : &ascii);
    if (got < 0) cannot_open(file);
    b->tail = b->head + got;
    if (binary || ascii) {
        // A 1-byte buffer of ASCII is a string! as it is.
        return cell::make(binary ? TypeId::binary : TypeId::string, 0, node, 0);
    }
    std::string bytes(reinterpret_cast<const char*>(b->head), size_t(got));
    return decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

int64_t write(const Cell* file, const Cell& data, const Cell* seek_arg, const Cell* part_arg, bool,
              bool append, bool lines) {
    int64_t part = -1;
    if (part_arg) {
        if (!is(*part_arg, TypeId::integer))
            error::raise(ErrorId::script_invalid_refine_arg, series_::part_word(), *part_arg);
        part = cell::get_integer(*part_arg);
        if (part < 0) return -1;
    }
    int64_t seek = integer_refinement(seek_arg, "seek");
    Payload payload = payload_of(data, part, lines);

    platform::File opened;
    int fd = 1;
    if (file) {
        uint32_t mode = platform::open_mode::write;
        if (append) mode |= platform::open_mode::append;
        if (seek_arg) mode |= platform::open_mode::seek;
        opened = platform::open_file(os_path(*file).c_str(), mode);
        if (!opened.is_open()) cannot_open(*file);
        if (seek > 0 && !append && !platform::seek(opened, seek)) cannot_open(*file);
        fd = opened.fd();
    }
    std::string_view bytes = payload.bytes();
    int64_t written = platform::write_bytes(fd, bytes.data(), bytes.size());
    if (written < 0) cannot_open(file ? *file : cell::none());
    return written;
}

std::optional<Timestamp> modified_date(const Cell& file) {
    std::optional<platform::FileStatus> status = platform::status_of(os_path(file).c_str());
    if (!status) return std::nullopt;
    Cell f = file;
    uint32_t head = series_::clamp_head(f), tail = series_::total_length(f);
    if (tail > head && string::char_at(f, tail - 1) == '/' && !status->directory) return std::nullopt;
    return timestamp_of(status->mtime_seconds, status->mtime_nanoseconds);
}

bool delete_(const Cell& file) {
    std::string path = os_path(file);
    return dir_path_q(file) ? platform::remove_dir(path.c_str()) : platform::remove_file(path.c_str());
}

bool rename(const Cell& from, const Cell& to) {
    std::string old_path = os_path(from);
    std::string new_path = os_path(to);
    return platform::rename_path(old_path.c_str(), new_path.c_str());
}

bool make_dir(const Cell& path) { return platform::make_dir(os_path(path).c_str()); }

bool file_exists_q(const Cell& path) { return platform::exists(os_path(path).c_str()); }

Cell bytes_to_string(std::string_view bytes) {
    return decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Cell bytes_to_lines(std::string_view bytes) {
    auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint8_t* end = p + bytes.size();
    uint32_t count = 0;
    for (const uint8_t* q = p; (q = static_cast<const uint8_t*>(std::memchr(q, '\n', size_t(end - q)))); ++q)
        ++count;
    Cell* block = stack::push(cell::none());
    block::init_cell(*block, int32_t(count + 1));
    while (p < end) {
        auto* lf = static_cast<const uint8_t*>(std::memchr(p, '\n', size_t(end - p)));
        const uint8_t* stop = lf ? lf : end;
        const uint8_t* text_end = lf && stop > p && stop[-1] == '\r' ? stop - 1 : stop;
        Cell line = decode(p, size_t(text_end - p));
        block::append_cell(*block, line);
        p = lf ? lf + 1 : end;
    }
    Cell result = *block;
    stack::pop(1);
    return result;
}

}  // namespace kaz::simple_io
