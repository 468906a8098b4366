#include "runtime/hashtable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/array.h"
#include "runtime/case_fold.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "runtime/resource.h"

using namespace kaz;
using namespace kaz::hashtable;

namespace {

// ---- values ----

Cell text(std::u32string_view s, uint32_t unit = 1, TypeId type = TypeId::string) {
    Node n = series::alloc_units(uint32_t(s.size()), unit);
    SeriesBuffer* b = memory::buffer_of(n);
    for (char32_t c : s) {
        uint32_t cp = c;
        std::memcpy(b->tail, &cp, unit);  // little-endian: the low bytes
        b->tail += unit;
    }
    return cell::make(type, 0, n, 0);
}
Cell text(std::string_view s) { return text(std::u32string(s.begin(), s.end())); }
Cell word(uint32_t symbol, TypeId type = TypeId::word) { return cell::make(type, 0, symbol, 0xFFFFFFFF); }

Node block_of(std::initializer_list<Cell> cells) {
    Node n = series::alloc_cells(std::max<uint32_t>(uint32_t(cells.size()), 1));
    SeriesBuffer* b = memory::buffer_of(n);
    for (const Cell& c : cells) *series::reserve_cell(b) = c;
    return n;
}
Cell block_cell(Node n, TypeId type = TypeId::block) { return cell::make(type, 0, n, 0); }
SeriesBuffer* block_buffer(Node table) { return memory::buffer_of(record(table).block); }
Cell* cell_at(Node table, uint32_t position) { return block_buffer(table)->cells() + position; }
uint32_t length_of(Node table) { return block_buffer(table)->length(); }
uint32_t position_of(Node table, const Cell* c) { return uint32_t(c - block_buffer(table)->cells()); }

Cell* append(Node table, const Cell& c) {
    SeriesBuffer* b = block_buffer(table);
    Cell* at = series::reserve_cell(b);
    *at = c;
    return at;
}

// ---- minimal compare actions for the types these tests use ----

std::u32string code_points(const Cell& s) {
    SeriesBuffer* b = memory::buffer_of(s.data2);
    std::u32string out;
    for (uint32_t i = s.data1; i < b->length(); ++i) {
        uint32_t cp = 0;
        std::memcpy(&cp, b->head + size_t(i) * b->unit(), b->unit());
        out.push_back(char32_t(cp));
    }
    return out;
}

bool case_matters(CompareOp op) {
    return op == CompareOp::strict_equal || op == CompareOp::case_sort || op == CompareOp::same ||
           op == CompareOp::match_case;
}

int32_t order(auto a, auto b) { return a < b ? -1 : a > b ? 1 : 0; }

int32_t compare_text(const Cell& a, const Cell& b, CompareOp op) {
    std::u32string x = code_points(a), y = code_points(b);
    if (!case_matters(op)) {
        for (auto& c : x) c = char32_t(case_::upper_char(c));
        for (auto& c : y) c = char32_t(case_::upper_char(c));
    }
    return order(x, y);
}
int32_t compare_word(const Cell& a, const Cell& b, CompareOp op) {
    uint32_t x = a.data2, y = b.data2;
    if (!case_matters(op) && runtime_hooks.canonical_symbol)
        x = runtime_hooks.canonical_symbol(x), y = runtime_hooks.canonical_symbol(y);
    return order(x, y);
}
int32_t compare_integer(const Cell& a, const Cell& b, CompareOp) {
    return order(int32_t(a.data2), int32_t(b.data2));
}

// The compare actions of the types the tests use, as the datatypes will give them.
int32_t compare_cells(const Cell& a, const Cell& b, CompareOp op) {
    switch (type_of(a)) {
        case TypeId::string: return compare_text(a, b, op);
        case TypeId::integer: return compare_integer(a, b, op);
        case TypeId::word: case TypeId::set_word: case TypeId::lit_word: case TypeId::get_word:
            return compare_word(a, b, op);
        default: return kNotComparable;
    }
}

// Gives the tables their way to compare keys; puts the hooks back afterwards.
class Tables : public testing::Test {
protected:
    void SetUp() override {
        saved_ = runtime_hooks;
        runtime_hooks.compare_cells = compare_cells;
    }
    void TearDown() override {
        runtime_hooks = saved_;
        collector = CollectorLink{nullptr, nullptr};
    }

private:
    RuntimeHooks saved_{};
};

// Every position of `block` holding a cell equal to `key`, the way a linear search finds them.
std::vector<uint32_t> brute_positions(Node table, const Cell& key) {
    std::vector<uint32_t> out;
    for (uint32_t p = 0; p < length_of(table); ++p) {
        Cell c = *cell_at(table, p);
        if (type_of(c) == type_of(key) && compare_cells(c, key, CompareOp::equal) == 0) out.push_back(p);
    }
    return out;
}

// Every position the table finds for `key`, by successive finds from advancing heads.
std::vector<uint32_t> found_positions(Node table, const Cell& key) {
    std::vector<uint32_t> out;
    for (uint32_t head = 0;;) {
        Cell* c = find(table, key, head, 1, CompareOp::equal, false, false);
        if (!c) return out;
        out.push_back(position_of(table, c));
        head = out.back() + 1;
    }
}

}  // namespace

// ---- MurmurHash3 ----

