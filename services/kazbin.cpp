#include "services/kazbin.h"

#include <cmath>
#include <cstring>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/calendar.h"
#include "datatypes/cells.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/hash.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/lz.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "platform/process.h"

namespace kaz::kazbin {
namespace {

// ---- record layout constants ----

// Compact lead bytes.
constexpr uint8_t kNewLine = 0xC0;
constexpr uint8_t kShared = 0xC1;
constexpr uint8_t kTrue = 0xC2;
constexpr uint8_t kFalse = 0xC3;
constexpr uint8_t kSetWord = 0xC4;
constexpr uint8_t kReference = 0xFF;
constexpr uint8_t kSmallInt = 0x80;
constexpr uint8_t kOption = 0x40;

// Plain header word bits.
constexpr uint32_t kPlainNewLine = 1u << 31;
constexpr uint32_t kPlainShared = 1u << 19;
constexpr uint32_t kPlainNegative = 1u << 22;
constexpr uint32_t kPlainComplement = 1u << 23;
constexpr uint32_t kPlainHandlers = 1u << 24;
constexpr uint32_t kPlainGlobal = 1u << 25;  // codec word: bound to the global context
constexpr uint32_t kPlainSets = 1u << 25;    // literal image word: a value to set follows
constexpr uint32_t kPlainValues = 1u << 30;
constexpr uint32_t kPlainOnStack = 1u << 29;
constexpr uint32_t kPlainFlag24 = 1u << 28;
constexpr uint32_t kPlainKindShift = 26;
constexpr uint32_t kPlainReference = 255;

// Compact context flags byte.
constexpr uint8_t kCtxOnStack = 4;
constexpr uint8_t kCtxFlag24 = 8;
constexpr uint8_t kCtxValues = 16;

constexpr uint32_t kMaxDepth = 65536;

bool any_block_q(TypeId t) {
    return t == TypeId::block || t == TypeId::paren || (t >= TypeId::path && t <= TypeId::get_path);
}
bool any_word_q(TypeId t) { return t >= TypeId::word && t <= TypeId::refinement; }
bool no_codec_q(TypeId t) {
    return t == TypeId::routine || t == TypeId::triple || t == TypeId::handle ||
           t == TypeId::port || t == TypeId::event || t == TypeId::image;
}

// Nesting is followed on the C++ stack, as the interpreter's own is: a value or an image nested
// deeper than the stack allows raises the stack overflow error instead of crashing.
inline void deep_enough_to_stop() {
    if (static_cast<const char*>(__builtin_frame_address(0)) < interp::state.stack_floor) [[unlikely]]
        frame::overflow();
}

[[noreturn]] void raise_no_codec(TypeId t) { error::raise(ErrorId::access_no_codec, cell::datatype(t)); }

Cell block_of(Node n, TypeId t = TypeId::block) { return series_cell::make(t, n); }
Cell* cells(Node n) { return memory::buffer_of(n)->cells(); }
uint32_t length(Node n) { return memory::buffer_of(n)->length(); }

// The context a word record binds to when it is not the global context: one whose owner is an
// object or a function. Anything else writes as a global word.
bool global_binding_q(Node ctx) {
    if (ctx == kNoNode || ctx == context::global) return true;
    TypeId owner = type_of(context::owner_of(ctx));
    return owner == TypeId::none || owner == TypeId::unset || any_block_q(owner);
}

int32_t checked_int(double v, double limit) {
    if (!(v >= -limit && v <= limit)) return INT32_MIN;
    return int32_t(v);
}

// =========================================================================================
// Writers
// =========================================================================================

class Writer {
public:
    explicit Writer(bool compact) : compact_(compact) {}

    Cell run(const Cell& value) {
        current_ = 0;
        write(value);
        return finish();
    }

private:
    bool compact_;
    std::vector<uint8_t> out_;
    std::vector<uint32_t> symbols_;                       // symbol ids, by index
    std::unordered_map<uint32_t, uint32_t> symbol_index_;  // symbol id -> index
    std::vector<uint32_t> path_;                           // positions from the root
    uint32_t current_ = 0;                                 // position inside the container
    // Recorded paths, one after the other: a count, then that many positions.
    std::vector<uint32_t> paths_;
    std::unordered_map<Node, uint32_t> seen_;  // node -> where its path starts in paths_

    // ---- primitives ----
    void byte(uint8_t b) { out_.push_back(b); }
    void raw32(uint32_t w) {
        for (int i = 0; i < 4; ++i) out_.push_back(uint8_t(w >> (8 * i)));
    }
    void varint(uint32_t v) {
        while (v >= 0x80) {
            out_.push_back(uint8_t(v | 0x80));
            v >>= 7;
        }
        out_.push_back(uint8_t(v));
    }
    static uint32_t zigzag(int32_t v) { return (uint32_t(v) << 1) ^ uint32_t(v >> 31); }
    // A number field: a varint or a word.
    void num(uint32_t v) { compact_ ? varint(v) : raw32(v); }
    void snum(int32_t v) { compact_ ? varint(zigzag(v)) : raw32(uint32_t(v)); }
    void bytes(const uint8_t* p, size_t n) {
        out_.insert(out_.end(), p, p + n);
        if (!compact_)
            while (out_.size() % 4) out_.push_back(0);
    }
    void type_byte(TypeId t, bool option) {
        uint32_t id = uint32_t(t);
        if (id < 63) {
            byte(uint8_t(id | (option ? kOption : 0)));
        } else {
            byte(uint8_t(63 | (option ? kOption : 0)));
            varint(id);
        }
    }
    // The record's head: prefixes and type byte, or the plain header word.
    void head(const Cell& c, TypeId t, bool option, uint32_t plain_bits = 0, bool shared = false) {
        if (compact_) {
            if (cell::new_line_q(c)) byte(kNewLine);
            if (shared) byte(kShared);
            type_byte(t, option);
        } else {
            raw32(uint32_t(t) | plain_bits | (shared ? kPlainShared : 0) |
                  (cell::new_line_q(c) ? kPlainNewLine : 0));
        }
    }
    uint32_t symbol(uint32_t id) {
        auto [it, added] = symbol_index_.try_emplace(id, uint32_t(symbols_.size()));
        if (added) symbols_.push_back(id);
        return it->second;
    }
    void double_raw(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        if (compact_) {
            raw32(uint32_t(bits));
            raw32(uint32_t(bits >> 32));
        } else {
            raw32(uint32_t(bits >> 32));
            raw32(uint32_t(bits));
        }
    }
    // Plain doubles are 8-aligned in the payload: zero words (skipped as padding) before.
    void align_double() {
        if (!compact_)
            while (out_.size() % 8) raw32(0);
    }
    using Path = uint32_t;  // a recorded path's start in paths_
    void reference(Path path) {
        if (!compact_) raw32(kPlainReference);
        path_numbers(path);
    }
    void path_numbers(Path path) {
        uint32_t n = paths_[path];
        num(n);
        for (uint32_t k = 1; k <= n; ++k) num(paths_[path + k]);
    }

    // ---- sharing ----
    const Path* known(Node key) {
        auto it = seen_.find(key);
        return it == seen_.end() ? nullptr : &it->second;
    }
    // Enters a shareable value: records its path and makes the path point into it.
    void enter(Node key, bool record = true) {
        path_.push_back(current_);
        if (record) {
            seen_[key] = uint32_t(paths_.size());
            paths_.push_back(uint32_t(path_.size()));
            paths_.insert(paths_.end(), path_.begin(), path_.end());
        }
        current_ = 0;
    }
    void leave() {
        current_ = path_.back();
        path_.pop_back();
    }
    // One cell of a container; the index counts the cells written.
    void element(const Cell& c) {
        write(c);
        ++current_;
    }

