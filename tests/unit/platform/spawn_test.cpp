// Child processes for real: data through both pipes at once, exit statuses, programs that
// cannot be run, files as streams, and children killed, left alone or dropped, each test
// checked for open descriptors and unreaped children afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "tests/unit/services/fixture.h"

namespace {

using namespace kaz;
using Kind = platform::ChildStream::Kind;
using Spawn = test::FileSystemTest;

platform::SpawnRequest request(std::vector<std::string> argv, Kind in = Kind::null,
                               Kind out = Kind::null, Kind err = Kind::null) {
    platform::SpawnRequest r;
    r.argv = std::move(argv);
    r.input.kind = in;
    r.output.kind = out;
    r.error.kind = err;
    return r;
}

// Bytes of every value, in a pattern that no shift or loss leaves alike.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245 + 12345;
        c = char(x >> 23);
    }
    return s;
}

TEST_F(Spawn, MovesMegabytesThroughBothPipesAtOnce) {
    // cat writes back as it reads: fed first and read afterwards, both pipes would fill and
    // neither side would move again.
    std::string input = pattern(20 << 20);
    auto child = platform::spawn(request({"cat"}, Kind::pipe, Kind::pipe));
    ASSERT_TRUE(child);
    platform::Bytes output;
    EXPECT_TRUE(child->exchange(input, &output, nullptr));
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(output.size(), input.size());
    EXPECT_TRUE(output.view() == input);
}

TEST_F(Spawn, DrainsOutputAndErrorTogether) {
    // Megabytes to the error stream before a byte of output: both pipes must be read at once.
    auto child = platform::spawn(request(
        {"sh", "-c", "head -c 3000000 /dev/zero >&2; printf 'out'; printf 'err' >&2; exit 3"},
        Kind::null, Kind::pipe, Kind::pipe));
    ASSERT_TRUE(child);
    platform::Bytes out, err;
    *out.room(1) = '<';
    out.commit(1);
    EXPECT_TRUE(child->exchange({}, &out, &err));
    EXPECT_EQ(child->wait(), 3);
    EXPECT_EQ(out.view(), "<out");  // appended to what was there
    ASSERT_EQ(err.size(), 3000003u);
    EXPECT_EQ(err.view().find_first_not_of('\0'), 3000000u);
    EXPECT_EQ(err.view().substr(3000000), "err");
}

TEST_F(Spawn, ReportsExitStatuses) {
    struct Case {
        std::vector<std::string> argv;
        int32_t status;
    };
    const Case kCases[] = {
        {{"true"}, 0},
        {{"false"}, 1},
        {{"sh", "-c", "exit 42"}, 42},
        {{"sh", "-c", "exit 255"}, 255},
        {{"sh", "-c", "kill -TERM $$"}, 128 + 15},  // ended by a signal, as a shell tells it
        {{"/bin/sh", "-c", "kill -KILL $$"}, 128 + 9},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.argv.back());
        auto child = platform::spawn(request(c.argv));
        ASSERT_TRUE(child);
        EXPECT_GT(child->pid(), 0);
        EXPECT_EQ(child->wait(), c.status);
        EXPECT_EQ(child->wait(), c.status);  // waiting again gives the same
    }
}

TEST_F(Spawn, RefusesWhatCannotRun) {
    put(dir / "not executable", "#!/bin/sh\n");
    struct Case {
        platform::SpawnRequest r;
        int reason;
    };
    platform::SpawnRequest missing_input = request({"cat"}, Kind::file);
    missing_input.input.path = at("missing");
    platform::SpawnRequest bad_output = request({"true"}, Kind::null, Kind::file);
    bad_output.output.path = at("missing/out");
    Case cases[] = {
        {request({"kaz-no-such-program"}, Kind::pipe, Kind::pipe, Kind::pipe), ENOENT},
        {request({at("missing")}), ENOENT},
        {request({at("not executable")}), EACCES},
        {request({}), EINVAL},
        {request({"echo", std::string("a\0b", 3)}), EINVAL},
        {missing_input, ENOENT},
        {bad_output, ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.r.argv.empty() ? "" : c.r.argv[0]);
        int reason = 0;
        EXPECT_FALSE(platform::spawn(c.r, &reason));
        EXPECT_EQ(reason, c.reason);
    }
    // The fixture checks that no descriptor stayed open and no child stayed behind.
}

TEST_F(Spawn, ReadsAndAppendsFiles) {
    put(dir / "in put", "line 1\nline 2\n");
    put(dir / "out", "before\n");
    platform::SpawnRequest r = request({"sh", "-c", "cat; echo to error >&2"}, Kind::file, Kind::file, Kind::file);
    r.input.path = at("in put");
    r.output.path = at("out");
    r.error.path = at("new error file");
    auto child = platform::spawn(r);
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->exchange({}, nullptr, nullptr));
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(get(dir / "out"), "before\nline 1\nline 2\n");
    EXPECT_EQ(get(dir / "new error file"), "to error\n");
}

TEST_F(Spawn, AChildThatStopsReadingEndsTheFeeding) {
    // head leaves after 10 bytes: the rest of the input meets a closed pipe, which must neither
    // fail the exchange nor raise SIGPIPE here.
    std::string input = pattern(8 << 20);
    auto child = platform::spawn(request({"head", "-c", "10"}, Kind::pipe, Kind::pipe));
    ASSERT_TRUE(child);
    platform::Bytes out;
    EXPECT_TRUE(child->exchange(input, &out, nullptr));
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(out.view(), input.substr(0, 10));
}

TEST_F(Spawn, UnwantedOutputIsDrained) {
    // No string for the output: it is read and dropped, so the child can finish.
    auto child = platform::spawn(request({"head", "-c", "5000000", "/dev/zero"}, Kind::null, Kind::pipe));
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->exchange({}, nullptr, nullptr));
    EXPECT_EQ(child->wait(), 0);
}

TEST_F(Spawn, ChildrenAreKilledDroppedOrLeftAloneAndAlwaysReaped) {
    {
        auto child = platform::spawn(request({"sleep", "1000"}));
        ASSERT_TRUE(child);
        child->kill();
        EXPECT_EQ(child->wait(), 128 + 9);
    }
    {
        // Dropped unwaited, with its pipes open: killed and reaped.
        auto child = platform::spawn(request({"cat"}, Kind::pipe, Kind::pipe, Kind::pipe));
        ASSERT_TRUE(child);
    }
    EXPECT_EQ(test::unreaped_children(), 0);
    {
        // Left to run on: reaped when it ends, by no one waiting here.
        auto child = platform::spawn(request({"sh", "-c", "exit 7"}));
        ASSERT_TRUE(child);
        int32_t pid = child->pid();
        EXPECT_EQ(child->detach(), pid);
        EXPECT_EQ(child->wait(), -1);  // no longer this process's to wait for
    }
    EXPECT_EQ(test::children_left_after_waiting(), 0);
}

TEST_F(Spawn, WaitingWithoutExchangeClosesThePipes) {
    // A child writing to a pipe nobody reads ends when the pipe is closed, even where the
    // parent ignores SIGPIPE, as the runtime does.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    auto child = platform::spawn(request({"sh", "-c", "exec head -c 5000000 /dev/zero"}, Kind::null, Kind::pipe));
    ASSERT_TRUE(child);
    EXPECT_EQ(child->wait(), 128 + 13);  // SIGPIPE: the default action was given back to the child
    sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
