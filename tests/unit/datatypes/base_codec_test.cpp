// The base 2, 16, 58 and 64 codecs: RFC 4648's vectors, the usual base-58 vectors, Python's
// texts of pseudo-random bytes (base_codec_vectors.inc, from make_base_vectors.py) in every
// unit a string buffer has, and what each decoder skips and refuses.
#include "datatypes/base_codec.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"

namespace kaz::binary {
namespace {

using namespace std::string_view_literals;

struct BaseCase {
    uint64_t seed;
    size_t length;
    size_t zeros;  // leading zero bytes before the seed's bytes
    const char* text[4];  // base 2, 16, 58, 64
};
struct BaseDigestCase {
    uint64_t seed;
    size_t length;
    const char* sha256[4];  // "" where not given
};
#include "base_codec_vectors.inc"

constexpr Base kBases[] = {Base::base2, Base::base16, Base::base58, Base::base64};

// The splitmix64 stream of a seed, eight little-endian bytes a step, as the generator makes it.
std::string splitmix_bytes(uint64_t seed, size_t n) {
    std::string out;
    uint64_t state = seed;
    while (out.size() < n) {
        state += 0x9E3779B97F4A7C15;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        z ^= z >> 31;
        for (int i = 0; i < 8; ++i) out += char(uint8_t(z >> (8 * i)));
    }
    out.resize(n);
    return out;
}

std::string hex_bytes(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}

// Decodes into a heap block of exactly decoded_capacity bytes, so that a write past it trips
// the address sanitizer.
std::optional<std::string> decoded(Base base, Text text) {
    size_t capacity = decoded_capacity(base, text.length);
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]);
    auto n = decode(base, out.get(), text);
    if (!n) return std::nullopt;
    EXPECT_LE(*n, capacity);
    return std::string(reinterpret_cast<char*>(out.get()), *n);
}

// The same text in 2- and 4-byte units, as wider strings hold it.
std::u16string widen16(std::string_view s) { return {s.begin(), s.end()}; }
std::u32string widen32(std::string_view s) { return {s.begin(), s.end()}; }

std::string sha256_hex(std::string_view text) {
    platform::crypto::Digest d;
    EXPECT_TRUE(platform::crypto::digest(platform::crypto::Algorithm::sha256,
                                         {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, d));
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d.view()) s += {digits[b >> 4], digits[b & 15]};
    return s;
}

// ---- published vectors ----

TEST(BaseCodec, Rfc4648Vectors) {
    const std::pair<std::string_view, std::string_view> base64[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    const std::pair<std::string_view, std::string_view> base16[] = {
        {"", ""}, {"f", "66"}, {"fo", "666F"}, {"foo", "666F6F"}, {"foob", "666F6F62"}, {"fooba", "666F6F6261"}, {"foobar", "666F6F626172"},
    };
    for (auto [bytes, text] : base64) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(encode(Base::base64, bytes), text);
        EXPECT_EQ(decoded(Base::base64, text), bytes);
    }
    for (auto [bytes, text] : base16) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(encode(Base::base16, bytes), text);
        EXPECT_EQ(decoded(Base::base16, text), bytes);
    }
}

TEST(BaseCodec, UsualBase58Vectors) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", ""},
        {"61", "2g"},
        {"626262", "a3gV"},
        {"636363", "aPEr"},
        {"73696d706c792061206c6f6e6720737472696e67", "2cFupjhnEsSn59qHXstmK2ffpLv2"},
        {"00eb15231dfceb60925886b67d065299925915aeb172c06647", "1NS17iag9jJgTHD1VXjvLCEnZuQ3rJDE9L"},
        {"516b6fcd0f", "ABnLTmg"},
        {"bf4f89001e670274dd", "3SEo3LWLoPntC"},
        {"572e4794", "3EFU7m"},
        {"ecac89cad93923c02321", "EJDM8drfXA6uyA"},
        {"10c8511e", "Rt5zm"},
        {"00000000000000000000", "1111111111"},
        {"000111d38e5fc9071ffcd20b4a763cc9ae4f252bb4e48fd66a835e252ada93ff480d6dd43dc62a641155a5",
         "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"},
        {"000000287fb4cd", "111233QC4"},
    };
    for (auto [hex, text] : cases) {
        SCOPED_TRACE(text);
        std::string bytes = hex_bytes(hex);
        EXPECT_EQ(encode(Base::base58, bytes), text);
        EXPECT_EQ(decoded(Base::base58, text), bytes);
    }
}

