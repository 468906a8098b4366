// Arbitrary bytes through the Kazbin reader, in the compact and the plain encoding alike: each
// input decodes or raises an error, never crashes, hangs or reads outside the input. What
// decodes is sound: the collector walks it, it molds, and both writers write it again into
// images that decode.
// With -kazbin_seeds=DIR the target first writes images of varied values into DIR, to start
// the corpus from (the CTest run passes DIR as the corpus too).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/fuzz/fuzz_trap.h"
#include "services/kazbin.h"

using namespace kaz;

namespace {

using fuzz::check;
using fuzz::trap_word;
using fuzz::trapped;

const char* kSeeds[] = {
    "[1 64 -5 1.5 25% 1:00 #\"a\" \"text\" \"€\" %f <t> a@b #{0102} 1x2 1.2.3 (1, 2) 1-Jan-2024/1:00 $1.5]",
    "[word set: 'lit :get /ref #iss a/b c/d: [nested [x]] (p)]",
    "b: [1 2] c: copy [x] append/only c c reduce [b b next \"ab\" c]",
    "o: make object! [n: 1 f: func [x /r y /local z] [x + n] s: none] o/s: o reduce [o in o 'n]",
    ("reduce [make hash! [a 1] #[k 1 \"s\" 2] make bitset! \"abc\" complement make bitset! 8 "
     "make vector! [integer! 16 [1 2]] make typeset! [integer! block!] :append :+ try [1 / 0]]"),
};

void write_seeds(const std::string& dir) {
    int n = 0;
    for (const char* code : kSeeds) {
        Cell value = cell::none();
        check(!trapped([&] { value = interp::do_block(lexer::load_text(string::from_utf8(code))); }));
        for (bool compact : {true, false}) {
            Cell image = compact ? kazbin::encode_cp(value) : kazbin::encode(value);
            SeriesBuffer* b = memory::buffer_of(image.data2);
            std::ofstream out(dir + "/seed" + std::to_string(n++), std::ios::binary);
            out.write(reinterpret_cast<const char*>(b->head), b->used());
        }
    }
}

// Decodes into a new block: the block, or nothing when the image was refused.
std::optional<Cell> decoded(const uint8_t* data, size_t size) {
    Cell into;
    block::init_cell(into, 1);
    std::optional<Cell> error = trapped([&] {
        kazbin::decode(data, size, into.data2, kazbin::Mode::call, cell::none());
    });
    if (error) {
        check(is(*error, TypeId::error));
        return std::nullopt;
    }
    return into;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    gc::set_stack_high_end(__builtin_frame_address(0));
    boot::run();
    gc::set_enabled(true);
    trap_word = word::from_c_string("kazbin-fuzz");
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-kazbin_seeds=", 14) == 0) write_seeds((*argv)[i] + 14);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::optional<Cell> into = decoded(data, size);
    if (!into) return 0;
    gc::collect();
    std::optional<Cell> e = trapped([&] {
        Cell text = string::make_cell(64);
        actions::mold(*into, text.data2, false, true, false, nullptr, 1 << 20, 0);
    });
    if (e) std::fprintf(stderr, "the decoded value does not mold: %s\n", error::report(*e).c_str());
    check(!e);
    for (bool compact : {true, false}) {
        Cell image = cell::none();
        check(!trapped([&] { image = compact ? kazbin::encode_cp(*into) : kazbin::encode(*into); }));
        SeriesBuffer* b = memory::buffer_of(image.data2);
        std::string bytes(reinterpret_cast<const char*>(b->head), b->used());
        check(decoded(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()).has_value());
    }
    return 0;
}
