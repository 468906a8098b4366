// The money engine's add, multiply and divide on amounts as people write them; the peer is
// bench/peers/money_decimal.py (Python's decimal on the same operands, cut to 5 places).
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "boot/boot.h"
#include "datatypes/decimal.h"

using namespace kaz;

namespace {

constexpr size_t kCount = 10'000;

// Amounts of 1 to 8 integer digits and 2 fractional ones, both signs; the same on every run.
const std::vector<Cell>& amounts(uint32_t seed) {
    static std::vector<Cell> sets[2];
    std::vector<Cell>& v = sets[seed & 1];
    if (v.empty()) {
        std::mt19937 rng(seed);
        for (size_t i = 0; i < kCount; ++i) {
            uint32_t digits = rng() % 99'999'999u;
            std::string whole = std::to_string(1 + (digits >> (rng() % 20)));
            std::string cents = std::to_string(10 + rng() % 90);
            Cell c = cell::none();
            money::init_from_digits(c, rng() % 2 == 0, 0, whole, cents);
            v.push_back(c);
        }
    }
    return v;
}

template <typename Op>
void run(benchmark::State& state, Op op) {
    const std::vector<Cell>& a = amounts(0);
    const std::vector<Cell>& b = amounts(1);
    for (auto _ : state)
        for (size_t i = 0; i < kCount; ++i) {
            Cell r = a[i];
            op(r, b[i]);
            benchmark::DoNotOptimize(r);
        }
    state.SetItemsProcessed(int64_t(state.iterations() * kCount));
}

void Add(benchmark::State& state) { run(state, [](Cell& r, const Cell& b) { money::add_amounts(r, b); }); }
void Multiply(benchmark::State& state) { run(state, [](Cell& r, const Cell& b) { money::multiply_amounts(r, b); }); }
void Divide(benchmark::State& state) { run(state, [](Cell& r, const Cell& b) { money::divide_amounts(r, b, false); }); }
BENCHMARK(Add);
BENCHMARK(Multiply);
BENCHMARK(Divide);

}  // namespace

int main(int argc, char** argv) {
    boot::run();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
