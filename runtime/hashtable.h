// Every associative lookup of the runtime: MurmurHash3, the open-addressing hash table behind
// symbols, word tables, map!, hash! and the node-keyed tables, and the collector's integer map.
//
// A table never holds values: its buckets hold 32-bit positions into a series that keeps
// insertion order (a block's cells, or a block of records), so iteration order, molding and
// indexing by position never depend on the hash. Bucket counts are powers of two (indices are
// masked); the n-th probe lands n(n+1)/2 buckets past the first.
//
// Tables live in series: every function here that may allocate can move every buffer, so
// pointers into a table's arrays or its block are valid only until the next allocation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/compare.h"
#include "runtime/memory.h"

namespace kaz {
// The operation a compare action receives; its values are listed with the action table.
}  // namespace kaz

namespace kaz::murmur3 {

// The one seed of every table, fixed for the process: no stored data depends on where a
// key lands.
inline constexpr uint32_t kSeed = 0x3C6EF372;

// MurmurHash3, x86 32-bit variant.
uint32_t hash(const void* data, size_t length, uint32_t seed);
inline uint32_t hash_bytes(const void* data, size_t length) { return hash(data, length, kSeed); }
// The hash of the bytes with ASCII A-Z lowered, as hash_bytes of the lowered copy gives it.
uint32_t hash_bytes_lowered(const void* data, size_t length);

// The hash of a text value from its head to the tail of its buffer, one 32-bit block per code
// point (so 4 bytes per code point count in the length); without `case_sensitive` each code
// point is upper-cased first. A slice cell with a non-negative data3 hashes only that many
// code points.
uint32_t hash_string(const Cell& string, bool case_sensitive);
// The same for `length` code points of one-byte text at `text`, for a caller that has them.
uint32_t hash_narrow_text(const uint8_t* text, uint32_t length, bool case_sensitive);

// The finaliser alone: the hash of every integer key.
constexpr uint32_t mix_int(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6B;
    h ^= h >> 13;
    h *= 0xC2B2AE35;
    h ^= h >> 16;
    return h;
}

}  // namespace kaz::murmur3

