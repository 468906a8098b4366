#include "platform/console.h"

#include <unistd.h>

#include "platform/process.h"

namespace kaz::platform {

bool stdout_terminal_q() { return isatty(STDOUT_FILENO) == 1; }
bool stdin_terminal_q() { return isatty(STDIN_FILENO) == 1; }

void write_stdout(const char* bytes, size_t length) { write_fd(STDOUT_FILENO, bytes, length); }
void write_stderr(const char* bytes, size_t length) { write_fd(STDERR_FILENO, bytes, length); }

}  // namespace kaz::platform
