// Where the end-to-end tests find the program they run.
#pragma once

#include <windows.h>

#include <string>

namespace mirrolet::e2e {

// build/windows/MirroletV2.exe, beside the tests folder that holds this test.
inline std::wstring ProgramUnderTest() {
  std::wstring self(MAX_PATH, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
  self.resize(self.find_last_of(L'\\'));
  return self.substr(0, self.find_last_of(L'\\') + 1) + L"MirroletV2.exe";
}

}  // namespace mirrolet::e2e
