// Decoding and encoding the 4000x3000 picture of bench/peers/image_pil.py (which makes it) with
// the imaging layer, as image! values do. bench/image_peers.sh runs Pillow beside it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/image.h"

using namespace kaz::platform::image;

namespace {

std::vector<uint8_t> read_data(const char* name) {
    std::ifstream in(std::string(KAZ_SOURCE_DIR "/bench/peers/data/") + name, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "missing bench/peers/data/%s: run bench/image_peers.sh\n", name);
        std::exit(1);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Into fresh memory each time, as Pillow decodes (its block cache is off by default), or into
// the memory of the run before: the difference is the system's page faults on 48 fresh MB,
// which on a loaded machine can cost more than the decoding.
void decode_file(benchmark::State& state, const char* name, bool reuse) {
    std::vector<uint8_t> file = read_data(name);
    Bitmap kept;
    for (auto _ : state) {
        Bitmap fresh;
        Bitmap& bitmap = reuse ? kept : fresh;
        if (!decode(file.data(), file.size(), bitmap)) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(bitmap.pixels.data());
    }
}

void encode_picture(benchmark::State& state, Format format) {
    std::vector<uint8_t> file = read_data("photo.png");
    Bitmap bitmap;
    decode(file.data(), file.size(), bitmap);
    for (auto _ : state) {
        std::vector<uint8_t> out;
        if (!encode(format, bitmap.pixels.data(), bitmap.width, bitmap.height, out)) state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
}

}  // namespace

BENCHMARK_CAPTURE(decode_file, png, "photo.png", false)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(decode_file, png_reused_memory, "photo.png", true)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(encode_picture, png, Format::png)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(decode_file, jpeg, "photo.jpg", false)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(decode_file, jpeg_reused_memory, "photo.jpg", true)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(encode_picture, jpeg, Format::jpeg)->Unit(benchmark::kMillisecond)->MinTime(2);

BENCHMARK_MAIN();
