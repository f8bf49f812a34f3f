// Text in the system's ANSI code page, as the narrow registry and profile
// functions read it.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace mirrolet::win32 {

std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);

// `path` when the code page keeps every character of it, else its short
// name when that does, else empty with ERROR_NO_UNICODE_TRANSLATION.
std::wstring AnsiSafePath(const std::wstring& path, HostError& error);

}  // namespace mirrolet::win32