    // ---- records ----
    void write(const Cell& c) {
        deep_enough_to_stop();
        TypeId t = type_of(c);
        if (no_codec_q(t)) raise_no_codec(t);
        switch (t) {
            case TypeId::unset:
            case TypeId::none: head(c, t, false); break;
            case TypeId::datatype: head(c, t, false); num(c.data1); break;
            case TypeId::logic:
                if (compact_) {
                    if (cell::new_line_q(c)) byte(kNewLine);
                    byte(c.data1 ? kTrue : kFalse);
                } else {
                    head(c, t, false);
                    raw32(c.data1 ? 1 : 0);
                }
                break;
            case TypeId::integer: {
                int32_t v = cell::get_integer(c);
                if (compact_ && v >= 0 && v < 64) {
                    if (cell::new_line_q(c)) byte(kNewLine);
                    byte(uint8_t(kSmallInt + v));
                } else {
                    head(c, t, false);
                    snum(v);
                }
                break;
            }
            case TypeId::char_: head(c, t, false); num(c.data2); break;
            case TypeId::issue: head(c, t, false); num(symbol(word_cell::symbol(c))); break;
            case TypeId::float_:
            case TypeId::time:
            case TypeId::percent: write_float(c, t); break;
            case TypeId::pair: head(c, t, false); snum(pair_cell::x(c)); snum(pair_cell::y(c)); break;
            case TypeId::point2d: head(c, t, false); raw32(c.data1); raw32(c.data2); break;
            case TypeId::point3d: head(c, t, false); raw32(c.data1); raw32(c.data2); raw32(c.data3); break;
            case TypeId::typeset: {
                head(c, t, false);
                uint8_t b[12];
                std::memcpy(b, &c.data1, 12);
                if (compact_) {
                    uint8_t n = 12;
                    while (n && !b[n - 1]) --n;
                    byte(n);
                    out_.insert(out_.end(), b, b + n);
                } else {
                    out_.insert(out_.end(), b, b + 12);
                }
                break;
            }
            case TypeId::tuple: {
                uint32_t n = tuple_cell::count(c);
                if (compact_) {
                    head(c, t, n != 3);
                    if (n != 3) byte(uint8_t(n));
                    for (uint32_t i = 0; i < n; ++i) byte(tuple_cell::byte(c, i));
                } else {
                    head(c, t, false, n << 8);
                    raw32(c.data1);
                    raw32(c.data2);
                    raw32(c.data3);
                }
                break;
            }
            case TypeId::date: {
                bool timed = (c.data1 & (1u << 16)) != 0;
                if (compact_) {
                    head(c, t, timed);
                    raw32(c.data1);
                    if (timed) double_raw(cell::get_float(c));
                } else {
                    head(c, t, false);
                    raw32(c.data1);
                    double_raw(timed ? cell::get_float(c) : 0.0);
                }
                break;
            }
            case TypeId::money: {
                bool negative = (c.header & (1u << 14)) != 0;
                if (compact_) head(c, t, negative);
                else head(c, t, false, negative ? kPlainNegative : 0);
                const uint8_t* b = reinterpret_cast<const uint8_t*>(&c) + 4;
                out_.insert(out_.end(), b, b + 12);
                break;
            }
            case TypeId::word:
            case TypeId::set_word:
            case TypeId::lit_word:
            case TypeId::get_word:
            case TypeId::refinement: write_word(c, t); break;
            case TypeId::op: write_op(c); break;
            case TypeId::native:
            case TypeId::action: {
                head(c, t, false);
                num(callable_cell::number(c));
                // The spec is a container of its own: a word of it is reached through it.
                write_series(block_of(callable_cell::spec(c)), TypeId::block, /*inside=*/true);
                break;
            }
            case TypeId::error: {
                head(c, t, false);
                num(uint32_t(cell::get_integer(error::field(c, error::code))));
                path_.push_back(current_);
                current_ = 0;
                for (uint32_t f = error::arg1; f <= error::stack; ++f)
                    element(*context::value_at(object_cell::context(c), f));
                leave();
                break;
            }
            case TypeId::object: write_object(c, false); break;
            case TypeId::function: write_function(c, false); break;
            case TypeId::context: {
                // A context! value names its context in data3; one that does not is not a value
                // a script can hold.
                if (!c.data3) raise_no_codec(t);
                enter(c.data3);
                write_context(c.data3, c);
                leave();
                break;
            }
            default:
                if (series_::series_type_q(t) || t == TypeId::bitset || t == TypeId::map)
                    write_series(c, t, false);
                else
                    raise_no_codec(t);
        }
    }

    void write_float(const Cell& c, TypeId t) {
        double v = cell::get_float(c);
        bool negative_zero = v == 0 && std::signbit(v);
        if (compact_) {
            int32_t n = INT32_MIN;
            if (!negative_zero) {
                if (t == TypeId::percent) {
                    if (v >= -21474836.0 && v <= 21474836.0) {
                        double r = std::round(v * 100.0);  // halves away from zero
                        if (r / 100.0 == v) n = int32_t(r);
                    }
                } else {
                    int32_t k = checked_int(v, 2147483000.0);
                    if (k != INT32_MIN && double(k) == v) n = k;
                }
            }
            head(c, t, n != INT32_MIN);
            if (n != INT32_MIN) varint(zigzag(n));
            else double_raw(v);
        } else {
            align_double();
            head(c, t, false);
            double_raw(v);
        }
    }

    // Series, bitset and map bodies.
    void write_series(const Cell& c, TypeId t, bool inside) {
        Node node = series_cell::node(c);
        uint32_t h = series_cell::head(c);
        bool has_head = t != TypeId::bitset && t != TypeId::map;
        SeriesBuffer* b = memory::buffer_of(node);
        uint32_t unit = b->unit();
        bool option = t == TypeId::bitset ? (b->flags & series_flag::complement) != 0 : h != 0;
        uint32_t plain_bits = 0;
        if (!compact_) {
            if (series_::any_string_q(t) || t == TypeId::binary || t == TypeId::vector) plain_bits = unit << 8;
            if (t == TypeId::bitset && option) plain_bits |= kPlainComplement;
        }
        // The spec of a native is reached through the native: never shared on its own.
        const Path* path = inside ? nullptr : known(node);
        if (path) {
            head(c, t, compact_ ? option : false, plain_bits, true);
            if (has_head && (h || !compact_)) num(h);
            reference(*path);
            return;
        }
        head(c, t, compact_ ? option : false, plain_bits);
        if (has_head && (h || !compact_)) num(h);
        enter(node, !inside);
        if (any_block_q(t) || t == TypeId::hash) {
            uint32_t n = length(node);
            num(n);
            for (uint32_t i = 0; i < n; ++i) element(cells(node)[i]);
        } else if (t == TypeId::map) {
            Node block = table_cell::block(c);
            uint32_t n = length(block);
            uint32_t live = 0;
            for (uint32_t i = 0; i + 1 < n; i += 2)
                if (!is(cells(block)[i + 1], TypeId::invalid)) live += 2;
            num(live);
            for (uint32_t i = 0; i + 1 < n; i += 2) {
                if (is(cells(block)[i + 1], TypeId::invalid)) continue;
                element(cells(block)[i]);
                element(cells(block)[i + 1]);
            }
        } else if (t == TypeId::bitset || t == TypeId::binary) {
            num(b->used());
            bytes(b->head, b->used());
        } else if (t == TypeId::vector) {
            uint32_t code = uint32_t(__builtin_ctz(unit));
            uint32_t count = b->length();
            if (compact_) {
                byte(uint8_t((c.data3 << 2) | code));
                varint(count);
            } else {
                raw32(count);
                raw32(c.data3);
            }
            bytes(b->head, b->used());
        } else {  // text
            uint32_t code = uint32_t(__builtin_ctz(unit));
            uint32_t count = b->length();
            if (compact_) varint((count << 2) | code);
            else raw32(count);
            bytes(b->head, b->used());
        }
        leave();
    }

