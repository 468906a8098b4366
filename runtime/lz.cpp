#include "runtime/lz.h"

#include <algorithm>
#include <bit>

#include "runtime/heap.h"

namespace kaz::lz {
namespace {

// ---- format ----

// The length code: a prefix of n zeros then a one (or five zeros alone) picks the class,
// whose extra bits are added to its base. L + 3 bytes are copied.
struct LengthClass {
    int bits;
    uint32_t base;
};
constexpr LengthClass kLengthClasses[] = {{2, 0}, {2, 4}, {2, 8}, {3, 12}, {5, 20}, {9, 52}};
constexpr int kLastClass = 5;

constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 566;  // 52 + 511 + 3
constexpr uint32_t kWindow = 0x40000;  // distances 1 to 262,144 (D = distance - 1)

// The cheapest way to produce output is a longest match at the nearest distance: flag, the
// five-zero prefix, 9 length bits, k = 2 and a 3-bit distance, 566 bytes for 22 bits. No block
// can declare more output than its chunk area's bits allow at that rate.
constexpr uint64_t kBestMatchBits = 1 + 5 + 9 + 4 + 3;

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void write_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// ---- decoder ----

// Takes bytes only as bits are needed, so that the next chunk starts right after the last
// byte read; refuses to take one at `end`.
class BitReader {
public:
    BitReader(const uint8_t* cursor, const uint8_t* end) : cursor_(cursor), end_(end) {}

    // n is at most 17: the buffer never holds more than 24 bits.
    bool read(int n, uint32_t& value) {
        while (held_ < n) {
            if (cursor_ == end_) return false;
            buffer_ |= uint32_t(*cursor_++) << held_;
            held_ += 8;
        }
        value = buffer_ & ((1u << n) - 1);
        buffer_ >>= n;
        held_ -= n;
        return true;
    }

    const uint8_t* cursor() const { return cursor_; }

private:
    const uint8_t* cursor_;
    const uint8_t* end_;
    uint32_t buffer_ = 0;
    int held_ = 0;
};

// Produces exactly `length` bytes at `out` from the bit stream at `cursor`, which is moved
// past the last byte read.
Status decode_chunk(const uint8_t*& cursor, const uint8_t* end, uint8_t* out, uint32_t length) {
    BitReader in(cursor, end);
    uint32_t pos = 0;
    uint32_t bit;
    while (pos < length) {
        if (!in.read(1, bit)) return Status::truncated;
        if (bit == 0) {
            uint32_t byte;
            if (!in.read(8, byte)) return Status::truncated;
            out[pos++] = uint8_t(byte);
            continue;
        }
        int cls = 0;
        while (cls < kLastClass) {
            if (!in.read(1, bit)) return Status::truncated;
            if (bit) break;
            ++cls;
        }
        uint32_t extra, k, distance;
        if (!in.read(kLengthClasses[cls].bits, extra)) return Status::truncated;
        uint32_t count = kLengthClasses[cls].base + extra + kMinMatch;
        if (!in.read(4, k)) return Status::truncated;
        k += 2;
        if (k == 2) {
            if (!in.read(3, distance)) return Status::truncated;
        } else {
            if (!in.read(int(k), distance)) return Status::truncated;
            distance += 1u << k;
        }
        if (distance >= pos) return Status::match_before_start;
        if (count > length - pos) return Status::match_past_end;
        // Byte by byte: a source that overlaps the destination repeats the pattern.
        const uint8_t* from = out + pos - distance - 1;
        for (uint32_t i = 0; i < count; ++i) out[pos + i] = from[i];
        pos += count;
    }
    cursor = in.cursor();
    return Status::ok;
}

// ---- encoder ----

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

    void put(uint32_t value, int n) {
        buffer_ |= uint64_t(value) << held_;
        held_ += n;
        while (held_ >= 8) {
            out_.push_back(uint8_t(buffer_));
            buffer_ >>= 8;
            held_ -= 8;
        }
    }