// ---- against Python ----

TEST(BaseCodec, AgreesWithPythonInEveryUnit) {
    for (const BaseCase& c : kBaseCases) {
        std::string bytes = std::string(c.zeros, '\0') + splitmix_bytes(c.seed, c.length - c.zeros);
        for (size_t b = 0; b < std::size(kBases); ++b) {
            Base base = kBases[b];
            std::string_view text = c.text[b];
            SCOPED_TRACE(testing::Message() << "base " << int(base) << " length " << c.length << " zeros " << c.zeros);
            std::string ours = encode(base, bytes);
            ASSERT_EQ(ours, text);
            if (base == Base::base58) ASSERT_LE(ours.size(), encoded_length(base, bytes.size()));
            else ASSERT_EQ(ours.size(), encoded_length(base, bytes.size()));
            ASSERT_EQ(decoded(base, text), bytes);
            std::u16string text16 = widen16(text);
            std::u32string text32 = widen32(text);
            ASSERT_EQ(decoded(base, std::u16string_view(text16)), bytes);
            ASSERT_EQ(decoded(base, std::u32string_view(text32)), bytes);
        }
    }
}

TEST(BaseCodec, LongInputsAgreeWithPython) {
    for (const BaseDigestCase& c : kLongBaseCases) {
        std::string bytes = splitmix_bytes(c.seed, c.length);
        for (size_t b = 0; b < std::size(kBases); ++b) {
            if (!*c.sha256[b]) continue;
            SCOPED_TRACE(testing::Message() << "base " << int(kBases[b]) << " length " << c.length);
            std::string text = encode(kBases[b], bytes);
            EXPECT_EQ(sha256_hex(text), c.sha256[b]);
            EXPECT_EQ(decoded(kBases[b], std::string_view(text)), bytes);
        }
    }
}

// ---- what decoders skip and refuse ----

struct DecodeCase {
    std::u32string_view text;
    std::optional<std::string_view> bytes;  // nothing: refused
};

void check_decodes(Base base, std::initializer_list<DecodeCase> cases) {
    for (const DecodeCase& c : cases) {
        std::string shown;
        for (char32_t ch : c.text) shown += ch < 128 ? std::string(1, char(ch)) : "<U+" + std::to_string(uint32_t(ch)) + ">";
        SCOPED_TRACE(testing::Message() << "base " << int(base) << " \"" << shown << "\"");
        EXPECT_EQ(decoded(base, c.text), c.bytes);
        // Texts that fit Latin-1 decode the same from 1-byte units.
        bool latin1 = true;
        for (char32_t ch : c.text) latin1 &= ch < 256;
        if (latin1) {
            std::string narrow(c.text.begin(), c.text.end());
            EXPECT_EQ(decoded(base, std::string_view(narrow)), c.bytes);
        }
    }
}

TEST(BaseCodec, Base2SkipsControlsAndRefusesLeftOverBits) {
    check_decodes(Base::base2, {
        {U"01000001", "A"},
        {U"0100 0001\t\r\n\x01\x1F 01000010", "AB"},
        {U"01000001 ; a comment 0x\n01000010", "AB"},
        {U"01000001;no line feed", "A"},
        {U"", ""},
        {U"0100000", std::nullopt},            // seven bits
        {U"010000011", std::nullopt},
        {U"01000002", std::nullopt},
        {U"0100000\u00B1", std::nullopt},      // 0xB1 is "1" modulo 128
        {U"0100000\u0131", std::nullopt},
    });
}

