#include "os/posix/dos_attributes.h"

#include <sys/xattr.h>

#include <cstdlib>

namespace mirrolet::posix {

DosAttributes ReadDosAttributes(const std::string& nativePath) {
  DosAttributes attributes;
  attributes.hidden = nativePath.substr(nativePath.find_last_of('/') + 1).starts_with('.');
  char value[64] = {};
  const ssize_t size = ::getxattr(nativePath.c_str(), "user.DOSATTRIB", value, sizeof value - 1);
  // Samba's text form, "0x" and hex digits; only its hidden and system bits matter here.
  if (size > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    const unsigned long bits = std::strtoul(value + 2, nullptr, 16);
    attributes.hidden = attributes.hidden || (bits & 0x2) != 0;
    attributes.system = (bits & 0x4) != 0;
  }
  return attributes;
}

}  // namespace mirrolet::posix
