// Console output is seen from outside: each case prints in a child process whose standard
// output is a pipe or a pseudo-terminal, and the parent checks the bytes that arrive. The
// print hooks are checked in this process, with standard output sent to a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "runtime/console.h"
#include "runtime/resource.h"

using namespace kaz;

namespace {

enum class Sink { pipe, terminal };

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of file, or EIO once the terminal's other side is closed
        text.append(buffer, size_t(n));
    }
    close(fd);
    return text;
}

// The bytes that `body` writes to standard output in a child process. The terminal is raw,
// so that it adds no carriage returns of its own.
std::string output_of(Sink sink, const std::function<void()>& body) {
    int reader = -1;
    pid_t child;
    if (sink == Sink::pipe) {
        int ends[2];
        if (pipe(ends) != 0) return "<no pipe>";
        child = fork();
        if (child == 0) {
            dup2(ends[1], STDOUT_FILENO);
            close(ends[0]);
            close(ends[1]);
        } else {
            close(ends[1]);
            reader = ends[0];
        }
    } else {
        termios raw{};
        cfmakeraw(&raw);
        child = forkpty(&reader, nullptr, &raw, nullptr);
    }
    if (child < 0) return "<no child>";
    if (child == 0) {
        console::init();
        body();
        console::flush();
        _exit(0);
    }
    std::string text = drain(reader);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return text;
}

struct OutputCase {
    const char* name;
    std::function<void()> body;
    std::string bytes;
};

void print_utf16(const std::u16string& s) { console::print_utf16(s.data(), s.size() * 2); }
void print_wide(const std::u32string& s) { console::write_wide(s.data(), s.size() * 4); }