    // The context's flags, symbols and (when it keeps them) its values.
    void write_context(Node ctx, const Cell& owner) {
        const Cell& cc = context::cell_of(ctx);
        uint32_t kind = context::kind_of(ctx);
        bool on_stack = context::on_stack_q(ctx);
        bool flag24 = (cc.header & context::header::flag24) != 0;
        uint32_t n = context::word_count(ctx);
        bool values = false;
        if (!on_stack)
            for (uint32_t i = 0; i < n && !values; ++i) values = !is(*context::value_at(ctx, i), TypeId::unset);
        if (compact_) {
            byte(uint8_t(TypeId::context));
            byte(uint8_t((kind & 3) | (on_stack ? kCtxOnStack : 0) | (flag24 ? kCtxFlag24 : 0) |
                         (values ? kCtxValues : 0)));
        } else {
            raw32(uint32_t(TypeId::context) | (values ? kPlainValues : 0) | (on_stack ? kPlainOnStack : 0) |
                  (flag24 ? kPlainFlag24 : 0) | ((kind & 3) << kPlainKindShift));
        }
        num(n);
        for (uint32_t i = 0; i < n; ++i) num(symbol(word_cell::symbol(*context::word_at(ctx, i))));
        (void)owner;
        if (values) {
            // The fields sit at the owner's path: the path already points into it.
            for (uint32_t i = 0; i < n; ++i) {
                current_ = i;
                write(*context::value_at(ctx, i));
            }
        }
    }

    void write_object(const Cell& c, bool inline_owner) {
        Node ctx = object_cell::context(c);
        if (!inline_owner) {
            if (const auto* path = known(ctx)) {
                head(c, TypeId::object, false, 0, true);
                reference(*path);
                return;
            }
            enter(ctx);
        }
        bool notifies = object_cell::notifies_q(c);
        head(c, TypeId::object, compact_ && notifies, notifies ? kPlainHandlers : 0);
        snum(int32_t(object_cell::class_id(c)));
        if (notifies) {
            Cell* h = cells(object_cell::handlers(c));
            snum(int32_t(h[0].data2));
            snum(int32_t(h[1].data2));
        }
        write_context(ctx, c);
        if (!inline_owner) leave();
    }

    void write_function(const Cell& c, bool inline_owner) {
        Node ctx = callable_cell::context(c);
        if (!inline_owner) {
            if (const auto* path = known(ctx)) {
                head(c, TypeId::function, false, 0, true);
                reference(*path);
                return;
            }
            enter(ctx);
        }
        head(c, TypeId::function, false);
        Node spec = callable_cell::spec(c);
        Cell body = *function::more_cell(c, function::more_body);
        num(std::max(length(spec), 1u));
        num(any_block_q(type_of(body)) ? std::max(length(series_cell::node(body)), 1u) : 1u);
        write_context(ctx, c);
        current_ = 0;
        write(block_of(spec));
        current_ = 1;
        write(any_block_q(type_of(body)) ? body : block_of(series::alloc_cells(1)));
        if (!inline_owner) leave();
    }

    void write_op(const Cell& c) {
        TypeId wrapped = function::op_source_type(c);
        if (wrapped == TypeId::routine) raise_no_codec(TypeId::routine);
        Cell source = function::unwrap_op(c);
        head(c, TypeId::op, false, compact_ ? 0 : uint32_t(wrapped) << 16);
        cell::clear_new_line(source);
        write(source);
    }

    void write_word(const Cell& c, TypeId t) {
        Node ctx = word_cell::context(c);
        uint32_t sym = symbol(word_cell::symbol(c));
        if (global_binding_q(ctx)) {
            head(c, t, false, kPlainGlobal);
            num(sym);
            if (!compact_) raw32(word_cell::index(c));
            return;
        }
        const Cell owner = context::owner_of(ctx);
        TypeId owner_type = type_of(owner);
        if (owner_type != TypeId::object && owner_type != TypeId::function) raise_no_codec(owner_type);
        const Path* path = known(ctx);
        if (compact_) {
            if (cell::new_line_q(c)) byte(kNewLine);
            if (path) byte(kShared);
            type_byte(t, true);
            varint(sym);
            varint(zigzag(int32_t(word_cell::index(c))));
        } else {
            raw32(uint32_t(t) | (path ? kPlainShared : 0) | (cell::new_line_q(c) ? kPlainNewLine : 0));
            raw32(sym);
            raw32(word_cell::index(c));
        }
        if (path) {
            if (compact_) path_numbers(*path);
            else reference(*path);
            return;
        }
        // The owner written inline; later words of its context refer to this word.
        enter(ctx);
        Cell plain = owner;
        cell::clear_new_line(plain);
        if (owner_type == TypeId::object) write_object(plain, true);
        else write_function(plain, true);
        leave();
    }

    Cell finish() {
        std::vector<uint8_t> image(kMagic, kMagic + 6);
        image.push_back(kVersion);
        bool with_symbols = !symbols_.empty();
        std::vector<uint8_t> names;
        std::vector<uint32_t> offsets;
        for (uint32_t id : symbols_) {
            offsets.push_back(uint32_t(names.size()));
            std::string_view name = symbol::name(id);
            names.insert(names.end(), name.begin(), name.end());
            names.push_back(0);
            if (!compact_)
                while (names.size() % 8) names.push_back(0);
        }
        auto put32 = [&image](uint32_t w) {
            for (int i = 0; i < 4; ++i) image.push_back(uint8_t(w >> (8 * i)));
        };
        auto putv = [&image](uint32_t v) {
            while (v >= 0x80) {
                image.push_back(uint8_t(v | 0x80));
                v >>= 7;
            }
            image.push_back(uint8_t(v));
        };
        auto putn = [&](uint32_t v) { compact_ ? putv(v) : put32(v); };
        image.push_back(uint8_t((compact_ ? flag::compact : 0) | (with_symbols ? flag::symbols : 0)));
        putn(1);
        putn(uint32_t(out_.size()));
        if (with_symbols) {
            putn(uint32_t(offsets.size()));
            putn(uint32_t(names.size()));
            for (uint32_t o : offsets) put32(o);
            image.insert(image.end(), names.begin(), names.end());
        }
        image.insert(image.end(), out_.begin(), out_.end());
        return binary::from_bytes(image);
    }
};

// =========================================================================================
// Reader
// =========================================================================================

class Reader {
public:
    Reader(Mode mode, Node target) : boot_(mode == Mode::boot), target_(target) {}

