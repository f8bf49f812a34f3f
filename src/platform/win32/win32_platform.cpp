#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <vector>

namespace mirrolet::win32 {

namespace {

bool Fail(HostError& error, DWORD code) {
  error.code = code;
  error.description = WindowsErrorText(code);
  return false;
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  std::wstring folder = path.substr(0, slash);
  if (folder.empty() || folder.back() == L':') folder += L'\\';  // a drive root keeps its "\"
  return folder;
}

}  // namespace

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
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return path;
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

int Win32Platform::ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  return MessageBoxW(nullptr, text.c_str(), title.c_str(), style);
}

void Win32Platform::EndProcess(unsigned exitCode) { ExitProcess(exitCode); }

std::wstring Win32Platform::ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return FolderOf(path);
    }
    path.resize(path.size() * 2);  // cut short: try a bigger buffer
  }
}

std::wstring Win32Platform::FindFileName(const std::wstring& path) {
  if (path.empty()) return {};
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(ExtendedPath(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  FindClose(search);
  // Attribute mask 0: hidden, system and folder entries do not count.
  if (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY)) {
    return {};
  }
  return found.cFileName;
}

bool Win32Platform::CopyFileReplacing(const std::wstring& source, const std::wstring& destination,
                                      HostError& error) {
  // CopyFile writes over the destination in place, so a copy that fails half
  // way would leave the product with a broken file. Instead the data goes to a
  // temporary file beside the destination, which then replaces it in one
  // rename. The checks up front keep CopyFile's failures failures.
  const std::wstring from = ExtendedPath(source);
  const DWORD sourceAttributes = GetFileAttributesW(from.c_str());
  if (sourceAttributes == INVALID_FILE_ATTRIBUTES) return Fail(error, GetLastError());
  if (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(error, ERROR_ACCESS_DENIED);

  if (destination.empty()) return Fail(error, ERROR_PATH_NOT_FOUND);
  const std::wstring to = ExtendedPath(destination);
  const DWORD attributes = GetFileAttributesW(to.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))) {
    return Fail(error, ERROR_ACCESS_DENIED);
  }

  static std::atomic<unsigned> counter{0};
  std::wstring temp;
  for (;;) {
    wchar_t name[64];
    std::swprintf(name, 64, L"~mirrolet-%08lx-%04x.tmp", GetCurrentProcessId(), counter++ & 0xFFFF);
    temp = FolderOf(to);
    if (!temp.ends_with(L'\\')) temp += L'\\';
    temp += name;
    if (CopyFileW(from.c_str(), temp.c_str(), TRUE)) break;
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      DeleteFileW(temp.c_str());  // CopyFile may leave a partial file behind
      return Fail(error, code);
    }
  }

  if (!MoveFileExW(temp.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = ReplaceFailure(to, GetLastError());
    SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only copy cannot be deleted
    DeleteFileW(temp.c_str());
    return Fail(error, code);
  }
  return true;
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
  std::wstring shortPath(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (n == 0) break;
    if (n < shortPath.size()) {
      shortPath.resize(n);
      if (FromAnsi(ToAnsi(shortPath)) == shortPath) return shortPath;
      break;
    }
    shortPath.resize(n);
  }
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
