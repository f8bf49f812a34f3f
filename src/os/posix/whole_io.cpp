#include "os/posix/whole_io.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace mirrolet::posix {

int WriteAll(int fd, const void* data, std::size_t size, const WriteCall& write) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;  // no progress and no reason: never loop on it
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

ssize_t ReadUpTo(int fd, void* into, std::size_t size, const ReadCall& read) {
  char* bytes = static_cast<char*>(into);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, bytes + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool ReadAllAt(int fd, std::uint64_t offset, void* into, std::size_t size) {
  char* bytes = static_cast<char*>(into);
  while (size > 0) {
    const ssize_t n = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int CopyRest(int in, int out, std::uint64_t& copied, const ReadCall& read, const WriteCall& write) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = read(in, buffer.data(), buffer.size());
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (const int why = WriteAll(out, buffer.data(), static_cast<std::size_t>(got), write)) return why;
    copied += static_cast<std::uint64_t>(got);
  }
}

}  // namespace mirrolet::posix
