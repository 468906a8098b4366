// The generator against the standard library's MT19937 and its published output, the uniform
// integers against a reference drawn from the same sequence, and the cryptographic source,
// including a kernel that refuses the system call, then the device too.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <random>
#include <set>
#include <vector>

#include "runtime/random.h"

using namespace kaz;

namespace {

class Random : public testing::Test {
protected:
    void SetUp() override { random::init(); }
};

// What int_ must answer for n, drawing from `reference` exactly as the generator does.
int32_t expected_int(std::mt19937& reference, int32_t n) {
    if (n == INT32_MIN) return -1 - int32_t(reference() & 0x7FFFFFFF);
    uint32_t m = n < 0 ? 0u - uint32_t(n) : uint32_t(n);
    uint32_t limit = 0x7FFFFFFFu / m * m;
    uint32_t draw;
    do draw = reference() & 0x7FFFFFFF;
    while (draw >= limit);
    int32_t r = int32_t(draw % m) + 1;
    return n > 0 ? r : -r;
}

}  // namespace

TEST_F(Random, MatchesTheStandardTwisterForEverySeed) {
    std::mt19937 start(random::kDefaultSeed);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(random::next(), start()) << "draw " << i << " after init";

    for (uint32_t seed : {0u, 1u, 5489u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, uint32_t(-42)}) {
        SCOPED_TRACE(seed);
        random::seed(seed);
        std::mt19937 reference(seed);
        // Past three regenerations of the state.
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(random::next(), reference()) << "draw " << i;
    }
}

TEST_F(Random, PublishedTenThousandthOutput) {
    // The value the C++ standard requires of a default-seeded std::mt19937.
    random::seed(5489);
    for (int i = 0; i < 9999; ++i) random::next();
    EXPECT_EQ(random::next(), 4123659995u);
}

TEST_F(Random, ReseedingRestartsTheSequence) {
    random::seed(77);
    std::vector<uint32_t> first;
    for (int i = 0; i < 700; ++i) first.push_back(random::next());
    random::seed(77);
    for (int i = 0; i < 700; ++i) ASSERT_EQ(random::next(), first[size_t(i)]);
}

TEST_F(Random, UniformIntegersRedrawAboveTheLastFullMultiple) {
    // 0x40000001 rejects almost half of all draws; 10 rejects seven values.
    for (int32_t n : {6, -6, 10, 1000003, 0x40000001, -0x40000001, 0x7FFFFFFF, -0x7FFFFFFF, INT32_MIN}) {
        SCOPED_TRACE(n);
        random::seed(2024);
        std::mt19937 reference(2024);
        for (int i = 0; i < 500; ++i) ASSERT_EQ(random::int_(false, n), expected_int(reference, n));
    }
}

TEST_F(Random, UniformIntegerEdges) {
    random::seed(9);
    std::mt19937 reference(9);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(random::int_(false, 1), 1);
        EXPECT_EQ(random::int_(false, -1), -1);
        EXPECT_EQ(random::int_(false, 0), 0);
        reference();  // 1 and -1 draw once each, 0 draws nothing
        reference();
    }
    EXPECT_EQ(random::next(), reference());

    std::set<int32_t> seen;
    for (int i = 0; i < 2000; ++i) {
        int32_t v = random::int_(false, -5);
        ASSERT_TRUE(v >= -5 && v <= -1) << v;
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), 5u);
}

TEST_F(Random, SecureDrawsAre31BitsFromTheKernel) {
    std::set<int32_t> seen;
    for (int i = 0; i < 64; ++i) {
        int32_t v = random::next_secure();
        ASSERT_GE(v, 0);
        seen.insert(v);
    }
    EXPECT_GT(seen.size(), 60u);
    std::set<int32_t> dice;
    for (int i = 0; i < 500; ++i) {
        int32_t v = random::int_(true, 6);
        ASSERT_TRUE(v >= 1 && v <= 6) << v;
        dice.insert(v);
    }
    EXPECT_EQ(dice.size(), 6u);
}

namespace {

// Makes the kernel answer the listed system calls with `error` in this process from now on;
// exits with 3 when it cannot.
void refuse_system_calls(std::initializer_list<long> calls, int error) {
    std::vector<sock_filter> filter{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    for (long call : calls) {
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(call), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | uint32_t(error)));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(3);
}

}  // namespace

TEST_F(Random, AFilteredSystemCallFallsBackOnTheDevice) {
    // Sandboxes refuse the call with ENOSYS or EPERM; the device still answers. The child
    // exits 0 only when its draws vary.
    for (int error : {ENOSYS, EPERM}) {
        SCOPED_TRACE(error);
        auto refuse_and_draw = [error] {
            refuse_system_calls({SYS_getrandom}, error);
            std::set<int32_t> seen;
            for (int i = 0; i < 16; ++i) seen.insert(random::next_secure());
            _exit(seen.size() > 12 ? 0 : 4);
        };
        EXPECT_EXIT(refuse_and_draw(), testing::ExitedWithCode(0), "");
    }
}

TEST_F(Random, ARefusedSecureSourceRaisesInsteadOfYieldingZero) {
    // Neither the call nor the device: with no trap, the error ends the process with its report.
    auto refuse_and_draw = [] {
        refuse_system_calls({SYS_getrandom, SYS_open, SYS_openat}, ENOSYS);
        random::int_(true, 6);
        _exit(0);
    };
    EXPECT_EXIT(refuse_and_draw(), testing::ExitedWithCode(254),
                "\\*\\*\\* Internal Error: feature not available");
}
