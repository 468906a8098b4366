#include "services/deflate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace kaz::deflate {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Function = Result (*)(std::span<uint8_t>, std::span<const uint8_t>);

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(gen());
    return b;
}

// Word-like text with a skewed vocabulary, so that matches come at every distance.
Bytes text_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<std::string> words;
    for (int i = 0; i < 2000; ++i) {
        std::string w;
        for (uint32_t k = 2 + gen() % 9; k > 0; --k) w += char('a' + gen() % 26);
        words.push_back(w);
    }
    Bytes b;
    while (b.size() < n) {
        uint32_t r = gen() % 2000;
        const std::string& w = words[r * r / 2000];
        b.insert(b.end(), w.begin(), w.end());
        b.push_back(gen() % 12 == 0 ? '\n' : ' ');
    }
    b.resize(n);
    return b;
}

Bytes periodic_bytes(size_t n, std::string_view period) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(period[i % period.size()]);
    return b;
}

// Runs `fn` as a caller would: measures with no room, then fills a buffer of exactly the size
// measured, from an exact-size copy of the input so that the address sanitizer sees any read
// past its end. Checks that both calls agree.
Bytes run(Function fn, const Bytes& source) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[source.size() + 1]);
    if (!source.empty()) std::memcpy(copy.get(), source.data(), source.size());
    std::span<const uint8_t> in(copy.get(), source.size());
    Result measured = fn({}, in);
    EXPECT_TRUE(measured.status == Status::too_small || (measured.status == Status::done && measured.size == 0))
        << "measure status " << int(measured.status);
    Bytes out(measured.size);
    Result r = fn(out, in);
    EXPECT_EQ(r.status, Status::done);
    EXPECT_EQ(r.size, measured.size);
    out.resize(r.size);
    return out;
}

