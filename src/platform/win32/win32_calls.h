// Owners for Windows handles, and the calls of the Win32 host's copy, each
// through one thin wrapper, so that a test can make any one of them fail as
// Windows would fail it (see Win32Platform::InjectFaults).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>

#include "base/unique_handle.h"

namespace mirrolet::win32 {

struct FileHandleTraits {
  using type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};
using UniqueFile = UniqueHandle<FileHandleTraits>;

struct FindHandleTraits {
  using type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { FindClose(handle); }
};
using UniqueFind = UniqueHandle<FindHandleTraits>;

struct ModuleTraits {
  using type = HMODULE;
  static HMODULE Invalid() { return nullptr; }
  static void Close(HMODULE module) { FreeLibrary(module); }
};
using UniqueModule = UniqueHandle<ModuleTraits>;

struct KeyTraits {
  using type = HKEY;
  static HKEY Invalid() { return nullptr; }
  static void Close(HKEY key) { RegCloseKey(key); }
};
using UniqueKey = UniqueHandle<KeyTraits>;

// Calls a Win32 function that fills a buffer of a given size and returns the
// length it wrote, or the size it needs when the buffer was too small (or, for
// some, the buffer's size when it cut the text short): grows the buffer until
// the text fits. Empty text when `fill` fails (returns 0).
template <typename Fill>
std::wstring GrowToFit(Fill fill, DWORD initial = MAX_PATH) {
  std::wstring text(initial, L'\0');
  for (;;) {
    const DWORD n = fill(text.data(), static_cast<DWORD>(text.size()));
    if (n == 0) return {};
    if (n < text.size()) {
      text.resize(n);
      return text;
    }
    text.resize(n > text.size() ? n : text.size() * 2);
  }
}

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
