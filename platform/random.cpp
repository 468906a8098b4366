#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace kaz::platform {

bool secure_random(void* buffer, size_t size) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        ssize_t got = getrandom(p, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        size -= size_t(got);
    }
    return true;
}

}  // namespace kaz::platform
