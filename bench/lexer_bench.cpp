// The lexer loading 20 MB of generated source: words of every kind, integers, floats, strings,
// chars, files, issues, times, paths, nested blocks and comments, in the proportions of code.
// The peer figure is Python's json.loads over JSON text of the same size (lexer_json.py).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "boot/boot.h"
#include "datatypes/file.h"
#include "datatypes/issue.h"
#include "evaluator/lexer.h"

using namespace kaz;

namespace {

constexpr size_t kSourceBytes = 20u << 20;

std::string generate_source() {
    std::mt19937 gen(20260101);
    auto pick = [&](int n) { return int(gen() % uint32_t(n)); };
    const char* names[] = {"print", "append", "value", "either", "foreach", "block", "length?",
                           "x", "y", "result", "make-thing", "to-string", "count", "empty?"};
    auto name = [&] { return std::string(names[pick(14)]) + (pick(3) ? "" : std::to_string(pick(100))); };
    std::string s;
    s.reserve(kSourceBytes + 256);
    int depth = 0;
    while (s.size() < kSourceBytes) {
        switch (pick(20)) {
            case 0: case 1: case 2: case 3: s += name(); break;
            case 4: s += name() + ":"; break;
            case 5: s += '\''; s += name(); break;
            case 6: s += ':'; s += name(); break;
            case 7: case 8: s += std::to_string(int32_t(gen()) >> pick(31)); break;
            case 9: s += std::to_string(pick(100000)) + "." + std::to_string(pick(1000)); break;
            case 10: s += "\"some text "; s += std::to_string(pick(1000)); s += '"'; break;
            case 11: s += "{a longer text^/over lines "; s += std::to_string(pick(100)); s += '}'; break;
            case 12:
                if (pick(2)) {
                    s += "#\"a\"";
                } else {
                    s += "#issue-";
                    s += std::to_string(pick(50));
                }
                break;
            case 13: s += "%dir/file-"; s += std::to_string(pick(100)); s += ".txt"; break;
            case 14: s += name() + "/" + name() + "/" + std::to_string(pick(10)); break;
            case 15: s += std::to_string(pick(24)) + ":" + std::to_string(10 + pick(50)); break;
            case 16:
                if (depth < 8) {
                    s += pick(3) ? "[" : "(";
                    s.back() == '[' ? depth += 1 : depth += 100;
                }
                break;
            case 17:
                if (depth >= 100) {
                    s += ")";
                    depth -= 100;
                } else if (depth > 0) {
                    s += "]";
                    depth -= 1;
                }
                break;
            case 18: s += "; a comment\n"; break;
            default: s += "\n"; break;
        }
        s += ' ';
    }
    while (depth >= 100) s += ")", depth -= 100;
    while (depth > 0) s += "]", depth -= 1;
    return s;
}

// Without a collector every iteration's values stay allocated: the count is fixed to keep the
// memory of a run bounded.
void Load_MixedSource(benchmark::State& state) {
    static const std::string source = generate_source();
    const Cell binary = cell::make(TypeId::binary);
    for (auto _ : state) {
        Cell block = cell::none();
        lexer::scan(block, reinterpret_cast<const uint8_t*>(source.data()), uint32_t(source.size()),
                    lexer::ScanFlags{}, nullptr, binary, 0, nullptr);
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
BENCHMARK(Load_MixedSource)->Iterations(4)->Unit(benchmark::kMillisecond);

// Classifying without making values: the scan of transcode/scan and the console's counting.
void Scan_MixedSource(benchmark::State& state) {
    static const std::string source = generate_source();
    const Cell binary = cell::make(TypeId::binary);
    for (auto _ : state) {
        Cell unused = cell::none();
        auto r = lexer::scan(unused, reinterpret_cast<const uint8_t*>(source.data()), uint32_t(source.size()),
                             lexer::ScanFlags{.load = false}, nullptr, binary, 0, nullptr);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}
BENCHMARK(Scan_MixedSource)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    boot::run();
    url::init();
    file::init();
    issue::init();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