Bytes hex(std::string_view text) {
    Bytes b;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        b.push_back(uint8_t(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return b;
}

// ---- the compressor's own bytes ----

// Bits least significant first, as the format packs them; Huffman codes go most significant
// bit first.
class BitStream {
public:
    BitStream& bits(uint32_t value, int n) {
        for (int i = 0; i < n; ++i) put((value >> i) & 1);
        return *this;
    }
    BitStream& code(uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) put((value >> i) & 1);
        return *this;
    }
    // Literals below 144 in the fixed code: 00110000 + the byte.
    BitStream& fixed_literals(std::string_view text) {
        for (char c : text) code(0x30 + uint8_t(c), 8);
        return *this;
    }
    Bytes done() const { return out_; }

private:
    void put(uint32_t bit) {
        if (count_ % 8 == 0) out_.push_back(0);
        out_.back() |= uint8_t(bit << (count_ % 8));
        ++count_;
    }
    Bytes out_;
    size_t count_ = 0;
};

// Fixed codes: literals 0-143 are 00110000 + s, 256-279 are 0000000 + (s − 256), 280-287 are
// 11000000 + (s − 280); distances are their 5-bit numbers.
BitStream fixed_block(bool final) {
    BitStream s;
    s.bits(final, 1).bits(1, 2);
    return s;
}

// Derived by hand from the compressor's rules: the block type its size estimates choose, and
// the tokens its lazy matching emits.
TEST(DeflateCompress, WritesTheExactBytes) {
    struct Case {
        const char* name;
        Bytes input;
        Bytes expected;
    };
    const Case cases[] = {
        // One final fixed block holding only the end code: 1, 01, 0000000.
        {"empty", {}, hex("03 00")},
        // 1, 01, 'a' = 10010001, 0000000.
        {"one byte", bytes_of("a"), hex("4B 04 00")},
        // 'a', then 258 bytes from 1 back (285: 11000101, distance code 00000), then the last
        // 41 (273: 0010001, extra 110, distance 00000), then the end code.
        {"300 times one byte", Bytes(300, 'a'), hex("4B 1C 05 44 03 00")},
        // Lazy matching: at the second "a" the 3 bytes "abc" from 4 back wait, as the next
        // byte starts "bcdefg" from 11 back; so 'a' goes out as a literal, then the 6 bytes
        // (260: 0000100; distance code 6, extra 2 bits of 2).
        {"a longer match one byte on", bytes_of("bcdefgabc-abcdefg"),
         fixed_block(true).fixed_literals("bcdefgabc-a").code(4, 7).code(6, 5).bits(2, 2).code(0, 7).done()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(compress, c.input), c.expected);
    }
}

TEST(DeflateCompress, FramesTheStream) {
    // 78 01, the empty stream, Adler-32 of nothing (1).
    EXPECT_EQ(run(zlib::compress, {}), hex("78 01 03 00 00 00 00 01"));
    // No flags, no time, extra flags 4, system 4; CRC-32 and length of nothing.
    EXPECT_EQ(run(gzip::compress, {}), hex("1F 8B 08 00 00 00 00 00 04 04 03 00 00 00 00 00 00 00 00 00"));
    // Adler-32 of "a" is 00620062, its CRC-32 E8B7BE43.
    EXPECT_EQ(run(zlib::compress, bytes_of("a")), hex("78 01 4B 04 00 00 62 00 62"));
    EXPECT_EQ(run(gzip::compress, bytes_of("a")),
              hex("1F 8B 08 00 00 00 00 00 04 04 4B 04 00 43 BE B7 E8 01 00 00 00"));
}

// Walks a stream of stored blocks, checking their lengths and flags; false at any other block.
bool stored_blocks_hold(const Bytes& stream, const Bytes& input) {
    size_t at = 0;
    size_t taken = 0;
    for (;;) {
        if (at + 5 > stream.size() || (stream[at] & 6) != 0) return false;
        bool final = stream[at] & 1;
        uint32_t len = stream[at + 1] | stream[at + 2] << 8;
        uint32_t nlen = stream[at + 3] | stream[at + 4] << 8;
        if ((len ^ 0xFFFF) != nlen || at + 5 + len > stream.size()) return false;
        if (!std::equal(stream.begin() + long(at + 5), stream.begin() + long(at + 5 + len), input.begin() + long(taken)))
            return false;
        at += 5 + len;
        taken += len;
        if (final) return at == stream.size() && taken == input.size();
    }
}

TEST(DeflateCompress, StoresWhatDoesNotCompress) {
    for (size_t n : {size_t(1000), size_t(65535), size_t(65536), size_t(200'000)}) {
        SCOPED_TRACE(n);
        Bytes input = random_bytes(n, uint32_t(n));
        Bytes out = run(compress, input);
        EXPECT_TRUE(stored_blocks_hold(out, input));
        EXPECT_EQ(run(decompress, out), input);
    }
}

TEST(DeflateCompress, ChoosesTheBlockType) {
    // The first block's type sits in bits 1-2 of the first byte.
    auto first_type = [](const Bytes& input) { return (run(compress, input)[0] >> 1) & 3; };
    EXPECT_EQ(first_type(bytes_of("hello hello hello")), 1);  // too short for a code of its own
    EXPECT_EQ(first_type(text_bytes(10'000, 1)), 2);
    EXPECT_EQ(first_type(random_bytes(10'000, 1)), 0);
}

TEST(DeflateCompress, CompressesRepetitionToAFewBits) {
    // A run is one literal and matches of 258: about 3 bytes for each 258 × 8 input bytes.
    Bytes run_of_x(1'000'000, 'x');
    Bytes out = run(compress, run_of_x);
    EXPECT_LT(out.size(), 1'000'000 / 258 / 2);
    EXPECT_EQ(run(decompress, out), run_of_x);
    // A mix of text, noise and zeros cuts many blocks of different types.
    Bytes mixed = concat({text_bytes(300'000, 2), random_bytes(100'000, 3), Bytes(100'000, 0), text_bytes(300'000, 4)});
    out = run(compress, mixed);
    EXPECT_LT(out.size(), 500'000u);
    EXPECT_EQ(run(decompress, out), mixed);
}

// Every function reports the exact size needed to a room too small, writes nothing past the
// room, and succeeds with that size.
TEST(DeflateCompress, ReportsTheSizeNeededWithoutWritingPastTheRoom) {
    const Function functions[] = {compress, zlib::compress, gzip::compress,
                                  decompress, zlib::decompress, gzip::decompress};
    const char* names[] = {"deflate", "zlib", "gzip", "inflate", "zlib inflate", "gzip inflate"};
    Bytes input = text_bytes(50'000, 7);
    Bytes packed[] = {run(compress, input), run(zlib::compress, input), run(gzip::compress, input)};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(names[i]);
        const Bytes& source = i < 3 ? input : packed[i - 3];
        Bytes full = run(functions[i], source);
        for (size_t room : {size_t(0), size_t(1), size_t(5), full.size() / 2, full.size() - 1}) {
            SCOPED_TRACE(room);
            Bytes out(room + 64, 0xA5);
            Result r = functions[i](std::span<uint8_t>(out.data(), room), source);
            EXPECT_EQ(r.status, Status::too_small);
            EXPECT_EQ(r.size, full.size());
            EXPECT_TRUE(std::all_of(out.begin() + long(room), out.end(), [](uint8_t b) { return b == 0xA5; }));
        }
    }
}

// ---- the decompressor on streams made by hand ----

// A dynamic block header whose code-length code gives symbols 0 and `second` one bit each
// (0 is "0", `second` is "1"), with hlit 257 and hdist 1.
BitStream dynamic_header(int second) {
    static constexpr int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    auto used = [second](int symbol) { return symbol == 0 || symbol == second; };
    int hclen = 4;
    for (int i = 0; i < 19; ++i)
        if (used(kOrder[i])) hclen = std::max(hclen, i + 1);
    BitStream s;
    s.bits(1, 1).bits(2, 2).bits(0, 5).bits(0, 5).bits(uint32_t(hclen - 4), 4);
    for (int i = 0; i < hclen; ++i) s.bits(used(kOrder[i]) ? 1 : 0, 3);
    return s;
}

struct BadCase {
    const char* name;
    Function fn;
    Bytes input;
    Status expected;
};

TEST(DeflateDecompress, RefusesMalformedStreams) {
    Bytes zlib_empty = hex("78 9C 03 00 00 00 00 01");
    const BadCase cases[] = {
        {"no input", decompress, {}, Status::bad_data},
        {"non-final stored block, then nothing", decompress, hex("00 01 00 FE FF 78"), Status::bad_data},
        {"fixed block without its end code", decompress, fixed_block(true).fixed_literals("a").done(), Status::bad_data},
        {"stored lengths that do not match", decompress, hex("01 01 00 00 00 78"), Status::bad_data},
        {"stored block longer than the input", decompress, hex("01 05 00 FA FF 61 62"), Status::stored_too_long},
        {"block type 3, final", decompress, hex("07"), Status::bad_block_type},
        {"block type 3, not final", decompress, hex("06 00"), Status::bad_block_type},
        {"distance before the output's start", decompress,
         fixed_block(true).code(1, 7).code(0, 5).code(0, 7).done(), Status::distance_too_far},
        {"distance one past the output", decompress,
         fixed_block(true).fixed_literals("a").code(1, 7).code(1, 5).code(0, 7).done(), Status::distance_too_far},
        {"distance code 30", decompress,
         fixed_block(true).fixed_literals("a").code(1, 7).code(30, 5).code(0, 7).done(), Status::bad_data},
        {"length symbol 286", decompress,
         fixed_block(true).fixed_literals("a").code(0xC0 + 6, 8).code(0, 5).code(0, 7).done(), Status::bad_data},
        {"repeat code 16 first", decompress, dynamic_header(16).code(1, 1).bits(0, 2).done(), Status::bad_data},
        {"zeros past the lengths' end", decompress,
         dynamic_header(18).code(1, 1).bits(127, 7).code(1, 1).bits(127, 7).done(), Status::bad_data},
        {"over-subscribed code-length code", decompress,
         BitStream().bits(1, 1).bits(2, 2).bits(0, 10).bits(0, 4).bits(1, 3).bits(1, 3).bits(1, 3).bits(0, 3).done(),
         Status::bad_data},
        {"pattern the code leaves unused", decompress,
         BitStream().bits(1, 1).bits(2, 2).bits(0, 10).bits(0, 4).bits(0, 9).bits(1, 3).code(1, 1).bits(0, 16).done(),
         Status::bad_data},
        {"no code-length code at all", decompress, BitStream().bits(5, 3).bits(0, 14).bits(0, 12).done(), Status::bad_data},
        {"zlib: too short", zlib::decompress, hex("78 9C 03 00"), Status::bad_data},
        {"zlib: check bits", zlib::decompress, hex("78 9D 03 00 00 00 00 01"), Status::bad_data},
        {"zlib: preset dictionary", zlib::decompress, hex("78 20 03 00 00 00 00 01"), Status::bad_data},
        {"zlib: method 9", zlib::decompress, hex("79 18 03 00 00 00 00 01"), Status::bad_data},
        {"zlib: window above 32 KB", zlib::decompress, hex("88 1C 03 00 00 00 00 01"), Status::bad_data},
        {"zlib: Adler-32", zlib::decompress, hex("78 9C 03 00 00 00 00 02"), Status::bad_data},
        {"zlib: stream runs into the trailer", zlib::decompress, hex("78 9C 02 00 00 00 00 01"), Status::bad_data},
        {"zlib: block type 3 passed on", zlib::decompress, hex("78 9C 07 00 00 00 01"), Status::bad_block_type},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(64);
        EXPECT_EQ(c.fn(out, c.input).status, c.expected);
        EXPECT_EQ(c.fn({}, c.input).status, c.expected);
    }
    EXPECT_EQ(run(zlib::decompress, zlib_empty), Bytes());
}

// A member of "hello" with its header, data and trailer laid out.
Bytes gzip_hello(uint8_t flags, const Bytes& fields) {
    Bytes member = concat({hex("1F 8B 08"), {flags}, hex("00 00 00 00 00 03"), fields});
    Bytes data = run(compress, bytes_of("hello"));
    // CRC-32 of "hello" is 3610A686.
    return concat({member, data, hex("86 A6 10 36 05 00 00 00")});
}

TEST(GzipDecompress, RefusesMalformedMembers) {
    Bytes good = gzip_hello(0, {});
    ASSERT_EQ(run(gzip::decompress, good), bytes_of("hello"));
    auto changed = [&good](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    Bytes fields_name_unended = concat({hex("1F 8B 08 08 00 00 00 00 00 03"), Bytes(20, 'n')});
    const BadCase cases[] = {
        {"shorter than a header and trailer", gzip::decompress, Bytes(good.begin(), good.begin() + 17), Status::bad_data},
        {"magic", gzip::decompress, changed(1, 0x8C), Status::bad_data},
        {"method", gzip::decompress, changed(2, 7), Status::bad_data},
        {"reserved flag", gzip::decompress, changed(3, 0x20), Status::bad_data},
        {"name never ends", gzip::decompress, fields_name_unended, Status::bad_data},
        {"extra field past the end", gzip::decompress, gzip_hello(4, hex("FF 00 01 02")), Status::bad_data},
        {"header CRC", gzip::decompress, gzip_hello(2, hex("12 34")), Status::bad_data},
        {"CRC-32", gzip::decompress, changed(good.size() - 8, 0x87), Status::bad_data},
        {"stored length above the output", gzip::decompress, changed(good.size() - 4, 6), Status::bad_data},
        {"stored length below the output", gzip::decompress, changed(good.size() - 4, 4), Status::bad_data},
        {"bytes after the member", gzip::decompress, concat({good, hex("00 00 00 00")}), Status::bad_data},
        {"a second member cut short", gzip::decompress, concat({good, Bytes(good.begin(), good.end() - 1)}),
         Status::bad_data},
        {"data cut short", gzip::decompress,
         concat({Bytes(good.begin(), good.begin() + 12), Bytes(good.end() - 8, good.end())}), Status::bad_data},
    };
    // A measure may first answer with the stored length; filling that room then fails.
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        Result r = c.fn({}, c.input);
        if (r.status == Status::too_small) {
            Bytes out(r.size);
            r = c.fn(out, c.input);
        }
        EXPECT_EQ(r.status, c.expected);
    }
}

TEST(GzipDecompress, TakesTheStoredLengthAsAHintOnly) {
    Bytes member = gzip_hello(0, {});
    // A plausible length answers a measure without inflating; filling that room then fails.
    Bytes plausible = member;
    plausible[plausible.size() - 3] = 0x10;  // 4,101 bytes
    Result r = gzip::decompress({}, plausible);
    EXPECT_EQ(r.status, Status::too_small);
    EXPECT_EQ(r.size, 4101u);
    Bytes out(r.size);
    EXPECT_EQ(gzip::decompress(out, plausible).status, Status::bad_data);
    // A length no input this short could inflate to is not believed: the data is inflated
    // and found wrong, and no room of that size is ever asked for.
    Bytes absurd = member;
    std::fill(absurd.end() - 4, absurd.end(), 0xFF);
    EXPECT_EQ(gzip::decompress({}, absurd).status, Status::bad_data);
}

TEST(GzipCompress, KeepsAGzipMemberAsItIs) {
    Bytes member = gzip_hello(0, {});
    EXPECT_EQ(run(gzip::compress, member), member);
    Bytes out(member.size() - 1);
    EXPECT_EQ(gzip::compress(out, member).status, Status::too_small);
}

// Every proper prefix of a stream is refused, never taken as its partial output. A gzip
// prefix may first answer with a size read from its last bytes; filling that room then fails.
TEST(DeflateDecompress, RefusesEveryTruncation) {
    Bytes input = concat({text_bytes(3000, 9), random_bytes(300, 9)});
    const Function functions[] = {decompress, zlib::decompress, gzip::decompress};
    const Bytes streams[] = {run(compress, input), run(zlib::compress, input), run(gzip::compress, input)};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        Bytes out(input.size());
        ASSERT_EQ(functions[i](out, streams[i]).status, Status::done);
        for (size_t n = 0; n < streams[i].size(); ++n) {
            Bytes prefix(streams[i].begin(), streams[i].begin() + long(n));
            Result r = functions[i](out, prefix);
            if (r.status == Status::too_small && i == 2) {
                Bytes room(r.size);
                r = functions[i](room, prefix);
            }
            EXPECT_TRUE(r.status == Status::bad_data || r.status == Status::stored_too_long)
                << "prefix " << n << " status " << int(r.status);
        }
    }
}

// ---- against other tools ----

// A scratch directory with the inputs, removed at the end.
class Interop : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kaz-deflate-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        inputs_ = {
            {"empty", {}},
            {"one", bytes_of("z")},
            {"two", bytes_of("zz")},
            {"three", bytes_of("zzz")},
            {"text", text_bytes(200'000, 1)},
            {"random", random_bytes(100'000, 2)},
            {"period3", periodic_bytes(100'000, "abc")},
            {"run", Bytes(70'000, 'x')},
            {"text65535", text_bytes(65'535, 3)},
            {"text65536", text_bytes(65'536, 3)},
            {"text65537", text_bytes(65'537, 3)},
            {"random65535", random_bytes(65'535, 4)},
            {"random65536", random_bytes(65'536, 4)},
            {"random65537", random_bytes(65'537, 4)},
            {"mixed", concat({text_bytes(150'000, 5), random_bytes(40'000, 5), Bytes(40'000, 0), text_bytes(150'000, 6)})},
        };
        for (const auto& [name, data] : inputs_) write(name + ".in", data);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const std::string& name, const Bytes& data) {
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }
    Bytes read(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        EXPECT_TRUE(in) << name;
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Runs a shell command in the scratch directory.
    void shell(const std::string& command) {
        std::string line = "cd '" + dir_.string() + "' && " + command;
        ASSERT_EQ(std::system(line.c_str()), 0) << command;
    }
    void python(const std::string& script) {
        write("script.py", bytes_of(script));
        shell("python3 script.py");
    }

    fs::path dir_;
    std::vector<std::pair<std::string, Bytes>> inputs_;
};

TEST_F(Interop, OurStreamsReadElsewhere) {
    for (const auto& [name, data] : inputs_) {
        write(name + ".raw", run(compress, data));
        write(name + ".zz", run(zlib::compress, data));
        write(name + ".gz", run(gzip::compress, data));
    }
    python(R"(
import glob, gzip, sys, zlib
bad = []
for path in glob.glob('*.in'):
    stem = path[:-3]
    data = open(path, 'rb').read()
    if zlib.decompress(open(stem + '.raw', 'rb').read(), -15) != data: bad.append(stem + '.raw')
    if zlib.decompress(open(stem + '.zz', 'rb').read()) != data: bad.append(stem + '.zz')
    if gzip.decompress(open(stem + '.gz', 'rb').read()) != data: bad.append(stem + '.gz')
if bad:
    sys.exit('wrong: ' + ' '.join(bad))
)");
    shell("for f in *.in; do gzip -dc \"${f%.in}.gz\" | cmp -s - \"$f\" || exit 1; done");
}

TEST_F(Interop, TheirStreamsReadHere) {
    // Every level, window size and strategy, flushes that leave empty stored blocks, and a
    // member whose header carries every optional field; the list names each stream's input.
    python(R"(
import glob, zlib
out = open('list', 'w')
def save(name, stem, data):
    open(name, 'wb').write(data)
    out.write(name + ' ' + stem + '\n')
def raw(data, level=6, wbits=15, mem=8, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -wbits, mem, strategy)
    return c.compress(data) + c.flush()
for path in glob.glob('*.in'):
    stem = path[:-3]
    data = open(path, 'rb').read()
    for level in (0, 1, 6, 9):
        for wbits in (9, 12, 15):
            save('%s.l%dw%d.raw' % (stem, level, wbits), stem, raw(data, level, wbits))
    for s in ('Z_FILTERED', 'Z_HUFFMAN_ONLY', 'Z_RLE', 'Z_FIXED'):
        save('%s.%s.raw' % (stem, s), stem, raw(data, strategy=getattr(zlib, s)))
    save(stem + '.mem1.raw', stem, raw(data, 9, 15, 1))
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    flushed = b''
    for i in range(0, len(data), 10000):
        flushed += c.compress(data[i:i + 10000]) + c.flush(zlib.Z_SYNC_FLUSH if i % 20000 else zlib.Z_FULL_FLUSH)
    save(stem + '.flushed.raw', stem, flushed + c.flush())
    for wbits in range(9, 16):
        c = zlib.compressobj(6, zlib.DEFLATED, wbits)
        save('%s.w%d.zz' % (stem, wbits), stem, c.compress(data) + c.flush())
    c = zlib.compressobj(9, zlib.DEFLATED, 31)
    save(stem + '.py.gz', stem, c.compress(data) + c.flush())
    head = b'\x1f\x8b\x08\x1e\x00\x00\x00\x00\x02\x03' + b'\x04\x00ab\x01\x02' + b'name.txt\x00' + b'a comment\x00'
    head += (zlib.crc32(head) & 0xFFFF).to_bytes(2, 'little')
    member = head + raw(data) + zlib.crc32(data).to_bytes(4, 'little') + (len(data) & 0xFFFFFFFF).to_bytes(4, 'little')
    save(stem + '.fields.gz', stem, member)
)");
    shell("for f in *.in; do s=${f%.in}; gzip -1 -c \"$f\" > \"$s.g1.gz\" && gzip -9 -c \"$f\" > \"$s.g9.gz\" && "
          "echo \"$s.g1.gz $s\" >> list && echo \"$s.g9.gz $s\" >> list || exit 1; done");
    Bytes names = read("list");
    std::istringstream list(std::string(names.begin(), names.end()));
    std::string file, stem;
    int streams = 0;
    while (list >> file >> stem) {
        SCOPED_TRACE(file);
        Function fn = file.ends_with(".raw") ? decompress : file.ends_with(".zz") ? zlib::decompress : gzip::decompress;
        EXPECT_EQ(run(fn, read(file)), read(stem + ".in"));
        ++streams;
    }
    EXPECT_EQ(streams, int(inputs_.size()) * 29);
}

TEST_F(Interop, ReadsGzipMembersBackToBack) {
    shell("gzip -c text.in > joined.gz && gzip -c empty.in >> joined.gz && gzip -9 -c random.in >> joined.gz");
    Bytes joined = read("joined.gz");
    Bytes expected = concat({read("text.in"), read("random.in")});
    // The last member's stored length only hints at the total: filling a room of that size
    // reports the whole size, and a room of that size takes every member.
    Result hint = gzip::decompress({}, joined);
    EXPECT_EQ(hint.status, Status::too_small);
    EXPECT_EQ(hint.size, 100'000u);
    Bytes out(hint.size);
    Result r = gzip::decompress(out, joined);
    EXPECT_EQ(r.status, Status::too_small);
    ASSERT_EQ(r.size, expected.size());
    out.resize(r.size);
    r = gzip::decompress(out, joined);
    EXPECT_EQ(r.status, Status::done);
    EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace kaz::deflate
