// Who holds a file on the Linux stand-in, as /proc tells it.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace mirrolet::posix {

// The processes other than this one that have the native path `path` open,
// run it or map it, as far as a short scan of /proc finds them.
std::vector<FileHolder> FileHoldersOf(const std::string& path);

}  // namespace mirrolet::posix