    // Pads the last byte with zeros: the next chunk starts on a byte.
    void flush() {
        if (held_ > 0) out_.push_back(uint8_t(buffer_));
        buffer_ = 0;
        held_ = 0;
    }

private:
    std::vector<uint8_t>& out_;
    uint64_t buffer_ = 0;
    int held_ = 0;
};

void put_literal(BitWriter& out, uint8_t byte) {
    out.put(0, 1);
    out.put(byte, 8);
}

// `count` 3 to 566 bytes from `distance` 1 to 262,144 bytes back.
void put_match(BitWriter& out, uint32_t count, uint32_t distance) {
    out.put(1, 1);
    uint32_t l = count - kMinMatch;
    int cls = 0;
    while (cls < kLastClass && l >= kLengthClasses[cls + 1].base) ++cls;
    if (cls < kLastClass) out.put(1u << cls, cls + 1);
    else out.put(0, kLastClass);
    out.put(l - kLengthClasses[cls].base, kLengthClasses[cls].bits);
    uint32_t d = distance - 1;
    if (d < 8) {
        out.put(0, 4);
        out.put(d, 3);
    } else {
        int k = std::bit_width(d) - 1;
        out.put(uint32_t(k - 2), 4);
        out.put(d - (1u << k), k);
    }
}

constexpr size_t kShortInput = 127;
constexpr uint32_t kHash3Size = 0x80000;
constexpr uint32_t kHash4Size = 0x100000;
constexpr uint32_t kChainMask = 0x3FFFF;
constexpr int kChainProbes = 256;
constexpr uint32_t kFarShortMatch = 65536;

// Positions are stored plus one so that zero means empty.
struct MatchTables {
    std::vector<uint32_t> head = std::vector<uint32_t>(kHash3Size + kHash4Size);
    std::vector<uint32_t> chain = std::vector<uint32_t>(kChainMask + 1);
};

// The rolling hashes of the last 3 and 4 bytes (h = h * 128 + byte, h = h * 32 + byte,
// masked): older bytes shift out past the mask, so they can be computed at any position.
uint32_t hash3(const uint8_t* p) { return ((p[0] << 14) + (p[1] << 7) + p[2]) & (kHash3Size - 1); }
uint32_t hash4(const uint8_t* p) {
    return ((p[0] << 15) + (p[1] << 10) + (p[2] << 5) + p[3]) & (kHash4Size - 1);
}

class ChunkMatcher {
public:
    ChunkMatcher(MatchTables& tables, const uint8_t* in, uint32_t length)
        : head3_(tables.head.data()),
          head4_(tables.head.data() + kHash3Size),
          chain_(tables.chain.data()),
          in_(in),
          length_(length) {
        std::fill(tables.head.begin(), tables.head.end(), 0u);
    }

    void insert(uint32_t pos) {
        if (length_ - pos >= 3) head3_[hash3(in_ + pos)] = pos + 1;
        if (length_ - pos >= 4) {
            uint32_t& head = head4_[hash4(in_ + pos)];
            chain_[pos & kChainMask] = head;
            head = pos + 1;
        }
    }

    // The match to emit at `pos` (count 0 for a literal): one probe through the 3-byte hash,
    // then the 4-byte chain, nearest first.
    void find(uint32_t pos, uint32_t& count, uint32_t& distance) const {
        count = 0;
        distance = 0;
        uint32_t limit = std::min(kMaxMatch, length_ - pos);
        if (limit < kMinMatch) return;
        consider(pos, head3_[hash3(in_ + pos)], limit, count, distance);
        if (limit >= 4) {
            uint32_t entry = head4_[hash4(in_ + pos)];
            for (int probe = 0; probe < kChainProbes && entry != 0 && count < limit; ++probe) {
                uint32_t candidate = entry - 1;
                if (pos - candidate > kWindow) break;
                consider(pos, entry, limit, count, distance);
                entry = chain_[candidate & kChainMask];
                // An entry at or after the candidate was overwritten by a newer position.
                if (entry > candidate) break;
            }
        }
        if (count == kMinMatch && distance > kFarShortMatch) count = 0;
    }

private:
    void consider(uint32_t pos, uint32_t entry, uint32_t limit, uint32_t& best_count,
                  uint32_t& best_distance) const {
        if (entry == 0) return;
        uint32_t candidate = entry - 1;
        uint32_t distance = pos - candidate;
        if (distance > kWindow) return;
        uint32_t n = 0;
        while (n < limit && in_[candidate + n] == in_[pos + n]) ++n;
        if (n < kMinMatch) return;
        if (best_count != 0) {
            // A farther match costs more distance bits: about one more for every factor of 8
            // by which it lies beyond the best one.
            uint32_t cost = 0;
            for (uint32_t q = distance / 16; q > best_distance; q /= 8) ++cost;
            if (n <= best_count + cost) return;
        }
        best_count = n;
        best_distance = distance;
    }

