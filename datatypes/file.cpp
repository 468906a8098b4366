// url! and file! — molds with escapes, the percent-encoding codec, path joining, building a
// url from a block, and the POSIX form of a file path.
#include "datatypes/file.h"

#include <algorithm>

#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "platform/os.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/unicode.h"

namespace kaz {
namespace {

// ---- helpers ----

// The bytes each escape table passes, indexed by byte value below 0x80.
struct PassTable {
    bool pass[128];
    constexpr explicit PassTable(bool strict) : pass{} {
        for (int c = '0'; c <= '9'; ++c) pass[c] = true;
        for (int c = 'A'; c <= 'Z'; ++c) pass[c] = true;
        for (int c = 'a'; c <= 'z'; ++c) pass[c] = true;
        for (char c : {'-', '.', '_', '~'}) pass[int(c)] = true;
        if (strict) return;
        for (char c : {'!', '#', '$', '&', '\'', '(', ')', '*', '+', ',', '/', ':', '=', '?', '@'})
            pass[int(c)] = true;
    }
};
constexpr PassTable kUrlTable(false);
constexpr PassTable kStrictTable(true);

int hex_value(uint32_t cp) {
    if (cp >= '0' && cp <= '9') return int(cp - '0');
    if (cp >= 'A' && cp <= 'F') return int(cp - 'A' + 10);
    if (cp >= 'a' && cp <= 'f') return int(cp - 'a' + 10);
    return -1;
}

uint32_t total(const Cell& s) { return memory::buffer_of(s.data2)->length(); }
uint32_t head_of(const Cell& s) { return std::min(s.data1, total(s)); }

void add_char(Node string, uint32_t cp) { string::add_code_point(memory::buffer_of(string), cp); }

// Appends the formed text of a value; values that cannot be formed raise internal not-done.
void form_into(Node string, const Cell& value) {
    Cell v = value;
    FormAction f = registry::actions(type_of(v)).form;
    if (!f) error::raise(ErrorId::internal_not_done);
    f(v, string, nullptr, INT32_MAX);
}

// Appends the string's code points from its head.
void append_text(Node out, const Cell& text) {
    Cell dest = cell::make(TypeId::string, 0, out, 0);
    string::concatenate(dest, text, -1, 0, false, string::ConcatMode::append);
}

}  // namespace

// ---- url! ----

namespace url {

bool passes_q(uint32_t kind, uint8_t byte) {
    if (byte >= 0x80) return false;
    return (kind == kStrict ? kStrictTable : kUrlTable).pass[byte];
}

Escaped escape_byte(uint32_t kind, uint8_t byte) {
    if (passes_q(kind, byte)) return {{char(byte), 0, 0}, 1};
    constexpr char kDigits[] = "0123456789ABCDEF";
    return {{'%', kDigits[byte >> 4], kDigits[byte & 15]}, 3};
}

bool hex_pair(std::string_view text, uint8_t& byte) {
    if (text.size() < 3 || text[0] != '%') return false;
    int hi = hex_value(uint8_t(text[1])), lo = hex_value(uint8_t(text[2]));
    if (hi < 0 || lo < 0) return false;
    byte = uint8_t(hi << 4 | lo);
    return true;
}

void percent_encode(const Cell& string, Node destination, uint32_t kind) {
    Cell s = string;
    uint32_t n = total(s);
    for (uint32_t i = head_of(s); i < n; ++i) {
        uint8_t bytes[4];
        uint32_t count = utf8::encode_char(string::char_at(s, i), bytes);
        for (uint32_t k = 0; k < count; ++k) text::append_ascii(destination, escape_byte(kind, bytes[k]).view());
    }
}

void percent_decode(const Cell& source, Node destination) {
    Cell s = source;
    // Taken once: a destination that is the source itself grows while it is read.
    uint32_t n = total(s);
    auto escape_at = [&](uint32_t i, uint8_t& byte) {
        if (uint64_t(i) + 2 >= n || string::char_at(s, i) != '%') return false;
        int hi = hex_value(string::char_at(s, i + 1)), lo = hex_value(string::char_at(s, i + 2));
        if (hi < 0 || lo < 0) return false;
        byte = uint8_t(hi << 4 | lo);
        return true;
    };
    for (uint32_t i = head_of(s); i < n;) {
        uint8_t bytes[4];
        if (escape_at(i, bytes[0])) {
            if (bytes[0] < 0x80) {
                add_char(destination, bytes[0]);
                i += 3;
                continue;
            }
            // A lead byte counts only with its continuation bytes escaped after it, and
            // only when together they are one well-formed code point.
            uint32_t length = utf8::lead_length(bytes[0]);
            bool whole = length >= 2;
            for (uint32_t k = 1; whole && k < length; ++k) whole = escape_at(i + 3 * k, bytes[k]);
            if (whole) {
                int32_t cp;
                const uint8_t* end = utf8::decode_char(bytes, bytes + length, cp);
                if (cp >= 0 && end == bytes + length) {
                    add_char(destination, uint32_t(cp));
                    i += 3 * length;
                    continue;
                }
            }
        }
        add_char(destination, string::char_at(s, i));
        ++i;
    }
}

// ---- actions ----

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    TypeId t = type_of(spec);
    if (t == TypeId::block || t == TypeId::paren || t == TypeId::hash) return to(proto, spec, type);
    return string::make(proto, spec, type);
}

// From a block: scheme://host:port/path... with "#" before an issue!.
Cell to(const Cell& proto, const Cell& spec, TypeId type) {
    TypeId t = type_of(spec);
    bool listed = t == TypeId::block || t == TypeId::paren || t == TypeId::hash;
    if (type != TypeId::url || !listed) return string::to(proto, spec, type);
    Cell b = spec;
    uint32_t n = total(b);
    uint32_t i = head_of(b);
    if (i >= n) error::raise(ErrorId::script_bad_to_arg, cell::datatype(type), spec);
    Cell* out = stack::push(string::make_cell(32, TypeId::url));
    auto element = [&](uint32_t at) { return memory::buffer_of(b.data2)->cells()[at]; };
    form_into(out->data2, element(i++));
    text::append_ascii(out->data2, "://");
    if (i < n) {
        form_into(out->data2, element(i++));
        if (i < n && is(element(i), TypeId::integer)) {
            text::append_ascii(out->data2, ":");
            form_into(out->data2, element(i++));
            if (i == n) {
                Cell result = *out;
                stack::pop(1);
                return result;
            }
        }
        text::append_ascii(out->data2, "/");
        for (uint32_t first = i; i < n; ++i) {
            Cell c = element(i);
            if (i > first) text::append_ascii(out->data2, is(c, TypeId::issue) ? "#" : "/");
            form_into(out->data2, c);
        }
    }
    Cell result = *out;
    stack::pop(1);
    return result;
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit,
             int32_t) {
    Cell v = value;
    uint32_t n = total(v);
    int32_t written = 0;
    for (uint32_t i = head_of(v); i < n; ++i) {
        uint8_t bytes[4];
        uint32_t count = utf8::encode_char(string::char_at(v, i), bytes);
        for (uint32_t k = 0; k < count; ++k) {
            if (part && written >= limit) return limit - written;
            Escaped e = escape_byte(0, bytes[k]);
            text::append_ascii(string, e.view());
            written += e.length;
        }
    }
    return limit - written;
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    if (value) error::raise(ErrorId::script_bad_path_set, step.path ? *step.path : parent, element);
    Cell key = is(element, TypeId::get_word) ? *word::get(element) : element;
    Cell* segment = stack::push(string::make_cell(16));
    form_into(segment->data2, key);

    Cell u = parent;
    uint32_t n = total(u), h = head_of(u);
    bool url_slash = n > h && string::char_at(u, n - 1) == '/';
    bool key_slash = total(*segment) > 0 && string::char_at(*segment, 0) == '/';
    Node joined = series::copy_range(u.data2, h, n - h);
    Cell result = cell::make(type_of(parent), 0, joined, 0);
    Cell* kept = stack::push(result);
    if (!url_slash && !key_slash) text::append_ascii(joined, "/");
    Cell rest = *segment;
    if (url_slash && key_slash) rest.data1 = 1;
    append_text(joined, rest);
    result = *kept;
    stack::pop(2);
    return result;
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::url, {.data2 = gc::Ref::series, .data3 = gc::Ref::series_opt});
    registry::define(TypeId::url, {.make = make, .random = lacks, .reflect = lacks, .to = to,
                                   .mold = mold, .eval_path = eval_path, .sort = lacks,
                                   .trim = lacks, .open = open, .read = read, .write = write});
}

}  // namespace url