TEST(Murmur3, PublishedReferenceVectors) {
    struct Vector { std::string_view data; uint32_t seed; uint32_t hash; };
    using namespace std::string_view_literals;
    const Vector kVectors[] = {
        {""sv, 0, 0},
        {""sv, 1, 0x514E28B7},
        {""sv, 0xFFFFFFFF, 0x81F16F39},
        {"\0\0\0\0"sv, 0, 0x2362F9DE},
        {"\0\0\0"sv, 0, 0x85F0B427},
        {"\0\0"sv, 0, 0x30F4C306},
        {"\0"sv, 0, 0x514E28B7},
        {"\xff\xff\xff\xff"sv, 0, 0x76293B50},
        {"\x21\x43\x65\x87"sv, 0, 0xF55B516B},
        {"\x21\x43\x65\x87"sv, 0x5082EDEE, 0x2362F9DE},
        {"\x21\x43\x65"sv, 0, 0x7E4A8634},
        {"\x21\x43"sv, 0, 0xA0F7B07A},
        {"\x21"sv, 0, 0x72661CF4},
        {"a"sv, 0x9747B28C, 0x7FA09EA6},
        {"aa"sv, 0x9747B28C, 0x5D211726},
        {"aaa"sv, 0x9747B28C, 0x283E0130},
        {"aaaa"sv, 0x9747B28C, 0x5A97808A},
        {"ab"sv, 0x9747B28C, 0x74875592},
        {"abc"sv, 0x9747B28C, 0xC84A62DD},
        {"abcd"sv, 0x9747B28C, 0xF0478627},
        {"abc"sv, 0, 0xB3DD93FA},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"sv, 0, 0xEE925B90},
        {"Hello, world!"sv, 0x9747B28C, 0x24884CBA},
        {"\xcf\x80\xcf\x80\xcf\x80\xcf\x80\xcf\x80\xcf\x80\xcf\x80\xcf\x80"sv, 0x9747B28C, 0xD58063C1},
        {"The quick brown fox jumps over the lazy dog"sv, 0x9747B28C, 0x2FA826CD},
    };
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(testing::Message() << '"' << v.data << "\" seed " << v.seed);
        EXPECT_EQ(murmur3::hash(v.data.data(), v.data.size(), v.seed), v.hash);
    }
    EXPECT_EQ(murmur3::hash_bytes("abc", 3), murmur3::hash("abc", 3, murmur3::kSeed));
    // The finaliser alone is the hash of the empty input under that seed.
    for (uint32_t seed : {1u, 0xFFFFFFFFu, 0x9747B28Cu}) EXPECT_EQ(murmur3::mix_int(seed), murmur3::hash("", 0, seed));
}

// Names hash with ASCII letters lowered and every other byte as it is, at each tail length.
TEST(Murmur3, LoweredHashIsTheHashOfTheLoweredBytes) {
    const std::pair<std::string_view, std::string_view> kCases[] = {
        {"", ""}, {"A", "a"}, {"Zz", "zz"}, {"@[`{", "@[`{"}, {"ABCD", "abcd"}, {"Hello-World", "hello-world"},
        {"ÃTÃ", "ÃtÃ"},
    };
    for (const auto& [name, lowered] : kCases) {
        SCOPED_TRACE(std::string(name));
        EXPECT_EQ(murmur3::hash_bytes_lowered(name.data(), name.size()),
                  murmur3::hash_bytes(lowered.data(), lowered.size()));
    }
}

TEST_F(Tables, StringHashIsOverCodePointsWhateverTheUnit) {
    // One 32-bit block per code point, so the unit a buffer happens to use never shows.
    const uint32_t kBlocks[] = {'K', 'a', 'z', 0xE9};
    uint32_t expected = murmur3::hash(kBlocks, sizeof kBlocks, murmur3::kSeed);
    for (uint32_t unit : {1u, 2u, 4u}) {
        SCOPED_TRACE(unit);
        EXPECT_EQ(murmur3::hash_string(text(U"Kaz\u00E9", unit), true), expected);
    }
    // From the cell's head; a slice counts only its length.
    Cell tail = text(U"xyKaz\u00E9");
    tail.data1 = 2;
    EXPECT_EQ(murmur3::hash_string(tail, true), expected);
    Cell slice = text(U"Kaz\u00E9!!");
    cell::set_type(slice, kSliceType);
    slice.data3 = 4;
    EXPECT_EQ(murmur3::hash_string(slice, true), expected);
    EXPECT_EQ(uint32_t(hash_value(slice, true)), expected);
    Cell past = text("ab");
    past.data1 = 5;
    EXPECT_EQ(murmur3::hash_string(past, true), murmur3::hash("", 0, murmur3::kSeed));
}

TEST_F(Tables, StringsDifferingOnlyInCaseHashEqualWithoutTheCaseFlag) {
    struct Pair { std::u32string_view a, b; uint32_t unit; };
    const Pair kPairs[] = {
        {U"kaz", U"KAZ", 1},
        {U"d\u00E9j\u00E0 vu", U"D\u00C9J\u00C0 VU", 1},
        {U"\u03B1\u03B2\u03B3", U"\u0391\u0392\u0393", 2},
        {U"\U00010428x", U"\U00010400X", 4},
    };
    for (auto [a, b, unit] : kPairs) {
        Cell x = text(a, unit), y = text(b, unit);
        EXPECT_EQ(hash_value(x, false), hash_value(y, false));
        EXPECT_NE(hash_value(x, true), hash_value(y, true));
    }
    // Every text type hashes as a string.
    EXPECT_EQ(hash_value(text(U"a/b", 1, TypeId::file), false), hash_value(text(U"A/B", 1, TypeId::url), false));
}

// One-byte text is hashed through per-byte tables: every Latin-1 code point, folded or not, must
// hash as it does in a wide buffer (which folds it one code point at a time).
TEST_F(Tables, EveryByteHashesAsTheSameCodePointInAWideBuffer) {
    std::u32string all;
    for (char32_t c = 0; c < 256; ++c) all += c;
    for (bool case_sensitive : {true, false}) {
        for (char32_t c : all) {
            std::u32string one(3, c);
            EXPECT_EQ(murmur3::hash_string(text(one, 1), case_sensitive), murmur3::hash_string(text(one, 4), case_sensitive))
                << "code point " << uint32_t(c) << (case_sensitive ? " exact" : " folded");
        }
        EXPECT_EQ(murmur3::hash_string(text(all, 1), case_sensitive), murmur3::hash_string(text(all, 2), case_sensitive));
    }
}

// Bytes a caller already holds hash as the same text in a buffer of any unit, for every length
// around the four code points a turn the byte loop takes.
TEST_F(Tables, NarrowTextHashesAsItsString) {
    const char kText[] = "Key\xE9-12345";
    for (uint32_t n = 0; n < sizeof kText; ++n) {
        std::u32string wide;
        for (uint32_t i = 0; i < n; ++i) wide += char32_t(uint8_t(kText[i]));
        for (bool case_sensitive : {true, false}) {
            SCOPED_TRACE(testing::Message() << n << (case_sensitive ? " exact" : " folded"));
            EXPECT_EQ(murmur3::hash_narrow_text(reinterpret_cast<const uint8_t*>(kText), n, case_sensitive),
                      murmur3::hash_string(text(wide, 4), case_sensitive));
        }
    }
}

