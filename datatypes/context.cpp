// context! — context records, word tables, lookup and binding.
#include "datatypes/context.h"

#include <cstdio>

#include "datatypes/cells.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "platform/process.h"
#include "runtime/cycles.h"
#include "runtime/gc.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"

namespace kaz::context {

Node global = kNoNode;
Node global_values = kNoNode;

namespace {

Cell* record(Node ctx) { return memory::buffer_of(ctx)->cells(); }
SeriesBuffer* words_buffer(Node ctx) {
    return memory::buffer_of(hashtable::record(context_cell::words(record(ctx)[0])).block);
}
SeriesBuffer* values_buffer(Node ctx) { return memory::buffer_of(context_cell::values(record(ctx)[0])); }

bool word_kind(TypeId t) { return t >= TypeId::word && t <= TypeId::refinement; }
bool block_kind(TypeId t) {
    return t == TypeId::block || t == TypeId::paren || t == TypeId::hash ||
           (t >= TypeId::path && t <= TypeId::get_path);
}

// Probes a word table for a symbol; returns the position, or -1 with the empty bucket where
// it would go.
int32_t probe(Node table, uint32_t symbol, bool canonical, uint32_t* empty_bucket) {
    hashtable::Table& t = hashtable::record(table);
    const Cell* symbols = memory::buffer_of(symbol::block)->cells();
    uint32_t want = symbol::canonical_in(symbols, symbol);
    uint32_t mask = t.buckets - 1;
    uint32_t hash = murmur3::mix_int(want), tag = hashtable::live_tag(hash);
    uint32_t start = hash & mask, i = start, step = 1;
    const hashtable::Bucket* slots = hashtable::slots(t);
    const Cell* words = memory::buffer_of(t.block)->cells();
    for (;;) {
        hashtable::Bucket b = slots[i];
        if (b.tag == hashtable::kEmptyTag) {
            if (empty_bucket) *empty_bucket = i;
            return -1;
        }
        // Only a bucket of the same hash can hold the symbol or one of its case variants.
        if (b.tag == tag) {
            uint32_t stored = word_cell::symbol(words[b.key]);
            if (stored == symbol || (canonical && symbol::canonical_in(symbols, stored) == want)) return int32_t(b.key);
        }
        i = (i + step++) & mask;
        if (i == start) {
            if (empty_bucket) *empty_bucket = uint32_t(-1);
            return -1;
        }
    }
}

// The value slot of the word just added at `position`. The values block is grown to reach it
// rather than appended to: reflection hands an object's values block out, and one a script
// shortened must still give each word its own slot, inside the block.
Cell* new_value_slot(Node ctx, uint32_t position) {
    SeriesBuffer* v = values_buffer(ctx);
    while (v->length() <= position) series::reserve_cell(v);
    Cell* slot = v->cells() + position;
    *slot = cell::unset();
    return slot;
}

void append_unset_value(Node ctx, uint32_t position) {
    if (!on_stack_q(ctx)) new_value_slot(ctx, position);
}

}  // namespace

// ---- making ----

Node make(uint32_t size, bool stack_values, bool flag24, Node copy_words_from, uint32_t kind) {
    if (size == 0) size = 1;
    Node ctx = series::alloc_cells(2);
    {
        SeriesBuffer* b = memory::buffer_of(ctx);
        Cell* c = reinterpret_cast<Cell*>(b->data());
        c[0] = cell::make(TypeId::context);
        c[1] = cell::unset();
        b->tail = b->head + 2 * sizeof(Cell);
    }
    Node table = copy_words_from ? hashtable::clone(context_cell::words(record(copy_words_from)[0]))
                                 : hashtable::make(size, nullptr, hashtable::kWords, 2);
    Node values = 0;
    if (stack_values) {
        values = 0;
    } else {
        values = series::alloc_cells_unset(size);
    }
    Cell& c = record(ctx)[0];
    c.header = uint32_t(TypeId::context) | (stack_values ? header::on_stack : 0) |
               (flag24 ? header::flag24 : 0) | ((kind << header::kind_shift) & header::kind_mask);
    if (kind == 4) c.header |= cell_flag::assigned;  // the clone's kind 4: kind 0 with bit 13
    context_cell::set(c, table, values);
    if (copy_words_from) {
        // The cloned words belong to the new context.
        SeriesBuffer* w = words_buffer(ctx);
        for (Cell* p = w->cells(); p < w->cells_end(); ++p) word_cell::bind(*p, ctx, word_cell::index(*p));
        if (!stack_values) {
            SeriesBuffer* v = values_buffer(ctx);
            v->tail = v->head + size_t(w->length()) * sizeof(Cell);
        }
    }
    return ctx;
}

Node make_from_spec(const Cell& spec, bool stack_values, bool flag24, uint32_t kind) {
    SeriesBuffer* s = memory::buffer_of(series_cell::node(spec));
    uint32_t head = series_cell::head(spec);
    uint32_t length = s->length() > head ? s->length() - head : 0;
    Node ctx = make(length, stack_values, flag24, 0, kind);
    uint32_t words = 0;
    for (uint32_t i = head;; ++i) {
        s = memory::buffer_of(series_cell::node(spec));
        if (i >= s->length()) break;
        Cell c = s->cells()[i];
        TypeId t = type_of(c);
        if (t == TypeId::word || t == TypeId::get_word || t == TypeId::lit_word || t == TypeId::refinement) {
            uint32_t added = uint32_t(-1);
            if (find_or_add_symbol(ctx, word_cell::symbol(c), true, &added) < 0 && added != uint32_t(-1)) ++words;
        }
    }
    if (!stack_values) {
        SeriesBuffer* v = values_buffer(ctx);
        v->tail = v->head + size_t(words) * sizeof(Cell);
    }
    return ctx;
}

Node clone_for_value(Cell& value, uint32_t kind) {
    Node old = object_cell::context(value);
    Cell& oc = cell_of(old);
    Node ctx = make(word_count(old), (oc.header & header::on_stack) != 0,
                    (oc.header & header::flag24) != 0, old, kind);
    object_cell::set_context(value, ctx);
    return ctx;
}

void make_global() {
    global = make(kGlobalWords, false, false, 0, plain);
    global_values = context_cell::values(cell_of(global));
}

// ---- access ----

void check_slot(Node ctx, uint32_t index, const Cell* slot) {
    if (!slot) return;
    bool inside;
    uint32_t words = word_count(ctx);
    if (on_stack_q(ctx)) {
        inside = index < words && slot < stack::data_end;
    } else {
        SeriesBuffer* v = values_buffer(ctx);
        inside = reinterpret_cast<const uint8_t*>(slot) >= v->data() &&
                 reinterpret_cast<const uint8_t*>(slot + 1) <= v->end();
    }
    if (inside) return;
    char text[160];
    int n = std::snprintf(text, sizeof text, "*** Slot %u asked of a context of %u words, outside its values\n",
                          index, words);
    platform::write_fd(2, text, size_t(n));
    runtime::quit(98, KAZ_CALLER_ADDRESS());
}

Node words_node(Node ctx) { return hashtable::record(context_cell::words(cell_of(ctx))).block; }
uint32_t word_count(Node ctx) { return words_buffer(ctx)->length(); }
Cell* word_at(Node ctx, uint32_t index) { return words_buffer(ctx)->cells() + index; }

int32_t find_symbol(Node ctx, uint32_t symbol, bool canonical) {
    return probe(context_cell::words(cell_of(ctx)), symbol, canonical, nullptr);
}

int32_t find_or_add_symbol(Node ctx, uint32_t symbol, bool canonical, uint32_t* added) {
    Node table = context_cell::words(cell_of(ctx));
    uint32_t bucket;
    int32_t found = probe(table, symbol, canonical, &bucket);
    if (found >= 0) return found;
    // The bucket found stands unless the table grows.
    if (hashtable::record(table).occupied >= hashtable::record(table).upper) {
        hashtable::grow_if_full(table);
        probe(table, symbol, canonical, &bucket);
    }
    uint32_t hash = murmur3::mix_int(symbol::canonical_id(symbol));
    if (bucket == uint32_t(-1)) bucket = hashtable::find_empty_bucket(table, hash);
    SeriesBuffer* w = memory::buffer_of(hashtable::record(table).block);
    uint32_t position = w->length();
    *series::reserve_cell(w) = cell::make(TypeId::word, ctx, symbol, position);
    hashtable::Table& t = hashtable::record(table);
    hashtable::fill_bucket(t, bucket, position, hash);
    ++t.count;
    ++t.occupied;
    if (added) *added = position;
    return -1;
}

uint32_t add_unset_word(Node ctx, const Cell& word) {
    uint32_t added = uint32_t(-1);
    int32_t found = find_or_add_symbol(ctx, word_cell::symbol(word), true, &added);
    if (found >= 0) return uint32_t(found);
    append_unset_value(ctx, added);
    return added;
}

Cell* add_word(Node ctx, const Cell& word, const Cell& value) {
    Cell copy = value;
    uint32_t added = uint32_t(-1);
    if (find_or_add_symbol(ctx, word_cell::symbol(word), true, &added) >= 0) return nullptr;
    Cell* slot = new_value_slot(ctx, added);
    *slot = copy;
    return slot;
}

void put_value(Node ctx, const Cell& word, const Cell& value) {
    Cell copy = value;
    uint32_t added = uint32_t(-1);
    int32_t found = find_or_add_symbol(ctx, word_cell::symbol(word), true, &added);
    if (found >= 0) {
        *value_at(ctx, uint32_t(found)) = copy;
        return;
    }
    *new_value_slot(ctx, added) = copy;
}

Cell* value_cell_of_symbol(uint32_t symbol, Node ctx) {
    if (on_stack_q(ctx)) ctx = global;
    return value_at(ctx, uint32_t(find_symbol(ctx, symbol, true)));
}

Cell find_word_or_global(Node ctx, uint32_t symbol) {
    int32_t i = find_symbol(ctx, symbol, false);
    if (i >= 0) return *word_at(ctx, uint32_t(i));
    return find_or_add_global(symbol, false, true);
}

Cell find_or_add_global(uint32_t symbol, bool canonical, bool copy) {
    uint32_t added = uint32_t(-1);
    int32_t found = find_or_add_symbol(global, symbol, canonical, &added);
    if (found >= 0) {
        Cell w = *word_at(global, uint32_t(found));
        // A case variant found: the requested name with the variant's slot.
        if (canonical && copy && word_cell::symbol(w) != symbol) word_cell::set_symbol(w, symbol);
        return w;
    }
    Cell* w = word_at(global, added);
    if (symbol::get_alias(symbol) > 0) {
        int32_t first = find_symbol(global, symbol, true);
        word_cell::bind(*w, word_cell::context(*w), uint32_t(first));
    }
    Cell result = *w;
    append_unset_value(global, added);
    return result;
}

// ---- binding ----

int32_t bind_word(Node ctx, Cell& word) {
    int32_t i = find_symbol(ctx, word_cell::symbol(word), true);
    if (i >= 0) word_cell::bind(word, ctx, uint32_t(i));
    return i;
}

namespace {

// A context of a few words (most functions') is searched by a scan of its words' canonical
// ids, gathered once for the whole walk, rather than by a hash probe per word. Only when no
// two of its words are case variants of each other: then at most one can match, and the scan
// finds the same position the probe would. A larger context (an object's) keeps the probe,
// behind a filter of its ids: most words met in a body are not the context's.
constexpr uint32_t kScanWords = 16;
constexpr uint32_t kFilterWords = 512;
constexpr uint32_t kFilterBits = 1024;

struct Binder {
    Node ctx;
    bool self;
    uint32_t count = 0;  // words to scan; kProbe to probe instead
    bool filtered = false;
    uint32_t ids[kScanWords];
    uint64_t filter[kFilterBits / 64] = {};
    static constexpr uint32_t kProbe = uint32_t(-1);

