#include "runtime/hashtable.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "runtime/array.h"
#include "runtime/case_fold.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kaz {

// ---- MurmurHash3 ----

namespace murmur3 {
namespace {

constexpr uint32_t kC1 = 0xCC9E2D51;
constexpr uint32_t kC2 = 0x1B873593;

struct State {
    uint32_t h;

    void block(uint32_t k) {
        tail(k);
        h = std::rotl(h, 13);
        h = h * 5 + 0xE6546B64;
    }
    void tail(uint32_t k) {
        k *= kC1;
        k = std::rotl(k, 15);
        k *= kC2;
        h ^= k;
    }
    uint32_t finish(size_t length) { return mix_int(h ^ uint32_t(length)); }
};

// The hash of n bytes, each passed through `byte` first.
template <typename Byte>
uint32_t hash_mapped(const uint8_t* p, size_t n, uint32_t seed, Byte byte) {
    State s{seed};
    size_t blocks = n / 4;
    for (size_t i = 0; i < blocks; ++i, p += 4)
        s.block(uint32_t(byte(p[0])) | uint32_t(byte(p[1])) << 8 | uint32_t(byte(p[2])) << 16 |
                uint32_t(byte(p[3])) << 24);
    uint32_t k = 0;
    switch (n & 3) {
        case 3: k ^= uint32_t(byte(p[2])) << 16; [[fallthrough]];
        case 2: k ^= uint32_t(byte(p[1])) << 8; [[fallthrough]];
        case 1: k ^= byte(p[0]); s.tail(k);
    }
    return s.finish(n);
}

constexpr uint8_t same_byte(uint8_t b) { return b; }
constexpr uint8_t lower_ascii(uint8_t b) { return b >= 'A' && b <= 'Z' ? uint8_t(b + 32) : b; }

template <typename Unit, bool kFold>
uint32_t hash_units(const uint8_t* p, uint32_t n) {
    State s{kSeed};
    for (uint32_t i = 0; i < n; ++i) {
        Unit u;
        std::memcpy(&u, p + size_t(i) * sizeof(Unit), sizeof(Unit));
        uint32_t cp = u;
        if constexpr (kFold) cp = cp < 0x80 ? (cp - 'a' < 26 ? cp - 32 : cp) : case_::upper_char(cp);
        s.block(cp);
    }
    return s.finish(size_t(n) * 4);
}

// A byte's block input as the block mixes it (multiplied, rotated, multiplied), for each byte
// as it is and folded: one-byte text then costs a load per code point instead of the folding
// and the multiplications.
struct ByteBlocks {
    uint32_t exact[256];
    uint32_t folded[256];
};

uint32_t mixed_block(uint32_t k) { return std::rotl(k * kC1, 15) * kC2; }

const ByteBlocks& byte_blocks() {
    static const ByteBlocks blocks = [] {
        ByteBlocks b{};
        for (uint32_t cp = 0; cp < 256; ++cp) {
            b.exact[cp] = mixed_block(cp);
            b.folded[cp] = mixed_block(cp < 0x80 ? (cp - 'a' < 26 ? cp - 32 : cp) : case_::upper_char(cp));
        }
        return b;
    }();
    return blocks;
}

uint32_t hash_bytes_as_units(const uint8_t* p, uint32_t n, const uint32_t* mixed) {
    uint32_t h = kSeed;
    auto step = [&](uint8_t byte) {
        h ^= mixed[byte];
        h = std::rotl(h, 13) * 5 + 0xE6546B64;
    };
    // Four code points a turn: the loop's own count and test cost as much as a step.
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        step(p[i]);
        step(p[i + 1]);
        step(p[i + 2]);
        step(p[i + 3]);
    }
    for (; i < n; ++i) step(p[i]);
    return mix_int(h ^ (n * 4));
}

}  // namespace

uint32_t hash(const void* data, size_t length, uint32_t seed) {
    return hash_mapped(static_cast<const uint8_t*>(data), length, seed, same_byte);
}

uint32_t hash_bytes_lowered(const void* data, size_t length) {
    return hash_mapped(static_cast<const uint8_t*>(data), length, kSeed, lower_ascii);
}

uint32_t hash_narrow_text(const uint8_t* text, uint32_t length, bool case_sensitive) {
    const ByteBlocks& blocks = byte_blocks();
    return hash_bytes_as_units(text, length, case_sensitive ? blocks.exact : blocks.folded);
}

uint32_t hash_string(const Cell& string, bool case_sensitive) {
    SeriesBuffer* b = memory::buffer_of(string.data2);
    uint32_t length = b->length();
    uint32_t n = string.data1 < length ? length - string.data1 : 0;
    if (type_of(string) == hashtable::kSliceType && int32_t(string.data3) >= 0 && string.data3 < n)
        n = string.data3;
    const uint8_t* p = b->head + size_t(string.data1) * b->unit();
    switch (b->unit()) {
        case 1: {
            const ByteBlocks& blocks = byte_blocks();
            return hash_bytes_as_units(p, n, case_sensitive ? blocks.exact : blocks.folded);
        }
        case 2: return case_sensitive ? hash_units<uint16_t, false>(p, n) : hash_units<uint16_t, true>(p, n);
        default: return case_sensitive ? hash_units<uint32_t, false>(p, n) : hash_units<uint32_t, true>(p, n);
    }
}

}  // namespace murmur3

// ---- the hash table core ----

namespace hashtable {

CollectorLink collector{nullptr, nullptr};

namespace {

constexpr double kLoad = 0.77;
constexpr uint32_t kMaxBuckets = 1u << 31;
// Shifting more positions than this costs more than re-indexing the block.
constexpr uint32_t kMaxShift = 30000;
// Stands for the old position of a moved item while the items around it shift: far above any
// position a block can reach.
constexpr uint32_t kMovedMark = 0x40000000;

uint32_t refresh_count() { return collector.refresh_count ? collector.refresh_count() : 0; }
bool collecting() { return collector.collecting_q && collector.collecting_q(); }

SeriesBuffer* buf(Node n) { return memory::buffer_of(n); }

inline uint32_t state_of(const uint8_t* flags, uint32_t i) {
    return (flags[i >> 2] >> ((i & 3) * 2)) & 3;
}
inline void set_state(uint8_t* flags, uint32_t i, uint32_t s) {
    uint32_t shift = (i & 3) * 2;
    flags[i >> 2] = uint8_t((flags[i >> 2] & ~(3u << shift)) | (s << shift));
}

// A table's record and arrays as they lie now; taken again after anything that allocates.
struct View {
    Table* t;
    Bucket* slots;
    uint8_t* block;

