// Kazbin: encode and decode of a block of 1,000,000 values (integers, strings and two-integer
// blocks in turn) in both encodings, beside bench/peers/kazbin_pickle.py (python3's pickle and
// marshal on the same list); and the environment as start-up reads it, the image decoded
// against the sources lexed. Run by bench/kazbin_peers.sh.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boot/boot.h"
#include "boot/environment.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "evaluator/lexer.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "services/kazbin.h"

using namespace kaz;

namespace {

constexpr int kValues = 1'000'000;

// Kept in the root block so that collections between runs leave it.
Cell values() {
    static Cell made = [] {
        Cell b;
        block::init_cell(b, kValues);
        for (int i = 0; i < kValues; ++i) {
            switch (i % 3) {
                case 0: block::append_cell(b, cell::integer(i)); break;
                case 1: block::append_cell(b, string::from_utf8("item" + std::to_string(i))); break;
                default: {
                    Cell inner;
                    block::init_cell(inner, 2);
                    block::append_cell(inner, cell::integer(i));
                    block::append_cell(inner, cell::integer(i + 1));
                    block::append_cell(b, inner);
                }
            }
        }
        SeriesBuffer* root = memory::buffer_of(boot::root);
        *series::reserve_cell(root) = b;
        return b;
    }();
    return made;
}

// The last run's results collected outside the timing: each run starts as a decode that
// follows other work does, rather than on memory a held-off collector never gave back.
void fresh_memory(benchmark::State& state) {
    state.PauseTiming();
    gc::collect();
    state.ResumeTiming();
}

void encode(benchmark::State& state, bool compact) {
    Cell v = values();
    size_t size = 0;
    for (auto _ : state) {
        Cell image = compact ? kazbin::encode_cp(v) : kazbin::encode(v);
        size = memory::buffer_of(image.data2)->used();
        benchmark::DoNotOptimize(image);
    }
    state.counters["bytes"] = double(size);
}

void decode(benchmark::State& state, bool compact) {
    Cell v = values();
    Cell image = compact ? kazbin::encode_cp(v) : kazbin::encode(v);
    SeriesBuffer* root = memory::buffer_of(boot::root);
    *series::reserve_cell(root) = image;
    for (auto _ : state) {
        fresh_memory(state);
        Cell into;
        block::init_cell(into, 1);
        SeriesBuffer* b = memory::buffer_of(image.data2);
        kazbin::decode(b->head, b->used(), into.data2, kazbin::Mode::call, image);
        benchmark::DoNotOptimize(into);
    }
}

void BM_EncodeCompact(benchmark::State& state) { encode(state, true); }
void BM_EncodePlain(benchmark::State& state) { encode(state, false); }
void BM_DecodeCompact(benchmark::State& state) { decode(state, true); }
void BM_DecodePlain(benchmark::State& state) { decode(state, false); }
BENCHMARK(BM_EncodeCompact)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodePlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeCompact)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodePlain)->Unit(benchmark::kMillisecond);

// What start-up did before the image: lex every environment source.
void BM_EnvironmentLexed(benchmark::State& state) {
    std::vector<std::string> texts;
    for (const char* name : {"natives.kaz", "actions.kaz", "base.kaz", "system.kaz"}) {
        std::ifstream in(std::string(KAZ_SOURCE_DIR) + "/environment/" + name, std::ios::binary);
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (auto _ : state) {
        fresh_memory(state);
        for (const std::string& t : texts) {
            Cell out = cell::none(), source = cell::none();
            lexer::scan(out, reinterpret_cast<const uint8_t*>(t.data()), uint32_t(t.size()), lexer::ScanFlags{},
                        nullptr, source, 0, nullptr);
            benchmark::DoNotOptimize(out);
        }
    }
}
// What start-up does now: decode the image.
void BM_EnvironmentImage(benchmark::State& state) {
    for (auto _ : state) {
        fresh_memory(state);
        Cell into;
        block::init_cell(into, 1);
        kazbin::decode(environment::kImage, environment::kImageSize, into.data2, kazbin::Mode::call, cell::none());
        benchmark::DoNotOptimize(into);
    }
}
BENCHMARK(BM_EnvironmentLexed)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnvironmentImage)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    gc::set_stack_high_end(__builtin_frame_address(0));
    boot::run();
    gc::set_enabled(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
