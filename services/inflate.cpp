// The DEFLATE decompressor. Codes are decoded through lookup tables indexed by the next input
// bits: a root table for the short codes and, under a root entry, a second-level table for the
// longer codes that begin there. Every bit pattern a code leaves unassigned decodes as invalid,
// so malformed data stops with bad_data instead of reading as the nearest valid code.
//
// Past the destination the output is counted, not stored, so that one pass over the data gives
// the size needed. Past the input the reader supplies zero bytes, never real ones; a stream
// that needs any of them is cut short, which is bad_data.
#include <algorithm>
#include <cstring>

#include "services/deflate.h"
#include "services/deflate_internal.h"

namespace kaz::deflate {
namespace {

using namespace detail;

// ---- decoding tables ----

// An entry: the value in bits 16-31, the operation in bits 8-15, the bits to consume in 0-7.
// For a link, the value is the offset of the second-level table and bits 0-7 its index width.
enum Op : uint32_t {
    kLiteral = 0,  // a literal byte, or a symbol of the code-length alphabet
    kEnd = 1,      // end of block
    kInvalid = 2,  // no code, or a symbol that never occurs in valid data
    kLink = 3,
    kBase = 16,    // a length or distance base followed by (op − 16) extra bits
};

constexpr uint32_t entry(uint32_t value, uint32_t op, uint32_t bits) { return value << 16 | op << 8 | bits; }
constexpr uint32_t entry_value(uint32_t e) { return e >> 16; }
constexpr uint32_t entry_op(uint32_t e) { return (e >> 8) & 0xFF; }
constexpr uint32_t entry_bits(uint32_t e) { return e & 0xFF; }

enum class Alphabet { code_lengths, literal_lengths, distances };

constexpr uint32_t symbol_entry(Alphabet alphabet, uint32_t s, uint32_t bits) {
    switch (alphabet) {
        case Alphabet::code_lengths: return entry(s, kLiteral, bits);
        case Alphabet::literal_lengths:
            if (s < 256) return entry(s, kLiteral, bits);
            if (s == kEndOfBlock) return entry(0, kEnd, bits);
            if (s - 257 < uint32_t(kLengthCodes))
                return entry(kLengthBase[s - 257], kBase + kLengthExtra[s - 257], bits);
            return entry(0, kInvalid, bits);
        case Alphabet::distances:
            if (s < uint32_t(kDistanceCodes)) return entry(kDistanceBase[s], kBase + kDistanceExtra[s], bits);
            return entry(0, kInvalid, bits);
    }
    return entry(0, kInvalid, bits);
}

constexpr unsigned kMaxCodeLength = 15;
constexpr unsigned kLitRootBits = 10;
constexpr unsigned kDistRootBits = 8;
constexpr unsigned kCodeLengthRootBits = 7;  // code-length codes are at most 7 bits: no links
// Each code longer than the root opens at most one second-level table, of at most
// 2^(15 − root) entries.
constexpr size_t kLitTableSize = (1u << kLitRootBits) + 288 * (1u << (kMaxCodeLength - kLitRootBits));
constexpr size_t kDistTableSize = (1u << kDistRootBits) + 32 * (1u << (kMaxCodeLength - kDistRootBits));
constexpr size_t kCodeLengthTableSize = 1u << kCodeLengthRootBits;

// Fills `table` for the code of the given lengths (0 for an unused symbol). False for an
// over-subscribed code, which no valid stream holds; an incomplete code is kept, its unused
// patterns invalid.
bool build_table(const uint8_t* lengths, int n, Alphabet alphabet, uint32_t* table, unsigned root_bits) {
    uint32_t count[kMaxCodeLength + 1] = {};
    for (int s = 0; s < n; ++s) ++count[lengths[s]];
    int32_t left = 1;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
        left = 2 * left - int32_t(count[len]);
        if (left < 0) return false;
    }
    uint32_t next[kMaxCodeLength + 2] = {};
    for (unsigned len = 1; len < kMaxCodeLength; ++len) next[len + 1] = (next[len] + count[len]) << 1;
    uint16_t codes[288];
    for (int s = 0; s < n; ++s)
        if (unsigned len = lengths[s]) codes[s] = uint16_t(reverse_bits(next[len]++, len));

