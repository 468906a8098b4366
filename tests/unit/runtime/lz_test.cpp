#include "runtime/lz.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/heap.h"

namespace kaz::lz {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

uint32_t u32_at(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

void append_u32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

struct Decoded {
    Status status;
    std::optional<Bytes> output;
};

// Decodes from an exact-size heap copy, so that a read past the end trips the address
// sanitizer; checks that a failure leaves no tracked block behind.
Decoded decode(const Bytes& block) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[block.size()]);
    if (!block.empty()) std::memcpy(copy.get(), block.data(), block.size());
    size_t blocks_before = heap::block_count();
    size_t length = 0;
    Status status = Status::ok;
    uint8_t* out = decompress(copy.get(), block.size(), &length, &status);
    if (!out) {
        EXPECT_NE(status, Status::ok);
        EXPECT_EQ(heap::block_count(), blocks_before);
        return {status, std::nullopt};
    }
    EXPECT_EQ(status, Status::ok);
    Bytes result(out, out + length);
    free_output(out);
    return {status, std::move(result)};
}

struct Chunk {
    uint32_t length;
    Bytes bits;
};

// A block around hand-written bit streams; the chunk area length is computed.
Bytes make_block(uint32_t total, std::initializer_list<Chunk> chunks) {
    Bytes area;
    for (const Chunk& c : chunks) {
        append_u32(area, c.length);
        area.insert(area.end(), c.bits.begin(), c.bits.end());
    }
    Bytes block;
    append_u32(block, uint32_t(area.size()));
    append_u32(block, total);
    block.insert(block.end(), area.begin(), area.end());
    return block;
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(gen());
    return b;
}

Bytes text_bytes(size_t n, uint32_t seed) {
    static constexpr std::string_view kWords[] = {"the ", "series ", "value ", "block ",
                                                  "of ", "word ", "context\n", "a ", "bind "};
    std::mt19937 gen(seed);
    Bytes b;
    while (b.size() < n) {
        std::string_view w = kWords[gen() % std::size(kWords)];
        b.insert(b.end(), w.begin(), w.end());
    }
    b.resize(n);
    return b;
}

