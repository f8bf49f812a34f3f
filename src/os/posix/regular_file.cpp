#include "os/posix/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace mirrolet::posix {

UniqueFd OpenRegularFile(const std::string& path, struct stat& st) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0 || ::fstat(file.get(), &st) != 0) return UniqueFd();
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return UniqueFd();
  }
  return file;
}

std::optional<std::string> ReadSettingsFile(const std::string& path) {
  struct stat st;
  const UniqueFd file = OpenRegularFile(path, st);
  if (file.get() < 0) return std::nullopt;
  if (st.st_size > kMaxSettingsFileSize) {
    errno = EFBIG;
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(file.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;  // it shrank while we read
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace mirrolet::posix
