// pair!, point2D! and point3D! where scripts cannot reach them yet: a money! scale to round.
#include <gtest/gtest.h>

#include "datatypes/cells.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/symbol.h"
#include "runtime/stack.h"
#include "tests/unit/support.h"

using namespace kaz;

TEST(Coordinates, RoundRefusesAMoneyScaleNamingRound) {
    test::clear_stacks();
    const Cell money = cell::make(TypeId::money);
    for (Cell value : {test::pair(17, 23), point_cell::make2(1.5f, 2.5f), point_cell::make3(1, 2, 3)}) {
        SCOPED_TRACE(test::mold_text(value));
        RoundAction round = registry::actions(type_of(value)).round;
        test::Outcome o = test::trapped([&] {
            round(value, &money, false, false, false, false, false, false);
            return value;
        });
        ASSERT_EQ(o.error, ErrorId::script_not_related);
        EXPECT_EQ(symbol::name(error::field(o.raised, error::arg1).data2), "round");
        EXPECT_EQ(error::field(o.raised, error::arg2).data1, uint32_t(TypeId::money));
    }
}
