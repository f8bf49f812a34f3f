// errno as the Windows error code a Win32 call would give for the same cause.
#pragma once

#include "platform/platform.h"

namespace mirrolet::posix {

unsigned long WindowsCode(int error);

// Fills `error` with `code` and the C library's text for `errnoValue`; returns false.
bool Fail(HostError& error, unsigned long code, int errnoValue);

}  // namespace mirrolet::posix
