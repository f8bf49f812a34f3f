// rstrtmgr.dll is loaded when a report needs it, and from System32 only: a
// static import would be looked for in the program's own folder first.
#include "platform/win32/file_holders.h"

#include <windows.h>

#include <restartmanager.h>

#include <vector>

#include "os/win32/handles.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

using RmStartSessionFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RmRegisterResourcesFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
using RmGetListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
using RmEndSessionFn = DWORD(WINAPI*)(DWORD);

}  // namespace

std::vector<FileHolder> FileHoldersOf(const std::wstring& path) {
  const UniqueModule rm = LoadSystemLibrary(L"rstrtmgr.dll");
  const auto start = SystemFunction<RmStartSessionFn>(rm, "RmStartSession");
  const auto add = SystemFunction<RmRegisterResourcesFn>(rm, "RmRegisterResources");
  const auto list = SystemFunction<RmGetListFn>(rm, "RmGetList");
  const auto end = SystemFunction<RmEndSessionFn>(rm, "RmEndSession");
  if (!start || !add || !list || !end) return {};

  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (start(&session, 0, key) != ERROR_SUCCESS) return {};
  const std::wstring file = PlainPath(path);
  LPCWSTR files[] = {file.c_str()};
  std::vector<RM_PROCESS_INFO> processes;
  bool listed = false;
  if (add(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
    // The list can grow between asking for its size and fetching it.
    for (int attempt = 0; attempt < 3 && !listed; ++attempt) {
      UINT needed = 0;
      UINT count = static_cast<UINT>(processes.size());
      DWORD reasons = 0;
      const DWORD result = list(session, &needed, &count, processes.data(), &reasons);
      if (result == ERROR_SUCCESS) {
        processes.resize(count);
        listed = true;
      } else if (result == ERROR_MORE_DATA) {
        processes.resize(needed);
      } else {
        break;
      }
    }
  }
  end(session);
  if (!listed) return {};

  std::vector<FileHolder> holders;
  for (const RM_PROCESS_INFO& process : processes) {
    if (process.Process.dwProcessId == GetCurrentProcessId()) continue;
    holders.push_back({process.strAppName, process.Process.dwProcessId});
  }
  return holders;
}

}  // namespace mirrolet::win32
