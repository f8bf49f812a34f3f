// Windows path meaning on a Linux file system: "\" and "/" both separate
// parts, and a part that does not exist as spelled is matched without regard
// to case in its folder.
#pragma once

#include <sys/stat.h>

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

  // Tells the resolver that this program just created `nativePath` (a name
  // found by NativePath), so that it need not read the folder again.
  void Created(const std::string& nativePath);

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
};

// The last part of a native path.
std::string BaseName(const std::string& nativePath);
std::string ParentPath(const std::string& nativePath);

}  // namespace mirrolet::posix
