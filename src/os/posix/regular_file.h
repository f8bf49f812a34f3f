// Reading files that a folder prepared by someone else may hold: a FIFO in
// place of a file must not block, a link to a device must not read without
// end. Shared by the stand-in host and mirrolet-pack.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "os/file_bounds.h"
#include "os/posix/unique_fd.h"

namespace mirrolet::posix {

// `path` opened for reading when it is a regular file (a link to one is
// fine), with its status in `st`. Opened without blocking, so that a FIFO is
// seen for what it is rather than waited on. Otherwise a closed UniqueFd, with
// errno set: EINVAL when it is something else than a regular file.
UniqueFd OpenRegularFile(const std::string& path, struct stat& st);

// The bytes of the regular file `path` (a link to one is fine), or nothing
// when it is missing, not a regular file, unreadable or larger than
// os::kMaxSettingsFileSize, with errno set (EINVAL: not a regular file, EFBIG: too
// large). A FIFO or a device never blocks or floods the reader.
std::optional<std::string> ReadSettingsFile(const std::string& path);

}  // namespace mirrolet::posix
