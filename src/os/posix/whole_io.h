// Whole-buffer reads and writes on a descriptor, again after an interruption
// or a short transfer, for the stand-in host and mirrolet-pack alike.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace mirrolet::posix {

// The calls a loop makes, so that a caller can route them through its own
// seam (the stand-in's copy lets tests fail them); ::read and ::write by default.
using ReadCall = std::function<ssize_t(int fd, void* buffer, std::size_t size)>;
using WriteCall = std::function<ssize_t(int fd, const void* buffer, std::size_t size)>;

// Writes all `size` bytes at `data` to `fd`. Returns 0, or the errno value of
// the write that failed (EIO for one that wrote nothing without saying why).
int WriteAll(int fd, const void* data, std::size_t size, const WriteCall& write = ::write);

// Reads from `fd` until `size` bytes are in `into` or the file ends. Returns
// the count read, or -1 with errno set.
ssize_t ReadUpTo(int fd, void* into, std::size_t size, const ReadCall& read = ::read);

// Reads exactly `size` bytes at `offset` of `fd`. False when the file ends
// first or a read fails.
bool ReadAllAt(int fd, std::uint64_t offset, void* into, std::size_t size);

// Copies what is left of `in` to `out` through a buffer, adding the bytes to
// `copied`. Returns 0, or the errno value of the call that failed.
int CopyRest(int in, int out, std::uint64_t& copied, const ReadCall& read = ::read,
             const WriteCall& write = ::write);

}  // namespace mirrolet::posix
