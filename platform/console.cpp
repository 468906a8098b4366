#include "platform/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/process.h"

namespace kaz::platform {

bool stdout_terminal_q() { return isatty(STDOUT_FILENO) == 1; }
bool stdin_terminal_q() { return isatty(STDIN_FILENO) == 1; }

bool terminal_size(int& columns, int& rows) {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return false;
    columns = size.ws_col;
    rows = size.ws_row;
    return true;
}

void write_stdout(const char* bytes, size_t length) { write_fd(STDOUT_FILENO, bytes, length); }
void write_stderr(const char* bytes, size_t length) { write_fd(STDERR_FILENO, bytes, length); }

}  // namespace kaz::platform
