// Files in use by other programs: telling that case apart, and asking the
// Restart Manager who holds the file. rstrtmgr.dll is loaded when a report
// needs it, and from System32 only: a static import would be looked for in the
// program's own folder first.
#include <windows.h>

#include <restartmanager.h>

#include <vector>

#include "platform/win32/win32_platform.h"

namespace mirrolet::win32 {

namespace {

// A DLL from System32, freed when it goes.
class Library {
 public:
  explicit Library(const wchar_t* name) : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}

  // The exported function `name` as type F, or nullptr.
  template <typename F>
  F Function(const char* name) const {
    return module_ ? reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module_.get(), name))) : nullptr;
  }

 private:
  UniqueModule module_;
};

using RmStartSessionFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RmRegisterResourcesFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
using RmGetListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
using RmEndSessionFn = DWORD(WINAPI*)(DWORD);

// The Restart Manager does not take the "\\?\" form.
std::wstring PlainPath(const std::wstring& path) {
  const std::wstring full = ExtendedPath(path);
  if (full.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + full.substr(8);
  if (full.starts_with(L"\\\\?\\")) return full.substr(4);
  return full;
}

}  // namespace

std::vector<FileHolder> Win32Platform::FileHolders(const std::wstring& path) {
  const Library rm(L"rstrtmgr.dll");
  const auto start = rm.Function<RmStartSessionFn>("RmStartSession");
  const auto add = rm.Function<RmRegisterResourcesFn>("RmRegisterResources");
  const auto list = rm.Function<RmGetListFn>("RmGetList");
  const auto end = rm.Function<RmEndSessionFn>("RmEndSession");
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