TEST_F(Tables, ValueHashByDatatype) {
    using murmur3::mix_int;
    auto bytes_hash = [](const void* p, size_t n) { return int32_t(murmur3::hash_bytes(p, n)); };
    Cell blk = block_cell(block_of({}));
    Cell f = cell::float_(2.5);
    EXPECT_EQ(hash_value(cell::unset(), false), -2);
    EXPECT_EQ(hash_value(cell::none(), false), -1);
    EXPECT_EQ(hash_value(cell::integer(42), false), int32_t(mix_int(42)));
    EXPECT_EQ(hash_value(cell::make(TypeId::char_, 0, 'x'), false), int32_t(mix_int('x')));
    EXPECT_EQ(hash_value(cell::logic(true), false), int32_t(mix_int(1)));
    EXPECT_EQ(hash_value(cell::make(TypeId::action, 0, 0, 9), false), int32_t(mix_int(9)));
    EXPECT_EQ(hash_value(blk, false), bytes_hash(&blk.data1, 8));
    EXPECT_EQ(hash_value(f, false), bytes_hash(&f.data2, 8));
    Cell ts = cell::make(TypeId::typeset, 1, 2, 3);
    EXPECT_EQ(hash_value(ts, false), bytes_hash(&ts.data1, 12));
    EXPECT_EQ(hash_value(cell::make(TypeId::bitset, 1, 2, 3), false), 0);

    // A tuple hashes as many bytes as it holds.
    Cell t1 = cell::make(TypeId::tuple, 0x04030201, 0xAAAA, 0), t2 = cell::make(TypeId::tuple, 0x04030201, 0xBBBB, 0);
    t1.header |= 3u << 19;
    t2.header |= 3u << 19;
    EXPECT_EQ(hash_value(t1, false), hash_value(t2, false));
    EXPECT_EQ(hash_value(t1, false), bytes_hash("\x01\x02\x03", 3));

    // money! ignores every header flag but its sign.
    Cell m = cell::make(TypeId::money, 5, 6, 7);
    Cell flagged = m;
    flagged.header |= cell_flag::new_line;
    Cell negative = m;
    negative.header |= 1u << 14;
    EXPECT_EQ(hash_value(m, false), hash_value(flagged, false));
    EXPECT_NE(hash_value(m, false), hash_value(negative, false));

    // binary! from its head.
    Cell bin = text("\x01\x02\x03\x04");
    cell::set_type(bin, TypeId::binary);
    bin.data1 = 1;
    EXPECT_EQ(hash_value(bin, false), bytes_hash("\x02\x03\x04", 3));

    // symbol!: its UTF-8 name with ASCII lowered.
    Cell sym = cell::make(TypeId::symbol, uint32_t(-1), 0, text("HeLLo-\xC3\x89").data2);
    EXPECT_EQ(hash_value(sym, false), bytes_hash("hello-\xC3\x89", 8));

    // Words of every kind hash by their canonical symbol.
    runtime_hooks.canonical_symbol = [](uint32_t id) { return id == 501 ? 500u : id; };
    EXPECT_EQ(hash_value(word(500), false), hash_value(word(501, TypeId::set_word), false));
    EXPECT_EQ(hash_value(word(500), false), int32_t(mix_int(500)));
    EXPECT_NE(hash_value(word(500), false), hash_value(word(502), false));
}

// ---- the table core ----

TEST(HashTable, RoundUpPow2) {
    const std::pair<uint32_t, uint32_t> kCases[] = {{1, 1}, {2, 2}, {3, 4}, {5, 8}, {1024, 1024},
                                                     {1025, 2048}, {0x80000000u, 0x80000000u}};
    for (auto [n, pow2] : kCases) EXPECT_EQ(round_up_pow2(n), pow2) << n;
}

TEST(HashTable, SizesAndFields) {
    struct Case { uint32_t size; uint32_t kind; uint32_t extra; uint32_t buckets; uint32_t upper; };
    const Case kCases[] = {
        {0, kMap, 0, 4, 3},         {1, kMap, 0, 4, 3},     {3, kHash, 0, 4, 3},
        {4, kMap, 0, 8, 6},         {100, kHash, 0, 256, 197}, {3999, kWords, 1, 8192, 6307},
        {4000, kWords, 1, 16384, 12615}, {1000, kOwnership, 3, 2048, 1576},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " kind " << c.kind);
        Node n = make(c.size, nullptr, c.kind, c.extra);
        const Table& t = record(n);
        EXPECT_EQ(t.buckets, c.buckets);
        EXPECT_EQ(t.upper, c.upper);
        EXPECT_EQ(t.kind, c.kind);
        EXPECT_EQ(t.count, 0u);
        EXPECT_EQ(t.occupied, 0u);
        for (uint32_t b = 0; b < t.buckets; ++b) ASSERT_EQ(bucket_state(t, b), kEmpty);
        EXPECT_EQ(memory::buffer_of(t.block)->unit(), 16u);
        if (c.kind >= kIntegers) {
            EXPECT_EQ(t.index, c.extra * 16 + 16);
            EXPECT_EQ(t.stamp, 1u);
        } else {
            EXPECT_EQ(t.stamp, 0u);
        }
        if (c.kind == kHash) {
            SeriesBuffer* index = memory::buffer_of(t.index);
            ASSERT_GE(index->used(), std::max(c.size, 4u) * 4);
            for (uint8_t* p = index->head; p < index->tail; ++p) ASSERT_EQ(*p, 0xFF);
            EXPECT_EQ(array::length(t.chain), 0u);
        }
    }
}

