// The DEFLATE compressor. Its output is a function of the input alone: the hash, the chain
// budget, the lazy rule, where blocks are cut, how codes are built and which block type is
// chosen all belong to the format this system writes, so the same input always gives the
// same bytes. Positions are counted from 1 so that 0 can mean "no position".
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "runtime/memory.h"
#include "services/deflate.h"
#include "services/deflate_internal.h"

namespace kaz::deflate {
namespace {

using namespace detail;

// ---- matching ----

constexpr uint32_t kWindow = 32768;
constexpr uint32_t kWindowMask = kWindow - 1;
// A candidate at p - 32,768 or before is out of reach.
constexpr uint32_t kMaxBack = kWindow - 1;
// A pending match this long is taken without looking for a longer one at the next byte.
constexpr uint32_t kLazyLimit = 16;
// A match this long ends the chain search.
constexpr uint32_t kGoodEnough = 128;
// Candidates looked at per search; fewer when the match to beat is already long.
constexpr int kChainBudget = 128;
constexpr int kShortChainBudget = 32;
constexpr uint32_t kLongMatchToBeat = 8;
// A 3-byte match farther back than this costs more bits than its three literals.
constexpr uint32_t kFarThreeMatch = 4096;

constexpr uint32_t kTokenCapacity = 16384;

// ---- codes ----

constexpr int kLitLenSymbols = 286;
constexpr int kCodeLengthSymbols = 19;
constexpr int kMaxCodeLength = 15;
constexpr int kMaxCodeLengthCodeLength = 7;
constexpr uint32_t kStoredPiece = 65535;

// Frequencies: 288 literal/length, 32 distance, 19 code-length counters and one spare.
constexpr int kFreqDistance = 288;
constexpr int kFreqCodeLength = 320;
constexpr int kFreqCount = 340;

// Everything a call works in, in one allocation.
struct WorkArea {
    uint32_t head[kWindow];  // newest position of each hash
    uint32_t prev[kWindow];  // the position before p in its chain, at p mod 32,768
    uint32_t tokens[kTokenCapacity];
    uint32_t freq[kFreqCount];
    uint32_t sorted[kFreqCount];  // used symbols by ascending frequency
    uint32_t tree[kFreqCount];    // their weights, then their depths
    uint16_t lit_code[288];
    uint8_t lit_len[288];
    uint16_t dist_code[32];
    uint8_t dist_len[32];
    uint16_t cl_code[kCodeLengthSymbols];
    uint8_t cl_len[kCodeLengthSymbols];
};
constexpr size_t kWorkAreaSize = 334'744;
static_assert(sizeof(WorkArea) <= kWorkAreaSize);

// The work area outlives its call: giving it back to the system costs more than compressing a
// short input (unmapping flushes every processor's address translations). One area waits for
// the next call; a call that finds it taken gets one of its own. Between calls the
// frequencies are zero; each call clears the hash heads it uses.
std::atomic<WorkArea*> spare_area{nullptr};

WorkArea* take_work_area() {
    WorkArea* w = spare_area.exchange(nullptr);
    return w ? w : static_cast<WorkArea*>(memory::alloc_virtual(kWorkAreaSize));
}

void give_back(WorkArea* w) {
    WorkArea* none = nullptr;
    if (!spare_area.compare_exchange_strong(none, w)) memory::free_virtual(w);
}

// A token is a literal byte (0-255) or distance × 256 + (length − 3), always above 255.
constexpr uint32_t match_token(uint32_t distance, uint32_t length) { return distance << 8 | (length - 3); }

// The length code (0-28) of length − 3.
constexpr std::array<uint8_t, 256> kLengthCode = [] {
    std::array<uint8_t, 256> t{};
    for (uint32_t v = 0; v < 256; ++v) {
        if (v < 8) {
            t[v] = uint8_t(v);
        } else if (v == 255) {
            t[v] = 28;
        } else {
            uint32_t b = uint32_t(std::bit_width(v)) - 3;  // floor(log2 v) − 2
            t[v] = uint8_t((v >> b) + 4 * b);
        }
    }
    return t;
}();

// The distance code (0-29) of distance − 1.
constexpr uint32_t distance_code(uint32_t v) {
    if (v < 4) return v;
    uint32_t b = uint32_t(std::bit_width(v)) - 2;  // floor(log2 v) − 1
    return (v >> b) + 2 * b;
}

// Codes of the given lengths, in the order the bit writer puts them (first bit lowest).
constexpr void canonical_codes(const uint8_t* lengths, int n, uint16_t* codes) {
    uint32_t count[kMaxCodeLength + 1] = {};
    for (int s = 0; s < n; ++s)
        if (lengths[s]) ++count[lengths[s]];
    uint32_t next[kMaxCodeLength + 1] = {};
    for (int len = 1; len <= kMaxCodeLength; ++len) next[len] = (next[len - 1] + count[len - 1]) << 1;
    for (int s = 0; s < n; ++s)
        if (int len = lengths[s]) codes[s] = uint16_t(reverse_bits(next[len]++, unsigned(len)));
}

struct FixedCodes {
    uint16_t lit_code[288];
    uint8_t lit_len[288];
    uint16_t dist_code[32];
    uint8_t dist_len[32];
};
constexpr FixedCodes kFixed = [] {
    FixedCodes f{};
    for (int s = 0; s < 288; ++s) f.lit_len[s] = fixed_length(s);
    for (int d = 0; d < 32; ++d) f.dist_len[d] = 5;
    canonical_codes(f.lit_len, 288, f.lit_code);
    canonical_codes(f.dist_len, 32, f.dist_code);
    return f;
}();

// Replaces n >= 2 weights in ascending order by the depths of a minimum-redundancy code, in
// place (Moffat and Katajainen): the first pass pairs nodes leaving parent pointers, the
// second turns them into depths of internal nodes, the third gives the leaves their depths.
void minimum_redundancy(uint32_t* a, int n) {
    a[0] += a[1];
    int root = 0;
    int leaf = 2;
    for (int next = 1; next < n - 1; ++next) {
        if (leaf >= n || a[root] < a[leaf]) {
            a[next] = a[root];
            a[root++] = uint32_t(next);
        } else {
            a[next] = a[leaf++];
        }
        if (leaf >= n || (root < next && a[root] < a[leaf])) {
            a[next] += a[root];
            a[root++] = uint32_t(next);
        } else {
            a[next] += a[leaf++];
        }
    }
    a[n - 2] = 0;
    for (int next = n - 3; next >= 0; --next) a[next] = a[a[next]] + 1;
    int available = 1;
    int used = 0;
    uint32_t depth = 0;
    root = n - 2;
    int next = n - 1;
    while (available > 0) {
        while (root >= 0 && a[root] == depth) {
            ++used;
            --root;
        }
        while (available > used) {
            a[next--] = depth;
            --available;
        }
        available = 2 * used;
        ++depth;
        used = 0;
    }
}

// ---- output ----

// Least significant bit first. Bytes past the room are counted but not stored, so that the
// size needed is known at the end.
class BitWriter {
public:
    explicit BitWriter(std::span<uint8_t> dest) : out_(dest.data()), room_(dest.size()) {}