    uint32_t run(const uint8_t* data, size_t size, const Cell& subject) {
        if (size < 8 || std::memcmp(data, kMagic, 6) != 0) {
            if (boot_) {
                console::print_c_string("Error: Not a Kazbin file!\n");
                platform::exit_process(0);
            }
            error::raise(ErrorId::script_invalid_data, subject);
        }
        image_ = data;
        uint8_t flags = data[7];
        compact_ = (flags & flag::compact) != 0;
        const uint8_t* body = data + 8;
        const uint8_t* body_end = data + size;
        uint8_t* expanded = nullptr;
        if (flags & flag::compressed) {
            size_t out_length = 0;
            expanded = lz::decompress(body, size - 8, &out_length);
            if (!expanded) {
                if (boot_) {
                    console::print_c_string("Error: Kazbin compressed data corrupted!\n");
                    platform::exit_process(0);
                }
                error::raise(ErrorId::script_invalid_data, subject);
            }
            body = expanded;
            body_end = expanded + out_length;
            // Positions in expanded data count from its first byte, after the 8 header bytes.
            image_ = expanded - 8;
        }
        struct Free {
            uint8_t* p;
            ~Free() { if (p) lz::free_output(p); }
        } free_expanded{expanded};
        p_ = body;
        end_ = body_end;
        record_ = p_;
        uint32_t first = length(target_);
        base_ = first;
        read_header(flags, subject);
        while (p_ < payload_end_) record(target_);
        return first;
    }

private:
    bool boot_;
    bool compact_ = false;
    Node target_;
    uint32_t base_ = 0;
    const uint8_t* image_ = nullptr;
    const uint8_t* p_ = nullptr;
    const uint8_t* end_ = nullptr;
    const uint8_t* payload_end_ = nullptr;
    const uint8_t* record_ = nullptr;  // the plain record being read, for error positions
    uint32_t symbol_count_ = 0;
    const uint8_t* offsets_ = nullptr;
    const uint8_t* names_ = nullptr;
    uint32_t names_size_ = 0;
    std::vector<uint32_t> symbol_ids_;  // 0 until interned
    static constexpr uint32_t kNoSlot = 0xFFFFFFFF;
    std::vector<uint32_t> global_slots_;  // the global context's position of each symbol

    [[noreturn]] void fail() {
        const uint8_t* at = compact_ || !in_payload_ ? p_ : record_;
        error::raise(ErrorId::script_kb_invalid_record, cell::integer(int32_t(at - image_ + 1)));
    }
    size_t left() const { return size_t(payload_end_ - p_); }

