// The launcher with real processes: commands split as a shell splits them, data through a
// child's input and output at once, both output streams, exit statuses and process ids,
// programs that cannot be found, and the values `call` fills. The fixture checks each test for
// open descriptors and unreaped children.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/string.h"
#include "services/call.h"
#include "tests/unit/services/fixture.h"
#include "tests/unit/support.h"

namespace {

using namespace kaz;
namespace fs = std::filesystem;
using test::str;
using test::utf8_of;
using Launcher = test::FileSystemTest;

std::string pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 7;
    for (char& c : s) {
        x = x * 1664525 + 1013904223;
        c = char(x >> 24);
    }
    return s;
}

TEST(SplitWords, SplitsAsAShellDoes) {
    using Words = std::vector<std::string>;
    struct Case {
        std::string_view command;
        Words words;
    };
    const Case kCases[] = {
        {"ls -l  /tmp", {"ls", "-l", "/tmp"}},
        {"  \t lead and trail \n", {"lead", "and", "trail"}},
        {"echo 'a  b' \"c  d\"", {"echo", "a  b", "c  d"}},
        {"a'b c'd\"e f\"g", {"ab cde fg"}},               // quotes join what stands next to them
        {"'' \"\" x", {"", "", "x"}},                     // empty words from quotes
        {"'it''s' \"say \\\"hi\\\"\"", {"its", "say \"hi\""}},
        {"'no \\escape' \"keep \\n \\$ \\\\\"", {"no \\escape", "keep \\n $ \\"}},
        {"a\\ b c\\\\d \\'e", {"a b", "c\\d", "'e"}},
        {"line\\\ncontinued", {"linecontinued"}},
        {"$HOME *.txt ~ a|b", {"$HOME", "*.txt", "~", "a|b"}},  // nothing is expanded
        {"caf\xC3\xA9 '\xE2\x82\xAC'", {"caf\xC3\xA9", "\xE2\x82\xAC"}},
        {"", {}},
        {"   ", {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.command);
        auto words = process::split_words(c.command);
        ASSERT_TRUE(words);
        EXPECT_EQ(*words, c.words);
    }
    for (std::string_view open : {"'open", "\"open", "a \"b\\\"", "x'"}) {
        SCOPED_TRACE(open);
        EXPECT_FALSE(process::split_words(open));
    }
}

process::RunRequest capture(std::string command) {
    process::RunRequest r;
    r.command = std::move(command);
    r.output_kind = process::RunRequest::Sink::capture;
    r.error_kind = process::RunRequest::Sink::capture;
    return r;
}

TEST_F(Launcher, FeedsAndReadsAChildAtOnce) {
    std::string input = pattern(20 << 20);
    process::RunRequest r = capture("cat");
    r.input_kind = process::RunRequest::Source::bytes;
    r.input = input;
    process::RunResult result = process::run(r);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.size(), input.size());
    EXPECT_TRUE(result.output.view() == input);
    EXPECT_TRUE(result.error.empty());
    EXPECT_FALSE(result.shell_used);
}

TEST_F(Launcher, RunsDirectlyThroughTheShellOrNotAtAll) {
    struct Case {
        std::string command;
        bool program, shell;
        int32_t status;
        std::string output;
        bool shell_used;
    };
    put(dir / "my script", "#!/bin/sh\necho \"ran with $# arguments\"\nexit 5\n");
    fs::permissions(dir / "my script", fs::perms::owner_all);
    const Case kCases[] = {
        {"printf '%s|' one 'two words' \"three\"", false, false, 0, "one|two words|three|", false},
        {"sh -c 'exit 9'", false, false, 9, "", false},
        {"echo $((6 * 7)) | tr 4 X", false, true, 0, "X2\n", true},
        // Not a program: tried again through the shell, which knows these.
        {"X=1; echo \"x is $X\"", false, false, 0, "x is 1\n", true},
        {"cd /", false, false, 0, "", true},
        {"   ", false, false, 0, "", true},
        // A program's path is never split, even with a space in it.
        {at("my script"), true, false, 5, "ran with 0 arguments\n", false},
        {at("my script"), true, true, 5, "ran with 0 arguments\n", true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.command);
        process::RunRequest r = capture(c.command);
        r.program = c.program;
        r.shell = c.shell;
        process::RunResult result = process::run(r);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.output.view(), c.output);
        EXPECT_EQ(result.shell_used, c.shell_used);
    }
}

TEST_F(Launcher, AMissingProgramIsLeftToTheShellToReport) {
    process::RunResult result = process::run(capture("kaz-no-such-program --flag"));
    EXPECT_TRUE(result.shell_used);
    EXPECT_EQ(result.status, 127);
    EXPECT_NE(result.error.view().find("kaz-no-such-program"), std::string::npos) << result.error.view();
    EXPECT_TRUE(result.output.empty());
}

TEST_F(Launcher, FailsWithMinusOne) {
    process::RunRequest open_quote = capture("echo 'unfinished");
    process::RunRequest missing_input = capture("cat");
    missing_input.input_kind = process::RunRequest::Source::file;
    missing_input.input_path = at("missing");
    process::RunRequest no_directory = capture("true");
    no_directory.output_kind = process::RunRequest::Sink::file;
    no_directory.output_path = at("missing/out");
    put(dir / "plain", "not a program");
    process::RunRequest not_executable = capture(at("plain"));
    not_executable.program = true;
    for (const process::RunRequest& r : {open_quote, missing_input, no_directory, not_executable}) {
        SCOPED_TRACE(r.command);
        EXPECT_EQ(process::run(r).status, -1);
    }
}

