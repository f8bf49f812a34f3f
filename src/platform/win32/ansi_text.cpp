#include "platform/win32/ansi_text.h"

#include <windows.h>

#include "platform/win32/host_error.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

std::string ToAnsi(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, ansi.data(), n, nullptr, nullptr);
  return ansi;
}

std::wstring FromAnsi(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), n);
  return wide;
}

std::wstring AnsiSafePath(const std::wstring& path, HostError& error) {
  // A round trip tells whether the code page keeps every character; best-fit
  // mapping (é to e) would otherwise name a different file.
  if (FromAnsi(ToAnsi(path)) == path) return path;
  const std::wstring shortPath =
      GrowToFit([&](wchar_t* buffer, DWORD size) { return GetShortPathNameW(path.c_str(), buffer, size); });
  if (!shortPath.empty() && FromAnsi(ToAnsi(shortPath)) == shortPath) return shortPath;
  Fail(error, ERROR_NO_UNICODE_TRANSLATION);
  return {};
}

}  // namespace mirrolet::win32