    // n <= 32 and the value has no bits above n.
    void put(uint32_t value, unsigned n) {
        bits_ |= uint64_t(value) << count_;
        count_ += n;
        if (count_ >= 32) spill32();
    }

    // Bits already put in the byte being filled.
    unsigned bit_offset() const { return count_ & 7; }

    // Zero bits up to the byte boundary.
    void align() { put(0, (8 - bit_offset()) & 7); }

    // Raw bytes, after align().
    void put_bytes(const uint8_t* data, size_t n) {
        drain();
        if (pos_ < room_) std::memcpy(out_ + pos_, data, std::min(n, room_ - pos_));
        pos_ += n;
    }

    // Pads the last byte with zero bits.
    void finish() {
        align();
        drain();
    }

    size_t size() const { return pos_; }

private:
    void store(uint8_t byte) {
        if (pos_ < room_) out_[pos_] = byte;
        ++pos_;
    }

    void spill32() {
        if (room_ - std::min(room_, pos_) >= 4) {
            uint32_t v = uint32_t(bits_);
            uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
            std::memcpy(out_ + pos_, b, 4);
            pos_ += 4;
        } else {
            for (int i = 0; i < 4; ++i) store(uint8_t(bits_ >> (8 * i)));
        }
        bits_ >>= 32;
        count_ -= 32;
    }

