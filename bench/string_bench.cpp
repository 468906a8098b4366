// Appending short strings to a string!, against std::string.
#include <benchmark/benchmark.h>

#include <string>

#include "boot/boot.h"
#include "datatypes/string.h"
#include "runtime/text.h"

using namespace kaz;

namespace {

// Without a collector every iteration's series stay allocated: iteration counts are fixed
// to keep the memory of a run bounded.
constexpr int kAppends = 1'000'000;

void AppendShortStrings_String(benchmark::State& state) {
    Cell small = string::make_cell(8);
    text::append_ascii(small.data2, "abcdefg");
    for (auto _ : state) {
        Cell s = string::make_cell(16);
        for (int i = 0; i < kAppends; ++i) s = string::append(s, small, -1, false, 1, true);
        benchmark::DoNotOptimize(s.data2);
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}
BENCHMARK(AppendShortStrings_String)->Iterations(10)->Unit(benchmark::kMillisecond);

void AppendShortStrings_StdString(benchmark::State& state) {
    const std::string small = "abcdefg";
    for (auto _ : state) {
        std::string s;
        for (int i = 0; i < kAppends; ++i) s += small;
        benchmark::DoNotOptimize(s.data());
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}
BENCHMARK(AppendShortStrings_StdString)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    boot::run();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
