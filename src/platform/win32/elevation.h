// Administrator rights on demand. A per-machine product lives where only
// administrators may write (C:\Program Files), and an administrator's
// double-click runs the program with a filtered token: the run then starts
// itself again with the verb "runas", which makes Windows ask the user, and
// waits for the elevated run. With a manifest that runs as invoker and
// without a command line, this is the only way to ask.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/win32/handles.h"
#include "platform/platform.h"

namespace mirrolet::win32 {

// What ShellExecuteExW is given to start the elevated run.
struct Launch {
  std::wstring program;  // the program's own file, as every logon session names it
  std::wstring folder;   // the current folder, likewise
  const wchar_t* verb;
  ULONG mask;  // SEE_MASK_...
};

// The calls the decision makes, so that a test can answer each as Windows
// would (see Win32Platform::InjectElevation).
struct ElevationCalls {
  // Whether this process's token is elevated (TokenElevation). A token that
  // cannot tell counts as elevated: nothing is asked then.
  std::function<bool()> elevated;
  // Whether this run was started by a run that relaunched itself and waits
  // for it (see RelaunchMark). Where "runas" does not elevate (User Account
  // Control off, some policies) such a run must not start another.
  std::function<bool()> relaunched;
  // The access this process's token is granted on the existing file or
  // folder `path` (AccessCheck against its security descriptor; nothing is
  // opened). Nothing when `path` does not exist; all access when its security
  // cannot be read, so that the copy says why not.
  std::function<std::optional<DWORD>(const std::wstring& path)> granted;
  // `path` as every logon session names it: a mapped drive's UNC path, the
  // folder behind a SUBST drive (drive letters belong to one logon session,
  // and the elevated run has another); `path` itself when it cannot be told.
  std::function<std::wstring(const std::wstring& path)> realPath;
  // Lets the started run come to the front (AllowSetForegroundWindow): this
  // run has no window of its own to hand the foreground on with.
  std::function<void()> toFront;
  // Starts `launch` and waits for it. Returns ERROR_SUCCESS with its exit
  // status, or the error (ERROR_CANCELLED when the user declined).
  std::function<DWORD(const Launch& launch, unsigned& exitCode)> start;
};

// The real calls.
ElevationCalls SystemElevationCalls();

// How the elevated run is started: waited for, without a second security
// warning for a file that came from the internet (the zone check), and
// without an error box of the shell's own.
inline constexpr ULONG kLaunchMask =
    SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOZONECHECKS;

// Starts the program's own file elevated where what `plan` gives needs it
// (see Platform::ElevateIfNeeded).
Elevation ElevateIfNeeded(const ElevationCalls& calls, const PlannedWrites& plan, unsigned& exitCode);

// Held by a run while it waits for the run it started: a named object of
// the session, named after this process's id and start time, so that the
// started run can tell from its parent process alone that it was relaunched.
class RelaunchMark {
 public:
  RelaunchMark();

 private:
  UniqueObject event_;
};

// Whether the process `pid`, started at `start` (FILETIME ticks), holds a RelaunchMark.
bool HoldsRelaunchMark(DWORD pid, std::uint64_t start);

}  // namespace mirrolet::win32
