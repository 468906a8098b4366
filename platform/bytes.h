// A growing run of bytes in C++ memory, for what arrives from outside the runtime (a child's
// pipes, an HTTP response) before it becomes a value.
#pragma once

#include <cstddef>
#include <string_view>

namespace kaz::platform {

// Grown in place and never zero-filled: for megabytes the system moves whole pages rather than
// bytes.
class Bytes {
public:
    Bytes() = default;
    Bytes(Bytes&& other) noexcept : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    Bytes& operator=(Bytes&& other) noexcept;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes();

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data_, size_}; }
    // Room for at least `n` more bytes after the last: where they go, or null when no memory is
    // left. `commit` then counts the bytes put there.
    char* room(size_t n);
    void commit(size_t n) { size_ += n; }
    void clear() { size_ = 0; }

private:
    char* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

}  // namespace kaz::platform
