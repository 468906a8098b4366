// The operating system's cryptographic random source.
#pragma once

#include <cstddef>

namespace kaz::platform {

// Fills `size` bytes from the kernel's cryptographic generator, through its device when the
// system call is missing or filtered out; false when both refuse (the bytes are then
// unspecified).
bool secure_random(void* buffer, size_t size);

}  // namespace kaz::platform
