// The file service on real files in a temporary directory: round trips of text and bytes under
// names with spaces and non-ASCII letters, parts and offsets, lines, directory listings, dates,
// deleting and renaming, and the errors of missing files and directories.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "services/files.h"
#include "tests/unit/services/fixture.h"
#include "tests/unit/support.h"

namespace {

using namespace kaz;
using namespace std::literals;
namespace fs = std::filesystem;
using test::str;
using test::utf8_of;

class SimpleIo : public test::FileSystemTest {
protected:
    // A file! naming a path in the temporary directory.
    Cell file(const std::string& name) const { return str(at(name), TypeId::file); }
    Cell folder(const std::string& name) const { return str(at(name) + "/", TypeId::file); }

    static Cell read(const Cell& f, bool binary = false, bool lines = false, int32_t seek = -1,
                     int32_t part = -1) {
        Cell s = cell::integer(seek), p = cell::integer(part);
        return simple_io::read(f, seek >= 0 ? &s : nullptr, part >= 0 ? &p : nullptr, binary, lines);
    }
    static int64_t write(const Cell& f, const Cell& data, bool append = false, bool lines = false,
                         const Cell* seek = nullptr, const Cell* part = nullptr) {
        return simple_io::write(&f, data, seek, part, false, append, lines);
    }
};

// The strings of a block, as UTF-8.
std::vector<std::string> texts(const Cell& block) {
    std::vector<std::string> out;
    for (uint32_t i = block.data1; i < series_::total_length(block); ++i) {
        Cell v = *block::cell_at(block, i);
        out.push_back(utf8_of(v));
    }
    return out;
}

std::string bytes_of(const Cell& binary) {
    EXPECT_EQ(type_of(binary), TypeId::binary);
    return test::byte_text(binary.data2).substr(binary.data1);
}

TEST_F(SimpleIo, TextRoundTripsUnderOddNames) {
    const std::string kText = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\nsecond line\r\nthird\n";
    for (std::string name : {"plain.txt", "with spaces.txt", "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", "%25 #;'\""}) {
        SCOPED_TRACE(name);
        Cell f = file(name);
        EXPECT_EQ(write(f, str(kText)), int64_t(kText.size()));
        // Written as UTF-8 with the line ends as they are: no CR is added.
        EXPECT_EQ(get(dir / name), kText);
        Cell back = read(f);
        EXPECT_EQ(type_of(back), TypeId::string);
        EXPECT_EQ(utf8_of(back), kText);
        EXPECT_EQ(string::length_from_head(back), 28u);  // code points, not bytes
    }
}

TEST_F(SimpleIo, BinaryRoundTripsEveryByte) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    all += all;
    Cell data = test::binary(std::vector<uint8_t>(all.begin(), all.end()));
    Cell f = file("bytes.bin");
    EXPECT_EQ(write(f, data), 512);
    EXPECT_EQ(get(dir / "bytes.bin"), all);
    EXPECT_EQ(bytes_of(read(f, true)), all);
    // /binary wins over /lines.
    EXPECT_EQ(bytes_of(read(f, true, true)), all);
    // A binary's position is where its bytes start.
    data.data1 = 500;
    EXPECT_EQ(write(f, data), 12);
    EXPECT_EQ(get(dir / "bytes.bin"), all.substr(500));
}

TEST_F(SimpleIo, ReadsPartsAndOffsets) {
    put(dir / "digits", "0123456789");
    Cell f = file("digits");
    struct Case {
        int32_t seek, part;
        std::string_view text;
    };
    const Case kCases[] = {
        {-1, -1, "0123456789"}, {3, -1, "3456789"}, {-1, 4, "0123"},  {3, 4, "3456"},
        {-1, 0, ""},            {-1, 99, "0123456789"}, {9, 5, "9"}, {10, -1, ""},
        {25, 2, ""},  // past the end: nothing
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.seek << " " << c.part);
        Cell text = read(f, false, false, c.seek, c.part);
        EXPECT_EQ(type_of(text), TypeId::string);
        EXPECT_EQ(utf8_of(text), c.text);
        EXPECT_EQ(bytes_of(read(f, true, false, c.seek, c.part)), c.text);
        // Nothing to read gives an empty string! even with /lines.
        if (c.text.empty()) {
            EXPECT_EQ(type_of(read(f, false, true, c.seek, c.part)), TypeId::string);
        }
    }
    // Parts count bytes: the cut may fall inside a character.
    put(dir / "accents", "\xC3\xA9\xC3\xA9");
    EXPECT_EQ(utf8_of(read(file("accents"), false, false, -1, 3)), "\xC3\xA9\xEF\xBF\xBD");
    // A part or seek of another type is refused.
    Cell half = cell::float_(0.5);
    auto [id, arg] = test::raised([&] { simple_io::read(f, nullptr, &half, false, false); });
    EXPECT_EQ(id, ErrorId::script_invalid_refine_arg);
    EXPECT_EQ(test::molded(arg), "part");
    EXPECT_EQ(test::raised([&] { simple_io::read(f, &half, nullptr, false, false); }).first,
              ErrorId::script_invalid_refine_arg);
}

