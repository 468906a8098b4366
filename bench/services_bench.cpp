// The file service and the launcher on big files and many children: reading and writing 200 MB,
// splitting 20 MB of text into lines, a thousand children waited for. Run by bench/run_files.sh
// beside Python 3's own (bench/peers/files.py); the inputs come from bench/peers/files_data.py
// in the directory named by KAZ_BENCH_DATA.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "boot/boot.h"
#include "datatypes/string.h"
#include "runtime/gc.h"
#include "services/call.h"
#include "services/files.h"

using namespace kaz;

namespace {

std::string data_path(const char* name) {
    const char* dir = std::getenv("KAZ_BENCH_DATA");
    return dir ? std::string(dir) + "/" + name : std::string();
}

Cell file_of(const std::string& path) { return string::from_utf8(path, TypeId::file); }

bool have(benchmark::State& state, const std::string& path) {
    if (!path.empty() && std::ifstream(path)) return true;
    state.SkipWithError("no input: run bench/run_files.sh, or set KAZ_BENCH_DATA");
    return false;
}

void read_file(benchmark::State& state, const char* name, bool binary, bool lines) {
    std::string path = data_path(name);
    if (!have(state, path)) return;
    for (auto _ : state) {
        Cell f = file_of(path);
        Cell v = simple_io::read(f, nullptr, nullptr, binary, lines);
        benchmark::DoNotOptimize(v.data2);
    }
}

void ReadText200MB(benchmark::State& state) { read_file(state, "text200.txt", false, false); }
void ReadBinary200MB(benchmark::State& state) { read_file(state, "text200.txt", true, false); }
void ReadLines20MB(benchmark::State& state) { read_file(state, "words20.txt", false, true); }
BENCHMARK(ReadText200MB)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadBinary200MB)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

void write_file(benchmark::State& state, bool binary) {
    std::string path = data_path("text200.txt");
    if (!have(state, path)) return;
    Cell source = file_of(path);
    Cell data = simple_io::read(source, nullptr, nullptr, binary, false);
    std::string out = data_path("written.tmp");
    for (auto _ : state) {
        Cell f = file_of(out);
        benchmark::DoNotOptimize(simple_io::write(&f, data, nullptr, nullptr, binary, false, false));
    }
    std::remove(out.c_str());
}
void WriteText200MB(benchmark::State& state) { write_file(state, false); }
void WriteBinary200MB(benchmark::State& state) { write_file(state, true); }
BENCHMARK(WriteText200MB)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteBinary200MB)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

void SplitLines20MB(benchmark::State& state) {
    std::string path = data_path("words20.txt");
    if (!have(state, path)) return;
    std::ifstream in(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (auto _ : state) {
        Cell lines = simple_io::bytes_to_lines(text);
        benchmark::DoNotOptimize(lines.data2);
    }
}
BENCHMARK(SplitLines20MB)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadLines20MB)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

// What `call/wait "true"` does, a thousand times.
void SpawnTrue1000(benchmark::State& state) {
    process::CallOptions wait;
    wait.wait = true;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            Cell cmd = string::from_utf8("true");
            if (process::call(cmd, wait) != 0) state.SkipWithError("true failed");
        }
    }
}
BENCHMARK(SpawnTrue1000)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Each iteration leaves hundreds of megabytes behind: the collector takes them back.
    gc::set_stack_high_end(__builtin_frame_address(0));
    boot::run();
    gc::set_enabled(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