// 2.5 MB over three chunks: random runs, text, zeros, copies from near, from beyond 64 KB
// and from beyond the match window.
Bytes mixed_bytes() {
    Bytes b;
    auto add = [&b](const Bytes& run) { b.insert(b.end(), run.begin(), run.end()); };
    add(random_bytes(300'000, 1));
    add(text_bytes(400'000, 2));
    add(Bytes(200'000, 0));
    Bytes far(b.begin() + 500'000, b.begin() + 600'000);  // about 400 KB back
    add(far);
    Bytes near(b.end() - 150'000, b.end() - 50'000);      // 150 KB back
    add(near);
    add(random_bytes(500'000, 3));
    add(text_bytes(b.size() < 2'621'440 ? 2'621'440 - b.size() : 0, 4));
    return b;
}

std::optional<Bytes> read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void expect_round_trip(const Bytes& input, size_t max_compressed) {
    Bytes block = compress(input.data(), input.size());
    ASSERT_GE(block.size(), kHeaderSize);
    EXPECT_EQ(u32_at(block, 0), block.size() - kHeaderSize);
    EXPECT_EQ(u32_at(block, 4), input.size());
    EXPECT_LE(block.size(), max_compressed);
    Decoded d = decode(block);
    ASSERT_EQ(d.status, Status::ok) << status_text(d.status);
    EXPECT_TRUE(*d.output == input);
}

// Bound for data that does not compress: 9 bits per literal, a length word and a padding
// byte per chunk.
size_t literal_bound(size_t n) {
    return kHeaderSize + n + n / 8 + 5 * (n / kChunkSize + 1);
}

TEST(LzCodec, RoundTripsEveryKindOfInput) {
    Bytes periodic;
    for (int i = 0; i < 30'000; ++i) periodic.push_back(uint8_t("abc"[i % 3]));
    struct Case {
        const char* name;
        Bytes input;
        size_t max_compressed;
    };
    const Case cases[] = {
        {"empty", {}, kHeaderSize},
        {"one byte", {0xFF}, kHeaderSize + 4 + 2},
        {"short text", bytes_of("to be or not to be, that is the question"), 60},
        {"127 bytes, the last stored as literals", text_bytes(127, 5), literal_bound(127)},
        {"128 bytes, the first matched", text_bytes(128, 5), 128},
        {"period 3", periodic, 600},
        {"1 MB of zeros, exactly one chunk", Bytes(kChunkSize, 0), 5'200},
        {"1 MB + 1, a one-byte second chunk", Bytes(kChunkSize + 1, 7), 5'220},
        {"random", random_bytes(100'000, 6), literal_bound(100'000)},
        {"2.5 MB mixed", mixed_bytes(), 1'650'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_round_trip(c.input, c.max_compressed);
    }
}

TEST(LzCodec, RoundTripsRealFiles) {
    struct Case {
        const char* path;
        double max_ratio;
    };
    const Case cases[] = {{"/usr/share/common-licenses/GPL-3", 0.5}, {"/usr/bin/bash", 0.8}};
    int found = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::optional<Bytes> file = read_file(c.path);
        if (!file) continue;
        ++found;
        expect_round_trip(*file, size_t(double(file->size()) * c.max_ratio));
    }
    if (found == 0) GTEST_SKIP() << "no system file to compress";
}

TEST(LzCodec, EncodesTheExactBits) {
    // 127 bytes are stored as 127 literals: 1143 bits in 143 bytes after the length word.
    Bytes short_run(127, 'a');
    EXPECT_EQ(compress(short_run.data(), short_run.size()).size(), kHeaderSize + 4 + 143);

    // 128 bytes are matched: literal 'a', then 127 bytes from 1 back.
    //   0 10000110              literal 0x61
    //   1 00000 000100100       match, prefix 00000, L - 52 = 72 (L = 124, 127 bytes)
    //   0000 000                k = 2, D = 0
    Bytes run(128, 'a');
    Bytes expected = make_block(128, {{128, {0xC2, 0x02, 0x24, 0x00}}});
    EXPECT_EQ(compress(run.data(), run.size()), expected);
}

// A token of a one-chunk block: a literal (count 0) or a match.
struct Token {
    uint32_t at, count, distance;
};

// Lists the tokens of a one-chunk block, to see which matches the encoder chose.
std::vector<Token> tokens_of(const Bytes& block) {
    std::vector<Token> tokens;
    size_t byte = kHeaderSize + 4;
    int bit = 0;
    auto take = [&](int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            v |= uint32_t(block.at(byte) >> bit & 1) << i;
            if (++bit == 8) bit = 0, ++byte;
        }
        return v;
    };
    const uint32_t total = u32_at(block, kHeaderSize);
    static constexpr int kExtra[] = {2, 2, 2, 3, 5, 9};
    static constexpr uint32_t kBase[] = {0, 4, 8, 12, 20, 52};
    for (uint32_t at = 0; at < total;) {
        if (take(1) == 0) {
            take(8);
            tokens.push_back({at++, 0, 0});
            continue;
        }
        int cls = 0;
        while (cls < 5 && take(1) == 0) ++cls;
        uint32_t count = kBase[cls] + take(kExtra[cls]) + 3;
        uint32_t k = take(4) + 2;
        uint32_t d = k == 2 ? take(3) : take(int(k)) + (1u << k);
        tokens.push_back({at, count, d + 1});
        at += count;
    }
    return tokens;
}

// Filler that shares no byte with the upper-case and digit marks placed in it.
Bytes filler(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t('a' + gen() % 26);
    return b;
}

Token token_at(const Bytes& block, uint32_t at) {
    for (const Token& t : tokens_of(block))
        if (t.at == at) return t;
    ADD_FAILURE() << "no token starts at " << at;
    return {};
}

TEST(LzCodec, DropsShortMatchesFromFarBack) {
    struct Case {
        std::string_view first, second;
        uint32_t distance;
        uint32_t count;  // 0: stored as a literal
    };
    const Case cases[] = {
        {"XYZ1", "XYZ2", 65'536, 3},
        {"XYZ1", "XYZ2", 65'537, 0},
        {"XYZW", "XYZW", 200'000, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.distance);
        Bytes input = bytes_of(c.first);
        Bytes gap = filler(c.distance - c.first.size(), 11);
        input.insert(input.end(), gap.begin(), gap.end());
        input.insert(input.end(), c.second.begin(), c.second.end());
        Bytes block = compress(input.data(), input.size());
        Token t = token_at(block, c.distance);
        EXPECT_EQ(t.count, c.count);
        EXPECT_EQ(t.distance, c.count ? c.distance : 0);
        EXPECT_TRUE(decode(block).output == input);
    }
}

// A farther, longer match must beat the nearer one by one byte for every time its distance
// / 16 can be divided by 8 while above the nearer distance: 5000 against 20 costs 2 bytes.
TEST(LzCodec, WeighsLongerMatchesAgainstTheirDistance) {
    struct Case {
        size_t far_length;
        Token expected;
    };
    const Case cases[] = {{5, {0, 4, 20}}, {6, {0, 4, 20}}, {7, {0, 7, 5'000}}};
    const std::string_view text = "ABCDEFGHIJKL";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.far_length);
        Bytes input = filler(50, 12);
        input.insert(input.end(), text.begin(), text.begin() + c.far_length);
        input.push_back('#');
        uint32_t at = 50 + 5'000;
        Bytes gap = filler(at - 20 - input.size(), 13);
        input.insert(input.end(), gap.begin(), gap.end());
        for (char ch : std::string_view("ABCD%")) input.push_back(uint8_t(ch));
        gap = filler(at - input.size(), 14);
        input.insert(input.end(), gap.begin(), gap.end());
        input.insert(input.end(), text.begin(), text.end());
        Bytes tail = filler(50, 15);
        input.insert(input.end(), tail.begin(), tail.end());

        Bytes block = compress(input.data(), input.size());
        Token t = token_at(block, at);
        EXPECT_EQ(t.count, c.expected.count);
        EXPECT_EQ(t.distance, c.expected.distance);
        EXPECT_TRUE(decode(block).output == input);
    }
}

// Bit streams are written in the order they are read, each byte from its least significant bit.
TEST(LzCodec, DecodesHandBuiltStreams) {
    struct Case {
        const char* name;
        Bytes block;
        std::string_view expected;
    };
    const Case cases[] = {
        // 0 10000010            literal 0x41
        {"a literal", make_block(1, {{1, {0x82, 0x00}}}), "A"},
        // 0 00011110 | 0 10011110 | 0 01011110 | 0 11101110   literals x y z w
        // 1 1 10                match, prefix 1, L = 1: 4 bytes
        // 0000 110              k = 2, then a 3-bit distance: D = 3, from 4 back
        {"k = 2 reads a 3-bit distance", make_block(8, {{8, {0xF0, 0xE4, 0xD1, 0x73, 0x77, 0x30}}}),
         "xyzwxyzw"},
        // 0 10000110 | 0 01000110                 literals a b
        // 1 01 10                match, prefix 01, L = 4 + 1: 8 bytes
        // 0000 100               k = 2, D = 1: from 2 back, overlapping its own output
        {"overlapping copy", make_block(10, {{10, {0xC2, 0x88, 0x35, 0x08}}}), "ababababab"},
        // literals 0 to 9 (0 00001100 ... 0 10011100), then
        // 1 1 00                 match, L = 0: 3 bytes
        // 1000 100               k = 3, then 3 bits + 8: D = 9, from 10 back
        {"k = 3 adds 2^k", make_block(13, {{13, {0x60, 0xC4, 0x90, 0x31, 0x83, 0x46, 0x0D, 0x1B,
                                                 0x37, 0x70, 0xE4, 0x4C, 0x04}}}),
         "0123456789012"},
        // 0 10000110 1 1 00 0000 000   literal a, then 3 bytes from 1 back
        {"match to the chunk's end", make_block(4, {{4, {0xC2, 0x06, 0x00}}}), "aaaa"},
        // each chunk starts on a fresh byte with an empty bit buffer
        {"two chunks", make_block(2, {{1, {0x82, 0x00}}, {1, {0xC2, 0x00}}}), "Aa"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d = decode(c.block);
        ASSERT_EQ(d.status, Status::ok) << status_text(d.status);
        EXPECT_EQ(std::string(d.output->begin(), d.output->end()), c.expected);
    }
}

TEST(LzCodec, RefusesMalformedBlocks) {
    Bytes area_too_long = make_block(1, {{1, {0x82, 0x00}}});
    area_too_long[0] += 1;
    Bytes too_big_chunk = make_block(kChunkSize + 1, {{kChunkSize + 1, Bytes(6'000, 0)}});
    struct Case {
        const char* name;
        Bytes block;
        Status expected;
    };
    const Case cases[] = {
        {"no header", {0, 0, 0, 0, 0, 0, 0}, Status::truncated},
        {"chunk area longer than the data", area_too_long, Status::bad_area_length},
        {"chunk length 0", make_block(1, {{0, {0x82, 0x00}}}), Status::bad_chunk_length},
        {"chunk length above 1 MB", too_big_chunk, Status::bad_chunk_length},
        {"chunk longer than the output left", make_block(1, {{2, {0x82, 0x00}}}),
         Status::bad_chunk_length},
        {"length word cut", make_block(1, {{1, {0x82, 0x00, 0x01, 0x00}}}), Status::truncated},
        // 1 1 00 0000 000: 3 bytes from 1 back, with nothing before
        {"match at the chunk start", make_block(3, {{3, {0x03, 0x00}}}),
         Status::match_before_start},
        // the second chunk's match would reach into the first chunk's output
        {"match into the previous chunk", make_block(4, {{1, {0xC2, 0x00}}, {3, {0x03, 0x00}}}),
         Status::match_before_start},
        {"match past the chunk's end", make_block(3, {{3, {0xC2, 0x06, 0x00}}}),
         Status::match_past_end},
        {"fewer bytes than declared", make_block(2, {{1, {0x82, 0x00}}}), Status::length_mismatch},
        {"bit stream cut", make_block(2, {{2, {0x82, 0x00}}}), Status::truncated},
        {"absurd declared length", make_block(0xFFFFFFFF, {{1, {0x82, 0x00}}}),
         Status::absurd_length},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(c.block).status, c.expected);
    }
}

TEST(LzCodec, BoundsTheDeclaredLengthByTheBestRatio) {
    // A longest match at the nearest distance takes 22 bits for 566 bytes: 100 bytes of
    // chunk area can produce at most 800 * 566 / 22 = 20581 bytes.
    Bytes block = make_block(20'581, {{1, Bytes(96, 0)}});
    Bytes over = make_block(20'582, {{1, Bytes(96, 0)}});
    // Passes the bound; its zero bits then decode to a literal and a chunk length of 0.
    EXPECT_EQ(decode(block).status, Status::bad_chunk_length);
    EXPECT_EQ(decode(over).status, Status::absurd_length);

    // 1 MB of zeros packs into 5101 bytes of chunk area, within 0.2% of the bound.
    Bytes zeros(kChunkSize, 0);
    Bytes packed = compress(zeros.data(), zeros.size());
    EXPECT_EQ(decode(packed).status, Status::ok);
}

TEST(LzCodec, NeverReadsPastATruncatedBlock) {
    Bytes input = text_bytes(3'000, 8);
    Bytes tail = random_bytes(200, 9);
    input.insert(input.end(), tail.begin(), tail.end());
    Bytes block = compress(input.data(), input.size());
    for (size_t n = 0; n < block.size(); ++n) {
        SCOPED_TRACE(n);
        Bytes prefix(block.begin(), block.begin() + n);
        EXPECT_EQ(decode(prefix).status,
                  n < kHeaderSize ? Status::truncated : Status::bad_area_length);
        // With the area length made to agree, the bit reader itself meets the end.
        if (n < kHeaderSize) continue;
        uint32_t area = uint32_t(n - kHeaderSize);
        for (int i = 0; i < 4; ++i) prefix[i] = uint8_t(area >> (8 * i));
        Status s = decode(prefix).status;
        EXPECT_TRUE(s == Status::truncated || s == Status::absurd_length) << status_text(s);
    }
}

TEST(LzCodec, CompressesConcurrentlyWithoutSharedTables) {
    const Bytes inputs[] = {mixed_bytes(), text_bytes(1'500'000, 10)};
    Bytes expected[2];
    for (int i = 0; i < 2; ++i) expected[i] = compress(inputs[i].data(), inputs[i].size());
    Bytes got[2];
    std::thread a([&] { got[0] = compress(inputs[0].data(), inputs[0].size()); });
    std::thread b([&] { got[1] = compress(inputs[1].data(), inputs[1].size()); });
    a.join();
    b.join();
    EXPECT_TRUE(got[0] == expected[0]);
    EXPECT_TRUE(got[1] == expected[1]);
}

}  // namespace
}  // namespace kaz::lz