namespace kaz::hashtable {

// Table kinds.
inline constexpr uint32_t kHash = 0;       // hash!: every item of the block, duplicates chained
inline constexpr uint32_t kMap = 1;        // map!: key/value pairs, one entry per key
inline constexpr uint32_t kWords = 2;      // word and symbol tables
inline constexpr uint32_t kIntegers = 3;   // records keyed by a 32-bit integer (a node)
inline constexpr uint32_t kOwnership = 4;  // the same, for the ownership table

// Bucket states.
inline constexpr uint32_t kLive = 0;
inline constexpr uint32_t kDeleted = 1;
inline constexpr uint32_t kEmpty = 2;

// A bucket: the key position and, beside it, the bucket's state with the key's hash, so that a
// probe settles most buckets from the one read of the bucket itself and reads a stored key
// only when its hash matches. The tag is 0 for an empty bucket (a zeroed array is empty), 1
// for a deleted one, and the hash with its top bit set for a live one: bucket counts stay at
// or below 2^31, so the 31 bits kept are every bit an index is ever taken from, and a table
// re-hashes without reading a key.
struct Bucket {
    uint32_t key;  // a position in the block (a byte offset for record tables)
    uint32_t tag;
};
static_assert(sizeof(Bucket) == 8);
inline constexpr uint32_t kEmptyTag = 0;
inline constexpr uint32_t kDeletedTag = 1;
inline constexpr uint32_t kLiveBit = 0x8000'0000u;
constexpr uint32_t live_tag(uint32_t hash) { return hash | kLiveBit; }
constexpr uint32_t state_of_tag(uint32_t tag) {
    return tag >= kLiveBit ? kLive : tag == kDeletedTag ? kDeleted : kEmpty;
}

// The internal type of a text slice used as a lookup key: a string cell whose data3, when not
// negative, is its length in code points.
inline constexpr TypeId kSliceType = TypeId(56);

// The table record: ten 32-bit fields in a series of its own.
struct Table {
    uint32_t count;     // live entries
    uint32_t index;     // kHash: node of the item index; kIntegers, kOwnership: bytes per record
    Node chain;         // kHash: node of the list of duplicate chains
    Node slots;         // one Bucket per bucket
    Node block;         // the indexed series, or the records of kIntegers and kOwnership
    uint32_t occupied;  // buckets live or deleted
    uint32_t buckets;   // a power of two, at least 4
    uint32_t upper;     // occupied count at which the table grows
    uint32_t kind;
    uint32_t stamp;     // record tables: the refresh counter + 1 when last hashed; else 0
};
static_assert(sizeof(Table) == 40);

// Inline: every lookup reads them once a bucket.
inline Table& record(Node table) { return *reinterpret_cast<Table*>(memory::buffer_of(table)->head); }
inline Bucket* slots(const Table& t) { return reinterpret_cast<Bucket*>(memory::buffer_of(t.slots)->head); }
inline uint32_t bucket_state(const Table& t, uint32_t bucket) { return state_of_tag(slots(t)[bucket].tag); }
// Makes a bucket live, holding `key` of hash `hash`.
inline void fill_bucket(const Table& t, uint32_t bucket, uint32_t key, uint32_t hash) {
    slots(t)[bucket] = Bucket{key, live_tag(hash)};
}
// The first empty bucket on the probe sequence of `hash` (the table must not be full).
uint32_t find_empty_bucket(Node table, uint32_t hash);

// Keys compare and symbols fold through the runtime's hooks (runtime/hooks.h).

// What the record tables read of the collector. Kinds 3 and 4 are keyed by nodes; a
// collector that moved nodes would raise the refresh counter, and a table stamped with an
// older counter is re-hashed before its next lookup. Nodes never move in this runtime, so
// the counter stays where it is until a collector says otherwise; with no collector
// installed it reads 0 and nothing is ever collecting.
struct CollectorLink {
    uint32_t (*refresh_count)();
    bool (*collecting_q)();
};
extern CollectorLink collector;

// How the collector marks what a table holds (collector hooks below).
struct Marker {
    void (*series)(Node node);  // marks a buffer alone
    void (*block)(Node node);   // marks a buffer and everything its cells reach
};

// ---- the core ----

// The hash of a key cell by its datatype (strings without case unless `case_sensitive`).
int32_t hash_value(const Cell& key, bool case_sensitive);

// A table for `size` entries. With a block cell (kinds 0 to 2) the table indexes that block
// from the cell's head, as key/value pairs for kMap; otherwise a new block of `size` cells.
// Record tables hold records of `extra` value cells after the key cell. A kWords request with
// extra 2 and a context! cell in place of the block clones that context's word table.
Node make(uint32_t size, const Cell* block, uint32_t kind, uint32_t extra);
// A copy of a word table: the record, its block and its buckets duplicated.
Node clone(Node word_table);

// The smallest power of two >= n (0 for 0 and for n above 2^31).
uint32_t round_up_pow2(uint32_t n);

// Re-hashes into round_up_pow2(request) buckets (at least 4) from the hashes the buckets keep;
// nothing happens when the entries would not fit below the new upper bound.
void resize(Node table, uint32_t request);
// The same for map and word tables, the keys placed in the order of their positions, as indexing
// the block afresh would place them.
void resize_in_order(Node table, uint32_t request);
// kHash: new arrays sized for `item_count` items, the whole block indexed again.
void rebuild(Node table, uint32_t item_count);
// Record tables: a new block with the live records packed in their old order, new buckets.
void rebuild_records(Node table, uint32_t request);
// The growth rule, when occupied has reached the upper bound: maps double; word tables are
// resized for (buckets + 1) x 16; record tables are rebuilt at the same size when fewer than
// half their buckets are live, else doubled; a kHash table is rebuilt for its block (returns
// true: the whole block is indexed again).
bool grow_if_full(Node table);
// Before a lookup in a record table: re-hashes it when its stamp is stale.
void refresh(Node table);

// ---- collector hooks ----

// Marks the table, its arrays and its block with its cells; a record table marks each live
// record's key series too.
void mark(Node table, const Marker& marker);
// After marking, record tables only: drops the records whose key series is unmarked (kind 4
// also those whose owner, the second value cell, is unmarked), so they hold keys weakly.
void sweep_weak(Node table, bool (*marked_q)(Node node));

// Prints the keys of the deleted and of the live buckets on the console (debugging).
void dump(Node table);

// ---- map!, hash! and integer-keyed operations ----

// Indexes one cell of the table's block; returns it (for kMap, the entry's key cell when the
// key was present). kHash may have to rebuild instead: `rebuilt` is then set to 2, the whole
// block is indexed and the caller stops adding. Null for a cell outside the block.
Cell* put_rebuilding(Node table, Cell* value, int32_t* rebuilt);
Cell* put(Node table, Cell* value);
// Indexes the block from `start` one cell at a time (mode 1), or as key/value pairs (mode 2):
// a key already present takes the repeated pair's value, and the repeated pair is removed.
void index_block(Node table, uint32_t start, uint32_t mode);

// The stored cell equal to `key` under `op`, or null. kHash answers the nearest item at or
// after `head` whose distance from it is a multiple of `skip`, or with `last` or `reverse` the
// nearest such item before `head`. A word key in a kMap table is looked up as a set-word!.
Cell* find(Node table, const Cell& key, uint32_t head, uint32_t skip, CompareOp op, bool last,
           bool reverse);
// The next live cell equal to `key` (equal operation, same type) along its probe sequence.
// `bucket` -1 starts a new probe; bucket, end and step carry the position between calls.
Cell* find_next(Node table, const Cell& key, int32_t& bucket, int32_t& end, int32_t& step);

// kHash unindexes the item; other kinds clear the header of the cell after it (a map's value)
// and count one entry less.
void delete_(Node table, Cell* value);
// kHash: unindexes `count` items from `position` (the block about to lose them).
void remove_items(Node table, uint32_t position, uint32_t count);
// After an edit of the block: the `count` items stored from `start` on moved by `offset`.
// With `limited` more than 30000 of them are not shifted: 1 is returned, and the caller
// rebuilds the table instead.
int32_t shift_indexes(Node table, int32_t offset, uint32_t start, uint32_t count, bool limited);
// The `count` items at `source` moved to start at `destination`, the items between them
// closing the gap.
void move_items(Node table, uint32_t destination, uint32_t source, uint32_t count);

// A copy of a table, indexing `block` (the copy of the source's block).
Node copy(Node table, Node block);
// Empties a table.
void clear(Node table);
// Does nothing; stands where a hook is required.
inline void ignore(Node) {}

// Record tables. The value cells of the key's record, their headers (and the key cell's) reset
// to unset!: a new record is made when the key is absent.
Cell* put_int_key(Node table, uint32_t key);
// The value cells of the key's record, or null.
Cell* get_int_key(Node table, uint32_t key);
// Deletes the key's record; returns its value cells, or null when it was absent.
Cell* delete_int_key(Node table, uint32_t key);

}  // namespace kaz::hashtable

namespace kaz::intmap {

// The collector's address map: the same table design over memory from the system allocator,
// usable while the collector has the series in pieces.
struct Entry {
    int32_t key;
    int32_t value;
};
struct Map {
    uint32_t count;
    uint8_t* flags;
    Entry* entries;
    uint32_t occupied;
    uint32_t buckets;
    uint32_t upper;
};

// Null when the system refuses memory.
Map* make(uint32_t size);
// Sets the value of a key; false when the map is full and could not grow.
bool put(Map* map, int32_t key, int32_t value);
// The value of a key, or null.
int32_t* get(Map* map, int32_t key);
// The bucket of a key, or -1.
int32_t find(Map* map, int32_t key);
// Re-hashes in place into round_up_pow2(buckets) buckets; -1, the map unchanged, when the
// system refuses memory.
int32_t resize(Map* map, uint32_t buckets);
void free(Map* map);

}  // namespace kaz::intmap