// Every unit size and every primitive gives the same UTF-8, redirected or on a terminal.
const std::vector<OutputCase>& text_cases() {
    static const std::vector<OutputCase> kCases = {
        {"latin-1 line", [] { console::print_latin1_line("caf\xE9", 4); }, "caf\xC3\xA9\n"},
        {"16-bit text with a pair", [] { print_utf16(u"a\u00E9\u20AC\U0001F600"); },
         "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"16-bit line", [] { console::print_utf16_line(u"\u0416", 2); }, "\xD0\x96\n"},
        {"unpaired surrogates kept", [] { print_utf16(u"\xD800x\xDC00"); },
         "\xED\xA0\x80x\xED\xB0\x80"},
        {"32-bit line", [] { console::write_wide_line(U"\U0001F600z", 8); },
         "\xF0\x9F\x98\x80z\n"},
        {"32-bit top of range", [] { print_wide(U"\U0010FFFF"); }, "\xF4\x8F\xBF\xBF"},
        {"past the Unicode range", [] { print_wide(std::u32string(1, char32_t(0x110000))); },
         "\xEF\xBF\xBD"},
        {"units of one byte", [] { console::write_units("\xFF", 1, 1, true); }, "\xC3\xBF\n"},
        {"C string as it is", [] { console::print_c_string("d\xC3\xA9j\xC3\xA0"); },
         "d\xC3\xA9j\xC3\xA0"},
        {"one character", [] { console::print_char('\xE9'); console::print_char('!'); },
         "\xC3\xA9!"},
        {"integers", [] { console::print_integer(-2147483647 - 1); console::print_integer(7); },
         "-21474836487"},
        {"hexadecimal", [] { console::print_hex_byte(10); console::print_hex(0xBEEF); },
         "0A0000BEEF"},
        {"float64", [] {
             for (double d : {0.1, 1.0 / 3, 1e21, -0.0, 123456789012345678.0}) {
                 console::print_float64(d);
                 console::print_char(' ');
             }
         }, "0.1 0.3333333333333333 1e+21 -0 1.234567890123457e+17 "},
        {"float32", [] {
             for (float f : {0.1f, 1.0f / 3, 16777216.0f, 1e-10f}) {
                 console::print_float32(f);
                 console::print_char(' ');
             }
         }, "0.1 0.3333333 1.677722e+07 1e-10 "},
        {"typed line", [] {
             console::print_typed_line({console::typed::logic(true), console::typed::logic(false),
                                        console::typed::integer(-7),
                                        console::typed::character('\xE9'),
                                        console::typed::float32(0.5f),
                                        console::typed::float64(2.5),
                                        console::typed::string("\xC3\xA9t\xC3\xA9"),
                                        console::typed::hex(0xCAFE)});
         }, "truefalse-7\xC3\xA9" "0.52.5\xC3\xA9t\xC3\xA9" "0000CAFE\n"},
        {"typed, unknown tag as hexadecimal", [] {
             console::Typed odd{};
             odd.tag = 42;
             odd.word = 0xFFFFFFFF;
             console::print_typed({console::typed::string("*** Found: "), odd});
         }, "*** Found: FFFFFFFF"},
    };
    return kCases;
}

TEST(ConsoleOutput, TextArrivesAsUtf8) {
    for (Sink sink : {Sink::pipe, Sink::terminal}) {
        for (const OutputCase& c : text_cases()) {
            SCOPED_TRACE(std::string(c.name) + (sink == Sink::pipe ? " (pipe)" : " (terminal)"));
            EXPECT_EQ(output_of(sink, c.body), c.bytes);
        }
    }
}

TEST(ConsoleOutput, KnowsWhereItWrites) {
    auto tell = [] { console::print_c_string(console::terminal_q() ? "terminal" : "redirected"); };
    EXPECT_EQ(output_of(Sink::pipe, tell), "redirected");
    EXPECT_EQ(output_of(Sink::terminal, tell), "terminal");
}

struct EscapeCase {
    const char* text;
    std::string terminal;  // what a terminal receives; redirected output gets `text` as it is
};

const EscapeCase kEscapes[] = {
    {"\x1b[31mred\x1b[0m", "\x1b[31mred\x1b[0m"},
    {"\x1b[1;4;31mX", "\x1b[1;4mX"},          // two parameters are kept
    {"\x1b[2;44mX", "\x1b[44mX"},             // unknown attributes are dropped
    {"\x1b[38;5mX", "X"},
    {"\x1b[mX", "X"},                         // no attribute given: no change
    {"\x1b[7;39m\x1b[49m", "\x1b[7;39m\x1b[49m"},
    {"\x1b[3A\x1b[2B\x1b[10C\x1b[1D", "\x1b[3A\x1b[2B\x1b[10C\x1b[1D"},
    {"\x1b[A\x1b[0C", ""},                    // a move by nothing
    {"\x1b[H", "\x1b[H"},
    {"\x1b[5;10H", "\x1b[11;6H"},             // column 5, row 10, counted from 0
    {"\x1b[4f", "\x1b[1;5H"},
    {"\x1b[1J\x1b[2J\x1b[J\x1b[3J", "\x1b[1J\x1b[2J"},
    {"\x1b[K|\x1b[1K|\x1b[2K|\x1b[3K", "\x1b[K|\x1b[1K|\x1b[2K|"},
    {"\x1b[s\x1b[u", "\x1b[s\x1b[u"},
    {"\x1b[?25l", "25l"},                     // "?" ends the sequence
    {"a\x1b[5zb", "ab"},                      // other letters: no effect
    {"\x1b" "M\x1b", "\x1b" "M\x1b"},         // only ESC [ starts a sequence
    {"ab\x1b[12;3", "ab"},                    // cut by the end of the text
};

TEST(ConsoleOutput, TerminalGetsTheEscapeSubset) {
    for (const EscapeCase& c : kEscapes) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        std::string text = c.text;
        auto latin1 = [&] { console::print_latin1(text.data(), text.size()); };
        EXPECT_EQ(output_of(Sink::terminal, latin1), c.terminal);
        EXPECT_EQ(output_of(Sink::pipe, latin1), text);
        // The same in 16-bit and 32-bit text, and in C strings.
        auto wide = [&] {
            std::u16string u16(text.begin(), text.end());
            std::u32string u32(text.begin(), text.end());
            console::print_utf16(u16.data(), u16.size() * 2);
            console::write_wide(u32.data(), u32.size() * 4);
            console::print_c_string(text.c_str());
        };
        EXPECT_EQ(output_of(Sink::terminal, wide), c.terminal + c.terminal + c.terminal);
    }
}

// A long mixed text: 1-, 2-, 3- and 4-byte characters with escape sequences among them, and
// the bytes each sink must receive.
struct LongText {
    std::u16string units;
    std::string pipe;
    std::string terminal;
};

