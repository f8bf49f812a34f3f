// A failure of the Win32 host, as the run reports it.
#pragma once

#include "platform/platform.h"

namespace mirrolet::win32 {

// Fills `error` with Win32 error `code` and its description; returns false.
bool Fail(HostError& error, unsigned long code, bool aboutSource = false);

}  // namespace mirrolet::win32
