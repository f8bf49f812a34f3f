#include "platform/win32/destination_keys.h"

#include <cstdint>
#include <functional>

#include "base/name_fold.h"
#include "os/win32/handles.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

std::size_t TextKey(const std::wstring& path) { return std::hash<std::wstring>{}(FoldName(path)); }

// The identity of an existing file or folder, mixed with `name` when given;
// 0 when it cannot be opened.
std::size_t FileIdentity(const std::wstring& path, std::wstring_view name = {}) {
  const UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return 0;
  const std::size_t id = IdentityOf(info);
  return name.empty() ? id : id ^ (std::hash<std::wstring>{}(FoldName(name)) * 31);
}

}  // namespace

std::size_t IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return std::hash<std::uint64_t>{}((std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) ^
                                    (std::uint64_t{info.dwVolumeSerialNumber} << 17));
}

void DestinationKeys::Remember(const std::wstring& to, std::size_t replaced) {
  keys_.insert(TextKey(to));
  keys_.insert(FileIdentity(FolderOf(to), BaseOf(to)));
  if (replaced != 0) keys_.insert(replaced);
}

bool DestinationKeys::Contains(const std::wstring& path) const {
  if (keys_.empty()) return false;
  const std::wstring full = ExtendedPath(path);
  if (keys_.contains(TextKey(full))) return true;
  const std::size_t file = FileIdentity(full);
  if (file != 0 && keys_.contains(file)) return true;
  const std::size_t entry = FileIdentity(FolderOf(full), BaseOf(full));
  return entry != 0 && keys_.contains(entry);
}

}  // namespace mirrolet::win32
