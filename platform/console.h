// The operating-system side of the terminal: where standard input and output go, and writing
// to standard output and standard error.
#pragma once

#include <cstddef>

namespace kaz::platform {

// True when standard output is a terminal; false when it is redirected to a file or pipe.
bool stdout_terminal_q();
// True when standard input is a terminal: someone types the lines the console reads.
bool stdin_terminal_q();
// The size in characters of the terminal standard output goes to; false (and nothing set)
// when it is no terminal or the terminal does not know its size.
bool terminal_size(int& columns, int& rows);

// Write all of `bytes`, retrying short writes; errors are ignored.
void write_stdout(const char* bytes, size_t length);
void write_stderr(const char* bytes, size_t length);

}  // namespace kaz::platform
