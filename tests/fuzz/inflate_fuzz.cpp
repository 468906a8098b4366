// Arbitrary bytes through the decompressor: the first byte picks raw DEFLATE, zlib or gzip (or,
// for 3, a round trip through the compressor). Each input is refused with a status or inflated,
// never a crash, a hang or a read outside the input. What a measure reports, a room of that
// size receives; a smaller room gets the same first bytes and the same size needed; whatever
// inflates compresses and inflates back to itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "services/deflate.h"
#include "services/deflate_internal.h"

using namespace kaz;
using deflate::Result;
using deflate::Status;

namespace {

using Bytes = std::vector<uint8_t>;
using Function = Result (*)(std::span<uint8_t>, std::span<const uint8_t>);

void check(bool ok) {
    if (!ok) std::abort();
}

bool failed(Status s) { return s != Status::done && s != Status::too_small; }

void round_trip(Function pack, Function unpack, const Bytes& data) {
    Result measured = pack({}, data);
    check(measured.status == Status::too_small);
    Bytes packed(measured.size);
    check(pack(packed, data).status == Status::done);
    Bytes back(data.size());
    Result r = unpack(back, packed);
    check(r.status == Status::done && r.size == data.size() && back == data);
}

enum class Container { raw, zlib, gzip };

void inflate(Function fn, const Bytes& in, Container container) {
    Result measured = fn({}, in);
    if (failed(measured.status)) {
        // The room plays no part in refusing a stream.
        Bytes out(64);
        check(fn(out, in).status == measured.status);
        return;
    }
    // No stream inflates to more than its bits allow, nor does a trusted stored length.
    check(measured.size <= deflate::detail::max_inflated_size(in.size()));
    Bytes out(measured.size);
    Result r = fn(out, in);
    if (container == Container::gzip) {
        // The measure may have answered with the last member's stored length, unchecked: the
        // real size, or any failure, shows now.
        if (r.status == Status::too_small) {
            out.assign(r.size, 0);
            r = fn(out, in);
        }
        if (r.status != Status::done) return;
    } else if (container == Container::zlib && r.status == Status::bad_data) {
        return;  // the checksum is checked once the output is stored
    }
    check(r.status == Status::done && r.size == out.size());
    if (out.size() >= 2) {
        // Half the room: the size needed, nothing written past, and (but for a gzip measure,
        // which may answer from the stored length without inflating) the same first bytes.
        size_t half = out.size() / 2;
        Bytes part(out.size(), 0xA5);
        Result p = fn(std::span<uint8_t>(part.data(), half), in);
        check(p.status == Status::too_small);
        check(std::all_of(part.begin() + long(half), part.end(), [](uint8_t b) { return b == 0xA5; }));
        if (container != Container::gzip) {
            check(p.size == out.size());
            check(std::equal(part.begin(), part.begin() + long(half), out.begin()));
        }
    }
    round_trip(deflate::compress, deflate::decompress, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // An exact-size copy: a read past the input's end is caught.
    Bytes in(data + 1, data + size);
    switch (data[0] % 4) {
        case 0: inflate(deflate::decompress, in, Container::raw); break;
        case 1: inflate(zlib::decompress, in, Container::zlib); break;
        case 2: inflate(gzip::decompress, in, Container::gzip); break;
        default:
            round_trip(deflate::compress, deflate::decompress, in);
            round_trip(zlib::compress, zlib::decompress, in);
            // Input that already is a gzip member comes back as it is.
            if (!(in.size() > 2 && in[0] == 0x1F && in[1] == 0x8B && in[2] == 8))
                round_trip(gzip::compress, gzip::decompress, in);
            break;
    }
    return 0;
}
