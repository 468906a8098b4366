// The Kazbin writers and reader: exact images, round trips over every type in both encodings
// with sharing and cycles kept, and the reader's refusal of malformed and truncated images.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../support.h"
#include "boot/environment.h"
#include "datatypes/binary.h"
#include "datatypes/cells.h"
#include "datatypes/context.h"
#include "runtime/lz.h"
#include "services/kazbin.h"

namespace kaz::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const Cell& binary) {
    SeriesBuffer* b = memory::buffer_of(binary.data2);
    return Bytes(b->head, b->head + b->used());
}

Bytes encoded(const Cell& v, bool compact) {
    return bytes_of(compact ? kazbin::encode_cp(v) : kazbin::encode(v));
}

Cell new_block() {
    Cell b;
    block::init_cell(b, 4);
    return b;
}

// Decodes into `into`; the error raised, if any.
std::optional<std::pair<ErrorId, Cell>> decode_into(const Bytes& image, const Cell& into) {
    return raised_if_any([&] {
        kazbin::decode(image.data(), image.size(), into.data2, kazbin::Mode::call, cell::none());
    });
}

// The one value an image decodes to.
Cell decoded(const Bytes& image) {
    Cell into = new_block();
    auto failure = decode_into(image, into);
    EXPECT_FALSE(failure) << "raised " << int(failure ? failure->first : ErrorId::internal_not_done);
    EXPECT_EQ(block::length_from_head(into), 1u);
    return *block::cell_at(into, 0);
}

Cell run(const char* code) {
    reset_top_level();
    return evaluate(lexer::load_text(str(code)));
}

TEST(Kazbin, ExactImagesOfSmallValues) {
    const Bytes magic = {'K', 'A', 'Z', 'B', 'I', 'N'};
    auto with_magic = [&](Bytes rest) {
        Bytes b = magic;
        b.insert(b.end(), rest.begin(), rest.end());
        return b;
    };
    EXPECT_EQ(encoded(cell::integer(5), true), with_magic({2, 1, 1, 1, 0x85}));
    EXPECT_EQ(encoded(cell::integer(5), false),
              with_magic({2, 0, 1, 0, 0, 0, 8, 0, 0, 0, 0x0B, 0, 0, 0, 5, 0, 0, 0}));
    // 64 leaves the one-byte form: type byte 11, zigzag 128.
    EXPECT_EQ(encoded(cell::integer(64), true), with_magic({2, 1, 1, 3, 0x0B, 0x80, 0x01}));
    EXPECT_EQ(encoded(cell::integer(-1), true), with_magic({2, 1, 1, 2, 0x0B, 0x01}));
    // Text: unit code in the low two bits, length above them.
    Bytes narrow = encoded(str("hello"), true);
    EXPECT_EQ(narrow[10], 0x07);
    EXPECT_EQ(narrow[11], 20);
    Bytes wide = encoded(str("hell\xE2\x82\xAC"), true);
    EXPECT_EQ(wide[11], 21);
    // 25% as its hundredths.
    EXPECT_EQ(encoded(typed(TypeId::percent, 0.25), true), with_magic({2, 1, 1, 2, 0x26 | 0x40, 50}));
}

// Each value, through both writers and back, molds as it did.
TEST(Kazbin, RoundTripsEveryType) {
    const char* cases[] = {
        "reduce [none () true false 0 63 64 -2147483648 2147483647 unset! none!]",
        "[1.5 -0.0 1e300 3.0 25% 12.5% 0.1% 10:20:30 -1:00 12:00:00.5]",
        "[#\"a\" #\"€\" \"\" \"text\" \"€ wide\" \"😀 wider\" %file http://x.y/z <tag> a@b.c @ref]",
        "[#{} #{00FF10} 1x2 -3x40 1.2.3 1.2.3.4.5.6.7.8.9.10.11.12 (1.5, 2) (1, 2, 3.25)]",
        "[1-Jan-2024 1-Jan-2024/10:30:00 1-Jan-2024/10:30:00+02:00 $12.50 -$3 EUR$0.99]",
        "[word set-word: 'lit :get /ref #issue a/b/c 'a/b c/d: :e/f (paren 1) integer!]",
        "make typeset! [integer! block! event!]",
        "[[nested [deeper]] next [1 2 3]]",
        "reduce [next \"abc\" skip #{010203} 2 next [a b]]",
        "make vector! [integer! 16 [1 -2 300]]",
        "reduce [make vector! [float! 64 [1.5 2.5]] make vector! [char! 8 [#\"a\"]] make vector! [percent! 64 [50%]]]",
        "make bitset! [#\"a\" - #\"z\"]",
        "complement make bitset! \"ab\"",
        "make hash! [a 1 b 2]",
        "#[a: 1 \"b\" 2 3 [x]]",
        "make object! [a: 1 b: \"two\" c: [3] d: none]",
        "make object! [a: 1 f: func [x] [x + a]]",
        "func [x [integer!] /opt y \"doc\" /local z] [z: x * 2 either opt [z + y] [z]]",
        "[:append :add :+ :either]",
        "try [1 / 0]",
        "make error! [type: 'user id: 'message arg1: \"boom\"]",
    };
    for (bool compact : {true, false}) {
        for (const char* code : cases) {
            SCOPED_TRACE(code);
            Cell v = run(code);
            ASSERT_FALSE(is(v, TypeId::error) && std::string(code).find("error") == std::string::npos &&
                         std::string(code).find("try") == std::string::npos)
                << code << ": " << molded(v);
            Bytes image;
            auto failure = error_of([&] { image = encoded(v, compact); });
            ASSERT_FALSE(failure) << code << ": " << int(*failure);
            Cell back = decoded(image);
            EXPECT_EQ(mold_text(back, false, true), mold_text(v, false, true)) << code << (compact ? " compact" : " plain");
        }
    }
}