TEST_F(Launcher, GivesTheProcessIdWhenNotWaiting) {
    process::RunRequest r;
    r.command = "sh -c 'exit 3'";
    process::RunResult result = process::run(r);
    EXPECT_GT(result.status, 1);
    EXPECT_NE(result.status, getpid());
    // Waiting is the fixture's business: the child must be reaped without anyone here.
    r.wait = true;
    EXPECT_EQ(process::run(r).status, 3);
}

// ---- the values of call ----

class Call : public Launcher {
protected:
    static int32_t call(const Cell& cmd, process::CallOptions o = {}) { return process::call(cmd, o); }
};

TEST_F(Call, CapturesIntoStringsAndBinariesAtTheirHead) {
    Cell out = str("[old]");
    Cell err = str("<old>");
    err.data1 = 1;  // at "old>": the capture goes before it
    process::CallOptions o;
    o.output = &out;
    o.error = &err;
    EXPECT_EQ(call(str("sh -c 'printf \"caf\\303\\251 \\377\"; printf oops >&2; exit 4'"), o), 4);
    EXPECT_EQ(utf8_of(out), "caf\xC3\xA9 \xEF\xBF\xBD[old]");  // UTF-8, an invalid byte as U+FFFD
    EXPECT_EQ(utf8_of(err), "oopsold>");
    err.data1 = 0;
    EXPECT_EQ(utf8_of(err), "<oopsold>");

    Cell bytes = test::binary({'!'});
    o = {};
    o.output = &bytes;
    EXPECT_EQ(call(str("printf '\\377\\000x'"), o), 0);
    EXPECT_EQ(test::byte_text(bytes.data2), std::string("\xFF\0x!", 4));

    // Nothing written changes nothing.
    Cell same = str("kept");
    o = {};
    o.output = &same;
    EXPECT_EQ(call(str("true"), o), 0);
    EXPECT_EQ(utf8_of(same), "kept");
}

TEST_F(Call, FeedsStringsBinariesAndFiles) {
    Cell out = str("");
    process::CallOptions o;
    o.output = &out;
    Cell text = str("\xE2\x82\xAC and more");
    text.data1 = 2;  // from its position
    o.input = &text;
    EXPECT_EQ(call(str("cat"), o), 0);
    EXPECT_EQ(utf8_of(out), "and more");

    std::string big = pattern(20 << 20);
    Cell bytes = test::binary(std::vector<uint8_t>(big.begin(), big.end()));
    Cell back = test::binary({});
    o = {};
    o.input = &bytes;
    o.output = &back;
    EXPECT_EQ(call(str("cat"), o), 0);
    EXPECT_TRUE(test::byte_text(back.data2) == big);

    put(dir / "in file", "from a file\n");
    Cell in_file = str(at("in file"), TypeId::file);
    Cell out_file = str(at("out file"), TypeId::file);
    o = {};
    o.input = &in_file;
    o.output = &out_file;
    o.error = &out_file;
    EXPECT_EQ(call(str("sh -c 'cat; echo err >&2'"), o), 0);
    EXPECT_EQ(call(str("echo again"), o), 0);  // appended
    EXPECT_EQ(get(dir / "out file"), "from a file\nerr\nagain\n");
}

TEST_F(Call, RunsFilesAndEmptyCommands) {
    put(dir / "a script", "#!/bin/sh\necho \"in $(pwd)\"\n");
    fs::permissions(dir / "a script", fs::perms::owner_all);
    Cell out = str("");
    process::CallOptions o;
    o.output = &out;
    // A relative file! is found from the current directory.
    std::string cwd = fs::current_path();
    fs::current_path(dir);
    EXPECT_EQ(call(str("a script", TypeId::file), o), 0);
    fs::current_path(cwd);
    EXPECT_EQ(utf8_of(out), "in " + dir.string() + "\n");

    EXPECT_EQ(call(str("")), 0);
    EXPECT_EQ(call(str("", TypeId::file)), 0);
    o.wait = true;
    EXPECT_EQ(call(str("false"), o), 1);
    o = {};
    o.wait = true;
    EXPECT_EQ(call(str("sh -c 'exit 12'"), o), 12);
    o.shell = true;
    EXPECT_EQ(call(str("exit 13"), o), 13);
}

TEST_F(Call, RefusesTheConsoleAndOtherTypes) {
    process::CallOptions o;
    o.console = true;
    EXPECT_EQ(test::raised([&] { call(str("true"), o); }).first, ErrorId::internal_not_done);
    EXPECT_EQ(test::raised([&] { call(cell::integer(1)); }).first, ErrorId::script_invalid_arg);
    EXPECT_EQ(test::raised([&] { call(str(std::string("touch x\0y", 9))); }).first, ErrorId::script_invalid_arg);
    Cell number = cell::integer(1);
    o = {};
    o.output = &number;
    EXPECT_EQ(test::raised([&] { call(str("true"), o); }).first, ErrorId::script_invalid_arg);
}

}  // namespace
