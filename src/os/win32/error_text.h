// The system's own description of a Win32 error code.
#pragma once

#include <string>

namespace mirrolet::win32 {

// The system message for `code` without its trailing line break, or
// "Windows error N" when the system has none.
std::wstring WindowsErrorText(unsigned long code);

}  // namespace mirrolet::win32