// ---- file! ----

namespace file {
namespace {

// A bare file name ends at these, although escaping passes them: such a name is quoted.
bool ends_bare_name_q(uint32_t cp) { return cp == '(' || cp == ')' || cp == ':' || cp == '@'; }

bool needs_quotes_q(uint32_t cp) {
    return cp < 0x7F && (!url::passes_q(0, uint8_t(cp)) || ends_bare_name_q(cp));
}

}  // namespace

Cell* push(const Cell& file) { return stack::push(file); }

void to_os_path(const Cell& file, Node output, bool full) {
    Cell f = file;
    uint32_t n = total(f), h = head_of(f);
    bool absolute = h < n && string::char_at(f, h) == '/';
    if (absolute) {
        if (h + 1 < n && string::char_at(f, h + 1) == '/') ++h;
    } else if (full) {
        Cell* dir = stack::push(os_current_dir());
        append_text(output, *dir);
        stack::pop(1);
    }
    f.data1 = h;
    append_text(output, f);
}

const char* to_os_c_string(const Cell& file) {
    Cell f = file;
    if (string::find_char(f, 0) >= 0) error::raise(ErrorId::script_invalid_arg, file);
    Cell* path = stack::push(string::make_cell(string::length_from_head(f) + 1));
    to_os_path(f, path->data2, false);
    Cell p = *path;
    int32_t length = -1;
    const char* text = string::to_utf8(p, length);
    stack::pop(1);
    return text;
}

Cell os_current_dir() {
    std::string dir = platform::get_current_dir();
    // Unknown, the directory is named relatively: the system still finds it.
    if (dir.empty()) dir.push_back('.');
    if (dir.back() != '/') dir += '/';
    Node node = string::load_utf8(reinterpret_cast<const uint8_t*>(dir.data()), uint32_t(dir.size()));
    return cell::make(TypeId::string, 0, node, 0);
}

// "%" and the name, in double quotes when it holds characters that end a bare name. Inside
// the quotes a double quote, "%" and a line feed are written as escapes, which loading
// decodes, so that the molded text loads back as the same name.
int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit,
             int32_t) {
    Cell v = value;
    uint32_t n = total(v), h = head_of(v);
    if (h >= n) {
        text::append_ascii(string, "%\"\"");
        return limit - 3;
    }
    uint32_t end = n;
    if (part) end = h + uint32_t(std::clamp<int64_t>(int64_t(limit) - 1, 0, n - h));
    bool quoted = false;
    for (uint32_t i = h; i < end && !quoted; ++i) quoted = needs_quotes_q(string::char_at(v, i));

    int32_t written = 1;
    text::append_ascii(string, quoted ? "%\"" : "%");
    written += quoted;
    for (uint32_t i = h; i < end; ++i) {
        uint32_t cp = string::char_at(v, i);
        if (quoted && (cp == '"' || cp == '%' || cp == '\n')) {
            text::append_ascii(string, url::escape_byte(0, uint8_t(cp)).view());
            written += 3;
            continue;
        }
        add_char(string, cp);
        ++written;
    }
    if (quoted) {
        text::append_ascii(string, "\"");
        ++written;
    }
    return limit - written;
}

