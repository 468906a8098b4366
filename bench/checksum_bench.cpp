// CRC-32 and SHA-256 over 100 MB, base 64 of 50 MB each way: the rows that
// bench/peers/checksums.py times for Python's zlib, hashlib and base64 on the same sizes.
// Run both from a Release build: build/release/bench/bench_checksum; python3 bench/peers/checksums.py
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "datatypes/base_codec.h"
#include "services/checksum.h"

using namespace kaz;

namespace {

constexpr size_t kDigestBytes = 100u << 20;
constexpr size_t kBase64Bytes = 50u << 20;

const std::vector<uint8_t>& random_bytes() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(kDigestBytes);
        std::mt19937_64 g(42);
        for (size_t i = 0; i < b.size(); i += 8) {
            uint64_t v = g();
            for (int k = 0; k < 8; ++k) b[i + size_t(k)] = uint8_t(v >> (8 * k));
        }
        return b;
    }();
    return bytes;
}

void Crc32_100MB(benchmark::State& state) {
    const auto& data = random_bytes();
    for (auto _ : state) benchmark::DoNotOptimize(checksum::crc32(data));
    state.SetBytesProcessed(int64_t(state.iterations() * data.size()));
}
BENCHMARK(Crc32_100MB)->Unit(benchmark::kMillisecond);

// The tables alone, as on a processor without carry-less multiply.
void Crc32ByTable_100MB(benchmark::State& state) {
    const auto& data = random_bytes();
    for (auto _ : state) benchmark::DoNotOptimize(checksum::crc32_by_table(data));
    state.SetBytesProcessed(int64_t(state.iterations() * data.size()));
}
BENCHMARK(Crc32ByTable_100MB)->Unit(benchmark::kMillisecond);

void Adler32_100MB(benchmark::State& state) {
    const auto& data = random_bytes();
    for (auto _ : state) benchmark::DoNotOptimize(checksum::adler32(data));
    state.SetBytesProcessed(int64_t(state.iterations() * data.size()));
}
BENCHMARK(Adler32_100MB)->Unit(benchmark::kMillisecond);

void Sha256_100MB(benchmark::State& state) {
    const auto& data = random_bytes();
    for (auto _ : state)
        benchmark::DoNotOptimize(checksum::crypto_digest(checksum::Algorithm::sha256, data).bytes[0]);
    state.SetBytesProcessed(int64_t(state.iterations() * data.size()));
}
BENCHMARK(Sha256_100MB)->Unit(benchmark::kMillisecond);

void Base64Encode_50MB(benchmark::State& state) {
    const uint8_t* data = random_bytes().data();
    std::string text(binary::encoded_length(binary::Base::base64, kBase64Bytes), '\0');
    for (auto _ : state) benchmark::DoNotOptimize(binary::encode_base64(text.data(), data, kBase64Bytes));
    state.SetBytesProcessed(int64_t(state.iterations() * kBase64Bytes));
}
BENCHMARK(Base64Encode_50MB)->Unit(benchmark::kMillisecond);

void Base64Decode_50MB(benchmark::State& state) {
    const uint8_t* data = random_bytes().data();
    std::string text(binary::encoded_length(binary::Base::base64, kBase64Bytes), '\0');
    binary::encode_base64(text.data(), data, kBase64Bytes);
    std::vector<uint8_t> out(binary::decoded_capacity(binary::Base::base64, text.size()));
    for (auto _ : state)
        benchmark::DoNotOptimize(binary::decode_base64(out.data(), std::string_view(text)));
    state.SetBytesProcessed(int64_t(state.iterations() * kBase64Bytes));
}
BENCHMARK(Base64Decode_50MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
