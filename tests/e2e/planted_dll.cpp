// A DLL that someone with less rights puts beside the program under a system
// DLL's name (uxtheme.dll), with a MirroletV2.exe.manifest that names it as a
// file of the program's own assembly: should Windows load it into the run, it
// leaves planted-ran.txt in the current folder.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    const HANDLE mark = CreateFileW(L"planted-ran.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
  }
  return TRUE;
}
