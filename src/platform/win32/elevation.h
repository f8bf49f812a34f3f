// Administrator rights on demand. A per-machine product lives where only
// administrators may write (C:\Program Files), and an administrator's
// double-click runs the program with a filtered token: the run then starts
// itself again with the verb "runas", which makes Windows ask the user, and
// waits for the elevated run. With a manifest that runs as invoker and
// without a command line, this is the only way to ask.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mirrolet::win32 {

// The calls the decision makes, so that a test can answer each as Windows
// would (see Win32Platform::InjectElevation).
struct ElevationCalls {
  // Whether this process's token is elevated (TokenElevation). A token that
  // cannot tell counts as elevated: nothing is asked then.
  std::function<bool()> elevated;
  // Whether this process's token may create files in `folder` (AccessCheck
  // against its security descriptor; nothing is written). A folder whose
  // security cannot be read counts as writable: the copy then says why not.
  std::function<bool(const std::wstring& folder)> mayWrite;
  // Starts `program` with the verb `verb`, no parameters, in `folder`, and
  // waits for it. Returns ERROR_SUCCESS with its exit status, or the error
  // (ERROR_CANCELLED when the user declined).
  std::function<DWORD(const std::wstring& program, const wchar_t* verb, const std::wstring& folder,
                      unsigned& exitCode)>
      start;
};

// The real calls.
ElevationCalls SystemElevationCalls();

// Starts the program's own file elevated where one of `folders` needs it
// (see Platform::ElevateIfNeeded).
Elevation ElevateIfNeeded(const ElevationCalls& calls, const std::vector<std::wstring>& folders, unsigned& exitCode);

}  // namespace mirrolet::win32
