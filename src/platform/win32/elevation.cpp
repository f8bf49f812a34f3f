#include "platform/win32/elevation.h"

#include <objbase.h>
#include <tlhelp32.h>

#include <cwchar>
#include <map>

#include "base/name_fold.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
using CoInitializeExFn = HRESULT(WINAPI*)(void*, DWORD);
using CoUninitializeFn = void(WINAPI*)();

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t StartTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  return GetProcessTimes(process, &created, &exited, &kernel, &user) ? Ticks(created) : 0;
}

std::wstring MarkName(DWORD pid, std::uint64_t start) {
  wchar_t name[64];
  std::swprintf(name, 64, L"Local\\Mirrolet-relaunch-%08lx-%016llx", static_cast<unsigned long>(pid),
                static_cast<unsigned long long>(start));
  return name;
}

bool TokenIsElevated() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return true;
  const UniqueObject token(opened);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return true;
  return elevation.TokenIsElevated != 0;
}

// The parent is the run that waits: ShellExecuteEx starts the program as
// its child, and for an elevated start Windows names the asking process as
// the parent too. While the parent waits its id cannot be reused.
bool StartedByRelaunch() {
  const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID != self) continue;
    const UniqueObject parent(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ParentProcessID));
    return parent && HoldsRelaunchMark(entry.th32ParentProcessID, StartTime(parent.get()));
  }
  return false;
}

// What this token may do to `path`, asked of its security descriptor with
// an impersonation token: the filtered administrator's deny-only groups
// count as they would when the file is opened.
std::optional<DWORD> TokenGranted(const std::wstring& target) {
  constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                         DACL_SECURITY_INFORMATION;
  constexpr DWORD kAll = FILE_ALL_ACCESS;
  // The folder itself, without the final "\" a work path ends with (a
  // drive's root keeps it).
  std::wstring path = ExtendedPath(target);
  if (path.size() > 1 && path.back() == L'\\' && path[path.size() - 2] != L':') path.pop_back();
  DWORD needed = 0;
  if (!GetFileSecurityW(path.c_str(), kWhat, nullptr, 0, &needed)) {
    const DWORD why = GetLastError();
    if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) return std::nullopt;
    if (why != ERROR_INSUFFICIENT_BUFFER || needed == 0) return kAll;
  }
  std::vector<BYTE> descriptor(needed);
  if (!GetFileSecurityW(path.c_str(), kWhat, descriptor.data(), needed, &needed)) return kAll;

  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &opened)) return kAll;
  const UniqueObject process(opened);
  HANDLE duplicated = nullptr;
  if (!DuplicateToken(process.get(), SecurityImpersonation, &duplicated)) return kAll;
  const UniqueObject token(duplicated);

  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  PRIVILEGE_SET privileges{};
  DWORD privilegesSize = sizeof privileges;
  DWORD granted = 0;
  BOOL allowed = FALSE;
  if (!AccessCheck(descriptor.data(), token.get(), MAXIMUM_ALLOWED, &mapping, &privileges, &privilegesSize, &granted,
                   &allowed)) {
    return kAll;
  }
  return allowed ? granted : 0;
}

