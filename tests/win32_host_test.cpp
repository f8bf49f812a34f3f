// The Win32 host's copy with its calls failing as Windows fails them. In
// every row but the last resort the destination ends as its old or its new
// self, never missing, and no backup or temporary of the run stays behind.
// (Whether a committed rename survives a power cut, Wine cannot show: its
// files live on the Linux file system, which journals for itself.)
#include <gtest/gtest.h>

#include <windows.h>

#include <map>

#include "fake_platform.h"
#include "host_fixture.h"
#include "platform/win32/win32_platform.h"

namespace mirrolet::testing {
namespace {

// `code` `n` times over: a hold that lasts for n tries.
std::vector<DWORD> Times(std::size_t n, DWORD code, std::vector<DWORD> before = {}) {
  before.insert(before.end(), n, code);
  return before;
}

// Each step tries 8 times in about two seconds (7 pauses) before it reports.
constexpr std::size_t kTries = 8;

TEST(Win32Host, AReplaceThatFailsPartWayNeverLosesTheFileAndBriefHoldsAreWaitedOut) {
  struct Row {
    const char* name;
    std::map<std::string, std::vector<DWORD>> faults;  // call -> its 1st, 2nd, ... result (0: as Windows does)
    bool existing;        // the product holds the file before
    const char* outcome;  // "old" (absent when new), "new", or "kept" beside the destination
    DWORD code = 0;       // the error reported, where the copy fails
  };
  const Row rows[] = {
      {"the replacement cannot be renamed", {{"ReplaceFileW", Times(kTries, ERROR_UNABLE_TO_MOVE_REPLACEMENT)}}, true,
       "old", ERROR_UNABLE_TO_MOVE_REPLACEMENT},
      {"the old file moved away and back", {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}}}, true, "old",
       ERROR_UNABLE_TO_MOVE_REPLACEMENT_2},
      {"moving it back meets a brief hold", {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}}, {"MoveFileExW", {32}}},
       true, "old", ERROR_UNABLE_TO_MOVE_REPLACEMENT_2},
      {"it never moves back: the new one goes in",
       {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}}, {"MoveFileExW", Times(kTries, 32)}}, true, "new"},
      {"nothing moves at all: the new one is kept",
       {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}}, {"MoveFileExW", Times(2 * kTries, 32)}}, true, "kept",
       ERROR_UNABLE_TO_MOVE_REPLACEMENT_2},
      {"a hold on the replace ends on the last try", {{"ReplaceFileW", Times(kTries - 1, ERROR_SHARING_VIOLATION)}},
       true, "new"},
      {"a hold on the replace outlasts the wait", {{"ReplaceFileW", Times(kTries, ERROR_SHARING_VIOLATION)}}, true,
       "old", ERROR_SHARING_VIOLATION},
      {"a scanner holds the destination while it is staged", {{"OpenToReplace", Times(kTries - 1, 32)}}, true, "new"},
      {"a program keeps the destination open", {{"OpenToReplace", Times(kTries, 32)}}, true, "old", 32},
      {"the flush fails", {{"FlushFileBuffers", {ERROR_IO_DEVICE}}}, true, "old", ERROR_IO_DEVICE},
      {"the source is held for a moment", {{"CreateFileW", {ERROR_SHARING_VIOLATION}}}, true, "new"},
      {"the source cannot be opened", {{"CreateFileW", Times(kTries, ERROR_SHARING_VIOLATION)}}, true, "old", 32},
      {"the temporary cannot be made", {{"CreateFileW", {0, ERROR_DISK_FULL}}}, true, "old", ERROR_DISK_FULL},
      {"the temporary meets a brief hold", {{"CreateFileW", Times(kTries - 1, ERROR_ACCESS_DENIED, {0})}}, true, "new"},
      {"a new file cannot be moved in", {{"MoveFileExW", Times(kTries, ERROR_ACCESS_DENIED)}}, false, "old",
       ERROR_ACCESS_DENIED},
      {"a new file moves in after a brief hold", {{"MoveFileExW", {ERROR_ACCESS_DENIED}}}, false, "new"},
      {"the flush after the commit waits out a hold", {{"CreateFileW", Times(kTries - 1, 32, {0, 0})}}, true, "new"},
      {"all goes well", {}, true, "new"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Sandbox sandbox;
    sandbox.Write(L"update\\a.dll", "new");
    sandbox.Write(L"product\\keep.txt", "x");
    if (row.existing) sandbox.Write(L"product\\a.dll", "old");
    win32::Win32Platform host;
    std::map<std::string, std::size_t> made;
    host.InjectFaults([&](const char* call) -> DWORD {
      const auto codes = row.faults.find(call);
      const std::size_t nth = made[call]++;
      return codes != row.faults.end() && nth < codes->second.size() ? codes->second[nth] : 0;
    });
    DWORD paused = 0;
    host.InjectPause([&](DWORD ms) { paused += ms; });
    HostError error;
    const bool copied =
        host.CopyFileReplacing(sandbox.HostPath(L"update\\a.dll"), sandbox.HostPath(L"product\\a.dll"), error);
    const std::string outcome = row.outcome;
    EXPECT_EQ(copied, outcome == "new");
    EXPECT_EQ(copied ? 0 : error.code, row.code);
    EXPECT_LE(paused, 2u * 2000) << "no step waits past its window";
    std::vector<std::wstring> names{L"keep.txt"};
    if (outcome == "kept") {
      ASSERT_FALSE(error.keptAs.empty());
      EXPECT_EQ(sandbox.Read(L"product\\a.dll.new"), "new");
      continue;  // the old file stays hidden under the backup name too
    }
    if (outcome == "new" || row.existing) names.insert(names.begin(), L"a.dll");
    EXPECT_EQ(sandbox.List(L"product"), names) << "a file missing, or a backup or temporary left";
    if (outcome != "old" || row.existing) {
      EXPECT_EQ(sandbox.Read(L"product\\a.dll"), outcome);
    }
  }
}

