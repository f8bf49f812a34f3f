#include "platform/win32/elevation.h"

#include <shellapi.h>

#include <algorithm>

#include "os/win32/handles.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);

bool TokenIsElevated() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return true;
  const UniqueObject token(opened);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return true;
  return elevation.TokenIsElevated != 0;
}

// Creating the temporaries beside the files needs FILE_ADD_FILE on the
// folder; replacing a file needs DELETE on it, which a folder that grants
// the first to this user passes on in every setup we know (Modify, Full
// control). A filtered administrator in C:\Program Files has neither.
bool TokenMayWrite(const std::wstring& folder) {
  constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                         DACL_SECURITY_INFORMATION;
  // The folder itself, without the final "\" a work path ends with (a
  // drive's root keeps it).
  std::wstring path = ExtendedPath(folder);
  if (path.size() > 1 && path.back() == L'\\' && path[path.size() - 2] != L':') path.pop_back();
  DWORD needed = 0;
  GetFileSecurityW(path.c_str(), kWhat, nullptr, 0, &needed);
  if (needed == 0) return true;
  std::vector<BYTE> descriptor(needed);
  if (!GetFileSecurityW(path.c_str(), kWhat, descriptor.data(), needed, &needed)) return true;

  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &opened)) return true;
  const UniqueObject process(opened);
  HANDLE duplicated = nullptr;
  if (!DuplicateToken(process.get(), SecurityImpersonation, &duplicated)) return true;
  const UniqueObject token(duplicated);

  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  DWORD desired = FILE_ADD_FILE;
  MapGenericMask(&desired, &mapping);
  PRIVILEGE_SET privileges{};
  DWORD privilegesSize = sizeof privileges;
  DWORD granted = 0;
  BOOL allowed = FALSE;
  if (!AccessCheck(descriptor.data(), token.get(), desired, &mapping, &privileges, &privilegesSize, &granted,
                   &allowed)) {
    return true;
  }
  return allowed != FALSE;
}

DWORD StartAndWait(const std::wstring& program, const wchar_t* verb, const std::wstring& folder,
                   unsigned& exitCode) {
  // From System32, as every DLL the program loads by name.
  const UniqueModule shell = LoadSystemLibrary(L"shell32.dll");
  const auto shellExecute = SystemFunction<ShellExecuteExFn>(shell, "ShellExecuteExW");
  if (!shellExecute) return ERROR_PROC_NOT_FOUND;
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = verb;
  info.lpFile = program.c_str();
  info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!shellExecute(&info)) return GetLastError();
  const UniqueObject child(info.hProcess);
  // Started, but without a handle to wait on: the elevated run goes on by
  // itself, and this one must not copy too.
  DWORD status = 0;
  if (child && WaitForSingleObject(child.get(), INFINITE) == WAIT_OBJECT_0) GetExitCodeProcess(child.get(), &status);
  exitCode = status;
  return ERROR_SUCCESS;
}

std::wstring CurrentFolder() {
  return GrowToFit([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); });
}

}  // namespace

ElevationCalls SystemElevationCalls() { return {TokenIsElevated, TokenMayWrite, StartAndWait}; }

Elevation ElevateIfNeeded(const ElevationCalls& calls, const std::vector<std::wstring>& folders, unsigned& exitCode) {
  if (folders.empty() || calls.elevated()) return Elevation::kNotNeeded;
  if (std::all_of(folders.begin(), folders.end(), calls.mayWrite)) return Elevation::kNotNeeded;
  // The current folder stays the elevated run's, so that a relative
  // destination names the same file there.
  const DWORD code = calls.start(OwnPath(), L"runas", CurrentFolder(), exitCode);
  if (code == ERROR_SUCCESS) return Elevation::kRelaunched;
  return code == ERROR_CANCELLED ? Elevation::kDeclined : Elevation::kFailed;
}

}  // namespace mirrolet::win32
