// Counting the words of a text with a PARSE rule, against Python's str.split and re.findall and
// Lua's gmatch on the same file, in one run. The peers are timed inside their own process
// around the counting alone, as the PARSE figures are (the text already in memory).
//
//   bench_parse <text file>     (the b09 text: bench-peers/gen_data.py writes data/words20.txt)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "boot/boot.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/parse.h"
#include "runtime/text.h"

using namespace kaz;

namespace {

constexpr int kRuns = 5;

Cell load(const std::string& code) {
    Cell s = string::make_cell(uint32_t(code.size()) + 1);
    text::append_utf8(s.data2, code);
    return lexer::load_text(s);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs the Kaz expression kRuns times; the median wall time in milliseconds, and its last
// result formed by `report`.
double time_kaz(const std::string& code, const std::string& report, std::string& shown) {
    Cell block = load(code);
    Cell after = load(report);
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        interp::do_block(load("count: 0"));
        auto t0 = std::chrono::steady_clock::now();
        interp::do_block(block);
        auto t1 = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    Cell r = interp::do_block(after);
    shown = is(r, TypeId::integer) ? std::to_string(cell::get_integer(r)) : "?";
    return median(times);
}

// Runs a peer's interpreter on a script with the text file as its argument; its standard
// output, or "" when it could not run.
std::string run_peer(const std::string& interpreter, const std::string& script, const std::string& path) {
    const std::string script_path = "/tmp/kaz_bench_parse_peer.script";
    const std::string out_path = "/tmp/kaz_bench_parse_peer.out";
    std::ofstream(script_path) << script;
    std::string command = interpreter + " " + script_path + " '" + path + "' > " + out_path + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) return "";
    std::ifstream in(out_path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <text file>\n", argv[0]);
        return 2;
    }
    std::string path = argv[1];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 2;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    boot::run();
    parse::init(boot::root);
    natives::init_parse();

    Cell text = string::load_encoded(reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()),
                                     cell::none(), 0);
    Cell text_word = word::from_c_string("text");
    word::set(text_word, text);
    interp::do_block(load("ws: make bitset! \" ^-^/^M\"  non-ws: complement ws"));

    std::printf("b09 word count, %zu bytes, median of %d runs (ms)\n", bytes.size(), kRuns);
    std::string shown;
    double counting = time_kaz("parse text [any ws any [some non-ws (count: count + 1) any ws]]", "count", shown);
    std::printf("  %-44s %9.1f  words %s\n", "kaz parse, a paren counting each word", counting, shown.c_str());
    double empty = time_kaz("parse text [any ws any [some non-ws () any ws]]", "0", shown);
    std::printf("  %-44s %9.1f\n", "kaz parse, an empty paren per word", empty);
    double matching = time_kaz("parse text [any ws any [some non-ws any ws]]", "0", shown);
    std::printf("  %-44s %9.1f\n", "kaz parse, matching alone", matching);

    std::string runs = std::to_string(kRuns);
    std::string py = run_peer("python3", "import re, sys, time\n"
        "t = open(sys.argv[1], encoding='utf-8').read()\n"
        "s, r = [], []\n"
        "for _ in range(" + runs + "):\n"
        "    a = time.perf_counter(); n = len(t.split()); b = time.perf_counter()\n"
        "    m = len(re.findall(r'\\S+', t)); c = time.perf_counter()\n"
        "    s.append(b - a); r.append(c - b)\n"
        "s.sort(); r.sort()\n"
        "print(n, s[len(s) // 2] * 1000, m, r[len(r) // 2] * 1000)\n", path);
    long n = 0, m = 0;
    double split_ms = 0, re_ms = 0;
    if (std::sscanf(py.c_str(), "%ld %lf %ld %lf", &n, &split_ms, &m, &re_ms) == 4) {
        std::printf("  %-44s %9.1f  words %ld\n", "python3 str.split", split_ms, n);
        std::printf("  %-44s %9.1f  words %ld\n", "python3 re.findall(r'\\S+')", re_ms, m);
    } else {
        std::printf("  python3: not run\n");
    }
    std::string lua = run_peer("lua5.4", "local f = io.open(arg[1], 'rb') local t = f:read('a') f:close()\n"
        "local ts, n = {}, 0\n"
        "for i = 1, " + runs + " do\n"
        "  local c = os.clock() n = 0\n"
        "  for _ in t:gmatch('%S+') do n = n + 1 end\n"
        "  ts[i] = (os.clock() - c) * 1000\n"
        "end\n"
        "table.sort(ts) print(n, ts[" + std::to_string(kRuns / 2 + 1) + "])\n", path);
    double lua_ms = 0;
    if (std::sscanf(lua.c_str(), "%ld %lf", &n, &lua_ms) == 2) {
        std::printf("  %-44s %9.1f  words %ld\n", "lua5.4 gmatch('%S+')", lua_ms, n);
    } else {
        std::printf("  lua5.4: not run\n");
    }
    return 0;
}