TEST(Kazbin, NewLineMarksSurvive) {
    Cell v = run("[a\n b\n [c\n d]]");
    for (bool compact : {true, false})
        EXPECT_EQ(mold_text(decoded(encoded(v, compact))), mold_text(v));
}

TEST(Kazbin, SharedSeriesStaySharedAndCyclesStayCycles) {
    for (bool compact : {true, false}) {
        // Two references to one block, a string shared at two positions, a block holding itself.
        Cell v = run("b: [1 2] s: \"abc\" c: copy [x] append/only c c reduce [b b s next s c]");
        Cell back = decoded(encoded(v, compact));
        Cell* cells = memory::buffer_of(back.data2)->cells();
        EXPECT_EQ(cells[0].data2, cells[1].data2);
        EXPECT_NE(cells[0].data2, series_cell::node(run("b")));
        EXPECT_EQ(cells[2].data2, cells[3].data2);
        EXPECT_EQ(cells[3].data1, 1u);
        Cell cyc = cells[4];
        EXPECT_EQ(memory::buffer_of(cyc.data2)->cells()[1].data2, cyc.data2);
        // A change through one reference shows through the other.
        Cell* first = memory::buffer_of(cells[0].data2)->cells();
        first[0] = cell::integer(9);
        EXPECT_EQ(cell::get_integer(memory::buffer_of(cells[1].data2)->cells()[0]), 9);
    }
}

TEST(Kazbin, ObjectsFunctionsAndBoundWordsKeepTheirBindings) {
    for (bool compact : {true, false}) {
        // An object whose field refers to the object itself, a function that reads a field of
        // its object, and a word bound to the object outside it.
        Cell v = run("o: make object! [n: 10 self-ref: none f: func [x] [x + n]] o/self-ref: o "
                     "reduce [o in o 'n]");
        Cell back = decoded(encoded(v, compact));
        Cell* cells = memory::buffer_of(back.data2)->cells();
        Cell obj = cells[0];
        ASSERT_TRUE(is(obj, TypeId::object));
        Node ctx = object_cell::context(obj);
        EXPECT_EQ(object_cell::context(*context::value_at(ctx, 1)), ctx);
        ASSERT_TRUE(is(cells[1], TypeId::word));
        EXPECT_EQ(word_cell::context(cells[1]), ctx);
        // Call the decoded function: its body's `n` and `x` are bound to the decoded contexts.
        Cell code = run("[o2/f 5]");
        context::put_value(context::global, word::from_c_string("o2"), obj);
        EXPECT_EQ(molded(evaluate(code)), "15");
        *context::value_at(ctx, 0) = cell::integer(100);
        EXPECT_EQ(molded(evaluate(code)), "105");
    }
}

TEST(Kazbin, TypesWithoutAFormRaiseNoCodecAndTheNextEncodeWorks) {
    for (bool compact : {true, false}) {
        Cell h = run("reduce [1 null-handle]");
        auto [id, arg] = raised([&] { encoded(h, compact); });
        EXPECT_EQ(id, ErrorId::access_no_codec);
        EXPECT_EQ(molded(arg), "handle!");
        EXPECT_EQ(mold_text(decoded(encoded(run("[1 [2]]"), compact))), "[1 [2]]");
    }
}

