// Owners for the POSIX handles the stand-in and mirrolet-pack use.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include "base/unique_handle.h"

namespace mirrolet::posix {

struct FdTraits {
  using type = int;
  static int Invalid() { return -1; }
  static void Close(int fd) { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

struct DirTraits {
  using type = DIR*;
  static DIR* Invalid() { return nullptr; }
  static void Close(DIR* dir) { ::closedir(dir); }
};
using UniqueDir = UniqueHandle<DirTraits>;

}  // namespace mirrolet::posix