std::wstring FinalPath(const std::wstring& path) {
  // No access asked: only the name is wanted, of a file or a folder.
  const UniqueFile file(CreateFileW(ExtendedPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return path;
  const std::wstring final = GrowToFit([&](wchar_t* buffer, DWORD size) {
    return GetFinalPathNameByHandleW(file.get(), buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
  return final.empty() ? path : PlainPath(final);
}

void LetToFront() { AllowSetForegroundWindow(ASFW_ANY); }

DWORD StartAndWait(const Launch& launch, unsigned& exitCode) {
  // From System32, as every DLL the program loads by name.
  const UniqueModule shell = LoadSystemLibrary(L"shell32.dll");
  const auto shellExecute = SystemFunction<ShellExecuteExFn>(shell, "ShellExecuteExW");
  if (!shellExecute) return ERROR_PROC_NOT_FOUND;
  // ShellExecuteEx may hand the start to a shell extension, which needs COM
  // on the calling thread; ole32 stays loaded until it is uninitialised.
  const UniqueModule ole = LoadSystemLibrary(L"ole32.dll");
  const auto coInitialize = SystemFunction<CoInitializeExFn>(ole, "CoInitializeEx");
  const auto coUninitialize = SystemFunction<CoUninitializeFn>(ole, "CoUninitialize");
  const bool com = coInitialize && coUninitialize &&
                   SUCCEEDED(coInitialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  const RelaunchMark mark;
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = launch.mask;
  info.lpVerb = launch.verb;
  info.lpFile = launch.program.c_str();
  info.lpDirectory = launch.folder.empty() ? nullptr : launch.folder.c_str();
  info.nShow = SW_SHOWNORMAL;
  const BOOL started = shellExecute(&info);
  const DWORD why = started ? ERROR_SUCCESS : GetLastError();
  if (com) coUninitialize();
  if (!started) return why;
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

// Whether this token may write every one of `destinations` as the copy
// writes it. A destination's folder must take the temporary (add a file); a
// destination that exists must be written and then deleted by the replace
// (delete on the file, or delete-child on its folder). A folder the copy
// would find missing fails it with 3 whatever the rights, since the copy
// makes no folder: that is the copy's to report.
bool MayWriteAll(const ElevationCalls& calls, const std::vector<std::wstring>& destinations) {
  std::map<std::wstring, std::optional<DWORD>> folders;  // by folded name
  const auto folderGranted = [&](const std::wstring& folder) {
    const std::wstring key = FoldName(folder);
    auto found = folders.find(key);
    if (found == folders.end()) found = folders.emplace(key, calls.granted(folder)).first;
    return found->second;
  };
  for (const std::wstring& destination : destinations) {
    // A folder of new files ("...\\"), where the files are not known yet.
    const bool folderOnly = destination.ends_with(L'\\');
    const std::optional<DWORD> folder = folderGranted(FolderOf(destination));
    if (!folder) continue;
    if ((*folder & FILE_ADD_FILE) == 0) return false;
    if (folderOnly) continue;
    const std::optional<DWORD> file = calls.granted(destination);
    if (!file) continue;
    if ((*file & FILE_WRITE_DATA) == 0) return false;
    if ((*file & DELETE) == 0 && (*folder & FILE_DELETE_CHILD) == 0) return false;
  }
  return true;
}

}  // namespace

RelaunchMark::RelaunchMark() : event_(CreateEventW(nullptr, TRUE, FALSE, MarkName(GetCurrentProcessId(), StartTime(GetCurrentProcess())).c_str())) {}

bool HoldsRelaunchMark(DWORD pid, std::uint64_t start) {
  if (start == 0) return false;
  const UniqueObject event(OpenEventW(SYNCHRONIZE, FALSE, MarkName(pid, start).c_str()));
  // One this run may not open is there all the same.
  return event || GetLastError() == ERROR_ACCESS_DENIED;
}

ElevationCalls SystemElevationCalls() {
  return {TokenIsElevated, StartedByRelaunch, TokenGranted, FinalPath, LetToFront, StartAndWait};
}

Elevation ElevateIfNeeded(const ElevationCalls& calls, const PlannedWrites& plan, unsigned& exitCode) {
  if (calls.elevated()) return Elevation::kElevated;
  // Started by the relaunch and still without rights: this run updates by
  // itself rather than start one more, and another after it.
  if (calls.relaunched()) return Elevation::kNotNeeded;
  if (MayWriteAll(calls, plan())) return Elevation::kNotNeeded;
  // The current folder stays the elevated run's, so that a relative
  // destination names the same file there.
  const Launch launch{calls.realPath(OwnPath()), calls.realPath(CurrentFolder()), L"runas", kLaunchMask};
  calls.toFront();
  const DWORD code = calls.start(launch, exitCode);
  if (code == ERROR_SUCCESS) return Elevation::kRelaunched;
  return code == ERROR_CANCELLED ? Elevation::kDeclined : Elevation::kFailed;
}

}  // namespace mirrolet::win32
