// A map!-style table (kind 1 over a block of key and value cells) against
// std::unordered_map<std::string, int>: inserting and looking up 1M string keys, and 10,000
// (a table that stays in the caches).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "boot/boot.h"
#include "datatypes/registry.h"
#include "runtime/case_fold.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

using namespace kaz;

namespace {

constexpr int kKeys = 1'000'000;

std::vector<std::string> key_texts, probe_texts;
std::vector<Cell> key_cells, probe_cells;  // lookups use other strings of the same text

Cell string_of(const std::string& text) {
    Node s = series::alloc_bytes(uint32_t(text.size()));
    SeriesBuffer* b = memory::buffer_of(s);
    std::memcpy(b->head, text.data(), text.size());
    b->tail = b->head + text.size();
    return cell::make(TypeId::string, 0, s, 0);
}

// Keys such as "k3f2a9c1": distinct, of 8 to 9 characters, in no particular order.
void make_keys() {
    for (int i = 0; i < kKeys; ++i) {
        char text[16];
        int n = std::snprintf(text, sizeof text, "k%x", murmur3::mix_int(uint32_t(i)));
        key_texts.emplace_back(text, size_t(n));
        key_cells.push_back(string_of(key_texts.back()));
    }
    for (int i = 0; i < kKeys; ++i) {
        probe_texts.push_back(key_texts[size_t(i)]);
        probe_cells.push_back(string_of(probe_texts.back()));
    }
}

// The comparison of 1-byte strings that the benchmark needs, where string! has none yet:
// without case unless the operation is strict.
int32_t compare_bytes(const Cell& a, const Cell& b, CompareOp op) {
    SeriesBuffer* x = memory::buffer_of(a.data2);
    SeriesBuffer* y = memory::buffer_of(b.data2);
    uint32_t nx = x->used() - a.data1, ny = y->used() - b.data1;
    const uint8_t* p = x->head + a.data1;
    const uint8_t* q = y->head + b.data1;
    bool fold = op != CompareOp::strict_equal;
    for (uint32_t i = 0; i < nx && i < ny; ++i) {
        uint32_t c = p[i], d = q[i];
        if (fold) c = case_::upper_char(c), d = case_::upper_char(d);
        if (c != d) return c < d ? -1 : 1;
    }
    return nx < ny ? -1 : nx > ny ? 1 : 0;
}

// A table over a new block, filled with the first n keys (value: its number).
Node fill_map(int n) {
    Node block = series::alloc_cells(16);
    Cell c = cell::make(TypeId::block, 0, block, 0);
    Node table = hashtable::make(0, &c, hashtable::kMap, 0);
    SeriesBuffer* b = memory::buffer_of(block);
    for (int i = 0; i < n; ++i) {
        Cell* key = series::reserve_cell(b);
        *key = key_cells[size_t(i)];
        *series::reserve_cell(b) = cell::integer(i);
        hashtable::put(table, reinterpret_cast<Cell*>(b->tail) - 2);
        b = memory::buffer_of(block);
    }
    return table;
}

// Without a collector every iteration's series stay allocated: iteration counts are fixed
// to keep the memory of a run bounded.
void Insert_MapTable(benchmark::State& state) {
    int n = int(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(fill_map(n));
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(Insert_MapTable)->Arg(kKeys)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(Insert_MapTable)->Arg(10'000)->Iterations(500)->Unit(benchmark::kMicrosecond);

void Insert_UnorderedMap(benchmark::State& state) {
    int n = int(state.range(0));
    for (auto _ : state) {
        std::unordered_map<std::string, int> m;
        for (int i = 0; i < n; ++i) m.emplace(key_texts[size_t(i)], i);
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(Insert_UnorderedMap)->Arg(kKeys)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(Insert_UnorderedMap)->Arg(10'000)->Iterations(500)->Unit(benchmark::kMicrosecond);

void Lookup_MapTable(benchmark::State& state) {
    int n = int(state.range(0));
    Node table = fill_map(n);
    for (auto _ : state) {
        int64_t sum = 0;
        for (int i = 0; i < n; ++i) {
            Cell* k = hashtable::find(table, probe_cells[size_t(i)], 0, 1, CompareOp::equal, false, false);
            sum += int32_t(k[1].data2);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(Lookup_MapTable)->Arg(kKeys)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(Lookup_MapTable)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void Lookup_UnorderedMap(benchmark::State& state) {
    int n = int(state.range(0));
    std::unordered_map<std::string, int> m;
    for (int i = 0; i < n; ++i) m.emplace(key_texts[size_t(i)], i);
    for (auto _ : state) {
        int64_t sum = 0;
        for (int i = 0; i < n; ++i) sum += m.find(probe_texts[size_t(i)])->second;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(Lookup_UnorderedMap)->Arg(kKeys)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(Lookup_UnorderedMap)->Arg(10'000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    boot::run();
    if (!registry::actions(TypeId::string).compare) {
        ActionTable row = registry::actions(TypeId::string);
        row.compare = compare_bytes;
        registry::define(TypeId::string, exactly(row));
    }
    make_keys();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
