// Windows attribute bits that Linux has no bits for, read the way Wine reads
// them. Shared by the stand-in host and mirrolet-pack.
#pragma once

#include <string>

namespace mirrolet::posix {

// A name starting with "." is hidden, and the user.DOSATTRIB extended
// attribute ("0x2" hidden, "0x4" system) adds to that.
struct DosAttributes {
  bool hidden = false;
  bool system = false;
};
DosAttributes ReadDosAttributes(const std::string& nativePath);

}  // namespace mirrolet::posix