    const uint32_t root_size = 1u << root_bits;
    const uint32_t root_mask = root_size - 1;
    std::fill(table, table + root_size, entry(0, kInvalid, 0));
    // Second-level tables: as wide as the longest code under each root entry.
    uint8_t width[1u << kLitRootBits] = {};
    for (int s = 0; s < n; ++s)
        if (lengths[s] > root_bits) {
            uint8_t& w = width[codes[s] & root_mask];
            w = std::max(w, uint8_t(lengths[s] - root_bits));
        }
    uint32_t used = root_size;
    for (uint32_t r = 0; r < root_size; ++r) {
        if (width[r] == 0) continue;
        table[r] = entry(used, kLink, width[r]);
        std::fill(table + used, table + used + (1u << width[r]), entry(0, kInvalid, 0));
        used += 1u << width[r];
    }
    for (int s = 0; s < n; ++s) {
        unsigned len = lengths[s];
        if (len == 0) continue;
        uint32_t code = codes[s];
        if (len <= root_bits) {
            uint32_t e = symbol_entry(alphabet, uint32_t(s), len);
            for (uint32_t i = code; i < root_size; i += 1u << len) table[i] = e;
        } else {
            uint32_t link = table[code & root_mask];
            uint32_t* sub = table + entry_value(link);
            unsigned rest = len - root_bits;
            uint32_t e = symbol_entry(alphabet, uint32_t(s), rest);
            for (uint32_t i = code >> root_bits; i < (1u << entry_bits(link)); i += 1u << rest) sub[i] = e;
        }
    }
    return true;
}

struct FixedTables {
    uint32_t lit[kLitTableSize];
    uint32_t dist[kDistTableSize];
};

const FixedTables& fixed_tables() {
    static const FixedTables tables = [] {
        FixedTables t;
        uint8_t lengths[288];
        for (int s = 0; s < 288; ++s) lengths[s] = fixed_length(s);
        build_table(lengths, 288, Alphabet::literal_lengths, t.lit, kLitRootBits);
        std::fill(lengths, lengths + 32, uint8_t(5));
        build_table(lengths, 32, Alphabet::distances, t.dist, kDistRootBits);
        return t;
    }();
    return tables;
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Room the fast loop keeps at the output's end: a longest match copied in 8-byte steps.
constexpr size_t kFastRoom = kMaxMatch + 8;

// ---- the inflater ----

class Inflater {
public:
    Inflater(std::span<uint8_t> dest, std::span<const uint8_t> source)
        : begin_(source.data()), next_(source.data()), end_(source.data() + source.size()),
          out_(dest.data()), room_(dest.size()) {}

    Result run(size_t& consumed);

private:
    // Tops the bit buffer up to at least 56 bits.
    void refill() {
        if (end_ - next_ >= 8) {
            bits_ |= load64(next_) << count_;
            next_ += (63 - count_) >> 3;
            count_ |= 56;
            return;
        }
        while (count_ < 56) {
            if (next_ < end_) bits_ |= uint64_t(*next_++) << count_;
            else ++phantom_;
            count_ += 8;
        }
    }

    void drop(unsigned n) {
        bits_ >>= n;
        count_ -= n;
    }

    // n <= 32 bits.
    uint32_t take(unsigned n) {
        if (count_ < n) refill();
        uint32_t v = uint32_t(bits_ & ((uint64_t(1) << n) - 1));
        drop(n);
        return v;
    }

    // True once a zero byte supplied past the input's end has been read into.
    bool overrun() const { return count_ < 8 * phantom_; }

    // The entry of the next code; its bits are consumed. Needs 15 bits in the buffer.
    uint32_t decode(const uint32_t* table, unsigned root_bits) {
        uint32_t e = table[bits_ & ((1u << root_bits) - 1)];
        if (entry_op(e) == kLink) {
            drop(root_bits);
            e = table[entry_value(e) + (bits_ & ((1u << entry_bits(e)) - 1))];
        }
        drop(entry_bits(e));
        return e;
    }

    void put(uint8_t byte) {
        if (produced_ < room_) out_[produced_] = byte;
        ++produced_;
    }

    // Copies what fits of a match whose distance is checked.
    void copy_match(uint32_t distance, uint32_t length) {
        if (produced_ < room_) {
            size_t n = std::min<size_t>(length, room_ - produced_);
            uint8_t* to = out_ + produced_;
            const uint8_t* from = to - distance;
            for (size_t i = 0; i < n; ++i) to[i] = from[i];
        }
        produced_ += length;
    }

    Status stored_block();
    Status read_dynamic_tables();
    Status decode_block(const uint32_t* lit, const uint32_t* dist);
    Status decode_fast(const uint32_t* lit, const uint32_t* dist, bool& block_done);

    const uint8_t* begin_;
    const uint8_t* next_;
    const uint8_t* end_;
    uint64_t bits_ = 0;
    unsigned count_ = 0;
    unsigned phantom_ = 0;  // zero bytes given past the end

    uint8_t* out_;
    size_t room_;
    size_t produced_ = 0;

    uint32_t lit_[kLitTableSize];
    uint32_t dist_[kDistTableSize];
};

Status Inflater::stored_block() {
    drop(count_ & 7);
    uint32_t lengths = take(32);
    if (overrun()) return Status::bad_data;
    uint32_t length = lengths & 0xFFFF;
    if ((lengths >> 16) != (~length & 0xFFFF)) return Status::bad_data;
    // The whole bytes still in the buffer go back to the input.
    next_ -= count_ / 8 - phantom_;
    bits_ = 0;
    count_ = 0;
    phantom_ = 0;
    if (length > size_t(end_ - next_)) return Status::stored_too_long;
    if (produced_ < room_) std::memcpy(out_ + produced_, next_, std::min<size_t>(length, room_ - produced_));
    produced_ += length;
    next_ += length;
    return Status::done;
}

Status Inflater::read_dynamic_tables() {
    uint32_t hlit = take(5) + 257;
    uint32_t hdist = take(5) + 1;
    uint32_t hclen = take(4) + 4;
    uint8_t cl_lengths[19] = {};
    for (uint32_t i = 0; i < hclen; ++i) cl_lengths[kCodeLengthOrder[i]] = uint8_t(take(3));
    uint32_t cl_table[kCodeLengthTableSize];
    if (!build_table(cl_lengths, 19, Alphabet::code_lengths, cl_table, kCodeLengthRootBits))
        return Status::bad_data;

    // One run of lengths for both codes: a repeat may cross from one to the other.
    uint8_t lengths[288 + 32];
    uint32_t total = hlit + hdist;
    for (uint32_t i = 0; i < total;) {
        if (count_ < 16) refill();
        uint32_t e = decode(cl_table, kCodeLengthRootBits);
        if (entry_op(e) != kLiteral || overrun()) return Status::bad_data;
        uint32_t symbol = entry_value(e);
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        uint8_t fill = 0;
        uint32_t repeat;
        if (symbol == 16) {
            if (i == 0) return Status::bad_data;
            fill = lengths[i - 1];
            repeat = 3 + take(2);
        } else if (symbol == 17) {
            repeat = 3 + take(3);
        } else {
            repeat = 11 + take(7);
        }
        if (repeat > total - i) return Status::bad_data;
        std::fill(lengths + i, lengths + i + repeat, fill);
        i += repeat;
    }
    if (overrun()) return Status::bad_data;
    if (!build_table(lengths, int(hlit), Alphabet::literal_lengths, lit_, kLitRootBits) ||
        !build_table(lengths + hlit, int(hdist), Alphabet::distances, dist_, kDistRootBits))
        return Status::bad_data;
    return Status::done;
}

// Decodes while the input holds 8 more bytes and the destination a longest match more: no
// bounds are checked per symbol. One refill serves a length and a distance with their extra
// bits (at most 48 bits).
Status Inflater::decode_fast(const uint32_t* lit, const uint32_t* dist, bool& block_done) {
    uint8_t* const base = out_;
    uint8_t* out = out_ + produced_;
    uint8_t* const out_limit = out_ + room_ - kFastRoom;
    const uint8_t* const in_limit = end_ - 8;
    Status status = Status::done;
    while (out <= out_limit && next_ <= in_limit) {
        bits_ |= load64(next_) << count_;
        next_ += (63 - count_) >> 3;
        count_ |= 56;
        uint32_t e = decode(lit, kLitRootBits);
        uint32_t op = entry_op(e);
        if (op == kLiteral) {
            *out++ = uint8_t(entry_value(e));
            continue;
        }
        if (op < kBase) {
            if (op == kEnd) block_done = true;
            else status = Status::bad_data;
            break;
        }
        unsigned extra = op - kBase;
        uint32_t length = entry_value(e) + uint32_t(bits_ & ((1u << extra) - 1));
        drop(extra);
        e = decode(dist, kDistRootBits);
        op = entry_op(e);
        if (op < kBase) {
            status = Status::bad_data;
            break;
        }
        extra = op - kBase;
        uint32_t distance = entry_value(e) + uint32_t(bits_ & ((1u << extra) - 1));
        drop(extra);
        if (distance > size_t(out - base)) {
            status = Status::distance_too_far;
            break;
        }
        const uint8_t* from = out - distance;
        if (distance >= 8) {
            // Each 8-byte step reads only bytes already written; the last may write up to
            // 7 bytes past the match, inside the room kept.
            uint8_t* to = out;
            uint8_t* stop = out + length;
            do {
                std::memcpy(to, from, 8);
                to += 8;
                from += 8;
            } while (to < stop);
        } else if (distance == 1) {
            std::memset(out, out[-1], length);
        } else {
            for (uint32_t i = 0; i < length; ++i) out[i] = from[i];
        }
        out += length;
    }
    produced_ = size_t(out - base);
    return status;
}

Status Inflater::decode_block(const uint32_t* lit, const uint32_t* dist) {
    for (;;) {
        if (room_ >= kFastRoom && produced_ <= room_ - kFastRoom && end_ - next_ >= 8) {
            bool block_done = false;
            Status status = decode_fast(lit, dist, block_done);
            if (status != Status::done || block_done) return status;
        }
        // One symbol with every check: near either end, or counting past the destination.
        refill();
        uint32_t e = decode(lit, kLitRootBits);
        uint32_t op = entry_op(e);
        if (op == kLiteral) {
            if (overrun()) return Status::bad_data;
            put(uint8_t(entry_value(e)));
            continue;
        }
        if (op == kEnd) return overrun() ? Status::bad_data : Status::done;
        if (op < kBase) return Status::bad_data;
        uint32_t length = entry_value(e) + take(op - kBase);
        e = decode(dist, kDistRootBits);
        op = entry_op(e);
        if (op < kBase) return Status::bad_data;
        uint32_t distance = entry_value(e) + take(op - kBase);
        if (overrun()) return Status::bad_data;
        if (distance > produced_) return Status::distance_too_far;
        copy_match(distance, length);
    }
}

Result Inflater::run(size_t& consumed) {
    bool final = false;
    while (!final) {
        uint32_t header = take(3);
        if (overrun()) return {Status::bad_data, produced_};
        final = header & 1;
        Status status;
        switch (header >> 1) {
            case 0: status = stored_block(); break;
            case 1: status = decode_block(fixed_tables().lit, fixed_tables().dist); break;
            case 2:
                status = read_dynamic_tables();
                if (status == Status::done) status = decode_block(lit_, dist_);
                break;
            default: return {Status::bad_block_type, produced_};
        }
        if (status != Status::done) return {status, produced_};
    }
    size_t loaded_bits = 8 * (size_t(next_ - begin_) + phantom_);
    consumed = (loaded_bits - count_ + 7) / 8;
    return {produced_ > room_ ? Status::too_small : Status::done, produced_};
}

}  // namespace

namespace detail {

Result inflate(std::span<uint8_t> dest, std::span<const uint8_t> source, size_t& consumed) {
    consumed = 0;
    Inflater inflater(dest, source);
    return inflater.run(consumed);
}

}  // namespace detail

Result decompress(std::span<uint8_t> dest, std::span<const uint8_t> source) {
    size_t consumed;
    return detail::inflate(dest, source, consumed);
}

}  // namespace kaz::deflate
