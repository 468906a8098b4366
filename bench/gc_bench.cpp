// The collector under churn: ten million short blocks (three integers) and short strings (five
// characters) made and dropped, with collections started by the allocator alone. Prints the
// time and the peak resident memory, to set beside Python 3 doing the same work:
//
//   /usr/bin/time -f '%e s %M KB' python3 -c 'for i in range(10_000_000):
//       b = [i, i, i]; s = chr(97 + i % 26) * 5'
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "evaluator/natives_system.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/text.h"

using namespace kaz;

namespace {

// Peak resident memory of this process in kilobytes, as the kernel reports it.
long peak_rss_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

constexpr int kCount = 10'000'000;

}  // namespace

int main() {
    gc::set_stack_high_end(__builtin_frame_address(0));
    boot::run();
    gc::set_enabled(true);
    memory::stress_every = 0;  // the allocator's own triggers only, even in a stress build

    uint32_t collections = gc::counters.collections;
    auto start = std::chrono::steady_clock::now();
    uint64_t checksum = 0;
    for (int i = 0; i < kCount; ++i) {
        Cell b;
        block::init_cell(b, 3);
        for (int k = 0; k < 3; ++k) block::append_cell(b, cell::integer(i));
        Cell s = string::make_cell(5);
        char text[6];
        std::fill(text, text + 5, char('a' + i % 26));
        text[5] = 0;
        text::append_utf8(s.data2, text);
        checksum += memory::buffer_of(s.data2)->used() + memory::buffer_of(b.data2)->length();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d blocks and strings: %.2f s, peak RSS %ld KB, %u collections, checksum %llu\n", kCount,
                seconds, peak_rss_kb(), gc::counters.collections - collections,
                static_cast<unsigned long long>(checksum));
    return 0;
}