    uint32_t* head3_;
    uint32_t* head4_;
    uint32_t* chain_;
    const uint8_t* in_;
    uint32_t length_;
};

void encode_literals(BitWriter& out, const uint8_t* in, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) put_literal(out, in[i]);
}

void encode_matched(BitWriter& out, MatchTables& tables, const uint8_t* in, uint32_t length) {
    ChunkMatcher matcher(tables, in, length);
    uint32_t pos = 0;
    while (pos < length) {
        uint32_t count, distance;
        matcher.find(pos, count, distance);
        if (count == 0) {
            put_literal(out, in[pos]);
            matcher.insert(pos++);
            continue;
        }
        put_match(out, count, distance);
        for (uint32_t end = pos + count; pos < end; ++pos) matcher.insert(pos);
    }
}

}  // namespace

const char* status_text(Status status) {
    switch (status) {
        case Status::ok: return "ok";
        case Status::truncated: return "compressed data truncated";
        case Status::bad_area_length: return "chunk area longer than the data";
        case Status::absurd_length: return "uncompressed length too large for the data";
        case Status::bad_chunk_length: return "bad chunk length";
        case Status::match_before_start: return "match before the chunk start";
        case Status::match_past_end: return "match past the chunk end";
        case Status::length_mismatch: return "uncompressed length not produced";
    }
    return "unknown status";
}

uint8_t* decompress(const uint8_t* data, size_t size, size_t* length, Status* status) {
    auto report = [status](Status s) {
        if (status) *status = s;
    };
    if (size < kHeaderSize) {
        report(Status::truncated);
        return nullptr;
    }
    uint32_t area = read_u32(data);
    uint32_t total = read_u32(data + 4);
    if (area > size - kHeaderSize) {
        report(Status::bad_area_length);
        return nullptr;
    }
    if (uint64_t(total) * kBestMatchBits > uint64_t(area) * 8 * kMaxMatch) {
        report(Status::absurd_length);
        return nullptr;
    }

    auto* out = static_cast<uint8_t*>(heap::alloc(total));
    const uint8_t* cursor = data + kHeaderSize;
    const uint8_t* end = cursor + area;
    uint32_t produced = 0;
    Status result = Status::ok;
    while (result == Status::ok && cursor < end) {
        if (end - cursor < 4) {
            result = Status::truncated;
            break;
        }
        uint32_t chunk = read_u32(cursor);
        cursor += 4;
        if (chunk == 0 || chunk > kChunkSize || chunk > total - produced) {
            result = Status::bad_chunk_length;
            break;
        }
        result = decode_chunk(cursor, end, out + produced, chunk);
        if (result == Status::ok) produced += chunk;
    }
    if (result == Status::ok && produced != total) result = Status::length_mismatch;
    report(result);
    if (result != Status::ok) {
        heap::free(out);
        return nullptr;
    }
    if (length) *length = produced;
    return out;
}

void free_output(uint8_t* buffer) { heap::free(buffer); }

std::vector<uint8_t> compress(const uint8_t* data, size_t size) {
    std::vector<uint8_t> block;
    if (size > kMaxInput) return block;
    block.reserve(kHeaderSize + size + size / 8 + 16);
    block.resize(kHeaderSize);
    BitWriter out(block);
    auto start_chunk = [&block](uint32_t length) {
        size_t at = block.size();
        block.resize(at + 4);
        write_u32(block.data() + at, length);
    };
    if (size <= kShortInput) {
        if (size > 0) {
            start_chunk(uint32_t(size));
            encode_literals(out, data, uint32_t(size));
            out.flush();
        }
    } else {
        MatchTables tables;
        for (size_t at = 0; at < size; at += kChunkSize) {
            auto length = uint32_t(std::min<size_t>(kChunkSize, size - at));
            start_chunk(length);
            encode_matched(out, tables, data + at, length);
            out.flush();
        }
    }
    write_u32(block.data(), uint32_t(block.size() - kHeaderSize));
    write_u32(block.data() + 4, uint32_t(size));
    return block;
}

}  // namespace kaz::lz
