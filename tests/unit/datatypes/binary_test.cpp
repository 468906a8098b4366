// binary!: what scripts cannot reach: the value count of /part over a block, tuples, and the
// bytes the natives read from text of every unit across a collection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/string.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "tests/unit/support.h"

using namespace kaz;

namespace {

std::string bytes_of(const Cell& binary) {
    const uint8_t* p = binary::head_pointer(binary);
    return {reinterpret_cast<const char*>(p), binary::byte_count(binary)};
}

TEST(Binaries, APartCountsBytesAcrossABlockOrItsValues) {
    Cell values = test::blk({test::binary({1, 2}), test::binary({3, 4}), cell::integer(5)});
    struct Case {
        binary::PartUnit unit;
        int32_t part;
        std::string bytes;
    };
    const Case cases[] = {
        {binary::PartUnit::bytes, 3, std::string("\x01\x02\x03", 3)},
        {binary::PartUnit::values, 2, std::string("\x01\x02\x03\x04", 4)},
        {binary::PartUnit::values, 0, ""},
        {binary::PartUnit::values, 5, std::string("\x01\x02\x03\x04\x05", 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.part);
        Cell target = binary::make_cell(0);
        binary::insert(target, values, c.part, 1, binary::InsertMode::append, c.unit);
        EXPECT_EQ(bytes_of(target), c.bytes);
    }
}

// Tuples have no literal yet in scripts.
TEST(Binaries, TuplesGiveTheirBytes) {
    Cell tuple = test::tuple({1, 2, 3, 255});
    EXPECT_EQ(bytes_of(binary::to(cell::none(), tuple, TypeId::binary)), "\x01\x02\x03\xFF");
    Cell target = binary::make_cell(0);
    binary::insert(target, test::blk({tuple, cell::integer(9)}), -1, 1, binary::InsertMode::append);
    EXPECT_EQ(bytes_of(target), "\x01\x02\x03\xFF\x09");
}

TEST(Binaries, TextIsReadAsUtf8FromItsHeadAcrossCollections) {
    // Every unit a string buffer has: the UTF-8 is the same.
    for (std::string_view text : {"abc", "abcé", "abc\u0100", "abc\U0001F600"}) {
        SCOPED_TRACE(text);
        Cell s = test::str(text);
        s.data1 = 1;
        Cell* held = stack::push(s);
        binary::Source source = binary::source_of(*held);
        gc::collect();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(source.data()), source.size), text.substr(1));
        stack::pop(1);
    }
}

}  // namespace