TEST(BaseCodec, Base16RefusesWhatIsNotAnAsciiDigit) {
    check_decodes(Base::base16, {
        {U"ABC", "\xAB"},                      // the odd last digit is dropped
        {U"A B;C", "\xAB"},                    // a blank skipped, a comment to the end
        {U"a;x\nb", "\xAB"},
        {U"4a4B", "JK"},
        {U"\x01\x1F 4\t1", "A"},
        {U"", ""},
        {U"G1", std::nullopt},
        {U"41\x7F", std::nullopt},
        // Modulo 128 each of these would be a digit: 0xC1 "A", 0xB0 "0", 0x130 "0", 0x1F130 "0".
        {U"\u00C1\u00C1", std::nullopt},
        {U"4\u00B0", std::nullopt},
        {U"4\u0130", std::nullopt},
        {U"4\U0001F130", std::nullopt},
    });
}

TEST(BaseCodec, Base58SkipsItsBlanksAndRefusesTheRest) {
    check_decodes(Base::base58, {
        {U"11", std::string_view("\0\0", 2)},
        {U"1 1\t'2g", std::string_view("\0\0a", 3)},  // leading "1"s count across blanks
        {U"\b\t\n\f\r '2g", "a"},
        {U"2g;comment\n", "a"},
        {U"", ""},
        {U"0", std::nullopt},                  // 0, O, I and l are not digits
        {U"O", std::nullopt},
        {U"I", std::nullopt},
        {U"l", std::nullopt},
        {U"2\x0Bg", std::nullopt},             // vertical tab is not a blank here
        {U"2g\u00E9", std::nullopt},
        {U"2g\u00B2", std::nullopt},           // 0xB2 is "2" modulo 128
    });
    EXPECT_EQ(encode(Base::base58, std::string_view("\0\0", 2)), "11");
}

TEST(BaseCodec, Base64EndsAtPaddingAndDropsACutGroup) {
    check_decodes(Base::base64, {
        {U"YWJj", "abc"},
        {U"YQ==", "a"},
        {U"YWI=", "ab"},
        {U"YQ=", "a"},                         // "=" ends the data at once
        {U"YQ==!!not base 64", "a"},
        {U"YW Jj\n\t\r\b\f'", "abc"},
        {U"YW;comment\nJj", "abc"},
        {U"YWJjYQ", "abc"},                    // a group cut short without "=" is dropped
        {U"YWJj;YQ==", "abc"},
        {U"", ""},
        {U"=", std::nullopt},
        {U"Y===", std::nullopt},
        {U"YWJj=", std::nullopt},
        {U"YW\x0BJj", std::nullopt},
        {U"YW\x01Jj", std::nullopt},
        {U"-_8=", std::nullopt},               // the URL alphabet is another one
        {U"YW\u00E9Jj", std::nullopt},
        {U"YW\u00CAJj", std::nullopt},         // 0xCA is "J" modulo 128
    });
    EXPECT_EQ(encode(Base::base64, "abc"sv), "YWJj");
    EXPECT_EQ(encode(Base::base64, "a"sv), "YQ==");
}

TEST(BaseCodec, EncodersWriteOneLineEachWay) {
    EXPECT_EQ(encode(Base::base2, "\x80\x01"sv), "1000000000000001");
    EXPECT_EQ(encode(Base::base16, "\x00\xFF\x5A"sv), "00FF5A");
    std::string bytes = splitmix_bytes(99, 200);
    for (Base base : kBases) EXPECT_EQ(encode(base, bytes).find_first_of("\n\r "), std::string::npos);
}

TEST(BaseCodec, UnitsAndBases) {
    for (int32_t n : {2, 16, 58, 64}) EXPECT_EQ(base_of(n), Base(n));
    for (int32_t n : {0, 1, 8, 10, 32, 36, 85, -64, 65}) EXPECT_EQ(base_of(n), std::nullopt) << n;
    // A unit no string buffer has is refused.
    uint8_t out[4];
    EXPECT_EQ(decode(Base::base16, out, Text("4142", 3, 4)), std::nullopt);
}

}  // namespace
}  // namespace kaz::binary
