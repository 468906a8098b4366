#include "platform/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kaz::platform {
namespace {

// The kernel's generator as a device: for kernels and sandboxes that refuse the system call.
// Only a character device is read, never a file planted in its place.
bool read_device(uint8_t* p, size_t size) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
    while (ok && size > 0) {
        ssize_t got = read(fd, p, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = false;
            break;
        }
        p += got;
        size -= size_t(got);
    }
    close(fd);
    return ok;
}

}  // namespace

bool secure_random(void* buffer, size_t size) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        ssize_t got = getrandom(p, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSYS || errno == EPERM) return read_device(p, size);
            return false;
        }
        p += got;
        size -= size_t(got);
    }
    return true;
}

}  // namespace kaz::platform
