// Every unit-test executable boots the runtime once, as the kaz executable does.
#include <gtest/gtest.h>

#include "boot/boot.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    kaz::boot::run();
    return RUN_ALL_TESTS();
}
