// Windows path meaning on a Linux file system: "\" and "/" both separate
// parts, and a part that does not exist as spelled is matched without regard
// to case in its folder.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "os/posix/dos_attributes.h"

namespace mirrolet::posix {

// Turns Windows-style paths into native ones.
class PathResolver {
 public:
  // The native path that `path` names. A path starting with a separator is
  // absolute, any other is relative to the current folder. A trailing
  // separator is kept, so "file\" never names a file.
  std::string NativePath(std::wstring_view path);

  // Runs `change`, which creates, renames or removes a name in `folder` for
  // this program, and returns what it returned. A listing of the folder that
  // was current before stays current: the run's own changes never make it
  // read a folder again, only someone else's do.
  int OwnChange(const std::string& folder, const std::function<int()>& change);

  // `nativePath` (a name found by NativePath) is about to be created: until
  // Settled, a path that differs from it only in case resolves to it, as it
  // would once the file is there. Two new names that differ only in case
  // thus become one file, as on Windows.
  void Pending(const std::string& nativePath);
  // The name is now on disk (`created`), or will not be.
  void Settled(const std::string& nativePath, bool created);

 private:
  // A folder's names by their folded spelling, valid while the folder's
  // identity and modification time stay as they were when it was read.
  struct Folder {
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec modified {};
    std::unordered_map<std::wstring, std::string> names;
    bool read = false;
  };
  std::string MatchInFolder(const std::string& folder, std::wstring_view part);
  std::unordered_map<std::string, Folder> folders_;
  // Names about to be created, by folder and the hash of their folded
  // spelling (a long pass holds thousands; a collision is told apart by
  // folding the name again).
  std::unordered_map<std::string, std::unordered_multimap<std::size_t, std::string>> pending_;
};

// The last part of a native path.
std::string BaseName(const std::string& nativePath);
std::string ParentPath(const std::string& nativePath);
// Whether two file times are the same to the nanosecond.
bool SameTime(const struct timespec& a, const struct timespec& b);
// `name` in the native folder `folder` (which may be "/").
std::string ChildPath(const std::string& folder, const std::string& name);

}  // namespace mirrolet::posix
