// Every unit-test executable boots the runtime once, as the kaz executable does.
#include <gtest/gtest.h>

#include "boot/boot.h"
#include "runtime/gc.h"

int main(int argc, char** argv) {
    // The collector scans this thread's stack up to here, as it does the runtime thread's.
    kaz::gc::set_stack_high_end(__builtin_frame_address(0));
    testing::InitGoogleTest(&argc, argv);
    kaz::boot::run();
    kaz::gc::set_enabled(true);
    return RUN_ALL_TESTS();
}
