#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <utility>
#include <vector>

#include "base/name_fold.h"

namespace mirrolet::win32 {

bool Fail(HostError& error, unsigned long code, bool aboutSource) {
  error.code = code;
  error.description = WindowsErrorText(code);
  error.aboutSource = aboutSource;
  return false;
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  std::wstring folder = path.substr(0, slash);
  if (folder.empty() || folder.back() == L':') folder += L'\\';  // a drive root keeps its "\"
  return folder;
}

std::wstring WindowsErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring description = length && text ? std::wstring(text, length) : std::wstring();
  if (text) LocalFree(text);
  // System messages end with "\r\n", which has no place inside a message box line.
  while (!description.empty() && (description.back() == L'\r' || description.back() == L'\n' ||
                                  description.back() == L' ')) {
    description.pop_back();
  }
  return description.empty() ? L"Windows error " + std::to_wstring(code) : description;
}

std::wstring ExtendedPath(const std::wstring& path) {
  if (path.empty()) return {};
  const std::wstring full =
      GrowToFit([&](wchar_t* buffer, DWORD size) { return GetFullPathNameW(path.c_str(), size, buffer, nullptr); });
  if (full.empty()) return path;
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

int Win32Platform::ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  return MessageBoxW(nullptr, text.c_str(), title.c_str(), style);
}

void Win32Platform::EndProcess(unsigned exitCode) { ExitProcess(exitCode); }

std::wstring Win32Platform::ExecutableFolder() {
  // A path cut short comes back filling the whole buffer: GrowToFit tries a bigger one.
  const std::wstring path =
      GrowToFit([](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
  return path.empty() ? std::wstring() : FolderOf(path);
}

std::wstring Win32Platform::FindFileName(const std::wstring& path) {
  if (path.empty()) return {};
  WIN32_FIND_DATAW found;
  if (!UniqueFind(FindFirstFileW(ExtendedPath(path).c_str(), &found))) return {};
  // Attribute mask 0: hidden, system and folder entries do not count.
  if (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY)) {
    return {};
  }
  return found.cFileName;
}

std::string Win32Platform::ToAnsi(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, ansi.data(), n, nullptr, nullptr);
  return ansi;
}

std::wstring Win32Platform::FromAnsi(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), n);
  return wide;
}

std::wstring Win32Platform::AnsiSafePath(const std::wstring& path, HostError& error) {
  // A round trip tells whether the code page keeps every character; best-fit
  // mapping (é to e) would otherwise name a different file.
  if (FromAnsi(ToAnsi(path)) == path) return path;
  const std::wstring shortPath =
      GrowToFit([&](wchar_t* buffer, DWORD size) { return GetShortPathNameW(path.c_str(), buffer, size); });
  if (!shortPath.empty() && FromAnsi(ToAnsi(shortPath)) == shortPath) return shortPath;
  Fail(error, ERROR_NO_UNICODE_TRANSLATION);
  return {};
}

long Win32Platform::RegOpenKeyA(const std::string& subKey, HostKey* key) {
  HKEY opened = nullptr;
  LONG result = ::RegOpenKeyA(HKEY_LOCAL_MACHINE, subKey.c_str(), &opened);
  if (opened == nullptr) {
    // This build is 64-bit and sees the 64-bit view; a product set up by a
    // 32-bit installer is registered in the 32-bit view instead.
    result = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &opened);
    if (result != ERROR_SUCCESS) opened = nullptr;
  }
  *key = reinterpret_cast<HostKey>(opened);
  return result;
}

long Win32Platform::RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size) {
  DWORD storedType = 0;
  DWORD bytes = size ? *size : 0;
  const LONG result = ::RegQueryValueExA(reinterpret_cast<HKEY>(key), valueName.c_str(), nullptr, &storedType,
                                         data, size ? &bytes : nullptr);
  if (type) *type = storedType;
  if (size) *size = bytes;
  return result;
}

long Win32Platform::RegCloseKey(HostKey key) { return ::RegCloseKey(reinterpret_cast<HKEY>(key)); }

std::uint32_t Win32Platform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                   int defaultValue, const std::string& fileName) {
  return ::GetPrivateProfileIntA(section.c_str(), key.c_str(), defaultValue, fileName.c_str());
}

std::uint32_t Win32Platform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                      const std::string& defaultValue, char* buffer,
                                                      std::uint32_t size, const std::string& fileName) {
  return ::GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, size,
                                    fileName.c_str());
}

}  // namespace mirrolet::win32
