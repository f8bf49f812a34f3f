#include "os/posix/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/posix/whole_io.h"

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
  if (st.st_size > os::kMaxSettingsFileSize) {
    errno = EFBIG;
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  const ssize_t got = ReadUpTo(file.get(), bytes.data(), bytes.size());  // less when it shrank meanwhile
  if (got < 0) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(got));
  return bytes;
}

}  // namespace mirrolet::posix