TEST_F(Tables, ResizeThatWouldNotFitLeavesTheTableAlone) {
    Node block = block_of({});
    Cell cell = block_cell(block);
    Node n = make(40, &cell, kMap, 0);
    for (int i = 0; i < 40; ++i) {
        append(n, cell::integer(i));
        put(n, append(n, cell::integer(i * 10)) - 1);
    }
    Table before = record(n);
    resize(n, 32);  // upper 25 < 40 entries
    EXPECT_EQ(std::memcmp(&record(n), &before, sizeof before), 0);
    resize(n, 1000);
    EXPECT_EQ(record(n).buckets, 1024u);
    EXPECT_EQ(record(n).upper, 788u);
    resize(n, 60);
    EXPECT_EQ(record(n).buckets, 64u);
    for (int i = 0; i < 40; ++i) {
        Cell* k = find(n, cell::integer(i), 0, 1, CompareOp::equal, false, false);
        ASSERT_NE(k, nullptr) << i;
        EXPECT_EQ(int32_t(k[1].data2), i * 10);
    }
}

// Fills a table through `add` until it grows; returns the bucket counts before and after.
template <typename Add>
std::pair<uint32_t, uint32_t> grow_once(Node table, Add add) {
    uint32_t before = record(table).buckets;
    for (int i = 0; record(table).buckets == before; ++i) {
        EXPECT_LT(i, 100000) << "never grew";
        add(i);
    }
    return {before, record(table).buckets};
}

TEST_F(Tables, GrowthRulePerKind) {
    {
        SCOPED_TRACE("map: doubles");
        Cell c = block_cell(block_of({}));
        Node n = make(10, &c, kMap, 0);
        auto [before, after] = grow_once(n, [&](int i) {
            put(n, append(n, cell::integer(i)));
            append(n, cell::none());
        });
        EXPECT_EQ(after, before * 2);
    }
    {
        SCOPED_TRACE("words: (buckets + 1) x 16, rounded up");
        Cell c = block_cell(block_of({}));
        Node n = make(10, &c, kWords, 1);
        auto [before, after] = grow_once(n, [&](int i) {
            append(n, word(uint32_t(1000 + i)));
            grow_if_full(n);
            Table& t = record(n);
            uint32_t b = find_empty_bucket(n, uint32_t(hash_value(word(uint32_t(1000 + i)), false)));
            fill_bucket(t, b, length_of(n) - 1, uint32_t(hash_value(word(uint32_t(1000 + i)), false)));
            ++t.count;
            ++t.occupied;
        });
        EXPECT_EQ(after, round_up_pow2((before + 1) * 16));
        // Every word is still found where it was put.
        for (uint32_t p = 0; p < length_of(n); ++p) {
            Cell* w = find(n, *cell_at(n, p), 0, 1, CompareOp::strict_equal, false, false);
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(position_of(n, w), p);
        }
    }
    {
        SCOPED_TRACE("integer keys: doubles when more than half the buckets are live");
        Node n = make(10, nullptr, kIntegers, 1);
        auto [before, after] = grow_once(n, [&](int i) { put_int_key(n, uint32_t(7 * i + 1))->data2 = uint32_t(i); });
        EXPECT_EQ(after, before * 2);
    }
    {
        SCOPED_TRACE("hash!: rebuilt for its block, the caller told to stop");
        Cell c = block_cell(block_of({}));
        Node n = make(10, &c, kHash, 0);
        int32_t rebuilt = 0;
        uint32_t before = record(n).buckets;
        int i = 0;
        for (; rebuilt != 2; ++i) {
            ASSERT_LT(i, 1000);
            Cell* item = append(n, cell::integer(i % 5 == 0 ? 0 : i));
            EXPECT_EQ(position_of(n, put_rebuilding(n, item, &rebuilt)), uint32_t(i));
        }
        EXPECT_GT(record(n).buckets, before);
        EXPECT_EQ(found_positions(n, cell::integer(0)), brute_positions(n, cell::integer(0)));
        for (int j = 1; j < i; ++j)
            if (j % 5) {
                ASSERT_EQ(found_positions(n, cell::integer(j)), std::vector<uint32_t>{uint32_t(j)});
            }
    }
}

// ---- map! ----

TEST_F(Tables, MapKeepsOneEntryPerKey) {
    Cell c = block_cell(block_of({}));
    Node n = make(4, &c, kMap, 0);
    uint32_t first = position_of(n, put(n, append(n, text("key"))));
    append(n, cell::integer(1));
    // The same key again: the entry found is the first key cell; nothing new is counted.
    EXPECT_EQ(position_of(n, put(n, append(n, text("key")))), first);
    append(n, cell::integer(2));
    EXPECT_EQ(record(n).count, 1u);
    // A key equal only without case is another entry: puts compare strictly.
    put(n, append(n, text("KEY")));
    append(n, cell::integer(3));
    EXPECT_EQ(record(n).count, 2u);
    Cell* k = find(n, text("KEY"), 0, 1, CompareOp::strict_equal, false, false);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(position_of(n, k), 4u);
    EXPECT_NE(find(n, text("Key"), 0, 1, CompareOp::equal, false, false), nullptr);
    EXPECT_EQ(find(n, text("Key"), 0, 1, CompareOp::strict_equal, false, false), nullptr);
}

// Every case variant of a text hashes alike, so a map holding many of them has buckets whose
// kept hash matches the key's and whose key is still another: only the stored cell tells.
TEST_F(Tables, KeysOfOneHashAreToldApartByTheirCells) {
    std::vector<std::string> variants;
    for (uint32_t bits = 0; bits < 64; ++bits) {
        std::string v = "kazmap";
        for (uint32_t i = 0; i < 6; ++i)
            if (bits & (1u << i)) v[i] = char(v[i] - 32);
        variants.push_back(v);
    }
    uint32_t hash = uint32_t(hash_value(text(variants[0]), false));
    for (const std::string& v : variants) ASSERT_EQ(uint32_t(hash_value(text(v), false)), hash) << v;

    Cell c = block_cell(block_of({}));
    Node n = make(0, &c, kMap, 0);  // grows several times on the way
    for (uint32_t i = 0; i < variants.size(); ++i) {
        Cell* k = put(n, append(n, text(variants[i])));
        ASSERT_EQ(position_of(n, k), 2 * i) << variants[i] << " taken for another key";
        append(n, cell::integer(int32_t(i)));
    }
    EXPECT_EQ(record(n).count, 64u);
    EXPECT_GT(record(n).buckets, 64u);
    for (uint32_t i = 0; i < variants.size(); ++i) {
        Cell* k = find(n, text(variants[i]), 0, 1, CompareOp::strict_equal, false, false);
        ASSERT_NE(k, nullptr) << variants[i];
        EXPECT_EQ(position_of(n, k), 2 * i);
        EXPECT_EQ(int32_t(k[1].data2), int32_t(i));
    }
    EXPECT_EQ(find(n, text("kazmaq"), 0, 1, CompareOp::equal, false, false), nullptr);
    // Without case every variant is equal: the walk meets each once.
    std::set<uint32_t> met;
    int32_t bucket = -1, end = 0, step = 0;
    while (Cell* k = find_next(n, text("KAZMAP"), bucket, end, step)) EXPECT_TRUE(met.insert(position_of(n, k)).second);
    EXPECT_EQ(met.size(), 64u);
}