    // Every whole byte out.
    void drain() {
        for (; count_ >= 8; count_ -= 8, bits_ >>= 8) store(uint8_t(bits_));
    }

    uint8_t* out_;
    size_t room_;
    size_t pos_ = 0;
    uint64_t bits_ = 0;
    unsigned count_ = 0;
};

// ---- the compressor ----

class Compressor {
public:
    Compressor(WorkArea& w, std::span<uint8_t> dest, std::span<const uint8_t> source)
        : w_(w), out_(dest), in_(source.data()), n_(uint32_t(source.size())) {}

    void run();
    size_t size() const { return out_.size(); }

private:
    void longest_match(uint32_t p, uint32_t candidate, uint32_t max, uint32_t to_beat,
                       uint32_t& length, uint32_t& distance) const;
    void emit_literal(uint8_t byte) {
        w_.tokens[tokens_++] = byte;
        ++w_.freq[byte];
    }
    void emit_match(uint32_t distance, uint32_t length) {
        w_.tokens[tokens_++] = match_token(distance, length);
        ++w_.freq[257 + kLengthCode[length - 3]];
        ++w_.freq[kFreqDistance + distance_code(distance - 1)];
    }
    void write_block(bool final);
    void code_lengths(const uint32_t* freq, int n, int max_length, uint8_t* lengths);
    void send_lengths(const uint8_t* lengths, int n, bool write);
    void send_code_length(uint32_t symbol, uint32_t extra, unsigned extra_bits, bool write);
    void write_stored(bool final);
    void write_tokens(const uint16_t* lit_code, const uint8_t* lit_len, const uint16_t* dist_code,
                      const uint8_t* dist_len);

