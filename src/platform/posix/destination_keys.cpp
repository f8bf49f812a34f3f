#include "platform/posix/destination_keys.h"

#include <functional>
#include <string_view>

#include "base/name_fold.h"
#include "platform/posix/host_path.h"
#include "platform/posix/locale_text.h"

namespace mirrolet::posix {

namespace {

std::size_t Hash(std::string_view kind, dev_t device, ino_t inode, std::wstring_view name = {}) {
  std::size_t hash = std::hash<std::string_view>{}(kind);
  for (const std::size_t part : {std::hash<unsigned long long>{}(device), std::hash<unsigned long long>{}(inode),
                                 std::hash<std::wstring_view>{}(name)}) {
    hash ^= part + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2);
  }
  return hash;
}

std::size_t EntryKey(const struct stat& folder, const std::string& path) {
  return Hash("entry", folder.st_dev, folder.st_ino, FoldName(LocaleToWide(BaseName(path))));
}

std::size_t FileKey(const struct stat& file) { return Hash("file", file.st_dev, file.st_ino); }

}  // namespace

void DestinationKeys::Remember(const std::string& to, const struct stat& folder,
                               const std::optional<struct stat>& replaced) {
  // The folder's identity and the folded name stand for every spelling of the
  // path, links and ".." included; the file's own identity for a link to it.
  keys_.insert(EntryKey(folder, to));
  if (replaced) keys_.insert(FileKey(*replaced));
}

bool DestinationKeys::Contains(const std::string& path) const {
  struct stat st;
  // A file that exists is known by its identity; one that does not yet may be
  // a new destination, known by its folder's identity and its name.
  if (::stat(path.c_str(), &st) == 0) return keys_.contains(FileKey(st));
  return ::stat(ParentPath(path).c_str(), &st) == 0 && keys_.contains(EntryKey(st, path));
}

}  // namespace mirrolet::posix