TEST(Kazbin, MapsKeepLiveEntriesOnly) {
    Cell m = run("m: #[a 1 b 2 c 3] remove/key m 'b m");
    for (bool compact : {true, false}) {
        Cell back = decoded(encoded(m, compact));
        EXPECT_EQ(mold_text(back), mold_text(m));
        Cell p = back;
        EXPECT_EQ(block::length_from_head(cell::make(TypeId::block, 0, table_cell::block(p))), 4u);
    }
}

TEST(Kazbin, CompressedTailDecodesAsThePlainBytes) {
    Cell v = run("[\"repeat repeat repeat repeat\" [1 2 3] 4.5]");
    for (bool compact : {true, false}) {
        Bytes image = encoded(v, compact);
        std::vector<uint8_t> packed = lz::compress(image.data() + 8, image.size() - 8);
        Bytes lz(image.begin(), image.begin() + 8);
        lz[7] |= kazbin::flag::compressed;
        lz.insert(lz.end(), packed.begin(), packed.end());
        EXPECT_EQ(mold_text(decoded(lz)), mold_text(v));
        lz.back() ^= 0xFF;
        lz.resize(lz.size() - 3);
        auto failure = decode_into(lz, new_block());
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->first, ErrorId::script_invalid_data);
    }
}

Bytes header(uint8_t flags, Bytes rest) {
    Bytes b = {'K', 'A', 'Z', 'B', 'I', 'N', 2, flags};
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
}

// Hand-made images the reader must refuse, and the position it names.
TEST(Kazbin, MalformedImagesAreInvalidRecordsAtTheirPosition) {
    struct Case {
        const char* what;
        Bytes image;
        int32_t position;
    };
    const Case cases[] = {
        {"payload size past the data", header(1, {1, 5, 0x85}), 11},
        {"lead byte 0xC5", header(1, {1, 1, 0xC5}), 11},
        {"datatype id 0", header(1, {1, 1, 0x00}), 11},
        {"datatype id above the last", header(1, {1, 2, 0x3F, 60}), 12},
        {"small integer after the shared prefix", header(1, {1, 2, 0xC1, 0x85}), 12},
        {"shared prefix on an integer", header(1, {1, 3, 0xC1, 0x0B, 2}), 12},
        {"set-word prefix in a codec image", header(1, {1, 3, 0xC4, 0x0F, 0}), 12},
        {"six-byte varint", header(1, {1, 7, 0x0B, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), 16},
        {"fifth varint byte too big", header(1, {1, 6, 0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x10}), 16},
        {"block count beyond the data", header(1, {1, 2, 0x05, 9}), 13},
        {"string unit code 3", header(1, {1, 2, 0x07, 3}), 13},
        {"reference of depth 0", header(1, {1, 2, 0xFF, 0}), 13},
        {"reference to the target's length", header(1, {1, 3, 0xFF, 1, 0}), 14},
        {"odd map count", header(1, {1, 4, 0x28, 1, 0x85, 0x85}), 13},
        {"symbol without a table", header(1, {1, 2, 0x0F, 0}), 13},
        {"symbol index outside the table", header(5, {1, 2, 1, 2, 0, 0, 0, 0, 'a', 0, 0x0F, 1}), 21},
        {"string area without its NUL", header(5, {1, 2, 1, 2, 0, 0, 0, 0, 'a', 'b', 0x0F, 0}), 17},
        {"date with F but no time bit", header(1, {1, 5, 0x6F, 1, 0, 0, 0}), 16},
        {"native number 0", header(1, {1, 3, 0x15, 0, 0x85}), 13},
        {"plain count beyond the data", header(0, {1, 0, 0, 0, 12, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0}), 17},
        {"plain padding only", header(0, {1, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}), 17},
        {"plain symbol count past the data", header(4, {1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F, 0, 0, 0, 0}), 25},
    };
    for (const Case& c : cases) {
        auto failure = decode_into(c.image, new_block());
        ASSERT_TRUE(failure) << c.what;
        EXPECT_EQ(failure->first, ErrorId::script_kb_invalid_record) << c.what;
        EXPECT_EQ(molded(failure->second), std::to_string(c.position)) << c.what;
    }
    // Not an image at all.
    auto failure = decode_into({'K', 'A', 'Z', 'B', 'I', 'X', 2, 1, 1, 1, 0x85}, new_block());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->first, ErrorId::script_invalid_data);
    // A plain image needs its count and size.
    failure = decode_into(header(0, {1, 0, 0}), new_block());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->first, ErrorId::script_invalid_data);
}

