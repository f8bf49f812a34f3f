#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  std::wstring folder = path.substr(0, slash);
  if (folder.empty() || folder.back() == L':') folder += L'\\';  // a drive root keeps its "\"
  return folder;
}

std::wstring BaseOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

std::wstring ChildPath(const std::wstring& folder, const std::wstring& name) {
  return (folder.ends_with(L'\\') ? folder : folder + L'\\') + name;
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

std::wstring PlainPath(const std::wstring& path) {
  const std::wstring full = ExtendedPath(path);
  if (full.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + full.substr(8);
  if (full.starts_with(L"\\\\?\\")) return full.substr(4);
  return full;
}

std::wstring OwnPath() {
  // A path cut short comes back filling the whole buffer: GrowToFit tries a bigger one.
  return GrowToFit([](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
}

}  // namespace mirrolet::win32
