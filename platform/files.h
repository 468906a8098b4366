// Files and directories over POSIX, in the shape the file services expect: whole-file reads
// and writes at offsets, sizes and modification times, deletion, renaming, directory making and
// listing. Paths are NUL-terminated UTF-8 POSIX paths. Every call answers with a flag, a count
// or an empty value; the reason of a failure stays here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kaz::platform {

// An open file descriptor, closed when the value goes: no failure path can leak it.
class File {
public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }

    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close();

private:
    int fd_ = -1;
};

// How a file is opened; the flags combine.
namespace open_mode {
inline constexpr uint32_t read = 1;    // an existing file, for reading only
inline constexpr uint32_t write = 2;   // for writing, created when absent, emptied first...
inline constexpr uint32_t append = 4;  // ...unless appending: every write goes to the end
inline constexpr uint32_t seek = 8;    // ...or writing at an offset: the content is kept
}  // namespace open_mode

// Opens the file with the mode flags above (read wins over the others); closed on failure.
// Descriptors are never inherited by child processes.
File open_file(const char* path, uint32_t mode);

struct FileStatus {
    bool directory;
    bool regular;     // a regular file: its size is the number of bytes a read gives
    int64_t size;     // bytes
    int64_t mtime_seconds;      // last modification, seconds since 1970-01-01 UTC
    int32_t mtime_nanoseconds;
};
// The status of an open file, or of a path (symbolic links followed); nothing on failure.
std::optional<FileStatus> status_of(const File& file);
std::optional<FileStatus> status_of(const char* path);

// Reads up to `count` bytes at `offset` (or at the file position when `offset` is negative),
// retrying short reads until `count` bytes or the end of the file. Returns the bytes read, or
// -1 on failure (nothing useful is in `buffer` then).
int64_t read_bytes(const File& file, void* buffer, size_t count, int64_t offset = -1);
// Appends what is read from the file position to the end of the file, or until `limit` bytes
// are appended: for files whose size is not known in advance (pipes, devices, the kernel's own
// files). False on failure.
bool read_to_end(const File& file, std::string& bytes, size_t limit = SIZE_MAX);

// Writes all `count` bytes at the file position, retrying short writes. Returns the bytes
// written, or -1 on failure.
int64_t write_bytes(int fd, const void* buffer, size_t count);
// Moves the file position to `offset` bytes from the start. False on failure.
bool seek(const File& file, int64_t offset);

bool make_dir(const char* path);
// Removes a file (never a directory) / an empty directory.
bool remove_file(const char* path);
bool remove_dir(const char* path);
// Renames or moves a file or directory. Never replaces an existing target: false when one is
// there, as when the system refuses.
bool rename_path(const char* from, const char* to);
// True when something (file or directory) is at the path, symbolic links followed.
bool exists(const char* path);

struct DirEntry {
    std::string name;
    bool directory;  // a directory, or a symbolic link to one
};
// The entries of a directory but "." and "..", hidden ones included, sorted by the bytes of
// their names. False when the directory cannot be read.
bool list_dir(const char* path, std::vector<DirEntry>& entries);

}  // namespace kaz::platform
