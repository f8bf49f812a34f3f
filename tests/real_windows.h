// For the rows that only a real Windows answers: NTFS's security, short
// names and streams, the Restart Manager naming another process, a standard
// user's token and Windows' prompt for administrator rights. Under Wine such
// a row is not shown; it says so in the test's results and the test goes on
// without it, so it never counts as passed there.
#pragma once

#include <windows.h>

#include <string>

#include "os/win32/handles.h"

namespace mirrolet::testing {

// Whether `row` can be shown here (not under Wine). Either way the row is
// named in the test's results, as the property "real Windows: ROW" with the
// value "ran" or "not shown under Wine", which the check kit's summary lists.
bool RealWindowsRow(const std::string& row);
// A row begun with RealWindowsRow that this machine cannot show either, and why.
void SkipRow(const std::string& row, const std::string& why);

// Whether this process's token is elevated, and whether that is User
// Account Control's full token (so a filtered one exists, and a prompt).
bool Elevated();
bool ElevatedUnderUac();

// The check kit's helper (tests/kit/check_helper.cpp), beside this program.
std::wstring HelperPath();
// Starts the helper with `arguments` (already quoted), as this user or, with
// `standardUser`, with this token lowered as "runas /trustlevel" lowers it:
// Safer's normal-user level, at medium integrity. An empty handle when it
// cannot start; `error` says why.
win32::UniqueObject StartHelper(const std::wstring& arguments, bool standardUser, DWORD& error);
// Starts `program` in `folder` with that standard user's token.
win32::UniqueObject StartAsStandardUser(const std::wstring& program, const std::wstring& folder, DWORD& error);
// Waits for `process`; its exit status.
DWORD ExitStatus(const win32::UniqueObject& process);

// A new folder under C:\Program Files, which only administrators may write,
// made when this process is elevated and removed with what it holds.
class MachineFolder {
 public:
  MachineFolder();
  ~MachineFolder();
  MachineFolder(const MachineFolder&) = delete;
  MachineFolder& operator=(const MachineFolder&) = delete;
  // Empty when it could not be made.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace mirrolet::testing
