// MirroletV2.exe: the updater on the real Windows host.
#include <windows.h>

#include "platform/win32/win32_platform.h"
#include "update/update_run.h"

namespace {

// An updater is often started from a downloads folder, where a DLL named like
// a system one may lie beside it. From here on every DLL that Windows loads
// for us comes from System32 only. Windows 7 has the function only with
// KB2533623, so it is looked up rather than imported: the program must still
// start without it.
void LoadDllsFromSystem32Only() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto set = reinterpret_cast<SetDirectories>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (set != nullptr) set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  LoadDllsFromSystem32Only();
  // The manifest says nothing of DPI (it would change more than that): this
  // is how the boxes stay sharp on high-DPI screens.
  SetProcessDPIAware();
  mirrolet::win32::Win32Platform host;
  mirrolet::Main(host);
  return 0;  // not reached: Main always ends the process
}
