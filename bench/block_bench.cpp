// Blocks through the action functions against std::vector: appending a million integers and
// summing them, and sorting a million random integers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "runtime/memory.h"

using namespace kaz;

namespace {

// Without a collector every iteration's series stay allocated: iteration counts are fixed to
// keep the memory of a run bounded.
constexpr int kCount = 1'000'000;

std::vector<int32_t> random_values() {
    std::mt19937 gen(12345);
    std::vector<int32_t> v(kCount);
    for (int32_t& x : v) x = int32_t(gen());
    return v;
}

void AppendSum_Block(benchmark::State& state) {
    for (auto _ : state) {
        Cell b;
        block::init_cell(b, 1);
        for (int i = 0; i < kCount; ++i) block::append(b, cell::integer(i), -1, false, 1, true);
        int64_t sum = 0;
        const Cell* c = series_::buffer(b)->cells();
        for (uint32_t i = 0, n = series_::total_length(b); i < n; ++i) sum += cell::get_integer(c[i]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(AppendSum_Block)->Iterations(10)->Unit(benchmark::kMillisecond);

void AppendSum_Vector(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<int32_t> v;
        for (int i = 0; i < kCount; ++i) v.push_back(i);
        int64_t sum = 0;
        for (int32_t x : v) sum += x;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(AppendSum_Vector)->Iterations(10)->Unit(benchmark::kMillisecond);

void Sort_Block(benchmark::State& state) {
    std::vector<int32_t> values = random_values();
    for (auto _ : state) {
        state.PauseTiming();
        Cell b;
        block::init_cell(b, kCount);
        SeriesBuffer* buf = series_::buffer(b);
        for (int32_t x : values) *series::reserve_cell(buf) = cell::integer(x);
        state.ResumeTiming();
        block::sort(b, {});
        benchmark::DoNotOptimize(series_::buffer(b)->head);
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(Sort_Block)->Iterations(5)->Unit(benchmark::kMillisecond);

void StableSort_Block(benchmark::State& state) {
    std::vector<int32_t> values = random_values();
    for (auto _ : state) {
        state.PauseTiming();
        Cell b;
        block::init_cell(b, kCount);
        SeriesBuffer* buf = series_::buffer(b);
        for (int32_t x : values) *series::reserve_cell(buf) = cell::integer(x);
        state.ResumeTiming();
        block::sort(b, {.stable = true});
        benchmark::DoNotOptimize(series_::buffer(b)->head);
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(StableSort_Block)->Iterations(5)->Unit(benchmark::kMillisecond);

void Sort_Vector(benchmark::State& state) {
    std::vector<int32_t> values = random_values();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<int32_t> v = values;
        state.ResumeTiming();
        std::sort(v.begin(), v.end());
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(Sort_Vector)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    boot::run();
    integer::init();
    series_::init();
    block::init();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