    // ---- primitives, each bounded by the payload end ----
    uint8_t byte() {
        if (p_ >= payload_end_) fail();
        return *p_++;
    }
    uint32_t raw32() {
        if (left() < 4) fail();
        uint32_t w = uint32_t(p_[0]) | uint32_t(p_[1]) << 8 | uint32_t(p_[2]) << 16 | uint32_t(p_[3]) << 24;
        p_ += 4;
        return w;
    }
    uint32_t varint() {
        uint32_t v = 0;
        for (int i = 0; i < 5; ++i) {
            uint8_t b = byte();
            if (i == 4 && b >= 0x10) {
                --p_;
                fail();
            }
            v |= uint32_t(b & 0x7F) << (7 * i);
            if (!(b & 0x80)) return v;
        }
        fail();
    }
    static int32_t unzigzag(uint32_t u) { return int32_t((u >> 1) ^ (0u - (u & 1))); }
    uint32_t num() { return compact_ ? varint() : raw32(); }
    int32_t snum() { return compact_ ? unzigzag(varint()) : int32_t(raw32()); }
    const uint8_t* take(size_t n) {
        if (left() < n) fail();
        const uint8_t* at = p_;
        p_ += n;
        if (!compact_) {
            size_t pad = (4 - n % 4) % 4;
            if (left() < pad) fail();
            p_ += pad;
        }
        return at;
    }
    double double_raw() {
        uint32_t a = raw32(), b = raw32();
        uint64_t bits = compact_ ? (uint64_t(b) << 32 | a) : (uint64_t(a) << 32 | b);
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    // A count of items each taking at least `each` bytes: never more than the bytes left.
    uint32_t count(uint32_t each = 1) {
        uint32_t n = num();
        if (each && n > left() / each) fail();
        return n;
    }

    // ---- header and symbols ----
    // The root record count (unused), the payload size, then the symbol table, each checked
    // against the data that is there.
    void read_header(uint8_t flags, const Cell& subject) {
        payload_end_ = end_;
        if (!compact_ && left() < 8) error::raise(ErrorId::script_invalid_data, subject);
        num();
        uint32_t size = num();
        if (flags & flag::symbols) {
            uint32_t n = num();
            uint32_t s = num();
            if (n > left() / 4) fail();
            offsets_ = p_;
            p_ += size_t(n) * 4;
            if (s > left()) fail();
            names_ = p_;
            names_size_ = s;
            if (s && names_[s - 1] != 0) fail();
            p_ += s;
            symbol_count_ = n;
            symbol_ids_.assign(n, 0);
            global_slots_.assign(n, kNoSlot);
            if (boot_ && !compact_)
                for (uint32_t i = 0; i < n; ++i) symbol_id(i);
        }
        if (size > left()) fail();
        payload_end_ = p_ + size;
        record_ = p_;
        in_payload_ = true;
    }
    bool in_payload_ = false;

    uint32_t symbol_id(uint32_t index) {
        if (index >= symbol_count_) fail();
        if (!symbol_ids_[index]) {
            const uint8_t* o = offsets_ + size_t(index) * 4;
            uint32_t offset = uint32_t(o[0]) | uint32_t(o[1]) << 8 | uint32_t(o[2]) << 16 | uint32_t(o[3]) << 24;
            if (offset >= names_size_) fail();
            const char* name = reinterpret_cast<const char*>(names_ + offset);
            size_t n = strnlen(name, names_size_ - offset);
            if (n == 0) fail();
            symbol_ids_[index] = symbol::intern(std::string_view(name, n));
        }
        return symbol_ids_[index];
    }
    uint32_t symbol_ref() { return symbol_id(num()); }

    // ---- cells ----
    // A new unset! cell at the tail of `into`; returns its index.
    static uint32_t reserve(Node into) {
        SeriesBuffer* b = memory::buffer_of(into);
        // Containers are made with room for their count: the common case needs no call.
        series::reserve_cells(b, 1);
        return uint32_t((b->tail - b->head) / sizeof(Cell)) - 1;
    }
    static Cell& at(Node into, uint32_t index) { return cells(into)[index]; }
    static void put(Node into, uint32_t index, Cell c, bool new_line) {
        if (new_line) c.header |= cell_flag::new_line;
        else cell::clear_new_line(c);
        at(into, index) = c;
    }

    // The reference path: the cell it reaches, copied.
    Cell resolve() {
        uint32_t depth = num();
        if (depth < 1 || depth > kMaxDepth || depth > left()) fail();
        uint32_t first = num();
        if (first >= length(target_)) fail();
        Cell c = cells(target_)[first];
        for (uint32_t k = 1; k < depth; ++k) {
            uint32_t i = num();
            c = step(c, i);
        }
        return c;
    }
    // A reference record's value. A function's slot holds its context alone while the function
    // is read, for the words of its body to bind to; that is no value to copy.
    Cell value_reference() {
        Cell c = resolve();
        if (is(c, TypeId::context)) fail();
        return c;
    }
    Cell step(const Cell& c, uint32_t i) {
        TypeId t = type_of(c);
        if (any_block_q(t) || t == TypeId::hash || t == TypeId::map) {
            Node n = series_cell::node(c);
            if (i >= length(n)) fail();
            return cells(n)[i];
        }
        if (t == TypeId::object || t == TypeId::error) {
            Node ctx = object_cell::context(c);
            uint32_t k = t == TypeId::error ? i + error::arg1 : i;
            if (k >= context::word_count(ctx) || context::on_stack_q(ctx)) fail();
            Cell* v = context::value_at(ctx, k);
            if (!v) fail();
            return *v;
        }
        if (any_word_q(t)) {
            Node ctx = word_cell::context(c);
            if (global_binding_q(ctx)) fail();
            if (context::on_stack_q(ctx)) {
                const Cell owner = context::owner_of(ctx);
                if (!is(owner, TypeId::function)) fail();
                return step(owner, i);
            }
            if (i >= context::word_count(ctx)) fail();
            Cell* v = context::value_at(ctx, i);
            if (!v) fail();
            return *v;
        }
        if (t == TypeId::native || t == TypeId::action) {
            Node spec = callable_cell::spec(c);
            if (i >= length(spec)) fail();
            return cells(spec)[i];
        }
        if (t == TypeId::function || t == TypeId::op) {
            Cell fn = t == TypeId::op ? function::unwrap_op(c) : c;
            if (!is(fn, TypeId::function) || i > 1) fail();
            if (i == 0) return block_of(callable_cell::spec(fn));
            Cell body = *function::more_cell(fn, function::more_body);
            if (!any_block_q(type_of(body))) fail();
            return body;
        }
        fail();
    }

    // The context a word or owner reference names.
    Node context_of_reference(const Cell& c) {
        TypeId t = type_of(c);
        if (t == TypeId::object) return object_cell::context(c);
        if (t == TypeId::function) return callable_cell::context(c);
        if (t == TypeId::op) {
            Cell fn = function::unwrap_op(c);
            if (is(fn, TypeId::function)) return callable_cell::context(fn);
        }
        if (t == TypeId::context && c.data3) return c.data3;  // a function under construction
        if (any_word_q(t) && !global_binding_q(word_cell::context(c))) return word_cell::context(c);
        fail();
    }

    // ---- one record ----
    void record(Node into) {
        deep_enough_to_stop();
        record_ = p_;
        if (compact_) compact_record(into);
        else plain_record(into);
    }

    void compact_record(Node into) {
        bool new_line = false, shared = false, sets = false;
        uint8_t lead;
        for (;;) {
            lead = byte();
            if (lead == kNewLine) new_line = true;
            else if (lead == kShared) shared = true;
            else if (lead == kSetWord) sets = true;
            else break;
        }
        if (lead >= 0x80) {
            if (shared || sets || (lead >= 0xC5 && lead != kReference)) {
                --p_;
                fail();
            }
            Cell c;
            if (lead == kReference) c = value_reference();  // before the new cell: it is no target
            else if (lead == kTrue || lead == kFalse) c = cell::logic(lead == kTrue);
            else c = cell::integer(lead & 0x3F);
            put(into, reserve(into), c, new_line);
            return;
        }
        bool option = (lead & kOption) != 0;
        uint32_t id = lead & 0x3F;
        if (id == 63) id = varint();
        if (id == 0 || id > 54) {
            --p_;
            fail();
        }
        TypeId t = TypeId(id);
        if (shared && !(series_::series_type_q(t) || t == TypeId::bitset || t == TypeId::map ||
                        t == TypeId::object || t == TypeId::function || (any_word_q(t) && option))) {
            --p_;
            fail();
        }
        if (sets) {
            if (!(t >= TypeId::word && t <= TypeId::issue) || !boot_) {
                --p_;
                fail();
            }
        }
        // Most records are words: straight to their reader, past the dispatch of every type.
        if (t == TypeId::word || t == TypeId::set_word || t == TypeId::lit_word || t == TypeId::get_word ||
            t == TypeId::refinement) {
            read_word(into, t, option, shared, new_line, sets, 0);
            return;
        }
        body(into, t, option, shared, new_line, sets, 0);
    }

    void plain_record(Node into) {
        uint32_t h;
        do {
            record_ = p_;
            h = raw32();
        } while (h == 0 && p_ < payload_end_);
        if (h == 0) fail();  // padding with no record after it
        uint32_t id = h & 0xFF;
        if (id == kPlainReference) {
            Cell c = value_reference();
            put(into, reserve(into), c, (h & kPlainNewLine) != 0);
            return;
        }
        if (id == 0 || id > 54) fail();
        TypeId t = TypeId(id);
        bool shared = (h & kPlainShared) != 0;
        // Words and the bits of their rows are read by body().
        body(into, t, false, shared, (h & kPlainNewLine) != 0, false, h);
    }

    // A reference record in the plain encoding, or a bare path in the compact one.
    Cell shared_target() {
        if (!compact_) {
            record_ = p_;
            if (raw32() != kPlainReference) fail();
        }
        return resolve();
    }

    void body(Node into, TypeId t, bool option, bool shared, bool new_line, bool sets, uint32_t h) {
        if (no_codec_q(t)) raise_no_codec(t);
        switch (t) {
            case TypeId::unset:
            case TypeId::none: put(into, reserve(into), cell::make(t), new_line); return;
            case TypeId::datatype: {
                uint32_t d = num();
                if (d == 0 || d > 54) fail();
                put(into, reserve(into), cell::datatype(TypeId(d)), new_line);
                return;
            }
            case TypeId::logic: {
                if (compact_) fail();
                uint32_t v = raw32();
                if (v > 1) fail();
                put(into, reserve(into), cell::logic(v != 0), new_line);
                return;
            }
            case TypeId::integer: put(into, reserve(into), cell::integer(snum()), new_line); return;
            case TypeId::char_: {
                uint32_t cp = num();
                if (cp > 0x10FFFF) fail();
                put(into, reserve(into), cell::make(TypeId::char_, 0, cp), new_line);
                return;
            }
            case TypeId::issue: {
                // As the lexer makes it: the global context named, no position looked up.
                Cell w = cell::make(TypeId::issue, context::global, symbol_ref(), word::kNoIndex);
                put(into, reserve(into), w, new_line);
                return;
            }
            case TypeId::float_:
            case TypeId::time:
            case TypeId::percent: {
                double v;
                if (compact_ && option) {
                    int32_t n = unzigzag(varint());
                    v = t == TypeId::percent ? n / 100.0 : double(n);
                } else {
                    v = double_raw();
                }
                Cell c = cell::make(t);
                cell::put_float(c, v);
                put(into, reserve(into), c, new_line);
                return;
            }
            case TypeId::pair: {
                int32_t x = snum(), y = snum();
                put(into, reserve(into), pair_cell::make(x, y), new_line);
                return;
            }
            case TypeId::point2d:
            case TypeId::point3d: {
                Cell c = cell::make(t);
                c.data1 = raw32();
                c.data2 = raw32();
                if (t == TypeId::point3d) c.data3 = raw32();
                put(into, reserve(into), c, new_line);
                return;
            }
            case TypeId::typeset: {
                Cell c = cell::make(t);
                uint8_t b[12] = {};
                if (compact_) {
                    uint8_t n = byte();
                    if (n > 12) fail();
                    std::memcpy(b, take(n), n);
                } else {
                    std::memcpy(b, take(12), 12);
                }
                std::memcpy(&c.data1, b, 12);
                put(into, reserve(into), c, new_line);
                return;
            }
            case TypeId::tuple: {
                uint32_t n = 3;
                Cell c;
                if (compact_) {
                    if (option) n = byte();
                    if (n < 1 || n > 12) fail();
                    c = tuple_cell::make(n);
                    const uint8_t* b = take(n);
                    for (uint32_t i = 0; i < n; ++i) tuple_cell::set_byte(c, i, b[i]);
                } else {
                    n = (h >> 8) & 0xFF;
                    if (n < 1 || n > 12) fail();
                    c = tuple_cell::make(n);
                    c.data1 = raw32();
                    c.data2 = raw32();
                    c.data3 = raw32();
                }
                put(into, reserve(into), c, new_line);
                return;
            }
            case TypeId::date: {
                Cell c = cell::make(t, raw32());
                bool timed = (c.data1 & (1u << 16)) != 0;
                double time = 0;
                if (compact_) {
                    if (option != timed) fail();
                    if (timed) time = double_raw();
                } else {
                    time = double_raw();
                    if (!timed) time = 0;
                }
                // A date the calendar cannot hold would fail every later use of the value.
                static constexpr int32_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
                int32_t month = date::month_of(c.data1), day = date::day_of(c.data1);
                if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
                    (month == 2 && day == 29 && !date::leap_year_q(date::year_of(c.data1))))
                    fail();
                if (!(time >= -date::kSecondsPerDay && time < 2 * date::kSecondsPerDay)) fail();
                cell::put_float(c, time);
                put(into, reserve(into), c, new_line);
                return;
            }
            case TypeId::money: {
                Cell c = cell::make(t);
                std::memcpy(reinterpret_cast<uint8_t*>(&c) + 4, take(12), 12);
                bool negative = compact_ ? option : (h & kPlainNegative) != 0;
                if (negative) c.header |= 1u << 14;
                // Each nibble is a decimal digit.
                const uint8_t* d = reinterpret_cast<const uint8_t*>(&c) + 5;
                for (int i = 0; i < 11; ++i)
                    if ((d[i] >> 4) > 9 || (d[i] & 15) > 9) fail();
                put(into, reserve(into), c, new_line);
                return;
            }
            case TypeId::word:
            case TypeId::set_word:
            case TypeId::lit_word:
            case TypeId::get_word:
            case TypeId::refinement: read_word(into, t, option, shared, new_line, sets, h); return;
            case TypeId::native:
            case TypeId::action: read_native(into, t, new_line); return;
            case TypeId::op: read_op(into, new_line, h); return;
            case TypeId::error: read_error(into, new_line); return;
            case TypeId::object: read_object(into, option, shared, new_line, h); return;
            case TypeId::function: read_function(into, shared, new_line); return;
            case TypeId::context: {
                uint32_t i = reserve(into);
                read_context_body(h, true, nullptr, into, i);
                at(into, i).header |= new_line ? cell_flag::new_line : 0;
                return;
            }
            default:
                if (series_::series_type_q(t) || t == TypeId::bitset || t == TypeId::map) {
                    read_series(into, t, option, shared, new_line, h);
                    return;
                }
                fail();  // logic! as a type byte, symbol!, series!
        }
    }