    WorkArea& w_;
    BitWriter out_;
    const uint8_t* in_;
    uint32_t n_;
    uint32_t tokens_ = 0;
    uint32_t block_start_ = 1;  // first input position of the block being collected
    uint32_t block_end_ = 1;    // the position after the last one its tokens cover
};

void Compressor::run() {
    const uint8_t* in = in_;
    uint32_t n = n_;
    // Short input gets a narrow hash: fewer heads to clear.
    uint32_t hash_bits = 8;
    while (hash_bits < 15 && (1u << hash_bits) < n) ++hash_bits;
    uint32_t mask = (1u << hash_bits) - 1;
    std::fill(w_.head, w_.head + mask + 1, 0u);
    // The hash covers the three bytes at p: each step shifts the oldest byte out past the mask.
    uint32_t h = n > 2 ? (uint32_t(in[0]) << 5) ^ in[1] : 0;

    uint32_t pending_length = 2;  // the match found at p − 1, not yet emitted
    uint32_t pending_distance = 0;
    bool literal_pending = false;  // the byte at p − 1 is not yet emitted
    uint32_t skip = 0;
    for (uint32_t p = 1; p <= n; ++p) {
        uint32_t candidate = 0;
        if (p + 2 <= n) {
            h = ((h << 5) ^ in[p + 1]) & mask;
            candidate = w_.head[h];
            w_.head[h] = p;
            w_.prev[p & kWindowMask] = candidate;
        }
        if (skip > 0) {
            --skip;
            continue;
        }
        uint32_t length = 2;
        uint32_t distance = 0;
        if (candidate != 0 && p - candidate <= kMaxBack && pending_length < kLazyLimit) {
            longest_match(p, candidate, std::min(n - p + 1, kMaxMatch), pending_length, length, distance);
            if (length == 3 && distance > kFarThreeMatch) length = 2;
        }
        if (pending_length >= 3 && pending_length >= length) {
            emit_match(pending_distance, pending_length);
            block_end_ = p + pending_length - 1;
            skip = pending_length - 2;
            pending_length = 2;
            literal_pending = false;
        } else {
            if (literal_pending) {
                emit_literal(in[p - 2]);
                block_end_ = p;
            }
            literal_pending = true;
            pending_length = length;
            pending_distance = distance;
        }
        if (tokens_ == kTokenCapacity) write_block(false);
    }
    if (literal_pending) {
        emit_literal(in[n - 1]);
        block_end_ = n + 1;
    }
    write_block(true);
    out_.finish();
}

// Bytes equal at a and b, up to max.
inline uint32_t common_length(const uint8_t* a, const uint8_t* b, uint32_t max) {
    uint32_t i = 0;
    while (max - i >= 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (uint64_t diff = x ^ y) return i + uint32_t(std::countr_zero(diff)) / 8;
        i += 8;
    }
    while (i < max && a[i] == b[i]) ++i;
    return i;
}

inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Walks the chain from `candidate` for a match at p longer than `to_beat` (at most `max`);
// leaves length and distance as they are when none is found.
void Compressor::longest_match(uint32_t p, uint32_t candidate, uint32_t max, uint32_t to_beat,
                               uint32_t& length, uint32_t& distance) const {
    if (to_beat >= max) return;
    uint32_t good = std::min(max, kGoodEnough);
    int budget = to_beat >= kLongMatchToBeat ? kShortChainBudget : kChainBudget;
    uint32_t limit = p > kWindow ? p - kWindow : 0;
    const uint8_t* scan = in_ + p - 1;
    uint32_t best = to_beat;
    // The two bytes ending at the best length so far: a candidate that differs there cannot
    // do better. Reading scan[best] stays inside the input, as best < max.
    uint16_t scan_end = load16(scan + best - 1);
    uint16_t scan_start = load16(scan);
    while (candidate > limit && budget-- > 0) {
        const uint8_t* match = in_ + candidate - 1;
        if (load16(match + best - 1) == scan_end && load16(match) == scan_start) {
            uint32_t len = 2 + common_length(scan + 2, match + 2, max - 2);
            if (len > best) {
                best = len;
                length = len;
                distance = p - candidate;
                if (len >= good) break;
                scan_end = load16(scan + best - 1);
            }
        }
        candidate = w_.prev[candidate & kWindowMask];
    }
}

// Huffman code lengths of at most max_length bits for the n symbols' frequencies.
void Compressor::code_lengths(const uint32_t* freq, int n, int max_length, uint8_t* lengths) {
    uint32_t* sorted = w_.sorted;
    std::fill(lengths, lengths + n, uint8_t(0));
    int used = 0;
    for (int s = 0; s < n; ++s) {
        uint32_t f = freq[s];
        if (f == 0) continue;
        // Insertion keeps equal frequencies in symbol order.
        int j = used++;
        for (; j > 0 && freq[sorted[j - 1]] > f; --j) sorted[j] = sorted[j - 1];
        sorted[j] = uint32_t(s);
    }
    if (used < 2) {
        // A code needs two symbols to be complete: 0 and 1, or 0 and the one used.
        lengths[0] = lengths[1] = 1;
        if (used == 1 && sorted[0] > 1) {
            lengths[sorted[0]] = 1;
            lengths[1] = 0;
        }
        return;
    }
    uint32_t* tree = w_.tree;
    for (int i = 0; i < used; ++i) tree[i] = freq[sorted[i]];
    minimum_redundancy(tree, used);

    // Depths beyond the limit count at the limit; the code is then over-full, and each step
    // takes one code from the limit and splits the deepest shorter code in two.
    uint32_t count[kMaxCodeLength + 1] = {};
    for (int i = 0; i < used; ++i) ++count[std::min(tree[i], uint32_t(max_length))];
    uint32_t kraft = 0;
    for (int len = 1; len <= max_length; ++len) kraft += count[len] << (max_length - len);
    while (kraft > (1u << max_length)) {
        --count[max_length];
        int len = max_length - 1;
        while (len > 1 && count[len] == 0) --len;
        --count[len];
        count[len + 1] += 2;
        --kraft;
    }
    // The shortest lengths go to the most frequent symbols.
    int i = used - 1;
    for (int len = 1; len <= max_length; ++len)
        for (uint32_t c = count[len]; c > 0; --c) lengths[sorted[i--]] = uint8_t(len);
}

void Compressor::send_code_length(uint32_t symbol, uint32_t extra, unsigned extra_bits, bool write) {
    ++w_.freq[kFreqCodeLength + symbol];
    if (!write) return;
    out_.put(w_.cl_code[symbol], w_.cl_len[symbol]);
    if (extra_bits) out_.put(extra, extra_bits);
}

// Run-codes n code lengths with the code-length alphabet: 16 repeats the previous length
// 3-6 times, 17 and 18 give 3-10 and 11-138 zeros. Counts the symbols; writes them too when
// `write` is set.
void Compressor::send_lengths(const uint8_t* lengths, int n, bool write) {
    int previous = -1;
    int next = lengths[0];
    int run = 0;
    int max_run = next == 0 ? 138 : 7;
    int min_run = next == 0 ? 3 : 4;
    for (int i = 0; i < n; ++i) {
        int current = next;
        next = i + 1 < n ? lengths[i + 1] : -1;
        if (++run < max_run && current == next) continue;
        if (run < min_run) {
            for (; run > 0; --run) send_code_length(uint32_t(current), 0, 0, write);
        } else if (current != 0) {
            if (current != previous) {
                send_code_length(uint32_t(current), 0, 0, write);
                --run;
            }
            send_code_length(16, uint32_t(run - 3), 2, write);
        } else if (run <= 10) {
            send_code_length(17, uint32_t(run - 3), 3, write);
        } else {
            send_code_length(18, uint32_t(run - 11), 7, write);
        }
        run = 0;
        previous = current;
        if (next == 0) {
            max_run = 138;
            min_run = 3;
        } else if (current == next) {
            max_run = 6;
            min_run = 3;
        } else {
            max_run = 7;
            min_run = 4;
        }
    }
}

void Compressor::write_stored(bool final) {
    const uint8_t* data = in_ + block_start_ - 1;
    uint32_t left = block_end_ - block_start_;
    do {
        uint32_t piece = std::min(left, kStoredPiece);
        left -= piece;
        out_.put(final && left == 0 ? 1 : 0, 3);
        out_.align();
        out_.put(piece | (~piece & 0xFFFF) << 16, 32);
        out_.put_bytes(data, piece);
        data += piece;
    } while (left > 0);
}

void Compressor::write_tokens(const uint16_t* lit_code, const uint8_t* lit_len, const uint16_t* dist_code,
                              const uint8_t* dist_len) {
    for (uint32_t i = 0; i < tokens_; ++i) {
        uint32_t t = w_.tokens[i];
        if (t < 256) {
            out_.put(lit_code[t], lit_len[t]);
            continue;
        }
        uint32_t v = t & 0xFF;
        uint32_t distance = t >> 8;
        uint32_t lc = kLengthCode[v];
        uint32_t s = 257 + lc;
        out_.put(lit_code[s] | (v + 3 - kLengthBase[lc]) << lit_len[s], lit_len[s] + kLengthExtra[lc]);
        uint32_t dc = distance_code(distance - 1);
        out_.put(dist_code[dc] | (distance - kDistanceBase[dc]) << dist_len[dc],
                 dist_len[dc] + kDistanceExtra[dc]);
    }
    out_.put(lit_code[kEndOfBlock], lit_len[kEndOfBlock]);
}

// Writes the tokens collected since the block start as the cheapest of the three block types.
void Compressor::write_block(bool final) {
    uint32_t* freq = w_.freq;
    uint32_t* dist_freq = freq + kFreqDistance;
    uint32_t* cl_freq = freq + kFreqCodeLength;
    freq[kEndOfBlock] = 1;

    code_lengths(freq, kLitLenSymbols, kMaxCodeLength, w_.lit_len);
    code_lengths(dist_freq, kDistanceCodes, kMaxCodeLength, w_.dist_len);
    int hlit = kLitLenSymbols;
    while (w_.lit_len[hlit - 1] == 0) --hlit;
    int hdist = kDistanceCodes;
    while (w_.dist_len[hdist - 1] == 0) --hdist;
    send_lengths(w_.lit_len, hlit, false);
    send_lengths(w_.dist_len, hdist, false);
    code_lengths(cl_freq, kCodeLengthSymbols, kMaxCodeLengthCodeLength, w_.cl_len);
    int hclen = kCodeLengthSymbols;
    while (hclen > 4 && w_.cl_len[kCodeLengthOrder[hclen - 1]] == 0) --hclen;

    // Sizes in bits of the three ways to write the block.
    uint64_t extra = 0;
    for (int c = 0; c < kLengthCodes; ++c) extra += uint64_t(freq[257 + c]) * kLengthExtra[c];
    for (int d = 0; d < kDistanceCodes; ++d) extra += uint64_t(dist_freq[d]) * kDistanceExtra[d];
    uint64_t dynamic = 17 + 3 * uint64_t(hclen) + extra;
    uint64_t fixed = 3 + extra;
    for (int s = 0; s < kLitLenSymbols; ++s) {
        dynamic += uint64_t(freq[s]) * w_.lit_len[s];
        fixed += uint64_t(freq[s]) * fixed_length(s);
    }
    for (int d = 0; d < kDistanceCodes; ++d) {
        dynamic += uint64_t(dist_freq[d]) * w_.dist_len[d];
        fixed += uint64_t(dist_freq[d]) * 5;
    }
    for (int c = 0; c < kCodeLengthSymbols; ++c) dynamic += uint64_t(cl_freq[c]) * w_.cl_len[c];
    dynamic += 2 * uint64_t(cl_freq[16]) + 3 * uint64_t(cl_freq[17]) + 7 * uint64_t(cl_freq[18]);
    uint64_t bytes = block_end_ - block_start_;
    uint64_t pieces = std::max<uint64_t>(1, (bytes + kStoredPiece - 1) / kStoredPiece);
    unsigned offset = out_.bit_offset();
    uint64_t first_header = ((offset + 3 + 7) & ~7u) - offset + 32;
    uint64_t stored = 40 * pieces - 40 + 8 * bytes + first_header;

    if (stored <= dynamic && stored <= fixed) {
        write_stored(final);
    } else if (dynamic < fixed) {
        canonical_codes(w_.lit_len, 288, w_.lit_code);
        canonical_codes(w_.dist_len, 32, w_.dist_code);
        canonical_codes(w_.cl_len, kCodeLengthSymbols, w_.cl_code);
        out_.put(uint32_t(final) | 2 << 1, 3);
        out_.put(uint32_t(hlit - 257), 5);
        out_.put(uint32_t(hdist - 1), 5);
        out_.put(uint32_t(hclen - 4), 4);
        for (int i = 0; i < hclen; ++i) out_.put(w_.cl_len[kCodeLengthOrder[i]], 3);
        send_lengths(w_.lit_len, hlit, true);
        send_lengths(w_.dist_len, hdist, true);
        write_tokens(w_.lit_code, w_.lit_len, w_.dist_code, w_.dist_len);
    } else {
        out_.put(uint32_t(final) | 1 << 1, 3);
        write_tokens(kFixed.lit_code, kFixed.lit_len, kFixed.dist_code, kFixed.dist_len);
    }

    std::fill(freq, freq + kFreqCount, 0u);
    tokens_ = 0;
    block_start_ = block_end_;
}

}  // namespace

Result compress(std::span<uint8_t> dest, std::span<const uint8_t> source) {
    if (source.size() > kMaxInput) return {Status::bad_data, 0};
    WorkArea* work = take_work_area();
    Compressor compressor(*work, dest, source);
    compressor.run();
    size_t size = compressor.size();
    give_back(work);
    return {size <= dest.size() ? Status::done : Status::too_small, size};
}

}  // namespace kaz::deflate
