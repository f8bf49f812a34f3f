#include "real_windows.h"

#include <winsafer.h>

#include <gtest/gtest.h>

#include "host_fixture.h"

namespace mirrolet::testing {

namespace {

constexpr char kRowProperty[] = "real Windows: ";

DWORD TokenValue(TOKEN_INFORMATION_CLASS what) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return 0;
  const win32::UniqueObject token(opened);
  DWORD value = 0, size = 0;
  return GetTokenInformation(token.get(), what, &value, sizeof value, &size) ? value : 0;
}

// This process's token at Safer's normal-user level: the administrators'
// group only denies, the privileges are gone, and the integrity is medium,
// as a filtered administrator's or a standard user's token has it.
win32::UniqueObject StandardUserToken(DWORD& error) {
  SAFER_LEVEL_HANDLE level = nullptr;
  if (!SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER, SAFER_LEVEL_OPEN, &level, nullptr)) {
    error = GetLastError();
    return {};
  }
  HANDLE made = nullptr;
  const BOOL computed = SaferComputeTokenFromLevel(level, nullptr, &made, 0, nullptr);
  error = computed ? ERROR_SUCCESS : GetLastError();
  SaferCloseLevel(level);
  if (!computed) return {};
  win32::UniqueObject token(made);
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
  PSID medium = nullptr;
  if (AllocateAndInitializeSid(&authority, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0, 0, 0, 0, 0, 0, &medium)) {
    TOKEN_MANDATORY_LABEL label{{medium, SE_GROUP_INTEGRITY}};
    SetTokenInformation(token.get(), TokenIntegrityLevel, &label, sizeof label + GetLengthSid(medium));
    FreeSid(medium);
  }
  return token;
}

win32::UniqueObject Start(std::wstring commandLine, const std::wstring& folder, HANDLE token, DWORD& error) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  const wchar_t* in = folder.empty() ? nullptr : folder.c_str();
  const BOOL ok = token ? CreateProcessAsUserW(token, nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                               in, &startup, &started)
                        : CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, in, &startup,
                                         &started);
  error = ok ? ERROR_SUCCESS : GetLastError();
  if (!ok) return {};
  CloseHandle(started.hThread);
  return win32::UniqueObject(started.hProcess);
}

}  // namespace

bool RealWindowsRow(const std::string& row) {
  const bool shown = !RunningUnderWine();
  ::testing::Test::RecordProperty(kRowProperty + row, shown ? "ran" : "real Windows only");
  return shown;
}

void SkipRow(const std::string& row, const std::string& why) {
  ::testing::Test::RecordProperty(kRowProperty + row, "skipped: " + why);
}

bool Elevated() { return TokenValue(TokenElevation) != 0; }
bool ElevatedUnderUac() { return TokenValue(TokenElevationType) == TokenElevationTypeFull; }

std::wstring HelperPath() { return CasePath("check_helper.exe").wstring(); }

win32::UniqueObject StartHelper(const std::wstring& arguments, bool standardUser, DWORD& error) {
  const std::wstring commandLine = L"\"" + HelperPath() + L"\" " + arguments;
  if (!standardUser) return Start(commandLine, L"", nullptr, error);
  const win32::UniqueObject token = StandardUserToken(error);
  return token ? Start(commandLine, L"", token.get(), error) : win32::UniqueObject();
}

win32::UniqueObject StartAsStandardUser(const std::wstring& program, const std::wstring& folder, DWORD& error) {
  const win32::UniqueObject token = StandardUserToken(error);
  return token ? Start(L"\"" + program + L"\"", folder, token.get(), error) : win32::UniqueObject();
}

DWORD ExitStatus(const win32::UniqueObject& process) {
  DWORD status = ~0ul;
  if (WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &status);
  return status;
}

MachineFolder::MachineFolder() {
  if (!Elevated()) return;
  wchar_t programFiles[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"ProgramW6432", programFiles, MAX_PATH) &&
      !GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH)) {
    return;
  }
  path_ = std::wstring(programFiles) + L"\\Mirrolet checks " + std::to_wstring(GetCurrentProcessId());
  if (!CreateDirectoryW(path_.c_str(), nullptr)) path_.clear();
}

MachineFolder::~MachineFolder() {
  if (path_.empty()) return;
  const std::string error = RemoveTree(path_);
  if (!error.empty()) ADD_FAILURE() << "the folder under Program Files could not be removed: " << error;
}

}  // namespace mirrolet::testing
