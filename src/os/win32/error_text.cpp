#include "os/win32/error_text.h"

#include <windows.h>

namespace mirrolet::win32 {

std::wstring WindowsErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring description = length && text ? std::wstring(text, length) : std::wstring();
  if (text) LocalFree(text);
  // System messages end with "\r\n", which has no place inside a message box
  // line or a console line.
  while (!description.empty() &&
         (description.back() == L'\r' || description.back() == L'\n' || description.back() == L' ')) {
    description.pop_back();
  }
  return description.empty() ? L"Windows error " + std::to_wstring(code) : description;
}

}  // namespace mirrolet::win32
