// The operating-system side of console output: where standard output goes and writing to it.
#pragma once

#include <cstddef>

namespace kaz::platform {

// True when standard output is a terminal; false when it is redirected to a file or pipe.
bool stdout_terminal_q();

// Writes all of `bytes` to standard output, retrying short writes; errors are ignored.
void write_stdout(const char* bytes, size_t length);

}  // namespace kaz::platform
