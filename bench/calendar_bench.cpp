// Day numbers to dates and back, over every day from 1600 to 2400; the peer is
// bench/peers/date_ordinals.py (Python's date.fromordinal and toordinal).
#include <benchmark/benchmark.h>

#include "boot/boot.h"
#include "datatypes/calendar.h"

using namespace kaz;

namespace {

void DayNumberRoundTrip(benchmark::State& state) {
    const int64_t first = date::day_number_of(1600, 1, 1), last = date::day_number_of(2400, 12, 31);
    for (auto _ : state)
        for (int64_t n = first; n <= last; ++n) {
            uint32_t packed = date::from_day_number(n, 0, false);
            int32_t back = date::day_number(packed);
            benchmark::DoNotOptimize(back);
        }
    state.SetItemsProcessed(int64_t(state.iterations() * (last - first + 1)));
}
BENCHMARK(DayNumberRoundTrip);

}  // namespace

int main(int argc, char** argv) {
    boot::run();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
