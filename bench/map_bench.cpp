// map!: insert 200k string keys ("key0" ... "key199999") and look each up, through the map!
// actions, making every key string as the peers' programs do (bench-peers row b05).
//
// `bench_map --once` runs the workload once and prints the entry count and the sum of the
// values found, like the peers, so that whole processes can be compared with hyperfine -N;
// without it Google Benchmark times the workload alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "boot/boot.h"
#include "datatypes/integer.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "runtime/text.h"

using namespace kaz;

namespace {

constexpr int32_t kKeys = 200'000;

Cell key_of(int32_t i) {
    integer::Decimal d = integer::format_decimal(i);
    Cell s = string::make_cell(3 + d.length);
    text::append_ascii(s.data2, "key");
    text::append_ascii(s.data2, d.view());
    return s;
}

struct Result {
    int32_t count;
    int64_t sum;
};

Result run() {
    Cell m = cell::unset();
    map::init_cell(m, nullptr, 0);
    for (int32_t i = 0; i < kKeys; ++i) map::put(m, key_of(i), cell::integer(i), false);
    int64_t sum = 0;
    FindOptions o;
    for (int32_t i = 0; i < kKeys; ++i) sum += cell::get_integer(map::select(m, key_of(i), o));
    return {map::length_q(m), sum};
}

// Without a collector every run's series stay allocated: the iteration count is fixed.
void MapInsertLookup200k(benchmark::State& state) {
    for (auto _ : state) {
        Result r = run();
        benchmark::DoNotOptimize(r.sum);
    }
    state.SetItemsProcessed(state.iterations() * kKeys * 2);
}
BENCHMARK(MapInsertLookup200k)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    kaz::boot::run();
    map::init();
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0) {
        Result r = run();
        std::printf("%d %lld\n", r.count, static_cast<long long>(r.sum));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