    // Which stored types a shared series record of type t may take its buffer from.
    static bool same_family(TypeId want, TypeId have) {
        if (any_block_q(want)) return any_block_q(have);
        if (series_::any_string_q(want)) return series_::any_string_q(have);
        return want == have;
    }

    void read_series(Node into, TypeId t, bool option, bool shared, bool new_line, uint32_t h) {
        bool has_head = t != TypeId::bitset && t != TypeId::map;
        uint32_t head = 0;
        if (has_head && (option || !compact_)) head = num();
        if (shared) {
            Cell target = shared_target();
            if (!same_family(t, type_of(target))) fail();
            Cell c = target;
            cell::set_type(c, t);
            if (has_head) series_cell::set_head(c, head);
            put(into, reserve(into), c, new_line);
            return;
        }
        uint32_t i = reserve(into);
        if (any_block_q(t) || t == TypeId::hash || t == TypeId::map) {
            uint32_t n = count();
            if (t == TypeId::map && n % 2) fail();
            Node block = series::alloc_cells(n ? n : 1);
            // The block stands in its slot while its cells are read, so that paths reach them.
            put(into, i, series_cell::make(any_block_q(t) ? t : TypeId::block, block, head), new_line);
            for (uint32_t k = 0; k < n; ++k) record(block);
            if (t == TypeId::hash) {
                Cell made = hash::indexed(block_of(block));
                series_cell::set_head(made, head);
                put(into, i, made, new_line);
            } else if (t == TypeId::map) {
                for (uint32_t k = 0; k < n; k += 2)
                    if (!map::valid_key_type_q(type_of(cells(block)[k]))) fail();
                Cell made;
                Cell source = block_of(block);
                map::init_cell(made, &source, n / 2);
                put(into, i, made, new_line);
            }
            return;
        }
        if (t == TypeId::bitset || t == TypeId::binary) {
            uint32_t n = count();
            const uint8_t* b = take(n);
            size_t offset = size_t(b - image_);
            Node node = series::alloc_bytes(n ? n : 1);
            SeriesBuffer* buf = memory::buffer_of(node);
            std::memcpy(series::reserve_bytes(buf, n), image_ + offset, n);
            bool complement = compact_ ? option && t == TypeId::bitset : (h & kPlainComplement) != 0;
            if (t == TypeId::bitset && complement) series::set_flags(node, series_flag::complement);
            put(into, i, series_cell::make(t, node, t == TypeId::bitset ? 0 : head), new_line);
            return;
        }
        if (t == TypeId::vector) {
            uint32_t unit, element, n;
            if (compact_) {
                uint8_t f = byte();
                unit = 1u << (f & 3);
                element = f >> 2;
                n = varint();
            } else {
                unit = (h >> 8) & 0xFF;
                n = raw32();
                element = raw32();
            }
            bool fits = false;
            switch (TypeId(element)) {
                case TypeId::char_:
                case TypeId::integer: fits = unit == 1 || unit == 2 || unit == 4; break;
                case TypeId::float_: fits = unit == 4 || unit == 8; break;
                case TypeId::percent: fits = unit == 8; break;
                default: break;
            }
            if (!fits || n > left() / unit) fail();
            const uint8_t* b = take(size_t(n) * unit);
            size_t offset = size_t(b - image_);
            Node node = series::alloc_units(n ? n : 1, unit);
            SeriesBuffer* buf = memory::buffer_of(node);
            std::memcpy(series::reserve_bytes(buf, n * unit), image_ + offset, size_t(n) * unit);
            put(into, i, cell::make(TypeId::vector, head, node, element), new_line);
            return;
        }
        // Text.
        uint32_t unit, n;
        if (compact_) {
            uint32_t l = varint();
            if ((l & 3) == 3) fail();
            unit = 1u << (l & 3);
            n = l >> 2;
        } else {
            unit = (h >> 8) & 0xFF;
            if (unit != 1 && unit != 2 && unit != 4) fail();
            n = raw32();
        }
        if (n > left() / unit) fail();
        const uint8_t* b = take(size_t(n) * unit);
        if (unit == 4)
            for (uint32_t k = 0; k < n; ++k) {
                uint32_t cp;
                std::memcpy(&cp, b + 4 * k, 4);
                if (cp > 0x10FFFF) fail();
            }
        size_t offset = size_t(b - image_);
        Node node = series::alloc_units(n ? n : 1, unit);
        SeriesBuffer* buf = memory::buffer_of(node);
        std::memcpy(series::reserve_bytes(buf, n * unit), image_ + offset, size_t(n) * unit);
        put(into, i, series_cell::make(t, node, head), new_line);
    }