// Where a product folder needs administrator rights and the token is not
// elevated, the program's own file starts again with "runas" in the current
// folder; a declined prompt or a start that fails goes on here.
TEST(Win32Host, AsksForAdministratorRightsOnlyWhereAFolderNeedsThem) {
  struct Row {
    bool elevated;
    bool writable;
    DWORD start;  // what starting the elevated run gives
    Elevation expected;
    bool started;
  };
  const Row rows[] = {
      {true, false, 0, Elevation::kNotNeeded, false},
      {false, true, 0, Elevation::kNotNeeded, false},
      {false, false, 0, Elevation::kRelaunched, true},
      {false, false, ERROR_CANCELLED, Elevation::kDeclined, true},
      {false, false, ERROR_FILE_NOT_FOUND, Elevation::kFailed, true},  // a mapped drive the elevated user lacks
  };
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  for (const Row& row : rows) {
    win32::Win32Platform host;
    int starts = 0;
    host.InjectElevation({[&] { return row.elevated; },
                          [&](const std::wstring& folder) { return row.writable || folder != L"C:\\Program Files\\Pruvex\\"; },
                          [&](const std::wstring& program, const wchar_t* verb, const std::wstring& folder,
                              unsigned& exitCode) -> DWORD {
                            ++starts;
                            EXPECT_EQ(program, self);
                            EXPECT_EQ(std::wstring(verb), L"runas");
                            EXPECT_EQ(folder, current);
                            exitCode = 3;
                            return row.start;
                          }});
    unsigned exitCode = 0;
    EXPECT_EQ(host.ElevateIfNeeded({L"C:\\Halvix\\", L"C:\\Program Files\\Pruvex\\"}, exitCode), row.expected);
    EXPECT_EQ(starts, row.started ? 1 : 0) << "never more than one start";
    if (row.expected == Elevation::kRelaunched) {
      EXPECT_EQ(exitCode, 3u);
    }
  }
  // Under Wine every process is an administrator: nothing is asked, and the
  // access check grants a folder, with or without its final "\". A folder
  // whose security cannot be read is the copy's to report.
  const win32::ElevationCalls system = win32::SystemElevationCalls();
  EXPECT_TRUE(system.elevated());
  Sandbox sandbox;
  std::filesystem::create_directories(sandbox.Native(L"product"));
  EXPECT_TRUE(system.mayWrite(sandbox.HostPath(L"product")));
  EXPECT_TRUE(system.mayWrite(sandbox.HostPath(L"product") + L"\\"));
  EXPECT_TRUE(system.mayWrite(sandbox.HostPath(L"gone\\")));
}

}  // namespace
}  // namespace mirrolet::testing