    explicit View(Node table) : t(&record(table)), slots(hashtable::slots(*t)), block(buf(t->block)->head) {}
    uint32_t state(uint32_t i) const { return state_of_tag(slots[i].tag); }
    uint32_t key(uint32_t i) const { return slots[i].key; }
    uint32_t mask() const { return t->buckets - 1; }
    Cell* cells() const { return reinterpret_cast<Cell*>(block); }
    Cell* record_at(uint32_t offset) const { return reinterpret_cast<Cell*>(block + offset); }
};

uint32_t block_length(const Table& t) { return buf(t.block)->length(); }

// A series of `bytes` bytes, all set to `byte`, its tail at the end.
Node filled(uint64_t bytes, uint8_t byte) {
    if (bytes > 0xFFFF'0000ULL) error::raise(ErrorId::internal_no_memory);
    Node n = series::alloc_bytes_filled(uint32_t(bytes), byte);
    SeriesBuffer* b = buf(n);
    b->tail = b->head + bytes;
    return n;
}

void refill(Node n, uint8_t byte) {
    SeriesBuffer* b = buf(n);
    std::memset(b->head, byte, b->used());
}

uint32_t clamp_request(uint64_t n) { return n > kMaxBuckets ? kMaxBuckets : uint32_t(n); }

// Buckets for `size` entries below the load bound, at least 4.
uint32_t buckets_for(uint64_t size) {
    uint32_t b = round_up_pow2(clamp_request(uint64_t(double(size) / kLoad)));
    return b < 4 ? 4 : b;
}
uint32_t pow2_at_least_4(uint32_t request) {
    uint32_t n = round_up_pow2(request > kMaxBuckets ? kMaxBuckets : request);
    return n < 4 ? 4 : n;
}
uint32_t upper_truncated(uint32_t buckets) { return uint32_t(buckets * kLoad); }
uint32_t upper_rounded(uint32_t buckets) { return uint32_t(buckets * kLoad + 0.5); }

bool equal(const Cell& stored, const Cell& key, CompareOp op) {
    return runtime_hooks.compare_cells && runtime_hooks.compare_cells(stored, key, op) == 0;
}

bool word_kind(TypeId t) { return t >= TypeId::word && t <= TypeId::get_word; }

// Values whose hash is taken from a node (or a context): a hash! holding one must be
// re-hashed if nodes ever move.
bool node_hashed(TypeId t) {
    switch (t) {
        case TypeId::block: case TypeId::paren: case TypeId::native: case TypeId::action:
        case TypeId::op: case TypeId::function: case TypeId::routine: case TypeId::path:
        case TypeId::lit_path: case TypeId::set_path: case TypeId::get_path: case TypeId::object:
        case TypeId::error: case TypeId::hash: case TypeId::map: case TypeId::port:
        case TypeId::image: case TypeId::event:
            return true;
        default:
            return false;
    }
}

// ---- kHash: duplicate chains and the item index ----

Node chain_at(const Table& t, uint32_t number) { return array::pick_ptr(t.chain, number); }
uint32_t chain_number(uint32_t key) { return uint32_t(-int32_t(key)); }
bool single(uint32_t key) { return int32_t(key) >= 0; }

// The first item position a kHash bucket holds.
uint32_t first_position(const Table& t, uint32_t key) {
    return single(key) ? key : uint32_t(array::pick_int(chain_at(t, chain_number(key)), 1));
}

int32_t* index_entries(const Table& t) { return reinterpret_cast<int32_t*>(buf(t.index)->head); }
uint32_t index_length(const Table& t) { return buf(t.index)->used() / 4; }

void ensure_index(Node table, uint32_t entries) {
    SeriesBuffer* b = buf(record(table).index);
    uint32_t have = b->used() / 4;
    if (entries <= have) return;
    uint64_t add = uint64_t(entries - have) * 4;
    if (add > 0xFFFF'0000ULL) error::raise(ErrorId::internal_no_memory);
    std::memset(series::reserve_bytes(b, uint32_t(add)), 0xFF, size_t(add));
}

void set_index(Node table, uint32_t position, uint32_t bucket) {
    ensure_index(table, position + 1);
    index_entries(record(table))[position] = int32_t(bucket + 1);
}

// Adds an item equal to the one(s) of a live bucket: a single position becomes a chain.
void add_duplicate(Node table, uint32_t bucket, uint32_t position) {
    uint32_t key = slots(record(table))[bucket].key;
    if (!single(key)) {
        array::append_int(chain_at(record(table), chain_number(key)), int32_t(position));
        return;
    }
    Node chain = array::make(4, 4);
    array::append_int(chain, int32_t(key));
    array::append_int(chain, int32_t(position));
    Node list = record(table).chain;
    array::append_ptr(list, chain);
    slots(record(table))[bucket].key = uint32_t(-int32_t(array::length(list)));
}

// Unindexes one item of a kHash table.
void unindex(Node table, uint32_t position) {
    Table& t = record(table);
    if (position >= index_length(t)) return;
    int32_t entry = index_entries(t)[position];
    if (entry <= 0) return;
    index_entries(t)[position] = -1;
    uint32_t bucket = uint32_t(entry - 1);
    uint32_t key = slots(t)[bucket].key;
    if (single(key)) {
        if (key != position) return;
    } else {
        Node chain = chain_at(t, chain_number(key));
        array::remove_ptr(chain, position);
        if (array::length(chain) > 0) return;
        array::poke_ptr(t.chain, chain_number(key), 0);
    }
    slots(record(table))[bucket].tag = kDeletedTag;
    --record(table).count;
}

// Replaces an item's position `from` by `to` in its bucket or chain.
void relabel(Node table, uint32_t bucket, uint32_t from, uint32_t to) {
    Table& t = record(table);
    uint32_t key = slots(t)[bucket].key;
    if (single(key)) {
        if (key == from) slots(t)[bucket].key = to;
        return;
    }
    Node chain = chain_at(t, chain_number(key));
    int32_t at = array::find_int(chain, int32_t(from));
    if (at >= 0) array::poke_ptr(chain, uint32_t(at) / 4 + 1, to);
}

// Moves the stored positions of the items at [start, end) by `offset`, in buckets, chains
// and the item index. Each chain is shifted once, however many of its items lie in the range.
void shift_positions(Node table, uint32_t start, uint32_t end, int32_t offset) {
    uint32_t have = index_length(record(table));
    if (end > have) end = have;
    if (start >= end) return;
    Node seen = kNoNode;
    for (uint32_t p = start; p < end; ++p) {
        Table& t = record(table);
        int32_t entry = index_entries(t)[p];
        if (entry <= 0) continue;
        uint32_t bucket = uint32_t(entry - 1);
        uint32_t key = slots(t)[bucket].key;
        if (single(key)) {
            if (key >= start && key < end) slots(t)[bucket].key = uint32_t(int32_t(key) + offset);
            continue;
        }
        Node chain = chain_at(t, chain_number(key));
        if (!seen) seen = make(1024, nullptr, kIntegers, 0);
        if (get_int_key(seen, chain)) continue;
        put_int_key(seen, chain);
        SeriesBuffer* c = buf(chain);
        for (uint8_t* q = c->head; q < c->tail; q += 4) {
            int32_t v;
            std::memcpy(&v, q, 4);
            if (uint32_t(v) >= start && uint32_t(v) < end) {
                v += offset;
                std::memcpy(q, &v, 4);
            }
        }
    }
    // The index moves with the items; the places they left are not indexed any more.
    if (offset > 0) ensure_index(table, end + uint32_t(offset));
    int32_t* idx = index_entries(record(table));
    std::memmove(idx + int64_t(start) + offset, idx + start, size_t(end - start) * 4);
    int64_t lo = int64_t(start) + offset, hi = int64_t(end) + offset;
    for (uint32_t q = start; q < end; ++q)
        if (q < lo || q >= hi) idx[q] = -1;
}

// Empties a kHash table without touching its block.
void reset(Node table) {
    Table& t = record(table);
    t.count = t.occupied = 0;
    refill(t.slots, 0);
    refill(t.index, 0xFF);
    array::clear(t.chain);
}

// The nearest position of the bucket's items from `head` (before it when `backward`) at a
// multiple of `skip`, confirmed equal under `op`.
Cell* pick_item(Node table, uint32_t bucket, const Cell& key, uint32_t head, uint32_t skip,
                CompareOp op, bool backward) {
    if (skip == 0) skip = 1;
    uint32_t stored = slots(record(table))[bucket].key;
    Node chain = single(stored) ? kNoNode : chain_at(record(table), chain_number(stored));
    uint32_t n = chain ? array::length(chain) : 1;
    int64_t best = -1;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t p = chain ? uint32_t(array::pick_int(chain, i + 1)) : stored;
        bool closer = backward ? p < head && (head - p) % skip == 0 && int64_t(p) > best
                               : p >= head && (p - head) % skip == 0 && (best < 0 || p < best);
        if (!closer) continue;
        if (op != CompareOp::equal) {
            Cell item = buf(record(table).block)->cells()[p];
            if (!equal(item, key, op)) continue;
        }
        best = p;
    }
    return best < 0 ? nullptr : buf(record(table).block)->cells() + best;
}

// ---- record tables ----

// The bucket of `key`, or -1; `free_bucket` gets the first deleted bucket met, else the empty
// bucket where the probe stopped (-1 when neither).
int64_t probe_int(const View& v, uint32_t key, int64_t* free_bucket) {
    uint32_t hash = murmur3::mix_int(key), want = live_tag(hash);
    uint32_t mask = v.mask(), start = hash & mask, i = start, step = 1;
    int64_t first_deleted = -1;
    for (;;) {
        uint32_t tag = v.slots[i].tag;
        if (tag == kEmptyTag) {
            if (free_bucket) *free_bucket = first_deleted >= 0 ? first_deleted : i;
            return -1;
        }
        if (tag == kDeletedTag) {
            if (first_deleted < 0) first_deleted = i;
        } else if (tag == want && v.record_at(v.key(i))->data1 == key) {
            return i;
        }
        i = (i + step++) & mask;
        if (i == start) {
            if (free_bucket) *free_bucket = first_deleted;
            return -1;
        }
    }
}

bool in_use(const Cell& key_cell) { return key_cell.header == uint32_t(TypeId::unset); }

// The node a record's owner cell names: a context for the object kinds, else a series.
Node named_node(const Cell& c) {
    TypeId t = type_of(c);
    return t == TypeId::object || t == TypeId::error || t == TypeId::port ? c.data1 : c.data2;
}

// ---- re-hashing ----

// Moves every live key from the old flags into new flags of n buckets over the same key
// array (sized for both), displacing keys not yet moved instead of using a second array.
template <typename Key, typename Hash>
void rehash_in_place(uint8_t* old_flags, uint32_t old_n, uint8_t* new_flags, uint32_t n, Key* keys,
                     Hash hash) {
    uint32_t mask = n - 1;
    for (uint32_t i = 0; i < old_n; ++i) {
        if (state_of(old_flags, i) != kLive) continue;
        set_state(old_flags, i, kDeleted);
        Key key = keys[i];
        for (;;) {
            uint32_t j = hash(key) & mask, step = 1;
            while (state_of(new_flags, j) != kEmpty) j = (j + step++) & mask;
            set_state(new_flags, j, kLive);
            if (j < old_n && state_of(old_flags, j) == kLive) {
                std::swap(key, keys[j]);
                set_state(old_flags, j, kDeleted);
            } else {
                keys[j] = key;
                break;
            }
        }
    }
}

// The first empty bucket on the probe sequence of `hash` among mask + 1 buckets.
inline uint32_t empty_in(const Bucket* slots, uint32_t mask, uint32_t hash) {
    uint32_t i = hash & mask, step = 1;
    while (slots[i].tag != kEmptyTag) i = (i + step++) & mask;
    return i;
}

// Places every live bucket of `from` into `to` (empty, n buckets) by the hash it keeps. Buckets
// are taken in the order an in-place re-hash takes them: in bucket order, except that a bucket
// whose place in `to` lies over a live bucket of `from` not yet moved takes that one next. Keys
// of one hash then meet a probe in the order they always have. `from` is spent.
void rehash_buckets(Bucket* from, uint32_t old_n, Bucket* to, uint32_t n) {
    for (uint32_t b = 0; b < old_n; ++b) {
        if (from[b].tag < kLiveBit) continue;
        Bucket moving = from[b];
        from[b].tag = kDeletedTag;
        for (;;) {
            uint32_t j = empty_in(to, n - 1, moving.tag);
            to[j] = moving;
            if (j >= old_n || from[j].tag < kLiveBit) break;
            moving = from[j];
            from[j].tag = kDeletedTag;
        }
    }
}

// A bucket array of n buckets, all empty.
Node empty_slots(uint32_t n) { return filled(uint64_t(n) * sizeof(Bucket), 0); }

}  // namespace

uint32_t find_empty_bucket(Node table, uint32_t hash) {
    View v(table);
    return empty_in(v.slots, v.mask(), hash);
}

int32_t hash_value(const Cell& key, bool case_sensitive) {
    using murmur3::hash_bytes;
    using murmur3::mix_int;
    switch (uint32_t(type_of(key))) {
        case 2: return -2;                                  // unset!
        case 3: return -1;                                  // none!
        case 1: case 4: case 32: case 34: case 48:          // datatype! logic! object! error! port!
            return int32_t(mix_int(key.data1));
        case 10: case 11: case 40: case 46: case 54:        // char! integer! map! handle! event!
            return int32_t(mix_int(key.data2));
        case 21: case 22:                                   // native! action!
            return int32_t(mix_int(key.data3));
        case 15: case 16: case 17: case 18: case 19: case 20:  // the words and issue!: case variants collide
            return int32_t(mix_int(runtime_hooks.canonical_symbol ? runtime_hooks.canonical_symbol(key.data2)
                                                                  : key.data2));
        case 13: {                                          // symbol!: its name, ASCII lowered
            if (!key.data3) return int32_t(murmur3::hash(nullptr, 0, murmur3::kSeed));
            SeriesBuffer* b = buf(key.data3);
            return int32_t(murmur3::hash_mapped(b->head, b->used(), murmur3::kSeed, murmur3::lower_ascii));
        }
        case 7: case 8: case 9: case 44: case 45: case 50: case 56:  // the text types and slices
            return int32_t(murmur3::hash_string(key, case_sensitive));
        case 5: case 6: case 25: case 26: case 27: case 28: case 36: case 51: case 53:
            return int32_t(hash_bytes(&key.data1, 8));      // head and node, or two coordinates
        case 12: case 38: case 43: {                        // float! percent! time!: a double
            // -0.0 equals 0.0 (strictly too): it takes 0.0's hash, or a table would hold both.
            uint32_t words[2] = {key.data2, key.data3};
            if (words[0] == 0 && words[1] == 0x8000'0000u) words[1] = 0;
            return int32_t(hash_bytes(words, 8));
        }
        case 37:                                            // pair!
            return int32_t(hash_bytes(&key.data2, 8));
        case 23: case 24: case 31: case 33: case 47: case 52:
            return int32_t(hash_bytes(&key.data1, 12));
        case 39: {                                          // tuple!: as many bytes as it holds
            uint32_t length = (key.header >> 19) & 0xF;
            return int32_t(hash_bytes(&key.data1, length > 12 ? 12 : length));
        }
        case 41: {                                          // binary!: its bytes from the head
            SeriesBuffer* b = buf(key.data2);
            uint32_t used = b->used();
            uint32_t from = key.data1 < used ? key.data1 : used;
            return int32_t(hash_bytes(b->head + from, used - from));
        }
        case 49: {                                          // money!: only the type and the sign count
            Cell copy = key;
            copy.header = uint32_t(TypeId::money) | (key.header & (1u << 14));
            return int32_t(hash_bytes(&copy, sizeof copy));
        }
        default:
            return 0;
    }
}

uint32_t round_up_pow2(uint32_t n) {
    --n;
    n |= n >> 1;
    n |= n >> 2;
    n |= n >> 4;
    n |= n >> 8;
    n |= n >> 16;
    return n + 1;
}

Node make(uint32_t size, const Cell* block, uint32_t kind, uint32_t extra) {
    if (kind == kWords && extra == 2 && block && type_of(*block) == TypeId::context)
        return clone(block->data1);
    uint64_t entries = size;
    if (kind == kWords && size >= 4000) entries *= 2;
    // Tables for 0 to 3 entries get the smallest bucket array, 4.
    uint32_t buckets = buckets_for(entries);
    if (entries < 4) entries = 4;
    bool records = kind >= kIntegers;
    bool indexes = block && !records;

    Node table = series::alloc_bytes(sizeof(Table));
    {
        SeriesBuffer* b = buf(table);
        std::memset(b->head, 0, sizeof(Table));
        b->tail = b->head + sizeof(Table);
    }
    Node slots = empty_slots(buckets);
    Node index = kind == kHash ? filled(entries * 4, 0xFF) : kNoNode;
    Node chain = kind == kHash ? array::make(4, 4) : kNoNode;
    Node own = indexes ? block->data2 : series::alloc_cells(uint32_t(entries));
    Table& t = record(table);
    t.index = records ? extra * 16 + 16 : index;
    t.chain = chain;
    t.slots = slots;
    t.block = own;
    t.buckets = buckets;
    t.upper = upper_truncated(buckets);
    t.kind = kind;
    t.stamp = records ? refresh_count() + 1 : 0;
    if (indexes) {
        // The hash! cell on the data stack keeps the table found while indexing allocates.
        if (kind == kHash) stack::push(cell::make(TypeId::hash, 0, own, table));
        index_block(table, block->data1, kind == kMap ? 2 : 1);
        if (kind == kHash) stack::pop(1);
    }
    return table;
}

Node clone(Node word_table) {
    Node table = series::clone_buffer(buf(word_table));
    Node block = series::clone_buffer(buf(record(word_table).block));
    Node slots = series::clone_buffer(buf(record(word_table).slots));
    Table& t = record(table);
    t.block = block;
    t.slots = slots;
    return table;
}

namespace {

// Places the live buckets of a map or word table into `to` (empty, n buckets) in the order of
// their keys' positions, as indexing the block afresh would.
void place_in_order(const View& v, Bucket* to, uint32_t n) {
    // The kept hash of each position, 0 where no bucket names it.
    std::vector<uint32_t> tags(block_length(*v.t));
    for (uint32_t b = 0; b < v.t->buckets; ++b)
        if (v.slots[b].tag >= kLiveBit && v.slots[b].key < tags.size()) tags[v.slots[b].key] = v.slots[b].tag;
    for (uint32_t p = 0; p < tags.size(); ++p)
        if (tags[p]) to[empty_in(to, n - 1, tags[p])] = Bucket{p, tags[p]};
}

// resize and resize_in_order: the same new array, the buckets placed two ways.
void rehash(Node table, uint32_t request, bool in_order) {
    uint32_t n = pow2_at_least_4(request);
    uint32_t upper = upper_rounded(n);
    {
        // A map's removed entries keep their buckets live: they count here.
        Table& t = record(table);
        if ((t.kind == kMap ? t.occupied : t.count) >= upper) return;
    }
    Node new_slots = empty_slots(n);
    View v(table);
    Bucket* ns = reinterpret_cast<Bucket*>(buf(new_slots)->head);
    if (in_order) place_in_order(v, ns, n);
    else rehash_buckets(v.slots, v.t->buckets, ns, n);
    Table& t = *v.t;
    t.slots = new_slots;
    t.buckets = n;
    t.upper = upper;
    if (t.kind != kMap) t.occupied = t.count;
    if (t.kind == kHash) {
        // Items now lie in other buckets: point the index at them.
        for (uint32_t b = 0; b < n; ++b) {
            if (ns[b].tag < kLiveBit) continue;
            uint32_t key = ns[b].key;
            if (single(key)) {
                index_entries(t)[key] = int32_t(b + 1);
                continue;
            }
            Node chain = chain_at(t, chain_number(key));
            for (uint32_t i = 1; i <= array::length(chain); ++i)
                index_entries(t)[array::pick_int(chain, i)] = int32_t(b + 1);
        }
    }
}

}  // namespace

void resize(Node table, uint32_t request) { rehash(table, request, false); }

void resize_in_order(Node table, uint32_t request) {
    uint32_t kind = record(table).kind;
    if (kind == kMap || kind == kWords) rehash(table, request, true);
}

void rebuild(Node table, uint32_t item_count) {
    Table& t0 = record(table);
    if (t0.kind >= kIntegers) {
        rebuild_records(table, t0.buckets);
        return;
    }
    if (t0.kind != kHash) return;
    uint32_t n = pow2_at_least_4(clamp_request(uint64_t(item_count * 1.5)));
    Node slots = empty_slots(n);
    Table& t = record(table);
    t.slots = slots;
    t.buckets = n;
    t.upper = upper_truncated(n);
    t.count = t.occupied = t.stamp = 0;
    array::clear(t.chain);
    refill(t.index, 0xFF);
    ensure_index(table, block_length(record(table)));
    index_block(table, 0, 1);
}

void rebuild_records(Node table, uint32_t request) {
    uint32_t n = pow2_at_least_4(request);
    Table* t = &record(table);
    uint32_t old_count = t->count, size = t->index;
    // Room for what the table holds, whatever was asked.
    while (upper_rounded(n) <= old_count && n < kMaxBuckets) n *= 2;
    uint32_t stamp = refresh_count() + 1;
    t->stamp = 0;  // the re-insertions below must not refresh
    Node slots = empty_slots(n);
    Node block = series::alloc_cells(std::max<uint32_t>(uint32_t(uint64_t(old_count) * size / 16), 1));
    t = &record(table);
    Node old_block = t->block;
    t->count = t->occupied = 0;
    t->buckets = n;
    t->upper = upper_rounded(n);
    t->slots = slots;
    t->block = block;
    for (uint32_t offset = 0;; offset += size) {
        SeriesBuffer* ob = buf(old_block);
        if (uint64_t(offset) + size > ob->used()) break;
        const Cell* r = reinterpret_cast<const Cell*>(ob->head + offset);
        if (!in_use(*r)) continue;
        Cell* values = put_int_key(table, r->data1);
        ob = buf(old_block);
        std::memcpy(values, ob->head + offset + sizeof(Cell), size - sizeof(Cell));
    }
    record(table).stamp = stamp;
}

bool grow_if_full(Node table) {
    Table& t = record(table);
    if (t.occupied < t.upper) return false;
    uint64_t b = t.buckets;
    // Many deleted buckets: clean up at the same size rather than grow.
    bool sparse = uint64_t(t.count) * 2 < b;
    switch (t.kind) {
        case kHash:
            rebuild(table, block_length(t));
            return true;
        case kMap:
            resize(table, clamp_request(b + 1));
            break;
        case kWords:
            resize(table, clamp_request((sparse ? b - 1 : b + 1) * 16));
            break;
        default:
            rebuild_records(table, clamp_request(sparse ? b - 1 : b + 1));
            break;
    }
    return false;
}

void refresh(Node table) {
    Table& t = record(table);
    if (t.stamp == 0 || t.stamp == refresh_count() + 1 || collecting()) return;
    if (t.kind == kHash) {
        rebuild(table, block_length(t));
        return;
    }
    if (t.kind < kIntegers) return;
    refill(t.slots, 0);
    t.count = t.occupied = 0;
    View v(table);
    uint32_t size = t.index, used = buf(t.block)->used();
    for (uint32_t offset = 0; uint64_t(offset) + size <= used; offset += size) {
        const Cell* r = v.record_at(offset);
        if (!in_use(*r)) continue;
        uint32_t hash = murmur3::mix_int(r->data1);
        v.slots[empty_in(v.slots, v.mask(), hash)] = Bucket{offset, live_tag(hash)};
        ++t.count;
        ++t.occupied;
    }
    t.stamp = refresh_count() + 1;
}

void mark(Node table, const Marker& marker) {
    marker.series(table);
    const Table& t = record(table);
    if (t.kind == kHash) {
        marker.series(t.index);
        marker.series(t.chain);
        for (uint32_t k = 1; k <= array::length(t.chain); ++k)
            if (Node chain = array::pick_ptr(t.chain, k)) marker.series(chain);
    }
    marker.series(t.slots);
    if (t.kind >= kIntegers) {
        SeriesBuffer* b = buf(t.block);
        for (uint32_t offset = 0; uint64_t(offset) + t.index <= b->used(); offset += t.index) {
            const Cell* r = reinterpret_cast<const Cell*>(b->head + offset);
            if (!in_use(*r) || !memory::live_node_q(r->data1)) continue;
            if (buf(r->data1)->unit() == sizeof(Cell)) marker.block(r->data1);
            else marker.series(r->data1);
        }
    }
    marker.block(t.block);
}

void sweep_weak(Node table, bool (*marked_q)(Node node)) {
    Table& t = record(table);
    if (t.kind < kIntegers) return;
    View v(table);
    uint32_t size = t.index, used = buf(t.block)->used();
    for (uint32_t offset = 0; uint64_t(offset) + size <= used; offset += size) {
        Cell* r = v.record_at(offset);
        if (!in_use(*r) || !memory::live_node_q(r->data1)) continue;
        bool dead = !marked_q(r->data1);
        if (!dead && t.kind == kOwnership && size >= 3 * sizeof(Cell)) {
            Node owner = named_node(r[2]);
            dead = memory::live_node_q(owner) && !marked_q(owner);
        }
        if (!dead) continue;
        int64_t bucket = probe_int(v, r->data1, nullptr);
        if (bucket >= 0) {
            v.slots[bucket].tag = kDeletedTag;
            --t.count;
        }
        r->header = 0;
        r->data1 = 0;
    }
}

void dump(Node table) {
    std::string text[2];
    View v(table);
    for (uint32_t i = 0; i < v.t->buckets; ++i) {
        uint32_t s = v.state(i);
        if (s == kEmpty) continue;
        uint32_t key = v.key(i);
        if (v.t->kind >= kIntegers) key = v.record_at(key)->data1;
        text[s == kLive] += ' ' + std::to_string(int32_t(key)) + '\n';
    }
    std::string out = "\n== Deleted keys ==\n" + text[0] + "== Alive keys ==\n" + text[1];
    console::print_c_string(out.c_str());
}

// ---- map!, hash! and integer-keyed operations ----

Cell* put_rebuilding(Node table, Cell* value, int32_t* rebuilt) {
    if (rebuilt) *rebuilt = 0;
    uint32_t position;
    {
        SeriesBuffer* b = buf(record(table).block);
        if (value < b->cells() || value >= b->cells_end()) return nullptr;
        position = uint32_t(value - b->cells());
    }
    if (grow_if_full(table)) {
        if (rebuilt) *rebuilt = 2;
        return buf(record(table).block)->cells() + position;
    }
    View v(table);
    bool duplicates = v.t->kind == kHash;
    if (duplicates && position < index_length(*v.t) && index_entries(*v.t)[position] > 0)
        return v.cells() + position;  // indexed already
    Cell key = v.cells()[position];
    if (duplicates && v.t->stamp == 0 && node_hashed(type_of(key))) v.t->stamp = refresh_count() + 1;
    CompareOp op = duplicates ? CompareOp::equal : CompareOp::strict_equal;

    uint32_t hash = uint32_t(hash_value(key, false)), want = live_tag(hash);
    uint32_t mask = v.mask(), start = hash & mask, i = start, step = 1;
    int64_t free_bucket = -1;
    for (;;) {
        uint32_t tag = v.slots[i].tag;
        if (tag == kEmptyTag) {
            if (free_bucket < 0) free_bucket = i;
            break;
        }
        if (tag == kDeletedTag) {
            if (free_bucket < 0) free_bucket = i;
        } else if (tag == want) {
            uint32_t p = duplicates ? first_position(*v.t, v.key(i)) : v.key(i);
            Cell stored = v.cells()[p];
            if (type_of(stored) == type_of(key)) {
                bool same = equal(stored, key, op);
                v = View(table);
                if (same) {
                    if (!duplicates) return v.cells() + p;
                    add_duplicate(table, i, position);
                    set_index(table, position, i);
                    return buf(record(table).block)->cells() + position;
                }
            }
        }
        i = (i + step++) & mask;
        if (i == start) break;
    }
    if (free_bucket < 0) return nullptr;  // no room: cannot happen below the upper bound
    uint32_t b = uint32_t(free_bucket);
    if (v.slots[b].tag == kEmptyTag) ++v.t->occupied;
    ++v.t->count;
    v.slots[b] = Bucket{position, want};
    if (duplicates) set_index(table, position, b);
    return buf(record(table).block)->cells() + position;
}

Cell* put(Node table, Cell* value) { return put_rebuilding(table, value, nullptr); }

void index_block(Node table, uint32_t start, uint32_t mode) {
    if (mode != 2) {
        for (uint32_t p = start;; ++p) {
            SeriesBuffer* b = buf(record(table).block);
            if (p >= b->length()) return;
            int32_t rebuilt = 0;
            put_rebuilding(table, b->cells() + p, &rebuilt);
            if (rebuilt == 2) return;
        }
    }
    // Key/value pairs: a repeated key keeps the later value, and its pair leaves the block.
    for (uint32_t p = start;;) {
        SeriesBuffer* b = buf(record(table).block);
        if (uint64_t(p) + 1 >= b->length()) return;
        Cell key = b->cells()[p];
        Cell* found = find(table, key, 0, 1, CompareOp::strict_equal, false, false);
        b = buf(record(table).block);
        if (!found) {
            put(table, b->cells() + p);
            p += 2;
            continue;
        }
        Cell* c = b->cells();
        c[found - c + 1] = c[p + 1];
        std::memmove(c + p, c + p + 2, (b->length() - p - 2) * sizeof(Cell));
        b->tail -= 2 * sizeof(Cell);
    }
}

Cell* find(Node table, const Cell& key_in, uint32_t head, uint32_t skip, CompareOp op, bool last,
           bool reverse) {
    Cell key = key_in;
    View v(table);
    if (v.t->kind >= kIntegers) return nullptr;
    if (v.t->kind == kMap && word_kind(type_of(key))) cell::set_type(key, TypeId::set_word);
    bool duplicates = v.t->kind == kHash;
    uint32_t hash = uint32_t(hash_value(key, false)), want = live_tag(hash);
    uint32_t mask = v.mask(), start = hash & mask, i = start, step = 1;
    for (;;) {
        uint32_t tag = v.slots[i].tag;
        if (tag == kEmptyTag) return nullptr;
        if (tag == want) {
            uint32_t p = duplicates ? first_position(*v.t, v.key(i)) : v.key(i);
            Cell stored = v.cells()[p];
            if (type_of(stored) == type_of(key) || type_of(key) == kSliceType) {
                // Duplicates are grouped under the plain equality; `op` then picks among them.
                bool same = equal(stored, key, duplicates ? CompareOp::equal : op);
                v = View(table);
                if (same)
                    return duplicates ? pick_item(table, i, key, head, skip, op, last || reverse)
                                      : v.cells() + p;
            }
        }
        i = (i + step++) & mask;
        if (i == start) return nullptr;
    }
}

Cell* find_next(Node table, const Cell& key_in, int32_t& bucket, int32_t& end, int32_t& step) {
    Cell key = key_in;
    if (record(table).kind >= kIntegers) return nullptr;
    if (record(table).kind == kMap && word_kind(type_of(key))) cell::set_type(key, TypeId::set_word);
    uint32_t mask = record(table).buckets - 1;
    uint32_t want = live_tag(uint32_t(hash_value(key, false)));
    uint32_t i, s;
    if (bucket < 0) {
        i = want & mask;
        end = int32_t(i);
        s = 1;
    } else {
        i = (uint32_t(bucket) + uint32_t(step)) & mask;
        s = uint32_t(step) + 1;
        if (i == uint32_t(end)) return nullptr;
    }
    for (;;) {
        View v(table);
        uint32_t tag = v.slots[i].tag;
        if (tag == kEmptyTag) break;
        if (tag == want) {
            uint32_t p = v.t->kind == kHash ? first_position(*v.t, v.key(i)) : v.key(i);
            Cell stored = v.cells()[p];
            if (type_of(stored) == type_of(key) && equal(stored, key, CompareOp::equal)) {
                bucket = int32_t(i);
                step = int32_t(s);
                return buf(record(table).block)->cells() + p;
            }
        }
        i = (i + s++) & mask;
        if (i == uint32_t(end)) break;
    }
    bucket = int32_t(i);
    step = int32_t(s);
    return nullptr;
}

void delete_(Node table, Cell* value) {
    Table& t = record(table);
    SeriesBuffer* b = buf(t.block);
    if (t.kind >= kIntegers || value < b->cells() || value >= b->cells_end()) return;
    uint32_t position = uint32_t(value - b->cells());
    if (t.kind == kHash) {
        unindex(table, position);
        return;
    }
    // The pair stays in the block and its bucket stays live; a removed pair counts once.
    if (position + 1 < b->length() && value[1].header != 0) {
        value[1].header = 0;
        --t.count;
    }
}

void remove_items(Node table, uint32_t position, uint32_t count) {
    Table& t = record(table);
    if (t.kind != kHash || count == 0) return;
    if (position == 0 && count >= block_length(t)) {
        reset(table);
        return;
    }
    uint64_t end = uint64_t(position) + count;
    for (uint64_t p = position; p < end && p < index_length(record(table)); ++p) unindex(table, uint32_t(p));
}

int32_t shift_indexes(Node table, int32_t offset, uint32_t start, uint32_t count, bool limited) {
    if (count == 0 || offset == 0) return 0;
    if (limited && count > kMaxShift) return 1;
    // Positions would fall below 0: only a rebuild can make sense of that.
    if (offset < 0 && uint32_t(-int64_t(offset)) > start) return 1;
    uint64_t end64 = uint64_t(start) + count;
    uint32_t end = end64 > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(end64);
    Table& t = record(table);
    if (t.kind == kHash) {
        shift_positions(table, start, end, offset);
    } else if (t.kind == kMap || t.kind == kWords) {
        View v(table);
        for (uint32_t b = 0; b < v.t->buckets; ++b)
            if (v.state(b) == kLive && v.key(b) >= start && v.key(b) < end)
                v.slots[b].key = uint32_t(int32_t(v.key(b)) + offset);
    }
    return 0;
}

void move_items(Node table, uint32_t destination, uint32_t source, uint32_t count) {
    if (record(table).kind != kHash || count == 0 || destination == source) return;
    uint32_t reach = (destination > source ? destination : source) + count;
    ensure_index(table, reach);
    std::vector<int32_t> buckets(count);
    for (uint32_t i = 0; i < count; ++i) {
        buckets[i] = index_entries(record(table))[source + i];
        if (buckets[i] > 0) relabel(table, uint32_t(buckets[i] - 1), source + i, kMovedMark + i);
    }
    if (destination > source) shift_positions(table, source + count, destination + count, -int32_t(count));
    else shift_positions(table, destination, source, int32_t(count));
    for (uint32_t i = 0; i < count; ++i) {
        if (buckets[i] > 0) relabel(table, uint32_t(buckets[i] - 1), kMovedMark + i, destination + i);
        index_entries(record(table))[destination + i] = buckets[i] > 0 ? buckets[i] : -1;
    }
}

Node copy(Node table, Node block) {
    Node dup = series::clone_buffer(buf(table));
    Node slots = series::clone_buffer(buf(record(table).slots));
    bool duplicates = record(table).kind == kHash;
    Node index = kNoNode, chains = kNoNode;
    if (duplicates) {
        // Each chain is copied too: the copy's block changes apart from the original's.
        index = series::clone_buffer(buf(record(table).index));
        chains = series::clone_buffer(buf(record(table).chain));
        for (uint32_t k = 1; k <= array::length(chains); ++k)
            if (Node chain = array::pick_ptr(chains, k)) array::poke_ptr(chains, k, array::copy(chain));
    }
    Table& t = record(dup);
    t.slots = slots;
    t.block = block;
    if (duplicates) {
        t.index = index;
        t.chain = chains;
    }
    return dup;
}

void clear(Node table) {
    Table& t = record(table);
    t.count = t.occupied = 0;
    refill(t.slots, 0);
    if (t.kind == kHash) {
        array::clear(t.chain);
        refill(t.index, 0xFF);
    }
    // Records belong to the table: left in place they would be marked and refreshed again.
    if (t.kind >= kIntegers) {
        SeriesBuffer* b = buf(t.block);
        b->tail = b->head;
    }
}

Cell* put_int_key(Node table, uint32_t key) {
    refresh(table);
    grow_if_full(table);
    View v(table);
    uint32_t size = v.t->index;
    int64_t slot = -1;
    int64_t found = probe_int(v, key, &slot);
    Cell* r;
    if (found >= 0) {
        r = v.record_at(v.key(uint32_t(found)));
    } else {
        if (slot < 0) return nullptr;  // no room: cannot happen below the upper bound
        uint32_t b = uint32_t(slot);
        bool fresh = v.slots[b].tag == kEmptyTag;
        uint32_t offset;
        if (fresh) {
            SeriesBuffer* block = buf(v.t->block);
            offset = uint32_t(series::reserve_bytes(block, size) - block->head);
            v = View(table);
            ++v.t->occupied;
        } else {
            offset = v.key(b);  // the deleted record this bucket held is reused
        }
        ++v.t->count;
        v.slots[b] = Bucket{offset, live_tag(murmur3::mix_int(key))};
        r = v.record_at(offset);
        for (uint32_t i = 0; i < size / sizeof(Cell); ++i) r[i] = cell::unset();
        r->data1 = key;
    }
    for (uint32_t i = 0; i < size / sizeof(Cell); ++i) r[i].header = uint32_t(TypeId::unset);
    return r + 1;
}

Cell* get_int_key(Node table, uint32_t key) {
    refresh(table);
    View v(table);
    int64_t found = probe_int(v, key, nullptr);
    return found >= 0 ? v.record_at(v.key(uint32_t(found))) + 1 : nullptr;
}

Cell* delete_int_key(Node table, uint32_t key) {
    refresh(table);
    View v(table);
    int64_t found = probe_int(v, key, nullptr);
    if (found < 0) return nullptr;
    v.slots[found].tag = kDeletedTag;
    --v.t->count;
    Cell* r = v.record_at(v.key(uint32_t(found)));
    r->header = 0;
    return r + 1;
}

}  // namespace hashtable

// ---- the collector's address map ----

namespace intmap {
namespace {

uint32_t hash_key(const Entry& e) { return murmur3::mix_int(uint32_t(e.key)); }

size_t flag_bytes(uint32_t buckets) { return buckets / 4; }

}  // namespace

Map* make(uint32_t size) {
    if (size < 4) size = 4;
    uint32_t buckets = hashtable::buckets_for(size);
    auto* map = static_cast<Map*>(std::malloc(sizeof(Map)));
    auto* flags = static_cast<uint8_t*>(std::malloc(flag_bytes(buckets)));
    auto* entries = static_cast<Entry*>(std::malloc(size_t(buckets) * sizeof(Entry)));
    if (!map || !flags || !entries) {
        std::free(map);
        std::free(flags);
        std::free(entries);
        return nullptr;
    }
    std::memset(flags, 0xAA, flag_bytes(buckets));
    *map = Map{0, flags, entries, 0, buckets, hashtable::upper_truncated(buckets)};
    return map;
}

int32_t find(Map* map, int32_t key) {
    uint32_t mask = map->buckets - 1, start = murmur3::mix_int(uint32_t(key)) & mask, i = start, step = 1;
    for (;;) {
        uint32_t s = hashtable::state_of(map->flags, i);
        if (s == hashtable::kEmpty) return -1;
        if (s == hashtable::kLive && map->entries[i].key == key) return int32_t(i);
        i = (i + step++) & mask;
        if (i == start) return -1;
    }
}

int32_t* get(Map* map, int32_t key) {
    int32_t b = find(map, key);
    return b < 0 ? nullptr : &map->entries[b].value;
}

bool put(Map* map, int32_t key, int32_t value) {
    if (map->occupied >= map->upper) {
        bool sparse = uint64_t(map->count) * 2 < map->buckets;
        resize(map, sparse ? map->buckets - 1 : map->buckets + 1);
    }
    uint32_t mask = map->buckets - 1, start = murmur3::mix_int(uint32_t(key)) & mask, i = start, step = 1;
    int64_t free_bucket = -1;
    for (;;) {
        uint32_t s = hashtable::state_of(map->flags, i);
        if (s == hashtable::kEmpty) {
            if (free_bucket < 0) free_bucket = i;
            break;
        }
        if (s == hashtable::kDeleted) {
            if (free_bucket < 0) free_bucket = i;
        } else if (map->entries[i].key == key) {
            map->entries[i].value = value;
            return true;
        }
        i = (i + step++) & mask;
        if (i == start) break;
    }
    if (free_bucket < 0) return false;
    uint32_t b = uint32_t(free_bucket);
    if (hashtable::state_of(map->flags, b) == hashtable::kEmpty) ++map->occupied;
    ++map->count;
    map->entries[b] = Entry{key, value};
    hashtable::set_state(map->flags, b, hashtable::kLive);
    return true;
}

int32_t resize(Map* map, uint32_t buckets) {
    uint32_t n = hashtable::pow2_at_least_4(buckets);
    uint32_t upper = hashtable::upper_rounded(n);
    if (map->count >= upper) return 0;
    auto* flags = static_cast<uint8_t*>(std::malloc(flag_bytes(n)));
    if (!flags) return -1;
    std::memset(flags, 0xAA, flag_bytes(n));
    if (n > map->buckets) {
        auto* entries = static_cast<Entry*>(std::realloc(map->entries, size_t(n) * sizeof(Entry)));
        if (!entries) {
            std::free(flags);
            return -1;
        }
        map->entries = entries;
    }
    hashtable::rehash_in_place(map->flags, map->buckets, flags, n, map->entries, hash_key);
    if (n < map->buckets) {
        // Keeping the larger array is harmless when the system will not shrink it.
        if (auto* entries = static_cast<Entry*>(std::realloc(map->entries, size_t(n) * sizeof(Entry))))
            map->entries = entries;
    }
    std::free(map->flags);
    map->flags = flags;
    map->buckets = n;
    map->upper = upper;
    map->occupied = map->count;
    return 0;
}

void free(Map* map) {
    if (!map) return;
    std::free(map->flags);
    std::free(map->entries);
    std::free(map);
}

}  // namespace intmap
}  // namespace kaz
