// checksum, compress and decompress as values, over the checksum and DEFLATE services.
#include "services/natives.h"

#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "datatypes/cells.h"
#include "datatypes/symbol.h"
#include "runtime/error.h"
#include "services/checksum.h"
#include "services/deflate.h"
#include "services/files.h"

namespace kaz::service_natives {
namespace {

// ---- compression ----

// ORDER COMPRESSION-METHODS: the method words, and the codecs of each in the same order.
constexpr std::string_view kCompressionNames[] = {"deflate", "zlib", "gzip"};
enum class Compression : uint8_t { deflate, zlib, gzip };

using Codec = deflate::Result (*)(std::span<uint8_t> dest, std::span<const uint8_t> source);
constexpr Codec kCompressors[] = {deflate::compress, zlib::compress, gzip::compress};
constexpr Codec kDecompressors[] = {deflate::decompress, zlib::decompress, gzip::decompress};

// The canonical symbols of the method words; 0 until init.
uint32_t compression_symbols[std::size(kCompressionNames)] = {};

// Positions and lengths are 32-bit signed integers in the language: no binary! is longer.
constexpr uint64_t kMaxBytes = INT32_MAX;

Compression compression_of(const Cell& method) {
    uint32_t canonical = symbol::canonical_id(word_cell::symbol(method));
    for (size_t i = 0; i < std::size(compression_symbols); ++i)
        if (compression_symbols[i] == canonical) return Compression(i);
    error::raise(ErrorId::script_invalid_arg, method);
}

// Runs a codec into a new binary! of `size` bytes and, when that is too small, once more at the
// size the codec asks for.
Cell run(Codec codec, const binary::Source& data, uint64_t size, const Cell& method) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (size > kMaxBytes) error::raise(ErrorId::internal_no_memory);
        Cell out = binary::make_cell(uint32_t(size));
        // Read the input only now: making the output may have moved it.
        SeriesBuffer* b = memory::buffer_of(out.data2);
        deflate::Result r = codec({b->head, size_t(size)}, data.bytes());
        if (r.status == deflate::Status::done) {
            b->tail = b->head + r.size;
            return out;
        }
        if (r.status != deflate::Status::too_small) break;
        size = r.size;
    }
    error::raise(ErrorId::script_invalid_data, method);
}

// ---- checksums ----

bool sum_q(checksum::Method m) {
    return m == checksum::Method::crc32 || m == checksum::Method::tcp || m == checksum::Method::adler32;
}

Cell sum(checksum::Method m, std::span<const uint8_t> bytes) {
    switch (m) {
        case checksum::Method::crc32: return cell::integer(int32_t(checksum::crc32(bytes)));
        case checksum::Method::adler32: return cell::integer(int32_t(checksum::adler32(bytes)));
        default: return cell::integer(checksum::tcp(bytes));
    }
}

}  // namespace

void init() {
    for (size_t i = 0; i < std::size(kCompressionNames); ++i)
        compression_symbols[i] = symbol::canonical_id(symbol::intern(kCompressionNames[i]));
}

Cell checksum(const binary::Source& data, const Cell& method, const Cell* with) {
    std::optional<checksum::Method> m = checksum::method_of(word_cell::symbol(method));
    if (!m) error::raise(ErrorId::script_invalid_arg, method);
    if (!with) {
        if (sum_q(*m)) return sum(*m, data.bytes());
        std::optional<checksum::Algorithm> algorithm = checksum::digest_algorithm(*m);
        if (!algorithm) error::raise(ErrorId::script_missing_arg);  // hash: only with /with
        checksum::Digest d = checksum::crypto_digest(*algorithm, data.bytes());
        return binary::from_bytes(d.view());
    }
    if (sum_q(*m)) error::raise(ErrorId::script_bad_refines);
    if (is(*with, TypeId::integer)) {
        if (*m != checksum::Method::hash) error::raise(ErrorId::script_invalid_arg, *with);
        return cell::integer(checksum::hash(cell::get_integer(*with)));
    }
    binary::Source key = binary::source_of(*with);
    std::optional<checksum::Digest> d = checksum::hmac(*m, data.bytes(), key.bytes());
    return d ? binary::from_bytes(d->view()) : cell::none();
}

Cell compress(const binary::Source& data, const Cell& method) {
    Compression m = compression_of(method);
    uint64_t n = data.size;
    return run(kCompressors[size_t(m)], data, n + n / 2048 + 32, method);
}

Cell decompress(const binary::Source& data, const Cell& method, const Cell* size) {
    Compression m = compression_of(method);
    Codec codec = kDecompressors[size_t(m)];
    // A gzip member tells its own size; for the others a size that cannot be right (no more
    // than the input) is measured instead.
    if (m != Compression::gzip && size && int64_t(cell::get_integer(*size)) > int64_t(data.size))
        return run(codec, data, uint64_t(cell::get_integer(*size)), method);
    deflate::Result measured = codec({}, data.bytes());
    if (measured.status != deflate::Status::done && measured.status != deflate::Status::too_small)
        error::raise(ErrorId::script_invalid_data, method);
    return run(codec, data, measured.size, method);
}

Cell read_file(const Cell& file) {
    Cell content = simple_io::read(file, nullptr, nullptr, true, false);
    if (!is(content, TypeId::binary)) error::raise(ErrorId::access_cannot_open, file);
    return content;
}

}  // namespace kaz::service_natives
