// Series allocation and append growth against std::vector<Cell>.
#include <benchmark/benchmark.h>

#include <vector>

#include "boot/boot.h"
#include "runtime/memory.h"

using namespace kaz;

namespace {

// Without a collector every iteration's series stay allocated: iteration counts are fixed
// to keep the memory of a run bounded.
constexpr int kAppends = 1'000'000;

void AppendCells_Series(benchmark::State& state) {
    for (auto _ : state) {
        Node n = series::alloc_cells(1);
        SeriesBuffer* b = memory::buffer_of(n);
        for (int i = 0; i < kAppends; ++i) *series::reserve_cell(b) = cell::integer(i);
        benchmark::DoNotOptimize(b->tail);
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}
BENCHMARK(AppendCells_Series)->Iterations(20)->Unit(benchmark::kMillisecond);

void AppendCells_Vector(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<Cell> v;
        for (int i = 0; i < kAppends; ++i) v.push_back(cell::integer(i));
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}
BENCHMARK(AppendCells_Vector)->Iterations(20)->Unit(benchmark::kMillisecond);

constexpr int kSmall = 100'000;

void AllocSmall_Series(benchmark::State& state) {
    for (auto _ : state)
        for (int i = 0; i < kSmall; ++i) benchmark::DoNotOptimize(series::alloc_cells(4));
    state.SetItemsProcessed(state.iterations() * kSmall);
}
BENCHMARK(AllocSmall_Series)->Iterations(50)->Unit(benchmark::kMillisecond);

void AllocSmall_Vector(benchmark::State& state) {
    std::vector<std::vector<Cell>> keep;
    keep.reserve(size_t(kSmall) * 50);
    for (auto _ : state)
        for (int i = 0; i < kSmall; ++i) {
            keep.emplace_back();
            keep.back().reserve(4);
        }
    state.SetItemsProcessed(state.iterations() * kSmall);
}
BENCHMARK(AllocSmall_Vector)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    boot::run();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