TEST_F(Tables, IndexingAMapBlockKeepsTheLaterValueOfARepeatedKey) {
    Node block = block_of({text("a"), cell::integer(1), text("b"), cell::integer(2), text("a"),
                           cell::integer(3), cell::integer(7), cell::integer(70), text("a"), cell::integer(4)});
    Cell c = block_cell(block);
    Node n = make(5, &c, kMap, 0);
    ASSERT_EQ(length_of(n), 6u);  // the two repeated pairs left the block
    EXPECT_EQ(record(n).count, 3u);
    const std::pair<Cell, int32_t> kExpect[] = {{text("a"), 4}, {text("b"), 2}, {cell::integer(7), 70}};
    for (auto& [key, value] : kExpect) {
        Cell* k = find(n, key, 0, 1, CompareOp::strict_equal, false, false);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(int32_t(k[1].data2), value);
    }
    EXPECT_EQ(int32_t(cell_at(n, 5)->data2), 70);
}

TEST_F(Tables, MapWordKeysAreLookedUpAsSetWords) {
    Node block = block_of({word(10, TypeId::set_word), cell::integer(1)});
    Cell c = block_cell(block);
    Node n = make(2, &c, kMap, 0);
    for (TypeId t : {TypeId::word, TypeId::set_word, TypeId::lit_word, TypeId::get_word}) {
        Cell* k = find(n, word(10, t), 0, 1, CompareOp::equal, false, false);
        ASSERT_NE(k, nullptr) << int(t);
        EXPECT_EQ(int32_t(k[1].data2), 1);
    }
    EXPECT_EQ(find(n, word(11), 0, 1, CompareOp::equal, false, false), nullptr);
    // Other keys are not converted: a refinement is not a set-word.
    EXPECT_EQ(find(n, word(10, TypeId::refinement), 0, 1, CompareOp::equal, false, false), nullptr);
}

TEST_F(Tables, MapDeleteClearsTheValueOnce) {
    Node block = block_of({text("a"), cell::integer(1), text("b"), cell::integer(2)});
    Cell c = block_cell(block);
    Node n = make(2, &c, kMap, 0);
    Cell* k = find(n, text("a"), 0, 1, CompareOp::strict_equal, false, false);
    delete_(n, k);
    EXPECT_EQ(cell_at(n, 1)->header, 0u);
    EXPECT_EQ(record(n).count, 1u);
    delete_(n, cell_at(n, 0));  // removed already: counted once
    EXPECT_EQ(record(n).count, 1u);
    // The bucket stays live: the key is still found, its pair marked removed.
    EXPECT_NE(find(n, text("a"), 0, 1, CompareOp::strict_equal, false, false), nullptr);
    EXPECT_EQ(record(n).occupied, 2u);
}

TEST_F(Tables, FindNextWalksEveryEqualKeyOfTheProbe) {
    Cell c = block_cell(block_of({}));
    Node n = make(8, &c, kMap, 0);
    for (auto s : {"abc", "ABC", "xyz", "Abc"}) {
        put(n, append(n, text(s)));
        append(n, cell::none());
    }
    std::set<uint32_t> seen;
    int32_t bucket = -1, end = 0, step = 0;
    while (Cell* k = find_next(n, text("aBc"), bucket, end, step)) seen.insert(position_of(n, k));
    EXPECT_EQ(seen, (std::set<uint32_t>{0, 2, 6}));
}

// ---- hash! ----

TEST_F(Tables, HashFindsEachEqualItemFromAdvancingHeads) {
    Node block = block_of({text("x"), text("y"), text("x"), text("z"), text("X"), text("y")});
    Cell c = block_cell(block, TypeId::hash);
    Node n = make(6, &c, kHash, 0);
    EXPECT_EQ(found_positions(n, text("x")), (std::vector<uint32_t>{0, 2, 4}));
    EXPECT_EQ(found_positions(n, text("y")), (std::vector<uint32_t>{1, 5}));
    EXPECT_EQ(found_positions(n, text("w")), std::vector<uint32_t>{});

    struct Case { uint32_t head, skip; CompareOp op; bool reverse; int32_t position; };
    const Case kCases[] = {
        {3, 1, CompareOp::equal, false, 4},
        {3, 1, CompareOp::strict_equal, false, -1},  // "X" is equal only without case
        {1, 1, CompareOp::strict_equal, false, 2},
        {0, 2, CompareOp::equal, false, 0},
        {1, 2, CompareOp::equal, false, -1},         // odd distances from 1: positions 2 and 4 are even
        {1, 3, CompareOp::equal, false, 4},
        {6, 1, CompareOp::equal, true, 4},
        {4, 1, CompareOp::equal, true, 2},
        {4, 1, CompareOp::strict_equal, true, 2},
        {0, 1, CompareOp::equal, true, -1},
        {5, 3, CompareOp::equal, true, 2},
    };
    for (const Case& k : kCases) {
        SCOPED_TRACE(testing::Message() << "head " << k.head << " skip " << k.skip << " reverse " << k.reverse);
        Cell* hit = find(n, text("x"), k.head, k.skip, k.op, false, k.reverse);
        EXPECT_EQ(hit ? int32_t(position_of(n, hit)) : -1, k.position);
    }
}

