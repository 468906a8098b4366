// The POSIX file layer against the file system itself: open modes, reads at offsets, files whose
// size the system does not tell, renames that never replace, directory listings.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/unit/services/fixture.h"

namespace {

using namespace kaz;
using namespace std::literals;
namespace fs = std::filesystem;
using Files = test::FileSystemTest;

TEST_F(Files, OpenModesTruncateAppendOrKeep) {
    std::string path = at("modes");
    struct Case {
        uint32_t mode;
        int64_t seek;  // where to write, -1 for the file position
        std::string_view after;
    };
    const Case kCases[] = {
        {platform::open_mode::write, -1, "xy"},                               // emptied first
        {platform::open_mode::write | platform::open_mode::append, -1, "abcdefxy"},
        {platform::open_mode::write | platform::open_mode::seek, 2, "abxyef"},  // the rest kept
        {platform::open_mode::write | platform::open_mode::seek, 8, "abcdef\0\0xy"sv},  // a hole of zeros
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.mode);
        put(path, "abcdef");
        platform::File f = platform::open_file(path.c_str(), c.mode);
        ASSERT_TRUE(f.is_open());
        if (c.seek >= 0) {
            ASSERT_TRUE(platform::seek(f, c.seek));
        }
        EXPECT_EQ(platform::write_bytes(f.fd(), "xy", 2), 2);
        f.close();
        EXPECT_EQ(get(path), c.after);
    }
    // Writing makes the file; reading never does.
    fs::remove(path);
    EXPECT_FALSE(platform::open_file(path.c_str(), platform::open_mode::read).is_open());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(platform::open_file(path.c_str(), platform::open_mode::write | platform::open_mode::append).is_open());
    EXPECT_TRUE(fs::exists(path));
}

TEST_F(Files, ReadsAtOffsetsAndToTheEnd) {
    std::string path = at("data");
    put(path, "0123456789");
    platform::File f = platform::open_file(path.c_str(), platform::open_mode::read);
    ASSERT_TRUE(f.is_open());
    char buffer[16] = {};
    EXPECT_EQ(platform::read_bytes(f, buffer, 4, 3), 4);
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_EQ(platform::read_bytes(f, buffer, 16, 7), 3);  // stops at the end
    EXPECT_EQ(platform::read_bytes(f, buffer, 4, 20), 0);
    auto status = platform::status_of(f);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->regular);
    EXPECT_EQ(status->size, 10);

    // The kernel's own files tell a size of 0 and still hold text.
    platform::File proc = platform::open_file("/proc/self/status", platform::open_mode::read);
    ASSERT_TRUE(proc.is_open());
    EXPECT_EQ(platform::status_of(proc)->size, 0);
    std::string text;
    ASSERT_TRUE(platform::read_to_end(proc, text));
    EXPECT_EQ(text.rfind("Name:", 0), 0u) << text;

    // A directory opens but cannot be read.
    platform::File d = platform::open_file(dir.c_str(), platform::open_mode::read);
    ASSERT_TRUE(d.is_open());
    EXPECT_TRUE(platform::status_of(d)->directory);
    EXPECT_EQ(platform::read_bytes(d, buffer, 4), -1);
}

TEST_F(Files, StatusTellsTheModificationTime) {
    std::string path = at("dated");
    put(path, "x");
    // 2021-03-04 05:06:07.891 UTC, set through the C++ library's own clock.
    auto when = std::chrono::sys_seconds(std::chrono::seconds(1614834367)) + std::chrono::milliseconds(891);
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(when));
    auto status = platform::status_of(path.c_str());
    ASSERT_TRUE(status);
    EXPECT_EQ(status->mtime_seconds, 1614834367);
    EXPECT_EQ(status->mtime_nanoseconds / 1'000'000, 891);
    EXPECT_FALSE(platform::status_of(at("missing").c_str()));
}

TEST_F(Files, RenameNeverReplaces) {
    put(dir / "a", "A");
    put(dir / "b", "B");
    EXPECT_FALSE(platform::rename_path(at("a").c_str(), at("b").c_str()));
    EXPECT_EQ(get(dir / "a"), "A");
    EXPECT_EQ(get(dir / "b"), "B");
    EXPECT_TRUE(platform::rename_path(at("a").c_str(), at("c").c_str()));
    EXPECT_FALSE(fs::exists(dir / "a"));
    EXPECT_EQ(get(dir / "c"), "A");
    EXPECT_FALSE(platform::rename_path(at("missing").c_str(), at("d").c_str()));
    fs::create_directory(dir / "sub");
    EXPECT_TRUE(platform::rename_path(at("c").c_str(), at("sub/c moved").c_str()));  // into a directory
    EXPECT_EQ(get(dir / "sub" / "c moved"), "A");
}

TEST_F(Files, DirectoriesAreMadeListedAndRemoved) {
    EXPECT_TRUE(platform::make_dir(at("sub").c_str()));
    EXPECT_FALSE(platform::make_dir(at("sub").c_str()));             // already there
    EXPECT_FALSE(platform::make_dir(at("missing/deeper").c_str()));  // one level only
    put(dir / "zeta", "");
    put(dir / ".hidden", "");
    put(dir / "Alpha b\xC3\xA9", "");
    fs::create_directory_symlink(dir / "sub", dir / "link to sub");
    fs::create_symlink(dir / "nowhere", dir / "dangling");

    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::list_dir(dir.c_str(), entries));
    std::vector<std::pair<std::string, bool>> seen;
    for (const auto& e : entries) seen.emplace_back(e.name, e.directory);
    std::vector<std::pair<std::string, bool>> expected = {
        {".hidden", false}, {"Alpha b\xC3\xA9", false}, {"dangling", false},
        {"link to sub", true}, {"sub", true}, {"zeta", false}};
    EXPECT_EQ(seen, expected);

    entries.clear();
    EXPECT_FALSE(platform::list_dir(at("missing").c_str(), entries));
    EXPECT_FALSE(platform::list_dir(at("zeta").c_str(), entries));

    EXPECT_TRUE(platform::exists(at("sub").c_str()));
    EXPECT_FALSE(platform::exists(at("dangling").c_str()));
    EXPECT_FALSE(platform::remove_file(at("sub").c_str()));  // a directory is no file
    EXPECT_FALSE(platform::remove_dir(dir.c_str()));         // not empty
    EXPECT_TRUE(platform::remove_file(at("link to sub").c_str()));
    EXPECT_TRUE(platform::remove_dir(at("sub").c_str()));
    EXPECT_FALSE(platform::exists(at("sub").c_str()));
}

}  // namespace
