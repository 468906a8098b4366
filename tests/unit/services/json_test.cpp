// The text builder of the JSON and CSV codecs: it starts one byte a code point and widens as
// wider code points come, and what it made earlier must survive each widening.
#include "services/json.h"

#include <gtest/gtest.h>

#include <vector>

#include "datatypes/series.h"
#include "datatypes/string.h"

namespace kaz::json {
namespace {

std::vector<uint32_t> made(const TextOut& out, uint32_t& unit) {
    Cell s = out.make_string(TypeId::string);
    unit = series_::buffer(s)->unit();
    return code_points(s);
}

TEST(TextOut, WidensAsWiderCodePointsComeAndKeepsWhatCameBefore) {
    struct Case {
        std::vector<uint32_t> cps;
        uint32_t unit;
    };
    const Case cases[] = {
        {{}, 1},
        {{'a', 'b', 0x7F}, 1},
        {{'a', 0xE9, 'b'}, 2},
        {{'a', 0x4E2D, 0xE9}, 2},
        {{'a', 0x1F600, 'z'}, 4},
        {{'x', 0xE9, 0x10FFFF, 0x4E2D, 'y'}, 4},
        {{0x1F600, 'a', 0xE9}, 4},
    };
    for (const Case& c : cases) {
        TextOut out;
        for (uint32_t cp : c.cps) out.add(cp);
        EXPECT_EQ(out.length(), c.cps.size());
        uint32_t unit = 0;
        EXPECT_EQ(made(out, unit), c.cps);
        EXPECT_EQ(unit, c.unit);
    }
}

TEST(TextOut, AsciiRunsGoInAtEveryUnit) {
    TextOut out;
    const uint16_t wide[] = {'h', 'i'};
    out.add_ascii("ab");
    out.add_ascii_units(wide, 2);
    out.add(0x4E2D);
    out.add_ascii("cd");
    out.add_ascii_units(wide, 2);
    out.add(0x1F600);
    out.add_ascii("e");
    uint32_t unit = 0;
    EXPECT_EQ(made(out, unit),
              (std::vector<uint32_t>{'a', 'b', 'h', 'i', 0x4E2D, 'c', 'd', 'h', 'i', 0x1F600, 'e'}));
    EXPECT_EQ(unit, 4u);
    out.clear();
    out.add('z');
    EXPECT_EQ(made(out, unit), std::vector<uint32_t>{'z'});
    EXPECT_EQ(unit, 1u);
}

}  // namespace
}  // namespace kaz::json
