// Where the end-to-end tests find the program they run.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>

namespace mirrolet::e2e {

// build/windows/MirroletV2.exe, beside the tests folder that holds this test,
// or the exe that MIRROLET_PROGRAM_UNDER_TEST names (a signed copy, say).
inline std::wstring ProgramUnderTest() {
  if (const wchar_t* named = _wgetenv(L"MIRROLET_PROGRAM_UNDER_TEST"); named && *named) return named;
  std::wstring self(MAX_PATH, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
  self.resize(self.find_last_of(L'\\'));
  return self.substr(0, self.find_last_of(L'\\') + 1) + L"MirroletV2.exe";
}

}  // namespace mirrolet::e2e
