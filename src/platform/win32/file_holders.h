// Who holds a file open, as the Restart Manager tells it.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace mirrolet::win32 {

// The other processes that hold `path` open; empty when none or when the
// Restart Manager cannot tell.
std::vector<FileHolder> FileHoldersOf(const std::wstring& path);

}  // namespace mirrolet::win32
