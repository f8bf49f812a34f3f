#include "platform/win32/host_error.h"

#include "os/win32/error_text.h"

namespace mirrolet::win32 {

bool Fail(HostError& error, unsigned long code, bool aboutSource) {
  error.code = code;
  error.description = WindowsErrorText(code);
  error.aboutSource = aboutSource;
  return false;
}

}  // namespace mirrolet::win32
