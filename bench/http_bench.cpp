// The HTTP client against the loopback server of the tests: a thousand GETs of a 1 KB body, and
// one GET of 100 MB. Run by bench/http_peers.sh beside python3's urllib
// (bench/peers/http_urllib.py), which starts the server and names it in KAZ_BENCH_HTTP.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "services/http.h"

using namespace kaz;

namespace {

std::string base_url(benchmark::State& state) {
    const char* base = std::getenv("KAZ_BENCH_HTTP");
    if (!base) state.SkipWithError("no server: run bench/http_peers.sh, or set KAZ_BENCH_HTTP");
    return base ? base : "";
}

bool get(const std::string& url, size_t expected) {
    http::Request r;
    r.method = "get";
    r.url = url;
    http::Outcome o = http::request(r);
    benchmark::DoNotOptimize(o.response.body.data());
    return o.ok() && o.response.status == 200 && o.response.body.size() == expected;
}

void get_1k_x1000(benchmark::State& state) {
    std::string base = base_url(state);
    if (base.empty()) return;
    std::string url = base + "/bytes/1024";
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            if (!get(url, 1024)) {
                state.SkipWithError("a GET failed");
                return;
            }
        }
    }
}
BENCHMARK(get_1k_x1000)->Unit(benchmark::kMillisecond)->Iterations(5);

void get_100mb(benchmark::State& state) {
    std::string base = base_url(state);
    if (base.empty()) return;
    constexpr size_t kSize = 100u << 20;
    std::string url = base + "/bytes/" + std::to_string(kSize);
    for (auto _ : state) {
        if (!get(url, kSize)) {
            state.SkipWithError("the GET failed");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
BENCHMARK(get_100mb)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