// ---- actions ----

Service service{};

namespace {

template <typename F>
F need(F fn) {
    if (!fn) error::raise(ErrorId::internal_not_done);
    return fn;
}

}  // namespace

Cell read(const Cell& file, const ReadOptions& o) {
    if (o.as) error::raise(ErrorId::internal_not_done);
    return need(service.read)(file, o.seek, o.part, o.binary, o.lines);
}

Cell write(const Cell& file, const Cell& data, const WriteOptions& o) {
    if (o.allow || o.as) error::raise(ErrorId::internal_not_done);
    return need(service.write)(file, data, o.seek, o.part, o.binary, o.append, o.lines);
}

void query() { stack::base[0] = need(service.query)(stack::base[0]); }

void delete_() { stack::base[0] = cell::logic(need(service.delete_)(stack::base[0])); }

void rename() {
    Cell from = stack::base[0], to = stack::base[1];
    if (!is(to, TypeId::file)) error::raise(ErrorId::script_invalid_arg, to);
    stack::base[0] = cell::logic(need(service.rename)(from, to));
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::file, {.data2 = gc::Ref::series, .data3 = gc::Ref::series_opt});
    registry::define(TypeId::file, {.mold = mold,
                                    .delete_ = delete_,
                                    .query = query,
                                    .read = read,
                                    .rename = rename,
                                    .write = write});
}

}  // namespace file
}  // namespace kaz
