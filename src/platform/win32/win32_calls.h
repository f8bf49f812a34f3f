// The calls of the Win32 host's copy, each through one thin wrapper, so that
// a test can make any one of them fail as Windows would fail it (see
// Win32Platform::InjectFaults).
#pragma once

#include <windows.h>

#include <functional>
#include <utility>

namespace mirrolet::win32 {

class Win32Calls {
 public:
  // `faults` is asked before each call by its name and makes it fail with
  // the Win32 error code it returns, unless that is 0.
  void Inject(std::function<DWORD(const char* call)> faults) { faults_ = std::move(faults); }

  HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    return Fails("CreateFileW") ? INVALID_HANDLE_VALUE
                                : ::CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
  }
  BOOL FlushFileBuffers(HANDLE file) { return Fails("FlushFileBuffers") ? FALSE : ::FlushFileBuffers(file); }
  BOOL MoveFileExW(const wchar_t* from, const wchar_t* to, DWORD flags) {
    return Fails("MoveFileExW") ? FALSE : ::MoveFileExW(from, to, flags);
  }
  // An injected ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 leaves the files as
  // Windows does: the replaced file moved to the backup name, the replacement
  // still under its own.
  BOOL ReplaceFileW(const wchar_t* replaced, const wchar_t* replacement, const wchar_t* backup) {
    const DWORD injected = faults_ ? faults_("ReplaceFileW") : 0;
    if (injected == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) ::MoveFileExW(replaced, backup, 0);
    if (injected != 0) {
      SetLastError(injected);
      return FALSE;
    }
    return ::ReplaceFileW(replaced, replacement, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
  }

 private:
  bool Fails(const char* call) {
    const DWORD injected = faults_ ? faults_(call) : 0;
    if (injected != 0) SetLastError(injected);
    return injected != 0;
  }
  std::function<DWORD(const char*)> faults_;
};

}  // namespace mirrolet::win32