TEST_F(SimpleIo, SplitsLines) {
    struct Case {
        std::string_view bytes;
        std::vector<std::string> lines;
    };
    const Case kCases[] = {
        {"a\r\nb\n\nc", {"a", "b", "", "c"}},
        {"a\n", {"a"}},
        {"\n", {""}},
        {"\n\n", {"", ""}},
        {"one", {"one"}},
        {"cr\ralone\r\n\r\n", {"cr\ralone", ""}},  // only a CR before an LF goes
        {"\xC3\xA9t\xC3\xA9\n\xFFx", {"\xC3\xA9t\xC3\xA9", "\xEF\xBF\xBDx"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.bytes);
        put(dir / "lines", c.bytes);
        Cell block = read(file("lines"), false, true);
        ASSERT_EQ(type_of(block), TypeId::block);
        EXPECT_EQ(texts(block), c.lines);
        EXPECT_EQ(texts(simple_io::bytes_to_lines(c.bytes)), c.lines);
    }
    EXPECT_EQ(texts(simple_io::bytes_to_lines("")), std::vector<std::string>{});
    put(dir / "lines", "");
    EXPECT_EQ(type_of(read(file("lines"), false, true)), TypeId::string);
}

TEST_F(SimpleIo, DecodesInvalidUtf8AsReplacementCharacters) {
    // The Unicode Standard's own example of U+FFFD substitution (maximal subparts).
    put(dir / "bad", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64");
    EXPECT_EQ(utf8_of(read(file("bad"))),
              "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD" "d");
    EXPECT_EQ(utf8_of(simple_io::bytes_to_string("\xED\xA0\x80!")),  // a surrogate is refused
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD!");
}

TEST_F(SimpleIo, ReadsFilesOfUnknownSize) {
    // The kernel reports a size of 0 for its own files: they are read to their end.
    Cell status = read(str("/proc/self/status", TypeId::file));
    EXPECT_EQ(utf8_of(status).rfind("Name:", 0), 0u);
    Cell part = read(str("/proc/self/status", TypeId::file), true, false, 2, 3);
    EXPECT_EQ(bytes_of(part), "me:");
    // A device has no end: only what is asked for is read.
    EXPECT_EQ(bytes_of(read(str("/dev/zero", TypeId::file), true, false, 3, 5)), std::string(5, '\0'));
    Cell mounts = read(str("/proc/self/mounts", TypeId::file), false, true);
    EXPECT_EQ(type_of(mounts), TypeId::block);
    EXPECT_GT(series_::total_length(mounts), 0u);
}

TEST_F(SimpleIo, ListsDirectories) {
    fs::create_directory(dir / "sub dir");
    fs::create_directory(dir / "\xC3\xA9l\xC3\xA8ve");
    put(dir / "b.txt", "");
    put(dir / ".hidden", "");
    put(dir / "A", "");
    Cell listing = read(folder(""));
    ASSERT_EQ(type_of(listing), TypeId::block);
    EXPECT_EQ(texts(listing), (std::vector<std::string>{".hidden", "A", "b.txt", "sub dir/", "\xC3\xA9l\xC3\xA8ve/"}));
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(type_of(*block::cell_at(listing, i)), TypeId::file);
    EXPECT_EQ(texts(read(folder("sub dir"))), std::vector<std::string>{});
    // "." and ".." and their forms after a "/" name directories by their text.
    EXPECT_EQ(texts(read(str(at("sub dir/.."), TypeId::file))), texts(listing));
    EXPECT_EQ(texts(read(str(at("sub dir/."), TypeId::file))), std::vector<std::string>{});

    // "." lists the current directory; "/" the root directory.
    std::string cwd = fs::current_path();
    fs::current_path(dir);
    EXPECT_EQ(texts(read(str(".", TypeId::file))), texts(listing));
    fs::current_path(cwd);
    std::vector<std::string> root;
    for (const auto& e : fs::directory_iterator("/"))
        root.push_back(e.path().filename().string() + (e.is_directory() ? "/" : ""));
    std::sort(root.begin(), root.end());
    EXPECT_EQ(texts(read(str("/", TypeId::file))), root);
}

TEST_F(SimpleIo, MissingFilesAndDirectoriesCannotBeOpened) {
    fs::create_directory(dir / "sub");
    put(dir / "file", "x");
    const std::vector<std::string> kPaths = {
        at("missing"), at("missing/"), at("sub"),  // a directory read without its "/"
        at("file/"),                               // a file read as a directory
        at("file/x"), "",
    };
    for (const std::string& path : kPaths) {
        SCOPED_TRACE(path);
        Cell f = str(path, TypeId::file);
        for (bool binary : {false, true}) {
            auto [id, arg] = test::raised([&] { read(f, binary); });
            EXPECT_EQ(id, ErrorId::access_cannot_open);
            EXPECT_EQ(utf8_of(arg), path);
        }
    }
}

TEST_F(SimpleIo, WritesAppendsAndOverwritesAtOffsets) {
    Cell f = file("log");
    EXPECT_EQ(write(f, str("one\n"), true), 4);  // an append makes a missing file
    EXPECT_EQ(write(f, str("two\n"), true), 4);
    EXPECT_EQ(get(dir / "log"), "one\ntwo\n");
    Cell two = cell::integer(2);
    EXPECT_EQ(write(f, str("NE"), false, false, &two), 2);  // at an offset, the rest kept
    EXPECT_EQ(get(dir / "log"), "onNEtwo\n");
    EXPECT_EQ(write(f, str("end"), true, false, &two), 3);  // /append wins over /seek
    EXPECT_EQ(get(dir / "log"), "onNEtwo\nend");
    EXPECT_EQ(write(f, str("new")), 3);                     // else the file is emptied first
    EXPECT_EQ(get(dir / "log"), "new");

    // Parts cut binaries from 1 to their length; a negative part writes nothing.
    Cell bytes = test::binary({'a', 'b', 'c'});
    struct Case {
        int32_t part;
        int64_t result;
        std::string_view content;
    };
    for (const Case& c : {Case{2, 2, "ab"}, Case{0, 3, "abc"}, Case{9, 3, "abc"}, Case{-1, -1, "abc"}}) {
        Cell p = cell::integer(c.part);
        EXPECT_EQ(write(f, bytes, false, false, nullptr, &p), c.result);
        EXPECT_EQ(get(dir / "log"), c.content);
    }
    Cell half = cell::float_(0.5);
    auto [id, arg] = test::raised([&] { write(f, bytes, false, false, nullptr, &half); });
    EXPECT_EQ(id, ErrorId::script_invalid_refine_arg);
    EXPECT_EQ(test::molded(arg), "part");
    EXPECT_EQ(get(dir / "log"), "abc");  // untouched
}

TEST_F(SimpleIo, WritesValuesAsTextAndLines) {
    Cell f = file("values");
    Cell block = test::blk({str("a"), cell::integer(1), str("\xC3\xA9")});
    int64_t n = write(f, block);  // molded
    EXPECT_EQ(get(dir / "values"), "[\"a\" 1 \"\xC3\xA9\"]");
    EXPECT_EQ(n, 12);
    write(f, block, false, true);
    EXPECT_EQ(get(dir / "values"), "a\n1\n\xC3\xA9\n");  // LF alone after each
    write(f, str("x\ny"), false, true);
    EXPECT_EQ(get(dir / "values"), "x\ny\n");
    write(f, cell::integer(42), true, true);
    EXPECT_EQ(get(dir / "values"), "x\ny\n42\n");
    write(f, str("name", TypeId::file));  // only a string! is written as its text
    EXPECT_EQ(get(dir / "values"), "%name");
    // Text wider than a byte per character, and a string from its position.
    Cell wide = str("\xE2\x82\xAC\xF0\x9F\x98\x80!");
    wide.data1 = 1;
    write(f, wide);
    EXPECT_EQ(get(dir / "values"), "\xF0\x9F\x98\x80!");
}

TEST_F(SimpleIo, WriteFailuresRaiseCannotOpen) {
    fs::create_directory(dir / "sub");
    for (std::string path : {at("sub"), at("missing/file"), at("sub/")}) {
        SCOPED_TRACE(path);
        Cell f = str(path, TypeId::file);
        auto [id, arg] = test::raised([&] { write(f, str("x")); });
        EXPECT_EQ(id, ErrorId::access_cannot_open);
        EXPECT_EQ(utf8_of(arg), path);
    }
}

TEST_F(SimpleIo, WritesToStandardOutput) {
    // Standard output is a file here for the length of the test.
    int saved = dup(1);
    int out = open(at("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    dup2(out, 1);
    int64_t n = simple_io::write(nullptr, str("to standard output\n"), nullptr, nullptr, false, false, false);
    dup2(saved, 1);
    close(saved);
    close(out);
    EXPECT_EQ(n, 19);
    EXPECT_EQ(get(dir / "stdout"), "to standard output\n");
}

TEST_F(SimpleIo, QueriesModificationDates) {
    put(dir / "dated", "x");
    auto when = std::chrono::sys_seconds(std::chrono::seconds(951782400 + 13 * 3600 + 14 * 60 + 15)) +
                std::chrono::microseconds(123456);  // 2000-02-29 13:14:15.123456 UTC
    fs::last_write_time(dir / "dated", fs::file_time_type::clock::from_sys(when));
    auto t = simple_io::modified_date(file("dated"));
    ASSERT_TRUE(t);
    EXPECT_EQ((std::vector<int32_t>{t->year, t->month, t->day, t->hour, t->minute, t->second, t->nanosecond}),
              (std::vector<int32_t>{2000, 2, 29, 13, 14, 15, 123'000'000}));

    fs::create_directory(dir / "sub");
    EXPECT_TRUE(simple_io::modified_date(folder("sub")));
    EXPECT_TRUE(simple_io::modified_date(file("sub")));
    EXPECT_FALSE(simple_io::modified_date(folder("dated")));  // a "/" on a file
    EXPECT_FALSE(simple_io::modified_date(file("missing")));
}

TEST_F(SimpleIo, DeletesRenamesAndMakesDirectories) {
    put(dir / "a file", "A");
    put(dir / "b", "B");
    EXPECT_FALSE(simple_io::rename(file("a file"), file("b")));  // never replaces
    EXPECT_EQ(get(dir / "b"), "B");
    EXPECT_TRUE(simple_io::rename(file("a file"), file("\xC3\xA9")));
    EXPECT_EQ(get(dir / "\xC3\xA9"), "A");
    EXPECT_FALSE(simple_io::rename(file("a file"), file("c")));

    EXPECT_TRUE(simple_io::make_dir(file("new dir")));
    EXPECT_FALSE(simple_io::make_dir(file("new dir")));
    EXPECT_FALSE(simple_io::make_dir(file("missing/deeper")));
    EXPECT_TRUE(simple_io::file_exists_q(folder("new dir")));
    EXPECT_TRUE(simple_io::file_exists_q(file("b")));
    EXPECT_FALSE(simple_io::file_exists_q(file("missing")));

    EXPECT_FALSE(simple_io::delete_(file("new dir")));  // a directory without its "/"
    EXPECT_TRUE(simple_io::delete_(folder("new dir")));
    EXPECT_FALSE(simple_io::delete_(folder("b")));       // a file with one
    EXPECT_TRUE(simple_io::delete_(file("b")));
    EXPECT_FALSE(simple_io::delete_(file("b")));
    EXPECT_FALSE(fs::exists(dir / "b"));
    fs::create_directory(dir / "full");
    put(dir / "full" / "x", "");
    EXPECT_FALSE(simple_io::delete_(folder("full")));  // not empty
}

TEST(DirPath, TellsDirectoriesByTheirText) {
    struct Case {
        const char* path;
        bool directory;
    };
    const Case kCases[] = {
        {"/", true},    {"a/", true},      {".", true},    {"..", true},   {"a/.", true},
        {"a/..", true}, {"", false},       {"a", false},   {"a.", false},  {"...", false},
        {"a/...", false}, {"a..", false},  {".a", false},  {"a\\", false},  // "\" is a plain character
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(simple_io::dir_path_q(str(c.path, TypeId::file)), c.directory);
    }
    Cell positioned = str("dir/name", TypeId::file);
    positioned.data1 = 4;
    EXPECT_FALSE(simple_io::dir_path_q(positioned));
}

}  // namespace
