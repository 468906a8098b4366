#include "platform/error_box.h"

#include <cstring>

#include "platform/process.h"

namespace kaz::platform {

void error_box(const char* /*caption*/, const char* text) {
    write_fd(2, text, std::strlen(text));
    write_fd(2, "\n", 1);
}

}  // namespace kaz::platform