TEST_F(Tables, RemovingOneOfTwoEqualItemsKeepsTheOther) {
    Node block = block_of({text("a"), text("b"), text("A")});
    Cell c = block_cell(block, TypeId::hash);
    Node n = make(3, &c, kHash, 0);
    EXPECT_EQ(record(n).count, 2u);  // two buckets: "a" with "A", and "b"
    delete_(n, cell_at(n, 0));
    EXPECT_EQ(found_positions(n, text("a")), std::vector<uint32_t>{2});
    EXPECT_EQ(record(n).count, 2u);
    delete_(n, cell_at(n, 2));
    EXPECT_EQ(found_positions(n, text("a")), std::vector<uint32_t>{});
    EXPECT_EQ(record(n).count, 1u);
    delete_(n, cell_at(n, 2));  // not indexed any more: nothing
    EXPECT_EQ(record(n).count, 1u);
    // The freed bucket takes the item again.
    put(n, cell_at(n, 0));
    EXPECT_EQ(found_positions(n, text("a")), std::vector<uint32_t>{0});
    remove_items(n, 0, 3);
    EXPECT_EQ(record(n).count, 0u);
    EXPECT_EQ(record(n).occupied, 0u);
    EXPECT_EQ(found_positions(n, text("b")), std::vector<uint32_t>{});
}

// Edits a hash! block the way the block actions do and checks every key against a linear
// search after each edit.
TEST_F(Tables, HashPositionsFollowInsertionsRemovalsAndMoves) {
    std::mt19937 rng(42);
    Cell c = block_cell(block_of({}), TypeId::hash);
    Node n = make(8, &c, kHash, 0);
    auto key = [&] { return cell::integer(int32_t(rng() % 12)); };
    for (int i = 0; i < 40; ++i) put(n, append(n, key()));
    auto check = [&](const char* what) {
        for (int32_t k = 0; k < 12; ++k)
            ASSERT_EQ(found_positions(n, cell::integer(k)), brute_positions(n, cell::integer(k))) << what << " key " << k;
    };
    check("filled");
    for (int round = 0; round < 60; ++round) {
        uint32_t len = length_of(n);
        switch (round % 3) {
            case 0: {  // insert 1 to 3 cells
                uint32_t at = rng() % (len + 1), k = 1 + rng() % 3;
                for (uint32_t i = 0; i < k; ++i) append(n, cell::none());
                Cell* cells = block_buffer(n)->cells();
                std::memmove(cells + at + k, cells + at, (len - at) * sizeof(Cell));
                ASSERT_EQ(shift_indexes(n, int32_t(k), at, len - at, true), 0);
                for (uint32_t i = 0; i < k; ++i) {
                    *cell_at(n, at + i) = key();
                    int32_t rebuilt = 0;
                    put_rebuilding(n, cell_at(n, at + i), &rebuilt);
                    if (rebuilt == 2) break;
                }
                check("insert");
                break;
            }
            case 1: {  // remove 1 to 3 cells
                uint32_t k = 1 + rng() % 3;
                if (len < k + 1) break;
                uint32_t at = rng() % (len - k + 1);
                remove_items(n, at, k);
                Cell* cells = block_buffer(n)->cells();
                std::memmove(cells + at, cells + at + k, (len - at - k) * sizeof(Cell));
                block_buffer(n)->tail -= k * sizeof(Cell);
                ASSERT_EQ(shift_indexes(n, -int32_t(k), at + k, len - at - k, true), 0);
                check("remove");
                break;
            }
            default: {  // move a run of cells
                uint32_t k = 1 + rng() % 4;
                if (len < k + 1) break;
                uint32_t from = rng() % (len - k + 1), to = rng() % (len - k + 1);
                std::vector<Cell> all(block_buffer(n)->cells(), block_buffer(n)->cells_end());
                std::vector<Cell> run(all.begin() + from, all.begin() + from + k);
                all.erase(all.begin() + from, all.begin() + from + k);
                all.insert(all.begin() + to, run.begin(), run.end());
                std::copy(all.begin(), all.end(), block_buffer(n)->cells());
                move_items(n, to, from, k);
                check("move");
                break;
            }
        }
    }
    EXPECT_EQ(shift_indexes(n, 1, 0, 30001, true), 1);
}

