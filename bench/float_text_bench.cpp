// Float to text and back against std::to_chars / std::from_chars on the same inputs.
#include <benchmark/benchmark.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "boot/boot.h"
#include "runtime/float_text.h"

using namespace kaz;

namespace {

constexpr size_t kCount = 100'000;

// Doubles from random bit patterns: every exponent equally likely.
const std::vector<double>& random_doubles() {
    static const std::vector<double> values = [] {
        std::mt19937_64 rng(1);
        std::vector<double> v;
        while (v.size() < kCount) {
            double x = std::bit_cast<double>(rng());
            if (std::isfinite(x)) v.push_back(x);
        }
        return v;
    }();
    return values;
}

// Numbers as people write them: up to six digits, up to three after the point.
const std::vector<double>& short_decimals() {
    static const std::vector<double> values = [] {
        std::mt19937_64 rng(2);
        std::vector<double> v;
        for (size_t i = 0; i < kCount; ++i)
            v.push_back(double(rng() % 1000000) / std::pow(10.0, double(rng() % 4)));
        return v;
    }();
    return values;
}

// The shortest texts of the standard library, read by both parsers.
std::vector<std::string> texts_of(const std::vector<double>& values) {
    std::vector<std::string> texts;
    for (double x : values) {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, x);
        texts.emplace_back(buf, r.ptr);
    }
    return texts;
}

const std::vector<double>& inputs(int which) { return which ? short_decimals() : random_doubles(); }

void Form_Kaz(benchmark::State& state) {
    const auto& values = inputs(int(state.range(0)));
    for (auto _ : state)
        for (double x : values) benchmark::DoNotOptimize(float_text::form(x, 0, true));
    state.SetItemsProcessed(int64_t(state.iterations() * values.size()));
}
BENCHMARK(Form_Kaz)->Arg(0)->Arg(1);

void ToChars_Std(benchmark::State& state) {
    const auto& values = inputs(int(state.range(0)));
    char buf[32];
    for (auto _ : state)
        for (double x : values) {
            auto r = std::to_chars(buf, buf + sizeof buf, x);
            benchmark::DoNotOptimize(r.ptr);
            benchmark::ClobberMemory();
        }
    state.SetItemsProcessed(int64_t(state.iterations() * values.size()));
}
BENCHMARK(ToChars_Std)->Arg(0)->Arg(1);

void FormPrecision17_Kaz(benchmark::State& state) {
    const auto& values = inputs(int(state.range(0)));
    for (auto _ : state)
        for (double x : values) benchmark::DoNotOptimize(float_text::form(x, 17, false));
    state.SetItemsProcessed(int64_t(state.iterations() * values.size()));
}
BENCHMARK(FormPrecision17_Kaz)->Arg(0)->Arg(1);

void ToCharsPrecision17_Std(benchmark::State& state) {
    const auto& values = inputs(int(state.range(0)));
    char buf[40];
    for (auto _ : state)
        for (double x : values) {
            auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, 17);
            benchmark::DoNotOptimize(r.ptr);
            benchmark::ClobberMemory();
        }
    state.SetItemsProcessed(int64_t(state.iterations() * values.size()));
}
BENCHMARK(ToCharsPrecision17_Std)->Arg(0)->Arg(1);

void Parse_Kaz(benchmark::State& state) {
    const auto texts = texts_of(inputs(int(state.range(0))));
    for (auto _ : state)
        for (const auto& t : texts) {
            size_t left;
            benchmark::DoNotOptimize(float_text::parse(t.data(), t.data() + t.size(), 0, left));
        }
    state.SetItemsProcessed(int64_t(state.iterations() * texts.size()));
}
BENCHMARK(Parse_Kaz)->Arg(0)->Arg(1);

void FromChars_Std(benchmark::State& state) {
    const auto texts = texts_of(inputs(int(state.range(0))));
    for (auto _ : state)
        for (const auto& t : texts) {
            double v;
            std::from_chars(t.data(), t.data() + t.size(), v);
            benchmark::DoNotOptimize(v);
        }
    state.SetItemsProcessed(int64_t(state.iterations() * texts.size()));
}
BENCHMARK(FromChars_Std)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    boot::run();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