TEST(Kazbin, ValuesBeforeAFailureStayAndDecodingAppends) {
    Cell into = run("copy [kept]");
    // Two small integers, then a bad lead byte.
    auto failure = decode_into(header(1, {1, 3, 0x81, 0x82, 0xC5}), into);
    ASSERT_TRUE(failure);
    EXPECT_EQ(mold_text(into), "[kept 1 2]");
    // An empty payload appends nothing.
    EXPECT_FALSE(decode_into(header(1, {1, 0}), into));
    EXPECT_EQ(mold_text(into), "[kept 1 2]");
}

// Every proper prefix of a valid image is refused cleanly, never read past.
TEST(Kazbin, EveryTruncationIsRefused) {
    Cell v = run("o: make object! [a: 1 f: func [x] [x + a]] b: [1 \"two\" 3.5 #{04}] "
                 "reduce [o b b 1-Jan-2024/1:00 $1 #[k v] 'w in o 'a make bitset! 8 next \"xy\"]");
    for (bool compact : {true, false}) {
        Bytes image = encoded(v, compact);
        for (size_t n = 0; n < image.size(); ++n) {
            Bytes part(image.begin(), image.begin() + n);
            auto failure = decode_into(part, new_block());
            ASSERT_TRUE(failure) << n;
            EXPECT_TRUE(failure->first == ErrorId::script_kb_invalid_record ||
                        failure->first == ErrorId::script_invalid_data)
                << n;
        }
        EXPECT_EQ(mold_text(decoded(image), false, true), mold_text(v, false, true));
    }
}

// The literal image's set-word form sets the word while loading and leaves nothing behind; the
// same bytes are refused from a codec image.
TEST(Kazbin, BootImagesSetWordsWhileLoading) {
    Bytes image = header(5, {1, 4, 1, 14, 0, 0, 0, 0, 'k', 'b', '-', 's', 'e', 't', '-', 'w', 'o', 'r', 'd', '-', '9', 0,
                             0xC4, 0x0F, 0x00, 0x85});
    Cell into = run("copy [kept]");
    kazbin::load_root_image(image.data(), image.size(), into.data2);
    EXPECT_EQ(mold_text(into), "[kept]");
    EXPECT_EQ(molded(*word::get(word::from_c_string("kb-set-word-9"))), "5");
    auto failure = decode_into(image, new_block());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->first, ErrorId::script_kb_invalid_record);
}

// Nesting deeper than the C++ stack allows is refused with the stack overflow error, when
// reading an image and when writing a value alike.
TEST(Kazbin, NestingBeyondTheStackIsAnErrorNotACrash) {
    const char* saved = interp::state.stack_floor;
    interp::state.stack_floor = static_cast<const char*>(__builtin_frame_address(0)) - (256 << 10);
    constexpr uint32_t kDepth = 200'000;
    Bytes payload;
    for (uint32_t i = 0; i < kDepth; ++i) payload.insert(payload.end(), {0x05, 0x01});
    payload.push_back(0x85);
    Bytes image = {'K', 'A', 'Z', 'B', 'I', 'N', 2, 1, 1};
    for (uint32_t v = uint32_t(payload.size()); ; v >>= 7) {
        image.push_back(uint8_t((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
        if (v < 0x80) break;
    }
    image.insert(image.end(), payload.begin(), payload.end());
    auto failure = decode_into(image, new_block());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->first, ErrorId::internal_stack_overflow);

    Cell nested = blk({cell::integer(1)});
    for (uint32_t i = 0; i < kDepth; ++i) nested = blk({nested});
    EXPECT_EQ(error_of([&] { kazbin::encode_cp(nested); }), ErrorId::internal_stack_overflow);
    interp::state.stack_floor = saved;
}

// The image the executable carries holds each environment source exactly as the lexer loads
// its text today: same values, same new-line marks, same words.
TEST(Kazbin, TheEnvironmentImageHoldsWhatItsSourcesLoadTo) {
    for (const char* name : {"natives.kaz", "actions.kaz", "base.kaz", "system.kaz"}) {
        std::ifstream in(std::string(KAZ_SOURCE_DIR) + "/environment/" + name, std::ios::binary);
        ASSERT_TRUE(in) << name;
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Cell lexed = lexer::load_text(string::from_utf8(text));
        Cell image = environment::loaded(name);
        EXPECT_EQ(mold_text(image, false, true), mold_text(lexed, false, true)) << name;
    }
}

}  // namespace
}  // namespace kaz::test