TEST_F(Tables, HashCopyIsIndependentOfTheOriginal) {
    Node block = block_of({text("a"), text("a"), text("b")});
    Cell c = block_cell(block, TypeId::hash);
    Node n = make(3, &c, kHash, 0);
    Node dup = copy(n, series::copy_range(block, 0, 3));
    put(dup, append(dup, text("a")));
    delete_(dup, cell_at(dup, 0));
    EXPECT_EQ(found_positions(n, text("a")), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(found_positions(dup, text("a")), (std::vector<uint32_t>{1, 3}));
    clear(dup);
    EXPECT_EQ(found_positions(dup, text("b")), std::vector<uint32_t>{});
    EXPECT_EQ(found_positions(n, text("b")), std::vector<uint32_t>{2});
    put(dup, cell_at(dup, 2));
    EXPECT_EQ(found_positions(dup, text("b")), std::vector<uint32_t>{2});
}

// ---- integer keys ----

TEST_F(Tables, IntegerKeysPutGetDelete) {
    Node n = make(16, nullptr, kIntegers, 2);
    for (uint32_t k = 1; k <= 12; ++k) {
        Cell* v = put_int_key(n, k * 1000);
        EXPECT_EQ(v[0].header, 2u);
        EXPECT_EQ(v[-1].data1, k * 1000);
        v[0] = cell::integer(int32_t(k));
        v[1] = cell::integer(-int32_t(k));
    }
    EXPECT_EQ(record(n).count, 12u);
    Cell* v = get_int_key(n, 5000);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(int32_t(v[1].data2), -5);
    EXPECT_EQ(get_int_key(n, 5001), nullptr);
    // A key put again keeps its record, its headers reset.
    Cell* again = put_int_key(n, 5000);
    EXPECT_EQ(again, v);
    EXPECT_EQ(again[0].header, 2u);
    EXPECT_EQ(record(n).count, 12u);
    Cell* gone = delete_int_key(n, 7000);
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(gone[-1].header, 0u);
    EXPECT_EQ(get_int_key(n, 7000), nullptr);
    EXPECT_EQ(delete_int_key(n, 7000), nullptr);
    EXPECT_EQ(record(n).count, 11u);
    // The deleted record is reused when the key comes back on its bucket.
    uint32_t used = block_buffer(n)->used();
    Cell* back = put_int_key(n, 7000);
    EXPECT_EQ(back, gone);
    EXPECT_EQ(block_buffer(n)->used(), used);
    clear(n);
    EXPECT_EQ(get_int_key(n, 1000), nullptr);
    EXPECT_EQ(block_buffer(n)->used(), 0u);
}

// Puts, deletes and lookups in random order against a model: deleted buckets are reused by other
// keys, and the table is rebuilt at the same size or doubled as the growth points come, every
// key found through all of it.
TEST_F(Tables, RecordTablesFollowAModelThroughDeletesAndGrowth) {
    Node n = make(4, nullptr, kIntegers, 1);
    std::map<uint32_t, int32_t> model;
    std::mt19937 random(25);
    std::set<uint32_t> sizes;
    for (int32_t op = 0; op < 20000; ++op) {
        uint32_t key = random() % 3000 * 7919;
        uint32_t what = random() % 10;
        if (what < 5) {
            put_int_key(n, key)->data2 = uint32_t(op);
            model[key] = op;
        } else if (what < 8) {
            Cell* gone = delete_int_key(n, key);
            ASSERT_EQ(gone != nullptr, model.erase(key) == 1) << "op " << op;
        } else {
            Cell* v = get_int_key(n, key);
            auto it = model.find(key);
            ASSERT_EQ(v != nullptr, it != model.end()) << "op " << op;
            if (v) {
                ASSERT_EQ(int32_t(v->data2), it->second);
            }
        }
        sizes.insert(record(n).buckets);
        if (op % 2000 == 0 || op == 19999) {
            ASSERT_EQ(record(n).count, model.size());
            ASSERT_LT(record(n).occupied, record(n).upper + 1);
            for (auto [k, value] : model) {
                Cell* v = get_int_key(n, k);
                ASSERT_NE(v, nullptr) << k;
                ASSERT_EQ(int32_t(v->data2), value);
            }
        }
    }
    EXPECT_GT(sizes.size(), 3u);
}

TEST_F(Tables, RecordTablesRebuildCompactlyKeepingOrderAndValues) {
    struct Live { uint32_t key; int32_t a, b; };
    auto put_values = [](Node n, uint32_t key) {
        Cell* v = put_int_key(n, key);
        v[0] = cell::integer(int32_t(key * 3));
        v[1] = cell::integer(int32_t(key * 5));
    };
    // The records in use, in block order.
    auto live_records = [](Node n) {
        std::vector<Live> out;
        SeriesBuffer* b = block_buffer(n);
        for (const Cell* r = b->cells(); r < b->cells_end(); r += 3)
            if (r->header == 2) out.push_back({r->data1, int32_t(r[1].data2), int32_t(r[2].data2)});
        return out;
    };
    for (bool sparse : {true, false}) {
        SCOPED_TRACE(sparse ? "few live keys: same size" : "many live keys: doubled");
        Node n = make(40, nullptr, kOwnership, 2);
        uint32_t buckets = record(n).buckets;  // 64, upper 49
        uint32_t next = 1;
        while (record(n).occupied + 1 < record(n).upper) put_values(n, next++);
        for (uint32_t k = 1; k < next; ++k)
            if (sparse ? k % 4 != 0 : k % 4 == 0) delete_int_key(n, k);
        // New keys until the table, full, is rebuilt: the new key goes in after the rebuild.
        Node old_block = record(n).block;
        std::vector<Live> expected;
        while (record(n).block == old_block) {
            expected = live_records(n);
            put_values(n, next);
            expected.push_back({next, int32_t(next * 3), int32_t(next * 5)});
            ++next;
        }
        EXPECT_EQ(record(n).buckets, sparse ? buckets : buckets * 2);
        EXPECT_EQ(record(n).count, expected.size());
        EXPECT_EQ(record(n).stamp, 1u);
        // Packed from the start of the new block, in their old order, each found by its key.
        ASSERT_EQ(block_buffer(n)->used(), expected.size() * 48);
        std::vector<Live> got = live_records(n);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].key, expected[i].key);
            EXPECT_EQ(got[i].a, expected[i].a);
            EXPECT_EQ(got[i].b, expected[i].b);
            ASSERT_EQ(get_int_key(n, got[i].key), block_buffer(n)->cells() + i * 3 + 1);
        }
        for (uint32_t k = 1; k < next; ++k) {
            bool alive = std::any_of(expected.begin(), expected.end(), [&](const Live& l) { return l.key == k; });
            ASSERT_EQ(get_int_key(n, k) != nullptr, alive) << k;
        }
    }
}

namespace {
uint32_t refresh_counter = 0;
bool collecting_now = false;
}  // namespace

TEST_F(Tables, AStaleStampRehashesBeforeTheNextLookup) {
    collector = CollectorLink{[] { return refresh_counter; }, [] { return collecting_now; }};
    refresh_counter = 4;
    Node n = make(8, nullptr, kIntegers, 1);
    EXPECT_EQ(record(n).stamp, 5u);
    for (uint32_t k = 1; k <= 5; ++k) put_int_key(n, k)->data2 = k;
    delete_int_key(n, 3);
    EXPECT_EQ(record(n).occupied, 5u);

    collecting_now = true;
    refresh_counter = 9;
    get_int_key(n, 1);
    EXPECT_EQ(record(n).stamp, 5u) << "no refresh while a collection runs";
    collecting_now = false;
    get_int_key(n, 1);
    EXPECT_EQ(record(n).stamp, 10u);
    EXPECT_EQ(record(n).count, 4u);
    EXPECT_EQ(record(n).occupied, 4u);  // the deleted bucket is gone
    for (uint32_t k : {1u, 2u, 4u, 5u}) EXPECT_EQ(get_int_key(n, k)->data2, k);
    EXPECT_EQ(get_int_key(n, 3), nullptr);

    // A hash! holding a node-hashed value is stamped, and rebuilt when the counter moves.
    Cell c = block_cell(block_of({cell::integer(1), block_cell(block_of({}))}), TypeId::hash);
    Node h = make(2, &c, kHash, 0);
    EXPECT_EQ(record(h).stamp, 10u);
    refresh(h);
    EXPECT_EQ(record(h).stamp, 10u);
    refresh_counter = 20;
    refresh(h);
    EXPECT_EQ(record(h).stamp, 21u);
    EXPECT_EQ(found_positions(h, cell::integer(1)), std::vector<uint32_t>{0});
}

