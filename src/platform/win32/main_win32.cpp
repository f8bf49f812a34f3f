// MirroletV2.exe: the updater on the real Windows host.
#include <windows.h>

#include "platform/win32/win32_platform.h"
#include "update/update_run.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Without a manifest this is how the boxes stay sharp on high-DPI screens.
  SetProcessDPIAware();
  mirrolet::win32::Win32Platform host;
  mirrolet::Main(host);
  return 0;  // not reached: Main always ends the process
}
