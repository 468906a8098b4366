// symbol! — the symbol table: interning, case aliases, names.
#include "datatypes/symbol.h"

#include <cstring>
#include <string>

#include "datatypes/registry.h"
#include "runtime/case_fold.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"

namespace kaz::symbol {

Node block = kNoNode;
Node table = kNoNode;

namespace {

constexpr uint8_t lower_ascii(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; }

// A name folded to lower ASCII case for hashing, so every case variant of a name lies on
// the same probe sequence.
uint32_t folded_hash(std::string_view name) { return murmur3::hash_bytes_lowered(name.data(), name.size()); }

bool equal_names(std::string_view a, std::string_view b, bool case_sensitive) {
    if (a.size() != b.size()) return false;
    if (case_sensitive) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower_ascii(uint8_t(a[i])) != lower_ascii(uint8_t(b[i]))) return false;
    return true;
}

Cell* cells() { return memory::buffer_of(block)->cells(); }

std::string_view name_of_cell(const Cell& c) {
    SeriesBuffer* b = memory::buffer_of(c.data3);
    return {reinterpret_cast<const char*>(b->head), b->used()};
}

// The lookup behind every interning (the table grows first when full). Every case variant of
// a name lies on one probe sequence, so a single walk to its first empty bucket finds the name
// itself, its earliest variant (in probe order) and where a new name would go.
uint32_t intern_in_table(std::string_view name, bool caseless) {
    hashtable::grow_if_full(table);
    uint32_t h = folded_hash(name);
    uint32_t empty = uint32_t(-1);
    int64_t found = -1, variant = -1;
    {
        hashtable::Table& t = hashtable::record(table);
        uint32_t mask = t.buckets - 1;
        uint32_t start = h & mask, i = start, step = 1;
        const hashtable::Bucket* slots = hashtable::slots(t);
        const Cell* symbols = cells();
        uint32_t tag = hashtable::live_tag(h);
        for (;;) {
            hashtable::Bucket b = slots[i];
            if (b.tag == hashtable::kEmptyTag) {
                empty = i;
                break;
            }
            // The hash folds case: a bucket of another hash holds neither the name nor a variant.
            if (b.tag == tag) {
                std::string_view stored = name_of_cell(symbols[b.key]);
                if (equal_names(stored, name, !caseless)) {
                    found = b.key;
                    break;
                }
                if (!caseless && variant < 0 && equal_names(stored, name, false)) variant = b.key;
            }
            i = (i + step++) & mask;
            if (i == start) break;
        }
    }
    if (found >= 0) return uint32_t(found) + 1;
    int32_t alias = -1;
    if (!caseless && variant >= 0) alias = int32_t(variant) + 1;

    // Add: the name as a NUL-terminated byte series, then the cell, then the bucket.
    Node name_node = series::alloc_bytes(uint32_t(name.size()) + 1);
    SeriesBuffer* nb = memory::buffer_of(name_node);
    std::memcpy(nb->head, name.data(), name.size());
    nb->head[name.size()] = 0;
    nb->tail = nb->head + name.size();
    SeriesBuffer* sb = memory::buffer_of(block);
    Cell* c = series::reserve_cell(sb);
    *c = cell::make(TypeId::symbol, uint32_t(alias), 0, name_node);
    uint32_t position = sb->length() - 1;
    hashtable::Table& t = hashtable::record(table);
    if (empty == uint32_t(-1)) empty = hashtable::find_empty_bucket(table, h);
    hashtable::fill_bucket(t, empty, position, h);
    ++t.count;
    ++t.occupied;
    return position + 1;
}

}  // namespace

void make_block(Node root) {
    block = series::alloc_cells(kInitialSymbols);
    SeriesBuffer* r = memory::buffer_of(root);
    *series::reserve_cell(r) = cell::make(TypeId::block, 0, block, 0);
}

void make_table() {
    Cell symbols = cell::make(TypeId::block, 0, block, 0);
    table = hashtable::make(kInitialSymbols, &symbols, hashtable::kWords, 1);
}

uint32_t intern(std::string_view utf8) { return intern_in_table(utf8, false); }
uint32_t intern_caseless(std::string_view utf8) { return intern_in_table(utf8, true); }

Cell& get_cell(uint32_t id) {
    Cell& c = cells()[id - 1];
    make_string(c);
    return cells()[id - 1];
}

int32_t get_alias(uint32_t id) { return int32_t(cells()[id - 1].data1); }
std::string_view name(uint32_t id) { return name_of_cell(cells()[id - 1]); }
uint32_t count() { return memory::buffer_of(block)->length(); }
uint32_t hash(const Cell& symbol) { return folded_hash(name_of_cell(symbol)); }

void init() {
    // The UTF-8 name, and its string! form once made.
    gc::define_refs(TypeId::symbol, {.data2 = gc::Ref::series_opt, .data3 = gc::Ref::series});
    registry::define(TypeId::symbol, {.compare = compare});
}

}  // namespace kaz::symbol

namespace kaz::symbol {
namespace {

// The string! comparison of two UTF-8 names: code point by code point, folded to upper case
// unless the operation is case-sensitive; the lengths decide when one is a prefix.
int32_t compare_texts(std::string_view a, std::string_view b, CompareOp op) {
    bool folded = op != CompareOp::strict_equal && op != CompareOp::case_sort;
    uint32_t len_a = utf8::count_chars(reinterpret_cast<const uint8_t*>(a.data()),
                                       reinterpret_cast<const uint8_t*>(a.data() + a.size()));
    uint32_t len_b = utf8::count_chars(reinterpret_cast<const uint8_t*>(b.data()),
                                       reinterpret_cast<const uint8_t*>(b.data() + b.size()));
    bool equality = op == CompareOp::equal || op == CompareOp::not_equal ||
                    op == CompareOp::strict_equal || op == CompareOp::find;
    if (len_a != len_b && (equality || len_b == 0)) return 1;
    auto pa = reinterpret_cast<const uint8_t*>(a.data()), ea = pa + a.size();
    auto pb = reinterpret_cast<const uint8_t*>(b.data()), eb = pb + b.size();
    while (pa < ea && pb < eb) {
        int32_t ca, cb;
        pa = utf8::decode_char(pa, ea, ca);
        pb = utf8::decode_char(pb, eb, cb);
        uint32_t x = uint32_t(ca), y = uint32_t(cb);
        if (folded) {
            x = case_::upper_char(x);
            y = case_::upper_char(y);
        }
        if (x != y) return x > y ? 1 : -1;
    }
    return len_a > len_b ? 1 : len_a == len_b ? 0 : -1;
}

}  // namespace

int32_t compare_names(uint32_t a, uint32_t b, CompareOp op) { return compare_texts(name(a), name(b), op); }

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::symbol)) return kNotComparable;
    return compare_texts(name_of_cell(a), name_of_cell(b), op);
}

void make_string(Cell& symbol) {
    if (symbol.data2) return;
    std::string_view n = name_of_cell(symbol);
    // The name lives in a series: copy it out before loading allocates.
    std::string copy(n);
    Node s = string::load_utf8(reinterpret_cast<const uint8_t*>(copy.data()), uint32_t(copy.size()));
    symbol.data2 = s;
}

uint32_t from_string(const Cell& string) {
    Cell s = string;
    int32_t length = -1;
    const char* text = string::to_utf8(s, length);
    std::string copy(text, size_t(length));
    return intern(copy);
}

}  // namespace kaz::symbol