// ---- collector hooks ----

namespace {
std::vector<Node> marked_series, marked_blocks;
std::set<Node> unmarked;
}  // namespace

TEST_F(Tables, MarkReachesEverySeriesOfATable) {
    Marker marker{[](Node n) { marked_series.push_back(n); }, [](Node n) { marked_blocks.push_back(n); }};
    Node block = block_of({text("a"), text("a"), text("b")});
    Cell c = block_cell(block, TypeId::hash);
    Node h = make(3, &c, kHash, 0);
    marked_series.clear();
    marked_blocks.clear();
    mark(h, marker);
    const Table& t = record(h);
    Node chain = array::pick_ptr(t.chain, 1);
    std::set<Node> want{h, t.index, t.chain, chain, t.slots};
    EXPECT_EQ(std::set<Node>(marked_series.begin(), marked_series.end()), want);
    EXPECT_EQ(marked_blocks, std::vector<Node>{block});

    Node o = make(4, nullptr, kOwnership, 3);
    Node cells_key = block_of({}), bytes_key = series::alloc_bytes(8);
    put_int_key(o, cells_key);
    put_int_key(o, bytes_key);
    put_int_key(o, 12345);  // not a node: not marked
    marked_series.clear();
    marked_blocks.clear();
    mark(o, marker);
    const Table& to = record(o);
    EXPECT_EQ(std::set<Node>(marked_series.begin(), marked_series.end()), (std::set<Node>{o, to.slots, bytes_key}));
    EXPECT_EQ(std::set<Node>(marked_blocks.begin(), marked_blocks.end()), (std::set<Node>{cells_key, to.block}));
}

TEST_F(Tables, SweepWeakDropsRecordsOfUnmarkedKeysOrOwners) {
    Node o = make(8, nullptr, kOwnership, 3);
    Node kept = series::alloc_bytes(8), lost = series::alloc_bytes(8), orphan = series::alloc_bytes(8);
    Node owner_ctx = block_of({}), dead_ctx = block_of({});
    for (auto [key, ctx] : {std::pair{kept, owner_ctx}, {lost, owner_ctx}, {orphan, dead_ctx}}) {
        Cell* v = put_int_key(o, key);
        v[1] = cell::make(TypeId::object, ctx, 0, 0);
    }
    unmarked = {lost, dead_ctx};
    sweep_weak(o, [](Node n) { return unmarked.count(n) == 0; });
    EXPECT_NE(get_int_key(o, kept), nullptr);
    EXPECT_EQ(get_int_key(o, lost), nullptr);
    EXPECT_EQ(get_int_key(o, orphan), nullptr);
    EXPECT_EQ(record(o).count, 1u);
    // The dropped records are free for the compacting rebuild.
    rebuild_records(o, record(o).buckets);
    EXPECT_EQ(block_buffer(o)->used(), 64u);
    EXPECT_NE(get_int_key(o, kept), nullptr);
}

namespace {
std::string printed;
}  // namespace

TEST_F(Tables, DumpListsDeletedThenLiveKeys) {
    Node n = make(4, nullptr, kIntegers, 0);
    put_int_key(n, 11);
    put_int_key(n, 22);
    delete_int_key(n, 11);
    printed.clear();
    print_hooks::TextHook hook = [](const char* t, size_t length, int) { printed.append(t, length); };
    print_hooks::add(nullptr, hook);
    dump(n);
    print_hooks::remove(nullptr, hook);
    EXPECT_EQ(printed, "\n== Deleted keys ==\n 11\n== Alive keys ==\n 22\n");
}

TEST_F(Tables, ClonedWordTableIsIndependent) {
    Node words = block_of({word(1), word(2)});
    Cell c = block_cell(words);
    Node n = make(8, &c, kWords, 1);
    Cell context = cell::make(TypeId::context, n, 0, 0);
    Node twin = make(8, &context, kWords, 2);
    EXPECT_NE(twin, n);
    EXPECT_NE(record(twin).block, record(n).block);
    append(twin, word(3));
    put(twin, cell_at(twin, 2));
    EXPECT_EQ(length_of(n), 2u);
    EXPECT_EQ(find(n, word(3), 0, 1, CompareOp::strict_equal, false, false), nullptr);
    EXPECT_NE(find(twin, word(3), 0, 1, CompareOp::strict_equal, false, false), nullptr);
    EXPECT_NE(find(twin, word(1), 0, 1, CompareOp::strict_equal, false, false), nullptr);
}

// ---- the collector's address map ----

TEST(IntMap, PutGetResize) {
    intmap::Map* m = intmap::make(0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->buckets, 8u);
    std::mt19937 rng(1);
    std::map<int32_t, int32_t> model;
    for (int i = 0; i < 20000; ++i) {
        int32_t k = int32_t(rng() % 30000) - 15000;
        ASSERT_TRUE(intmap::put(m, k, i));
        model[k] = i;
    }
    EXPECT_EQ(m->count, model.size());
    EXPECT_LT(m->occupied, m->buckets);
    for (auto [k, v] : model) {
        int32_t* got = intmap::get(m, k);
        ASSERT_NE(got, nullptr) << k;
        ASSERT_EQ(*got, v);
        ASSERT_GE(intmap::find(m, k), 0);
    }
    EXPECT_EQ(intmap::get(m, 99999), nullptr);
    EXPECT_EQ(intmap::find(m, 99999), -1);
    uint32_t buckets = m->buckets;
    EXPECT_EQ(intmap::resize(m, 8), 0);  // would not fit: nothing happens
    EXPECT_EQ(m->buckets, buckets);
    EXPECT_EQ(intmap::resize(m, buckets * 4), 0);
    EXPECT_EQ(m->buckets, buckets * 4);
    for (auto [k, v] : model) ASSERT_EQ(*intmap::get(m, k), v);
    intmap::free(m);
}
