// Checksums against their published check values and Python's zlib over pseudo-random input
// (checksum_vectors.inc, from make_vectors.py); digests against the NIST examples and
// hashlib; HMAC against RFC 2202, RFC 4231 and Python's hmac; the method words and the lines
// the native's odd cases print.
#include "services/checksum.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/symbol.h"
#include "platform/carryless.h"

namespace kaz::checksum {
namespace {

using Bytes = std::vector<uint8_t>;

struct ChecksumCase {
    uint64_t seed;
    size_t length;
    uint32_t crc32, adler32;
    uint16_t tcp;
};
struct DigestCase {
    uint64_t seed;
    size_t length;
    const char* hex[5];  // md5, sha1, sha256, sha384, sha512
};
struct HmacCase {
    uint64_t seed;
    size_t length;
    uint64_t key_seed;
    size_t key_length;
    const char* hex[5];
};
#include "checksum_vectors.inc"

constexpr Algorithm kAlgorithms[] = {Algorithm::md5, Algorithm::sha1, Algorithm::sha256, Algorithm::sha384,
                                     Algorithm::sha512};

// The splitmix64 stream of a seed, eight little-endian bytes a step, as make_vectors.py makes it.
Bytes splitmix_bytes(uint64_t seed, size_t n) {
    Bytes out;
    out.reserve(n + 8);
    uint64_t state = seed;
    while (out.size() < n) {
        state += 0x9E3779B97F4A7C15;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        z ^= z >> 31;
        for (int i = 0; i < 8; ++i) out.push_back(uint8_t(z >> (8 * i)));
    }
    out.resize(n);
    return out;
}

std::span<const uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string hex(const Digest& d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : d.view()) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// ---- checksums ----

TEST(Checksum, PublishedCheckValues) {
    EXPECT_EQ(crc32(bytes_of("123456789")), 0xCBF43926u);
    EXPECT_EQ(adler32(bytes_of("123456789")), 0x091E01DEu);
    EXPECT_EQ(adler32(bytes_of("Wikipedia")), 0x11E60398u);
    // RFC 1071's worked example: the sum 0x2DDF0 folds to 0xDDF2.
    const uint8_t rfc1071[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(tcp(rfc1071), 0x220D);
    // Nothing: the start values, complemented where the method complements.
    EXPECT_EQ(crc32({}), 0u);
    EXPECT_EQ(adler32({}), 1u);
    EXPECT_EQ(tcp({}), 0xFFFF);
    // An odd last byte is the low byte of its pair.
    const uint8_t one[] = {0x01};
    EXPECT_EQ(tcp(one), 0xFFFE);
    const uint8_t three[] = {0x12, 0x34, 0x56};
    EXPECT_EQ(tcp(three), uint16_t(~(0x1234 + 0x56)));
}

TEST(Checksum, AgreesWithZlibOverRandomInput) {
    for (const ChecksumCase& c : kChecksumCases) {
        SCOPED_TRACE(c.length);
        Bytes data = splitmix_bytes(c.seed, c.length);
        ASSERT_EQ(crc32(data), c.crc32);
        ASSERT_EQ(crc32_by_table(data), c.crc32);
        ASSERT_EQ(adler32(data), c.adler32);
        // Past 128 KB a 32-bit sum would have wrapped.
        ASSERT_EQ(tcp(data), c.tcp);
    }
}

TEST(Checksum, CrcFoldsAtEveryAlignmentAndLength) {
    // The folding path reads 16 bytes at a time from wherever the data starts, and leaves
    // the last 0-15 bytes to the tables.
    Bytes data = splitmix_bytes(7, 4096 + 64);
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t length : {64, 65, 79, 80, 127, 128, 129, 191, 192, 255, 256, 1000, 4096}) {
            std::span<const uint8_t> span(data.data() + offset, length);
            ASSERT_EQ(crc32(span), crc32_by_table(span)) << "offset " << offset << " length " << length;
        }
    }
    if (!platform::has_carryless_multiply()) GTEST_SKIP() << "no carry-less multiply: only the tables ran";
}

TEST(Checksum, RunningValuesContinueAStream) {
    Bytes data = splitmix_bytes(11, 20000);
    std::span<const uint8_t> all(data);
    for (size_t cut : {0, 1, 7, 63, 64, 5504, 5552, 5553, 12345, 20000}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(crc32(all.subspan(cut), crc32(all.first(cut))), crc32(all));
        EXPECT_EQ(adler32(all.subspan(cut), adler32(all.first(cut))), adler32(all));
    }
    // A running Adler-32 out of range is reduced before it is summed on, not overflowed.
    EXPECT_EQ(adler32(all, 0xFFFFFFFF), adler32(all, (0xFFFF % 65521) << 16 | (0xFFFF % 65521)));
}

TEST(Checksum, LongRunsOfHighBytesNeverOverflow) {
    // 0xFF everywhere makes Adler-32's sums and the internet checksum's pairs as large as
    // they get; zlib's value for 300,000 of them, and the ones'-complement sum by hand.
    Bytes ff(300000, 0xFF);
    EXPECT_EQ(adler32(ff), 0x00A29082u);
    EXPECT_EQ(tcp(ff), 0x0000);  // 0xFFFF × 150,000 folds to 0xFFFF
    EXPECT_EQ(crc32(ff), crc32_by_table(ff));
}

// ---- digests ----

struct Published {
    Algorithm algorithm;
    std::string_view message;
    const char* hex;
};
const Published kNist[] = {
    {Algorithm::md5, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {Algorithm::md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {Algorithm::sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {Algorithm::sha1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {Algorithm::sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {Algorithm::sha256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {Algorithm::sha384, "abc",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {Algorithm::sha384,
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
    {Algorithm::sha512, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643"
     "ce80e2a9ac94fa54ca49f"},
    {Algorithm::sha512,
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd"
     "26545e96e55b874be909"},
};

TEST(Digest, NistExamples) {
    for (const Published& p : kNist) {
        SCOPED_TRACE(p.message);
        Digest d = crypto_digest(p.algorithm, bytes_of(p.message));
        EXPECT_EQ(d.size, platform::crypto::digest_size(p.algorithm));
        EXPECT_EQ(hex(d), p.hex);
    }
    // A million "a", fed in uneven pieces.
    std::string million(1000000, 'a');
    platform::crypto::Hash h(Algorithm::sha256);
    for (size_t at = 0, step = 1; at < million.size(); at += step, step = step * 3 % 9973 + 1)
        h.update(bytes_of(std::string_view(million).substr(at, step)));
    Digest d;
    ASSERT_TRUE(h.finish(d));
    EXPECT_EQ(hex(d), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_FALSE(h.finish(d)) << "a finished hash is spent";
}

TEST(Digest, AgreesWithHashlibOverRandomInput) {
    for (const DigestCase& c : kDigestCases) {
        SCOPED_TRACE(c.length);
        Bytes data = splitmix_bytes(c.seed, c.length);
        for (size_t a = 0; a < std::size(kAlgorithms); ++a) EXPECT_EQ(hex(crypto_digest(kAlgorithms[a], data)), c.hex[a]);
    }
}

TEST(Digest, ALibraryThatRefusesRaisesInsteadOfAnsweringGarbage) {
    // A configuration that activates the base provider alone leaves the library with no digest
    // at all. It is read when the library starts, so the child is a fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string conf = testing::TempDir() + "kaz_no_digests.cnf";
    if (FILE* f = std::fopen(conf.c_str(), "w")) {
        std::fputs("openssl_conf = init\n[init]\nproviders = providers\n[providers]\nbase = base\n"
                   "[base]\nactivate = 1\n", f);
        std::fclose(f);
    }
    auto digest_without_digests = [&] {
        setenv("OPENSSL_CONF", conf.c_str(), 1);
        crypto_digest(Algorithm::sha256, bytes_of("abc"));
        _exit(0);
    };
    EXPECT_EXIT(digest_without_digests(), testing::ExitedWithCode(254), "\\*\\*\\* Internal Error: feature not available");
}

// ---- HMAC ----

struct Rfc {
    Algorithm algorithm;
    std::string key, data;
    const char* hex;
};

TEST(Hmac, Rfc2202AndRfc4231) {
    std::string k25;
    for (char c = 1; c <= 25; ++c) k25 += c;
    const std::string jefe = "Jefe", want = "what do ya want for nothing?";
    const std::string big_key = "Test Using Larger Than Block-Size Key - Hash Key First";
    const std::string big_data = "This is a test using a larger than block-size key and a larger than block-size data. "
                                 "The key needs to be hashed before being used by the HMAC algorithm.";
    const Rfc cases[] = {
        // RFC 2202
        {Algorithm::md5, std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {Algorithm::md5, jefe, want, "750c783e6ab0b503eaa86e310a5db738"},
        {Algorithm::md5, std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {Algorithm::md5, k25, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {Algorithm::md5, std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {Algorithm::md5, std::string(80, '\xaa'), big_key, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {Algorithm::md5, std::string(80, '\xaa'),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data", "6f630fad67cda0ee1fb1f562db3aa53e"},
        {Algorithm::sha1, std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {Algorithm::sha1, jefe, want, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Algorithm::sha1, std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {Algorithm::sha1, k25, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {Algorithm::sha1, std::string(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {Algorithm::sha1, std::string(80, '\xaa'), big_key, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {Algorithm::sha1, std::string(80, '\xaa'),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // RFC 4231 (test case 5 truncates its output, which this interface does not)
        {Algorithm::sha256, std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {Algorithm::sha384, std::string(20, '\x0b'), "Hi There",
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
        {Algorithm::sha512, std::string(20, '\x0b'), "Hi There",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f"
         "1702e696c203a126854"},
        {Algorithm::sha256, jefe, want, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {Algorithm::sha384, jefe, want,
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
        {Algorithm::sha512, jefe, want,
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4"
         "a6b4b636e070a38bce737"},
        {Algorithm::sha256, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {Algorithm::sha384, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27"},
        {Algorithm::sha512, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807b946a337bee89"
         "42674278859e13292fb"},
        {Algorithm::sha256, k25, std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {Algorithm::sha384, k25, std::string(50, '\xcd'),
         "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c674cffb"},
        {Algorithm::sha512, k25, std::string(50, '\xcd'),
         "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc5788063a5f19741120c"
         "4f2de2adebeb10a298dd"},
        {Algorithm::sha256, std::string(131, '\xaa'), big_key,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {Algorithm::sha384, std::string(131, '\xaa'), big_key,
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
        {Algorithm::sha512, std::string(131, '\xaa'), big_key,
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0"
         "aec8b915a985d786598"},
        {Algorithm::sha256, std::string(131, '\xaa'), big_data,
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        {Algorithm::sha384, std::string(131, '\xaa'), big_data,
         "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e"},
        {Algorithm::sha512, std::string(131, '\xaa'), big_data,
         "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4de15134676fb6de04"
         "46065c97440fa8c6a58"},
    };
    for (const Rfc& c : cases) {
        SCOPED_TRACE(c.data.substr(0, 20));
        EXPECT_EQ(hex(hmac(c.algorithm, bytes_of(c.data), bytes_of(c.key))), c.hex);
    }
}

TEST(Hmac, AgreesWithPythonAroundTheBlockSizes) {
    // Keys of exactly 64 and 128 bytes are used as they are; one byte more, they are hashed.
    for (const HmacCase& c : kHmacCases) {
        SCOPED_TRACE(testing::Message() << "data " << c.length << " key " << c.key_length);
        Bytes data = splitmix_bytes(c.seed, c.length);
        Bytes key = splitmix_bytes(c.key_seed, c.key_length);
        for (size_t a = 0; a < std::size(kAlgorithms); ++a) EXPECT_EQ(hex(hmac(kAlgorithms[a], data, key)), c.hex[a]);
    }
}

// ---- the native's methods ----

TEST(Methods, WordsNameTheMethodsInAnyCase) {
    const std::pair<const char*, Method> words[] = {
        {"tcp", Method::tcp},         {"md5", Method::md5},       {"SHA1", Method::sha1},
        {"crc32", Method::crc32},     {"Adler32", Method::adler32}, {"sha256", Method::sha256},
        {"sha384", Method::sha384},   {"SHA512", Method::sha512}, {"hash", Method::hash},
    };
    for (auto [word, method] : words) {
        SCOPED_TRACE(word);
        EXPECT_EQ(method_of(symbol::intern(word)), method);
    }
    EXPECT_EQ(method_of(symbol::intern("sha224")), std::nullopt);
    EXPECT_EQ(method_of(symbol::intern("crc")), std::nullopt);
    EXPECT_EQ(method_of(0), std::nullopt);
    EXPECT_EQ(name(Method::adler32), "adler32");
}

TEST(Methods, DigestSizesAndAlgorithms) {
    const std::pair<Method, size_t> sizes[] = {
        {Method::md5, 16},   {Method::sha1, 20},   {Method::sha256, 32}, {Method::sha384, 48}, {Method::sha512, 64},
        {Method::tcp, 0},    {Method::crc32, 0},   {Method::adler32, 0}, {Method::hash, 0},
    };
    for (auto [method, size] : sizes) {
        SCOPED_TRACE(name(method));
        EXPECT_EQ(digest_size(method), size);
        EXPECT_EQ(digest_algorithm(method).has_value(), size != 0);
    }
    EXPECT_EQ(platform::crypto::block_size(Algorithm::sha384), 128u);
    EXPECT_EQ(platform::crypto::block_size(Algorithm::sha256), 64u);
}

TEST(Methods, HmacOfAChecksumPrintsWhyAndGivesNothing) {
    for (Method m : {Method::tcp, Method::crc32, Method::adler32, Method::hash}) {
        SCOPED_TRACE(name(m));
        testing::internal::CaptureStdout();
        auto result = hmac(m, bytes_of("data"), bytes_of("key"));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "The selected algorithm doesn't support HMAC calculation\n");
        EXPECT_FALSE(result);
    }
    auto sha = hmac(Method::sha256, bytes_of(""), bytes_of(""));
    ASSERT_TRUE(sha);
    EXPECT_EQ(hex(*sha), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");

    testing::internal::CaptureStdout();
    EXPECT_EQ(hash(1024), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "** /hash support not yet implemented; algorithm TBD.\n");
}

}  // namespace
}  // namespace kaz::checksum