LongText long_text() {
    struct Piece { std::u16string units; std::string utf8; std::string terminal; };
    const Piece kPieces[] = {
        {u"a", "a", "a"},
        {u"\u00E9", "\xC3\xA9", "\xC3\xA9"},
        {u"\u20AC", "\xE2\x82\xAC", "\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {u"\x1b[32m", "\x1b[32m", "\x1b[32m"},
        {u"\x1b[9z", "\x1b[9z", ""},
        {u"\n", "\n", "\n"},
    };
    LongText t;
    for (int i = 0; i < 3000; ++i) {
        const Piece& p = kPieces[(i * 5 + i / 7) % 7];
        t.units += p.units;
        t.pipe += p.utf8;
        t.terminal += p.terminal;
    }
    return t;
}

TEST(ConsoleOutput, LongTextsArriveWhole) {
    LongText t = long_text();
    ASSERT_GT(t.units.size(), 510u);
    ASSERT_GT(t.pipe.size(), 4096u);
    auto body = [&] { console::print_utf16_line(t.units.data(), t.units.size() * 2); };
    EXPECT_TRUE(output_of(Sink::pipe, body) == t.pipe + "\n");
    EXPECT_TRUE(output_of(Sink::terminal, body) == t.terminal + "\n");

    // An escape sequence straddling the buffer's edge, at every offset around it.
    for (size_t lead = 1010; lead < 1030; ++lead) {
        std::string text = std::string(lead, 'x') + "\x1b[1;31m!" + std::string(lead, 'y');
        auto print = [&] { console::print_latin1(text.data(), text.size()); };
        EXPECT_EQ(output_of(Sink::terminal, print), text) << lead;
    }
}

TEST(ConsoleOutput, AnUnknownUnitSizeIsRuntimeError101) {
    for (uint32_t unit : {0u, 3u, 8u}) {
        EXPECT_EXIT(console::write_units("abcdefgh", 8, unit, false), testing::ExitedWithCode(101),
                    "Runtime Error 101: no value matched in SWITCH");
    }
}

// ---- print hooks ----

struct Heard {
    std::string text;
    int flag;
    bool operator==(const Heard&) const = default;
};
std::vector<Heard> heard;
void listen(const char* text, size_t length, int flag) {
    heard.push_back({std::string(text, length), flag});
}
// Prints from inside the hook, once.
void echo(const char* text, size_t length, int) {
    if (std::string(text, length) == "ping") console::print_c_string("[pong]");
}

// Standard output goes to a file while a case runs; the hooks are registered for it.
class ConsoleHooks : public testing::Test {
protected:
    void SetUp() override {
        heard.clear();
        file_ = memfd_create("console-output", 0);
        ASSERT_GE(file_, 0);
        saved_ = dup(STDOUT_FILENO);
        dup2(file_, STDOUT_FILENO);
        console::init();
        print_hooks::add(nullptr, listen);
    }
    void TearDown() override {
        print_hooks::remove(nullptr, listen);
        print_hooks::remove(nullptr, echo);
        restore();
        close(file_);
    }
    void restore() {
        if (saved_ < 0) return;
        console::flush();
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        console::init();
    }
    std::string written() {
        restore();
        std::string text;
        char buffer[4096];
        for (off_t at = 0;;) {
            ssize_t n = pread(file_, buffer, sizeof buffer, at);
            if (n <= 0) return text;
            text.append(buffer, size_t(n));
            at += n;
        }
    }
    int file_ = -1;
    int saved_ = -1;
};

TEST_F(ConsoleHooks, HearEveryTextAsUtf8WithItsNewLineFlag) {
    const std::u16string wide = u"\u00E9\U0001F600\x1b[31m";
    console::print_utf16_line(wide.data(), wide.size() * 2);
    console::print_latin1("\xE9t\xE9", 3);
    console::print_c_string("plain");
    console::print_char('c');
    console::print_integer(-12);
    console::print_hex_byte(255);
    console::print_hex(1);
    console::print_float64(0.25);
    console::print_float32(1.5f);
    console::print_typed_line({console::typed::string("n="), console::typed::integer(3)});
    const std::vector<Heard> expected = {
        {"\xC3\xA9\xF0\x9F\x98\x80\x1b[31m", 1}, {"\xC3\xA9t\xC3\xA9", 0}, {"plain", 0},
        {"c", 0}, {"-12", 0}, {"FF", 0}, {"00000001", 0}, {"0.25", 0}, {"1.5", 0},
        {"n=3", 1},
    };
    EXPECT_EQ(heard, expected);
    EXPECT_EQ(written(),
              "\xC3\xA9\xF0\x9F\x98\x80\x1b[31m\n\xC3\xA9t\xC3\xA9plainc-12FF000000010.251.5n=3\n");
}

TEST_F(ConsoleHooks, HearALongTextInOnePiece) {
    LongText t = long_text();
    console::print_utf16(t.units.data(), t.units.size() * 2);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_TRUE(heard[0].text == t.pipe);
    EXPECT_TRUE(written() == t.pipe);
}

TEST_F(ConsoleHooks, MayPrintThemselves) {
    print_hooks::add(nullptr, echo);
    console::print_c_string("ping");
    console::print_c_string("!");
    const std::vector<Heard> expected = {{"ping", 0}, {"[pong]", 0}, {"!", 0}};
    EXPECT_EQ(heard, expected);
    EXPECT_EQ(written(), "ping[pong]!");
}

}  // namespace