    // A context record: its flags, words and values. Places an object! on it in slot `i` of
    // `into` before its values are read (so paths reach its fields); a function's context gets
    // a context! cell there instead, which words may name while the function is built.
    Node read_context_body(uint32_t h, bool lead_read, const uint32_t* class_id, Node into, uint32_t i,
                           bool for_function = false) {
        // An inline owner binds the word waiting for it as soon as its context exists.
        PendingWord waiting = pending_word_;
        pending_word_ = {};
        uint32_t kind, bits;
        bool on_stack, flag24, values;
        if (compact_) {
            if (!lead_read && byte() != uint8_t(TypeId::context)) {
                --p_;
                fail();
            }
            bits = byte();
            kind = bits & 3;
            on_stack = bits & kCtxOnStack;
            flag24 = bits & kCtxFlag24;
            values = (bits & kCtxValues) && !on_stack;
        } else {
            if (!h) {
                record_ = p_;
                h = raw32();
            }
            if ((h & 0xFF) != uint32_t(TypeId::context)) fail();
            kind = (h >> kPlainKindShift) & 3;
            on_stack = h & kPlainOnStack;
            flag24 = h & kPlainFlag24;
            values = (h & kPlainValues) && !on_stack;
        }
        if (kind == 3) fail();
        if (for_function != (kind == context::function && on_stack) || (!for_function && on_stack)) fail();
        uint32_t n = count();
        Node ctx = context::make(n, on_stack, flag24, 0, kind);
        // Held by the cell in its slot from here on.
        Cell holder = context::cell_of(ctx);
        holder.data3 = ctx;
        if (class_id) {
            Cell obj = cell::make(TypeId::object, ctx, *class_id, 0);
            put(into, i, obj, false);
        } else {
            put(into, i, holder, false);
        }
        for (uint32_t k = 0; k < n; ++k) {
            Cell w;
            word::init_global_cell(symbol_ref(), w);
            uint32_t before = context::word_count(ctx);
            if (on_stack) {
                context::find_or_add_symbol(ctx, word_cell::symbol(w), true, nullptr);
            } else {
                context::add_unset_word(ctx, w);
            }
            if (context::word_count(ctx) != before + 1) fail();  // the same name twice
        }
        if (waiting.into) bind_checked(waiting.into, waiting.index, ctx, waiting.word_index);
        if (class_id) {
            Cell obj = at(into, i);
            context::owner_of(ctx) = obj;
        } else if (!for_function) {
            Cell obj = cell::make(TypeId::object, ctx, 0xFFFFFFFF, 0);
            context::owner_of(ctx) = obj;
            put(into, i, obj, false);
        }
        if (values) {
            Node vals = context::cell_of(ctx).data2;
            SeriesBuffer* vb = memory::buffer_of(vals);
            try {
                for (uint32_t k = 0; k < n; ++k) {
                    vb = memory::buffer_of(vals);
                    vb->tail = vb->head + size_t(k) * sizeof(Cell);
                    record(vals);
                }
            } catch (...) {
                vb = memory::buffer_of(vals);
                vb->tail = vb->head + size_t(n) * sizeof(Cell);
                throw;
            }
            vb = memory::buffer_of(vals);
            vb->tail = vb->head + size_t(n) * sizeof(Cell);
        }
        return ctx;
    }

    // An object record: class id, the change numbers, the context. `word_slot` names a word
    // whose binding this inline owner gives.
    void read_object(Node into, bool option, bool shared, bool new_line, uint32_t h) {
        if (shared) {
            Cell target = shared_target();
            Node ctx = context_of_reference(target);
            Cell owner = context::owner_of(ctx);
            if (!is(owner, TypeId::object)) fail();
            put(into, reserve(into), owner, new_line);
            return;
        }
        int32_t cls = snum();
        bool notifies = compact_ ? option : (h & kPlainHandlers) != 0;
        if (notifies) {
            snum();
            snum();
        }
        uint32_t class_id = boot_ ? uint32_t(cls) : 0xFFFFFFFF;
        uint32_t i = reserve(into);
        Node ctx = read_context_body(0, false, &class_id, into, i);
        Cell obj = at(into, i);
        if (notifies) attach_handlers(obj, ctx);
        put(into, i, obj, new_line);
        context::owner_of(ctx) = at(into, i);
    }


    void attach_handlers(Cell& obj, Node ctx) {
        const char* names[2] = {"on-change*", "on-deep-change*"};
        uint32_t pos[2] = {0xFFFF, 0xFFFF}, locals[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            int32_t p = context::find_symbol(ctx, symbol::intern(names[k]), true);
            if (p < 0) continue;
            Cell fn = *context::value_at(ctx, uint32_t(p));
            if (!is(fn, TypeId::function)) fail();
            pos[k] = uint32_t(p);
            locals[k] = uint32_t(function::count_local_slots(callable_cell::spec(fn), 0, false));
        }
        if (pos[0] == 0xFFFF && pos[1] == 0xFFFF) return;
        object::set_change_handlers(obj, pos[0], locals[0], pos[1], locals[1]);
    }

    void read_function(Node into, bool shared, bool new_line) {
        if (shared) {
            Cell target = shared_target();
            Node ctx = context_of_reference(target);
            Cell owner = context::owner_of(ctx);
            if (!is(owner, TypeId::function)) fail();
            put(into, reserve(into), owner, new_line);
            return;
        }
        uint32_t spec_cells = num(), body_cells = num();
        if (spec_cells < 1 || body_cells < 1) fail();
        uint32_t i = reserve(into);
        Node ctx = read_context_body(0, false, nullptr, into, i, true);
        // Spec and body: read into a scratch block, then checked against the context.
        Node scratch = series::alloc_cells(2);
        for (int k = 0; k < 2; ++k) {
            const uint8_t* before = p_;
            record(scratch);
            Cell b = cells(scratch)[k];
            if (!is(b, TypeId::block)) {
                p_ = before;
                fail();
            }
        }
        Cell spec = cells(scratch)[0];
        Cell body = cells(scratch)[1];
        uint32_t flags = function::validate_spec(spec);
        Node fresh = context::make_from_spec(spec, true, false, context::function);
        uint32_t n = context::word_count(ctx);
        bool same = context::word_count(fresh) == n;
        for (uint32_t k = 0; same && k < n; ++k)
            same = word_cell::symbol(*context::word_at(fresh, k)) == word_cell::symbol(*context::word_at(ctx, k));
        if (!same || series_cell::head(spec) != 0) fail();
        function::make_value(spec, &body, ctx, 0, 0, flags, false);
        Cell fn = *stack::top();
        stack::pop(1);
        put(into, i, fn, new_line);
        context::owner_of(ctx) = at(into, i);
    }

    void read_native(Node into, TypeId t, bool new_line) {
        uint32_t number = num();
        uint32_t limit = t == TypeId::action ? uint32_t(kActionCount) : natives::kNatives;
        if (number < 1 || number > limit) fail();
        uint32_t i = reserve(into);
        Node scratch = series::alloc_cells(2);
        record(scratch);
        if (!is(cells(scratch)[0], TypeId::block)) fail();
        SeriesBuffer* sb = memory::buffer_of(scratch);
        *series::reserve_cell(sb) = cell::integer(int32_t(number));
        put(into, i, native::make(cell::datatype(t), block_of(scratch), t), new_line);
    }

