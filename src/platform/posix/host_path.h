// Windows path meaning on a Linux file system: "\" and "/" both separate
// parts, and a part that does not exist as spelled is matched without regard
// to case in its folder.
#pragma once

#include <string>
#include <string_view>

namespace mirrolet::posix {

// The native path that `path` names. A path starting with a separator is
// absolute, any other is relative to the current folder. A trailing
// separator is kept, so "file\" never names a file.
std::string NativePath(std::wstring_view path);

// Windows attribute bits that Linux has no bits for, read the way Wine reads
// them: a name starting with "." is hidden, and the user.DOSATTRIB extended
// attribute ("0x2" hidden, "0x4" system) adds to that.
struct DosAttributes {
  bool hidden = false;
  bool system = false;
};
DosAttributes ReadDosAttributes(const std::string& nativePath);

// The last part of a native path.
std::string BaseName(const std::string& nativePath);
std::string ParentPath(const std::string& nativePath);

}  // namespace mirrolet::posix
