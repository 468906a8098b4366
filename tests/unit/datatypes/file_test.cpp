// url! and file!: molds and their escapes, the percent-encoding codec, path joining, urls
// built from blocks, and the POSIX form of file paths checked against the file system.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/file.h"
#include "datatypes/integer.h"
#include "datatypes/issue.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "tests/unit/support.h"

using namespace kaz;
using test::error_of;
using test::str;
using test::utf8_of;

namespace {

Cell block(std::initializer_list<Cell> cells) { return test::blk(cells); }

int32_t code_points(std::string_view utf8) {
    int32_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

struct Molded {
    std::string text;
    int32_t left;
};
Molded mold(const Cell& v, int32_t part = -1) {
    Cell out = string::make_cell(16);
    Cell part_cell = cell::integer(part);
    int32_t limit = part >= 0 ? part : 1000;
    int32_t left = registry::actions(type_of(v)).mold(v, out.data2, false, false, false,
                                                      part >= 0 ? &part_cell : nullptr, limit, 0);
    return {utf8_of(out), left};
}

std::string decoded(std::string_view utf8) {
    Cell out = string::make_cell(8);
    url::percent_decode(str(utf8), out.data2);
    return utf8_of(out);
}

std::string encoded(std::string_view utf8, uint32_t kind) {
    Node bytes = series::alloc_bytes(16);
    url::percent_encode(str(utf8), bytes, kind);
    SeriesBuffer* b = memory::buffer_of(bytes);
    return {reinterpret_cast<const char*>(b->head), b->used()};
}

Cell w(const char* name) { return word::from_c_string(name); }

class FileUrl : public testing::Test {
protected:
    void SetUp() override {
        test::reset_stacks();
        integer::init();
        series_::init();
        block::init();
        string::init();
        char_::init();
        word::init();
        issue::init();
        url::init();
        file::init();
    }
};

// ---- file! mold ----

TEST_F(FileUrl, FileMoldsBareOrQuotedAndLoadsBackAsTheSameName) {
    struct Case { const char* name; std::string expected; };
    const Case kCases[] = {
        {"/c/file.txt", "%/c/file.txt"},
        {"my file.txt", "%\"my file.txt\""},
        {"", "%\"\""},
        {"\xC3\xA9t\xC3\xA9.txt", "%\xC3\xA9t\xC3\xA9.txt"},  // non-ASCII is written as it is
        {"a~b-c_d.e,f", "%a~b-c_d.e,f"},
        // Characters that end a bare file name although escaping passes them.
        {"a:b", "%\"a:b\""},
        {"me@host", "%\"me@host\""},
        {"f(1)", "%\"f(1)\""},
        // Inside the quotes, what loading would decode or stop at is escaped.
        {"say \"hi\"", "%\"say %22hi%22\""},
        {"100%", "%\"100%25\""},
        {"50%41", "%\"50%2541\""},
        {"two\nlines", "%\"two%0Alines\""},
        {"tab\there", "%\"tab\there\""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell f = str(c.name, TypeId::file);
        Molded m = mold(f);
        EXPECT_EQ(m.text, c.expected);
        EXPECT_EQ(m.left, 1000 - code_points(m.text));
        // What loading does with a quoted name: the text between the quotes, percent-decoded.
        if (m.text.size() >= 3 && m.text[1] == '"') {
            EXPECT_EQ(decoded(m.text.substr(2, m.text.size() - 3)), c.name);
        }
    }
}

TEST_F(FileUrl, FileMoldStopsAtThePartLimit) {
    Molded m = mold(str("/c/file.txt", TypeId::file), 4);
    EXPECT_EQ(m.text, "%/c/");
    EXPECT_EQ(m.left, 0);
    // The quotes follow the written range only.
    Molded q = mold(str("abc def", TypeId::file), 4);
    EXPECT_EQ(q.text, "%abc");
    EXPECT_EQ(q.left, 0);
    Cell from_head = str("x/y z", TypeId::file);
    from_head.data1 = 2;
    EXPECT_EQ(mold(from_head).text, "%\"y z\"");
}

// ---- url! mold and the codec ----

TEST_F(FileUrl, UrlMoldsWithPercentEscapes) {
    struct Case { const char* text; std::string expected; };
    const Case kCases[] = {
        {"http://host/a b", "http://host/a%20b"},
        {"http://host/\xC3\xA9", "http://host/%C3%A9"},
        {"http://host/~user?q=1&r=(2)#top", "http://host/~user?q=1&r=(2)#top"},
        {"ftp://h/50%", "ftp://h/50%25"},
        {"x:[a]{b}|\"c\"<d>^e`f;g\\h", "x:%5Ba%5D%7Bb%7D%7C%22c%22%3Cd%3E%5Ee%60f%3Bg%5Ch"},
        {"x:\xF0\x9F\x98\x80", "x:%F0%9F%98%80"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        Molded m = mold(str(c.text, TypeId::url));
        EXPECT_EQ(m.text, c.expected);
        EXPECT_EQ(m.left, 1000 - int32_t(m.text.size()));
        EXPECT_EQ(decoded(m.text), c.text);
    }
    Molded cut = mold(str("a b", TypeId::url), 2);
    EXPECT_EQ(cut.text, "a%20");
    EXPECT_EQ(cut.left, -2);  // an escape is written whole
}

TEST_F(FileUrl, PercentDecodingTakesOnlyWholeEscapesAndWholeSequences) {
    struct Case { const char* in; const char* out; };
    const Case kCases[] = {
        {"a%20b", "a b"},
        {"%C3%A9", "\xC3\xA9"},
        {"%c3%a9", "\xC3\xA9"},
        {"%E2%82%AC", "\xE2\x82\xAC"},
        {"%F0%9F%98%80!", "\xF0\x9F\x98\x80!"},
        {"%41%42", "AB"},
        {"%zz", "%zz"},
        {"100%", "100%"},
        {"%4", "%4"},
        {"%C3", "%C3"},            // a lone lead byte
        {"%C3x", "%C3x"},
        {"%C3%28", "%C3("},        // the next escape is no continuation byte
        {"%A9", "%A9"},            // a continuation byte alone
        {"%C0%AF", "%C0%AF"},      // an overlong form
        {"%ED%A0%80", "%ED%A0%80"},  // a surrogate
        {"%F8%88%80%80", "%F8%88%80%80"},
        {"\xC3\xA9%20\xE2\x82\xAC", "\xC3\xA9 \xE2\x82\xAC"},  // plain text of any width stays
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(decoded(c.in), c.out);
    }
}

TEST_F(FileUrl, PercentEncodingByTable) {
    EXPECT_EQ(encoded("a b/\xC3\xA9~(x)", 0), "a%20b/%C3%A9~(x)");
    EXPECT_EQ(encoded("a b/\xC3\xA9~(x)", url::kStrict), "a%20b%2F%C3%A9~%28x%29");
    EXPECT_EQ(encoded("AZaz09-._~", url::kStrict), "AZaz09-._~");
    EXPECT_EQ(url::escape_byte(0, ' ').view(), "%20");
    EXPECT_EQ(url::escape_byte(0, 0xFF).view(), "%FF");
    EXPECT_EQ(url::escape_byte(0, '@').view(), "@");
    EXPECT_EQ(url::escape_byte(url::kStrict, '@').view(), "%40");
    uint8_t byte = 0;
    EXPECT_TRUE(url::hex_pair("%7e", byte));
    EXPECT_EQ(byte, 0x7E);
    EXPECT_FALSE(url::hex_pair("%7", byte));
    EXPECT_FALSE(url::hex_pair("%g0", byte));
    EXPECT_FALSE(url::hex_pair("x41", byte));
}

// ---- paths and conversions ----

TEST_F(FileUrl, EvalPathJoinsOneSlashAndLeavesTheUrlAlone) {
    struct Case { const char* base; Cell key; std::string expected; };
    const Case kCases[] = {
        {"http://x/", w("a"), "http://x/a"},
        {"http://x", w("a"), "http://x/a"},
        {"http://x/", str("/a"), "http://x/a"},
        {"http://x", str("/a"), "http://x/a"},
        {"http://x/", cell::integer(12), "http://x/12"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.base);
        Cell u = str(c.base, TypeId::url);
        Cell joined = registry::actions(TypeId::url).eval_path(u, c.key, nullptr, PathStep{});
        EXPECT_TRUE(is(joined, TypeId::url));
        EXPECT_EQ(utf8_of(joined), c.expected);
        EXPECT_EQ(utf8_of(u), c.base);
    }
    Cell f = registry::actions(TypeId::file).eval_path(str("dir", TypeId::file), str("f.txt", TypeId::file),
                                                       nullptr, PathStep{});
    EXPECT_TRUE(is(f, TypeId::file));
    EXPECT_EQ(utf8_of(f), "dir/f.txt");
    Cell v = cell::integer(1);
    EXPECT_EQ(error_of([&] { url::eval_path(str("http://x", TypeId::url), w("a"), &v, PathStep{}); }),
              ErrorId::script_bad_path_set);
}

TEST_F(FileUrl, UrlFromABlock) {
    struct Case { const char* name; Cell spec; std::string expected; };
    const Case kCases[] = {
        {"port and path", block({w("http"), w("host"), cell::integer(8080), w("a"), w("b")}),
         "http://host:8080/a/b"},
        {"port last", block({w("http"), w("host"), cell::integer(8080)}), "http://host:8080"},
        {"fragment", block({w("http"), w("host"), w("a"), issue::from_c_string("top")}), "http://host/a#top"},
        {"host alone", block({w("ftp"), str("example.org")}), "ftp://example.org/"},
        {"scheme alone", block({w("mailto")}), "mailto://"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Cell u = url::to(cell::none(), c.spec, TypeId::url);
        EXPECT_TRUE(is(u, TypeId::url));
        EXPECT_EQ(utf8_of(u), c.expected);
        EXPECT_EQ(utf8_of(url::make(cell::none(), c.spec, TypeId::url)), c.expected);
    }
    EXPECT_EQ(error_of([] { url::to(cell::none(), block({}), TypeId::url); }), ErrorId::script_bad_to_arg);
    // Other specs are text conversions.
    Cell from_text = url::to(cell::none(), str("http://a"), TypeId::url);
    EXPECT_TRUE(is(from_text, TypeId::url));
    EXPECT_EQ(utf8_of(from_text), "http://a");
    Cell empty = url::make(cell::none(), cell::integer(10), TypeId::url);
    EXPECT_TRUE(is(empty, TypeId::url));
    EXPECT_EQ(string::length_from_head(empty), 0u);
}

TEST_F(FileUrl, ActionTablesInheritTheTextActions) {
    const ActionTable& u = registry::actions(TypeId::url);
    const ActionTable& f = registry::actions(TypeId::file);
    const ActionTable& s = registry::actions(TypeId::string);
    EXPECT_TRUE(u.form == s.form);
    EXPECT_TRUE(u.append == s.append);
    EXPECT_TRUE(f.make == u.make);
    EXPECT_TRUE(f.eval_path == u.eval_path);
    EXPECT_TRUE(f.mold != u.mold);
    EXPECT_TRUE(u.sort == nullptr && u.trim == nullptr && u.put == nullptr);
    EXPECT_TRUE(f.random == nullptr && f.reflect == nullptr);
}

// ---- operating-system paths ----

TEST_F(FileUrl, PosixFormKeepsTheTextAndPrefixesRelativePathsWhenFull) {
    std::string cwd = std::filesystem::current_path().string();
    if (cwd.back() != '/') cwd += '/';
    struct Case { const char* file; bool full; std::string expected; };
    const Case kCases[] = {
        {"/c/", false, "/c/"},
        {"/c", true, "/c"},
        {"/c/dir/f", true, "/c/dir/f"},
        {"/srv/share", false, "/srv/share"},
        {"//x/y", false, "/x/y"},
        {"dir/a", false, "dir/a"},
        {"dir/a", true, cwd + "dir/a"},
        {"a\\b", false, "a\\b"},
        {"", true, cwd},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.file);
        Cell out = string::make_cell(8);
        file::to_os_path(str(c.file, TypeId::file), out.data2, c.full);
        EXPECT_EQ(utf8_of(out), c.expected);
    }
    EXPECT_EQ(utf8_of(file::os_current_dir()), cwd);
}

TEST_F(FileUrl, OsStringOpensTheFileTheSystemNamed) {
    // Other test runs may use the temporary directory at the same time.
    auto dir = std::filesystem::temp_directory_path() / ("kaz-file-test-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    std::string name = dir.string() + "/\xC3\xA9t\xC3\xA9 d\xE2\x82\xAC.txt";
    {
        std::ofstream out(name);
        out << "content";
    }
    Cell f = str(name, TypeId::file);
    std::string path = file::to_os_c_string(f);
    EXPECT_EQ(path, name);
    std::ifstream in(path);
    std::string read;
    in >> read;
    EXPECT_EQ(read, "content");
    std::filesystem::remove_all(dir);

    Cell with_nul = str(std::string_view("/tmp/a\0b", 8), TypeId::file);
    EXPECT_EQ(error_of([&] { file::to_os_c_string(with_nul); }), ErrorId::script_invalid_arg);
}

}  // namespace