    void read_op(Node into, bool new_line, uint32_t h) {
        uint32_t i = reserve(into);
        Node scratch = series::alloc_cells(1);
        record(scratch);
        Cell source = cells(scratch)[0];
        TypeId st = type_of(source);
        if (st != TypeId::native && st != TypeId::action && st != TypeId::function) fail();
        if (!compact_ && TypeId((h >> 16) & 0xFF) != st) fail();
        cell::clear_new_line(source);
        put(into, i, op::make(cell::none(), source, TypeId::op), new_line);
    }

    void read_error(Node into, bool new_line) {
        uint32_t code = num();
        auto id = error::from_code(int(code));
        if (!id) fail();
        uint32_t i = reserve(into);
        put(into, i, error::create(*id), new_line);
        Node ctx = object_cell::context(at(into, i));
        Node scratch = series::alloc_cells(1);
        for (uint32_t f = error::arg1; f <= error::stack; ++f) {
            SeriesBuffer* b = memory::buffer_of(scratch);
            b->tail = b->head;
            record(scratch);
            *context::value_at(ctx, f) = cells(scratch)[0];
        }
    }

    void read_word(Node into, TypeId t, bool option, bool shared, bool new_line, bool sets, uint32_t h) {
        uint32_t index_in_table = num();
        uint32_t sym = symbol_id(index_in_table);
        // The global word of each symbol is looked up once per image.
        uint32_t& slot = global_slots_[index_in_table];
        if (slot == kNoSlot) {
            Cell g;
            word::init_global_cell(sym, g);
            slot = g.data3;
        }
        Cell w = cell::make(t, context::global, sym, slot);
        if (boot_) {
            // The literal image: a root record index names the context.
            int32_t root = -1, index = -1;
            bool set_value = sets;
            if (compact_) {
                if (option) {
                    root = int32_t(varint());
                    index = unzigzag(varint());
                }
            } else {
                root = int32_t(raw32());
                index = int32_t(raw32());
                set_value = (h & kPlainSets) != 0;
            }
            if (root >= 0) {
                uint32_t r = base_ + uint32_t(root);
                if (r >= length(target_)) fail();
                Node ctx = context_of_reference(cells(target_)[r]);
                if (index < 0) {
                    index = context::find_symbol(ctx, sym, true);
                    if (index < 0) fail();
                } else if (uint32_t(index) >= context::word_count(ctx)) {
                    fail();
                }
                word_cell::bind(w, ctx, uint32_t(index));
            }
            if (set_value) {
                uint32_t before = length(into);
                record(into);
                Cell value = cells(into)[before];
                cell::clear_new_line(value);
                Cell target = w;
                cell::set_type(target, TypeId::word);
                word::set(target, value);
                memory::buffer_of(into)->tail = memory::buffer_of(into)->head + size_t(before) * sizeof(Cell);
                return;
            }
            put(into, reserve(into), w, new_line);
            return;
        }
        // Codec images.
        bool global = compact_ ? !option : (h & kPlainGlobal) != 0;
        int32_t index = compact_ ? (global ? 0 : unzigzag(varint())) : int32_t(raw32());
        uint32_t i = reserve(into);
        put(into, i, w, new_line);
        if (global) return;
        Node ctx;
        if (shared) {
            ctx = context_of_reference(shared_target());
        } else {
            // The owner follows inline; it binds this word as soon as its context exists.
            uint8_t lead;
            uint32_t ph = 0;
            if (compact_) {
                lead = byte();
                if (lead != uint8_t(TypeId::object) && lead != (uint8_t(TypeId::object) | kOption) &&
                    lead != uint8_t(TypeId::function)) {
                    --p_;
                    fail();
                }
            } else {
                record_ = p_;
                ph = raw32();
                lead = uint8_t(ph & 0xFF);
                if (lead != uint8_t(TypeId::object) && lead != uint8_t(TypeId::function)) fail();
                if (ph & kPlainShared) fail();
            }
            Node scratch = series::alloc_cells(1);
            pending_word_ = {into, i, index};
            if ((lead & 0x3F) == uint8_t(TypeId::object))
                read_object(scratch, (lead & kOption) != 0, false, false, ph);
            else
                read_function(scratch, false, false);
            Cell owner = cells(scratch)[0];
            ctx = is(owner, TypeId::object) ? object_cell::context(owner) : callable_cell::context(owner);
        }
        bind_checked(into, i, ctx, index);
    }
    struct PendingWord {
        Node into;
        uint32_t index;
        int32_t word_index;
    } pending_word_{};

    void bind_checked(Node into, uint32_t i, Node ctx, int32_t index) {
        if (index < 0 || uint32_t(index) >= context::word_count(ctx)) fail();
        word_cell::bind(at(into, i), ctx, uint32_t(index));
    }
};

}  // namespace

Cell encode(const Cell& value) {
    Writer w(false);
    return w.run(value);
}

Cell encode_cp(const Cell& value) {
    Writer w(true);
    return w.run(value);
}

uint32_t decode(const uint8_t* data, size_t length, Node target, Mode mode, const Cell& subject) {
    // Everything a decode allocates is part of its result, reachable from the target: a
    // collection in the middle could free nothing it made, and would mark the growing result
    // again and again. The collector waits until the decode ends.
    gc::Pause pause;
    Reader r(mode, target);
    return r.run(data, length, subject);
}

uint32_t load_root_image(const uint8_t* image, size_t length, Node target) {
    return decode(image, length, target, Mode::boot, cell::none());
}

namespace {

// The results go to the return slot, the first argument's cell.
routines::Result codec_encode(const routines::Arg* args, uint32_t) {
    stack::base[0] = args[1].integer ? encode_cp(stack::base[0]) : encode(stack::base[0]);
    return {};
}

routines::Result codec_decode(const routines::Arg*, uint32_t) {
    Cell payload = stack::base[0];
    if (is(payload, TypeId::file) || is(payload, TypeId::url)) {
        ReadOptions options;
        options.binary = true;
        ReadAction read = registry::actions(type_of(payload)).read;
        if (!read) error::raise(ErrorId::script_invalid_data, payload);
        payload = read(payload, options);
        stack::base[0] = payload;  // seen by the collector while the result is made
    }
    if (!is(payload, TypeId::binary)) error::raise(ErrorId::script_invalid_data, payload);
    const uint32_t total = memory::buffer_of(payload.data2)->length();
    const uint32_t at = std::min(payload.data1, total);
    if (total - at <= 10) error::raise(ErrorId::script_invalid_data, payload);
    Cell* values = stack::push(cell::none());
    block::init_cell(*values, 4);
    // Taken after the allocation above; the collector, which could move the bytes, waits
    // while the reader runs.
    const uint8_t* bytes = memory::buffer_of(payload.data2)->head + at;
    decode(bytes, total - at, values->data2, Mode::call, payload);
    Cell result = *values;
    if (block::length_from_head(result) == 1) result = *block::cell_at(result, 0);
    stack::base[0] = result;
    stack::pop(1);
    return {};
}

}  // namespace

const routines::Definition kCodecEncode = {"kazbin-encode", "data [any-type!] compact? [logic!]", codec_encode,
                                           TypeId(0)};
const routines::Definition kCodecDecode = {"kazbin-decode", "payload [any-type!]", codec_decode, TypeId(0)};

}  // namespace kaz::kazbin
