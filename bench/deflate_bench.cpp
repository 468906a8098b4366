// DEFLATE over the peers' 50 MB text (bench/peers/gen_data.py writes it): compression and
// decompression, raw and in each container, into buffers allocated and touched beforehand, so
// that the figures hold the codec's work alone. bench/deflate_peers.sh runs gzip, gunzip and
// python3's zlib on the same file beside it. The data file can be named with KAZ_DEFLATE_DATA.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "services/deflate.h"

namespace {

using namespace kaz;
using Bytes = std::vector<uint8_t>;
using Function = deflate::Result (*)(std::span<uint8_t>, std::span<const uint8_t>);

const Bytes& text() {
    static const Bytes data = [] {
        const char* path = std::getenv("KAZ_DEFLATE_DATA");
        std::string name = path ? path : KAZ_SOURCE_DIR "/bench/peers/data/text50.txt";
        std::ifstream in(name, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "no %s: run python3 bench/peers/gen_data.py\n", name.c_str());
            std::exit(1);
        }
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    return data;
}

// The text compressed by the container's own compressor.
const Bytes& packed(Function pack) {
    static std::vector<std::pair<Function, Bytes>> cache;
    for (const auto& [f, b] : cache)
        if (f == pack) return b;
    Bytes out(text().size() + text().size() / 2048 + 64);
    deflate::Result r = pack(out, text());
    out.resize(r.size);
    cache.emplace_back(pack, std::move(out));
    return cache.back().second;
}

void run(benchmark::State& state, Function fn, const Bytes& source, size_t room) {
    Bytes out(room, 1);
    deflate::Result r{};
    for (auto _ : state) {
        r = fn(out, source);
        benchmark::DoNotOptimize(out.data());
    }
    if (r.status != deflate::Status::done) state.SkipWithError("the codec failed");
    state.SetBytesProcessed(int64_t(state.iterations() * text().size()));
    state.counters["in"] = double(source.size());
    state.counters["out"] = double(r.size);
}

void compress(benchmark::State& state, Function fn) {
    run(state, fn, text(), text().size() + text().size() / 2048 + 64);
}

void decompress(benchmark::State& state, Function pack, Function unpack) {
    run(state, unpack, packed(pack), text().size());
}

BENCHMARK_CAPTURE(compress, deflate, deflate::compress)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK_CAPTURE(compress, gzip, gzip::compress)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK_CAPTURE(decompress, deflate, deflate::compress, deflate::decompress)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decompress, zlib, zlib::compress, zlib::decompress)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decompress, gzip, gzip::compress, gzip::decompress)->Unit(benchmark::kMillisecond);

// As a caller that makes a new buffer for each output: the system's cost of giving it pages
// counts too, as it does for python3's zlib.decompress.
void decompress_fresh(benchmark::State& state) {
    const Bytes& source = packed(gzip::compress);
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> out(new uint8_t[text().size()]);
        benchmark::DoNotOptimize(gzip::decompress(std::span<uint8_t>(out.get(), text().size()), source));
    }
    state.SetBytesProcessed(int64_t(state.iterations() * text().size()));
}
BENCHMARK(decompress_fresh)->Unit(benchmark::kMillisecond);

// Short inputs: the fixed cost of a call.
void compress_short(benchmark::State& state) {
    Bytes source(text().begin(), text().begin() + state.range(0));
    Bytes out(source.size() + 64);
    for (auto _ : state) benchmark::DoNotOptimize(deflate::compress(out, source));
}
BENCHMARK(compress_short)->Arg(100)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
