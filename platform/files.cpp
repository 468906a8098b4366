#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace kaz::platform {

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void File::close() {
    // A close interrupted by a signal has still released the descriptor on Linux: never retry,
    // the number may already name another file.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

File open_file(const char* path, uint32_t mode) {
    int flags = O_CLOEXEC | O_NOCTTY;
    if (mode & open_mode::read) {
        flags |= O_RDONLY;
    } else {
        flags |= O_WRONLY | O_CREAT;
        if (mode & open_mode::append) flags |= O_APPEND;
        else if (!(mode & open_mode::seek)) flags |= O_TRUNC;
    }
    int fd;
    do {
        fd = ::open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return File(fd);
}

namespace {

FileStatus status_from(const struct stat& s) {
    return {S_ISDIR(s.st_mode), S_ISREG(s.st_mode), int64_t(s.st_size), int64_t(s.st_mtim.tv_sec),
            int32_t(s.st_mtim.tv_nsec)};
}

}  // namespace

std::optional<FileStatus> status_of(const File& file) {
    struct stat s {};
    if (fstat(file.fd(), &s) != 0) return std::nullopt;
    return status_from(s);
}

std::optional<FileStatus> status_of(const char* path) {
    struct stat s {};
    if (stat(path, &s) != 0) return std::nullopt;
    return status_from(s);
}

int64_t read_bytes(const File& file, void* buffer, size_t count, int64_t offset) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < count) {
        // The kernel moves at most about 2 GB in one call.
        size_t ask = std::min<size_t>(count - done, size_t(1) << 30);
        ssize_t n = offset >= 0 ? pread(file.fd(), out + done, ask, off_t(offset + int64_t(done)))
                                : ::read(file.fd(), out + done, ask);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += size_t(n);
    }
    return int64_t(done);
}

bool read_to_end(const File& file, std::string& bytes, size_t limit) {
    size_t used = bytes.size(), end = limit > SIZE_MAX - used ? SIZE_MAX : used + limit;
    while (used < end) {
        if (bytes.size() - used < 65536) bytes.resize(std::min(std::max<size_t>(bytes.size() * 2, used + 65536), end));
        ssize_t n = ::read(file.fd(), bytes.data() + used, bytes.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            bytes.resize(used);
            return false;
        }
        if (n == 0) break;
        used += size_t(n);
    }
    bytes.resize(used);
    return true;
}

int64_t write_bytes(int fd, const void* buffer, size_t count) {
    auto* in = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd, in + done, std::min<size_t>(count - done, size_t(1) << 30));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += size_t(n);
    }
    return int64_t(done);
}

bool seek(const File& file, int64_t offset) { return lseek(file.fd(), off_t(offset), SEEK_SET) >= 0; }

bool make_dir(const char* path) { return mkdir(path, 0777) == 0; }
bool remove_file(const char* path) { return unlink(path) == 0; }
bool remove_dir(const char* path) { return rmdir(path) == 0; }

bool rename_path(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    // File systems that cannot refuse atomically: refuse when the target is there, then move.
    if (errno != EINVAL && errno != ENOSYS) return false;
    struct stat s {};
    if (lstat(to, &s) == 0 || errno != ENOENT) return false;
    return rename(from, to) == 0;
}

bool exists(const char* path) {
    struct stat s {};
    return stat(path, &s) == 0;
}

bool list_dir(const char* path, std::vector<DirEntry>& entries) {
    DIR* dir = opendir(path);
    if (!dir) return false;
    int dir_fd = dirfd(dir);
    bool ok = true;
    for (;;) {
        errno = 0;
        dirent* e = readdir(dir);
        if (!e) {
            ok = errno == 0;
            break;
        }
        std::string_view name(e->d_name);
        if (name == "." || name == "..") continue;
        bool directory = e->d_type == DT_DIR;
        // A link counts as what it names; some file systems tell no type at all.
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat s {};
            directory = fstatat(dir_fd, e->d_name, &s, 0) == 0 && S_ISDIR(s.st_mode);
        }
        entries.push_back({std::string(name), directory});
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return ok;
}

}  // namespace kaz::platform