    const Cell* symbols;  // binding allocates nothing: the symbol cells stay put
    // Symbol ids are consecutive: their low bits spread well enough.
    static uint32_t bit_of(uint32_t id) { return id & (kFilterBits - 1); }
    void mark(uint32_t id) {
        uint32_t bit = bit_of(id);
        filter[bit >> 6] |= uint64_t(1) << (bit & 63);
    }
    bool maybe(uint32_t id) const {
        uint32_t bit = bit_of(id);
        return filter[bit >> 6] >> (bit & 63) & 1;
    }

    Binder(Node c, bool s) : ctx(c), self(s) {
        SeriesBuffer* w = words_buffer(ctx);
        uint32_t n = w->length();
        symbols = memory::buffer_of(symbol::block)->cells();
        const Cell* words = w->cells();
        count = kProbe;
        if (n > kFilterWords) return;
        filtered = true;
        for (uint32_t i = 0; i < n; ++i) mark(symbol::canonical_in(symbols, word_cell::symbol(words[i])));
        if (n > kScanWords) return;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t id = symbol::canonical_in(symbols, word_cell::symbol(words[i]));
            for (uint32_t k = 0; k < i; ++k)
                if (ids[k] == id) return;
            ids[i] = id;
        }
        count = n;
    }

    int32_t find(uint32_t symbol) const {
        if (!filtered) return find_symbol(ctx, symbol, true);
        uint32_t want = symbol::canonical_in(symbols, symbol);
        if (!maybe(want)) return -1;
        if (count == kProbe) return find_symbol(ctx, symbol, true);
        for (uint32_t k = 0; k < count; ++k)
            if (ids[k] == want) return int32_t(k);
        return -1;
    }
};

void bind_walk(const Cell& block, const Binder& binder) {
    Node n = series_cell::node(block);
    if (cycles::find_q(n)) return;
    cycles::push(n);
    const uint32_t self_symbol = sym::self;
    // Binding allocates nothing: the block stays where it is for the whole walk.
    SeriesBuffer* b = memory::buffer_of(n);
    Cell* cells = b->cells();
    const uint32_t length = b->length();
    for (uint32_t i = series_cell::head(block); i < length; ++i) {
        Cell& c = cells[i];
        TypeId t = type_of(c);
        if (block_kind(t)) {
            bind_walk(c, binder);
        } else if (word_kind(t)) {
            uint32_t symbol = word_cell::symbol(c);
            if (binder.self && t == TypeId::word && symbol == self_symbol) {
                word_cell::bind(c, binder.ctx, uint32_t(-1));
            } else {
                int32_t found = binder.find(symbol);
                if (found >= 0) word_cell::bind(c, binder.ctx, uint32_t(found));
            }
        }
    }
    cycles::pop();
}

}  // namespace

void bind_block(const Cell& block, Node ctx, bool self) { bind_walk(block, Binder(ctx, self)); }

bool collect_set_words(Node ctx, const Cell& block) {
    uint32_t before = word_count(ctx);
    for (uint32_t i = series_cell::head(block);; ++i) {
        SeriesBuffer* b = memory::buffer_of(series_cell::node(block));
        if (i >= b->length()) break;
        Cell c = b->cells()[i];
        if (is(c, TypeId::set_word)) add_unset_word(ctx, c);
    }
    return word_count(ctx) > before;
}

namespace {
// The word table; the values unless they live on the data stack; and, in a copy of the cell
// that a callable keeps, its context record.
void visit_refs(const Cell& c, const gc::RefVisitor& v) {
    v.table(context_cell::words(c));
    if (!(c.header & header::on_stack) && context_cell::values(c)) v.values(context_cell::values(c), context_cell::words(c));
    if (context_cell::record(c)) v.block(context_cell::record(c));
}
}  // namespace

void init() {
    gc::define_refs(TypeId::context, {.visit = visit_refs});
    registry::define(TypeId::context, {});
}

}  // namespace kaz::context
