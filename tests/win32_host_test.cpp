// The Win32 host's copy with its calls failing as Windows fails them. In
// every row but the last resort the destination ends as its old or its new
// self, never missing, and no backup or temporary of the run stays behind.
// (Whether a committed rename survives a power cut, Wine cannot show: its
// files live on the Linux file system, which journals for itself.)
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <optional>
#include <string_view>
#include <thread>

#include "fake_platform.h"
#include "host_fixture.h"
#include "base/name_fold.h"
#include "platform/win32/run_files.h"
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
    DWORD source = 0;     // the source's attributes, where not what the disk says
    bool backupLeft = false;  // the old file stays, hidden, under the run's backup name
    const wchar_t* link = nullptr;  // this part of the sandbox is a link, owned so, for an elevated run
    win32::LinkOwner owner = win32::LinkOwner::kUser;
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
      // A NAS or a VM's shared folder that does not do ReplaceFile: a rename
      // over the old file, which stays until the new one is in place.
      {"a redirector answers 1 to the replace", {{"ReplaceFileW", {ERROR_INVALID_FUNCTION}}}, true, "new"},
      {"a redirector answers 50 to the replace", {{"ReplaceFileW", {ERROR_NOT_SUPPORTED}}}, true, "new"},
      {"a redirector answers 87 to the replace", {{"ReplaceFileW", {ERROR_INVALID_PARAMETER}}}, true, "new"},
      {"a redirector's rename fails too", {{"ReplaceFileW", {ERROR_NOT_SUPPORTED}}, {"MoveFileExW", Times(kTries, 5)}},
       true, "old", ERROR_ACCESS_DENIED},
      {"the old file's removal meets a brief hold", {{"DeleteFileW", {32}}}, true, "new"},
      {"the old file cannot be removed", {{"DeleteFileW", Times(kTries + 1, 32)}}, true, "new", 0, 0, true},
      // Read-only and nothing else: the flush after the commit needs no wait,
      // and the new file is not left hidden.
      {"a new file from a CD", {}, false, "new", 0, FILE_ATTRIBUTE_READONLY},
      {"all goes well", {}, true, "new"},
      {"the product folder is a junction its user made", {}, false, "old", kErrorUntrustedLink, 0, false, L"product"},
      {"an administrator's junction is followed", {}, true, "new", 0, 0, false, L"product", win32::LinkOwner::kSystem},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Sandbox sandbox;
    sandbox.Write(L"update\\a.dll", "new");
    sandbox.Write(L"product\\keep.txt", "x");
    if (row.existing) sandbox.Write(L"product\\a.dll", "old");
    win32::Win32Platform host;
    std::map<std::string, std::size_t> made;
    bool emptyMask = false;
    host.InjectFaults([&](const win32::Win32Call& call) -> DWORD {
      emptyMask |= std::string_view(call.name) == "SetFileAttributesW" && call.value == 0;
      // As Windows does, and Wine for root does not: a read-only file cannot
      // be opened for writing.
      const DWORD found = call.path ? GetFileAttributesW(call.path) : INVALID_FILE_ATTRIBUTES;
      if (std::string_view(call.name) == "CreateFileW" && (call.value & GENERIC_WRITE) &&
          found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_READONLY)) {
        return ERROR_ACCESS_DENIED;
      }
      const auto codes = row.faults.find(call.name);
      const std::size_t nth = made[call.name]++;
      return codes != row.faults.end() && nth < codes->second.size() ? codes->second[nth] : 0;
    });
    if (row.link) {
      host.InjectLinks([&](const std::wstring& path) -> std::optional<win32::LinkOwner> {
        if (!path.ends_with(std::wstring(L"\\") + row.link)) return std::nullopt;
        return row.owner;
      }, true);
    }
    host.InjectAttributes([&](const wchar_t* path, DWORD found) {
      return row.source != 0 && std::wstring_view(path).ends_with(L"\\update\\a.dll") ? row.source : found;
    });
    DWORD paused = 0;
    host.InjectPause([&](DWORD ms) { paused += ms; });
    HostError error;
    const bool copied =
        host.CopyFileReplacing(sandbox.HostPath(L"update\\a.dll"), sandbox.HostPath(L"product\\a.dll"), error);
    const std::string outcome = row.outcome;
    EXPECT_EQ(copied, outcome == "new");
    EXPECT_EQ(copied ? 0 : error.code, row.code);
    if (row.code == kErrorUntrustedLink) {
      EXPECT_TRUE(error.link.ends_with(row.link)) << Utf8(error.link);
    }
    EXPECT_LE(paused, 2u * 2000) << "no step waits past its window";
    if (row.faults.empty()) {
      EXPECT_EQ(paused, 0u) << "nothing to wait for";
      if (copied) {
        EXPECT_EQ(made["CreateFileW"], 3u) << "the source, the temporary, the flush after the commit";
      }
    }
    EXPECT_FALSE(emptyMask) << "an empty mask leaves the temporary hidden";
    const DWORD landed = GetFileAttributesW(sandbox.Native(L"product\\a.dll").c_str());
    if (outcome == "new") {
      EXPECT_EQ(landed & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), row.source & FILE_ATTRIBUTE_READONLY);
    }
    std::vector<std::wstring> names{L"keep.txt"};
    if (outcome == "kept") {
      ASSERT_FALSE(error.keptAs.empty());
      EXPECT_EQ(sandbox.Read(L"product\\a.dll.new"), "new");
      continue;  // the old file stays hidden under the backup name too
    }
    if (outcome == "new" || row.existing) names.insert(names.begin(), L"a.dll");
    std::vector<std::wstring> listed = sandbox.List(L"product");
    if (row.backupLeft && listed.size() == 3) {
      const std::wstring backup = listed.back();
      EXPECT_TRUE(backup.starts_with(L"~mirrolet-"));
      EXPECT_EQ(sandbox.Read(L"product\\" + backup), "old");
      EXPECT_TRUE(GetFileAttributesW(sandbox.Native(L"product\\" + backup).c_str()) & FILE_ATTRIBUTE_HIDDEN);
      listed.pop_back();
    }
    EXPECT_EQ(listed, names) << "a file missing, or a backup or temporary left";
    if (outcome != "old" || row.existing) {
      EXPECT_EQ(sandbox.Read(L"product\\a.dll"), outcome);
    }
  }
}

// A real hold, by another handle that shares nothing: one that ends within
// the wait lets the copy land; one that outlasts it fails as in use, after
// about two seconds.
TEST(Win32Host, AHoldWithoutSharingIsWaitedOutForAboutTwoSeconds) {
  for (const DWORD holdMs : {300u, 2600u}) {
    SCOPED_TRACE(holdMs);
    Sandbox sandbox;
    sandbox.Write(L"update\\a.dll", "new");
    sandbox.Write(L"product\\a.dll", "old");
    const std::wstring held = sandbox.Native(L"product\\a.dll").wstring();
    HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::thread holder([&] {
      Sleep(holdMs);
      CloseHandle(file);
    });
    win32::Win32Platform host;
    HostError error;
    const bool copied =
        host.CopyFileReplacing(sandbox.HostPath(L"update\\a.dll"), sandbox.HostPath(L"product\\a.dll"), error);
    holder.join();
    EXPECT_EQ(copied, holdMs < 2000);
    EXPECT_EQ(sandbox.Read(L"product\\a.dll"), copied ? "new" : "old");
    if (!copied) {
      EXPECT_EQ(error.code, static_cast<unsigned long>(ERROR_SHARING_VIOLATION));
    }
  }
}

// Where what the run will write needs administrator rights and the token is
// not elevated, the program's own file starts again with "runas", by the
// names every logon session knows, and comes to the front; a declined prompt
// or a start that fails goes on here, and so does a run that the relaunch
// itself started without rights.
TEST(Win32Host, AsksForAdministratorRightsOnlyWhereWhatItWritesNeedsThem) {
  constexpr DWORD kRead = FILE_GENERIC_READ;
  constexpr DWORD kNewOnly = kRead | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;  // ProgramData's Users: (WD,AD)
  constexpr DWORD kFull = FILE_ALL_ACCESS;
  struct Row {
    const char* name;
    std::map<std::wstring, DWORD> granted;  // what the token may do to each path that exists
    std::vector<std::wstring> plan;
    Elevation expected;
    DWORD start = 0;  // what starting the elevated run gives
    bool elevated = false;
    bool relaunched = false;
  };
  const std::wstring pf = L"C:\\Program Files\\Pruvex", data = L"C:\\ProgramData\\Halvix", own = L"C:\\Halvix";
  const Row rows[] = {
      {"an elevated run asks nothing", {{pf, kRead}}, {pf + L"\\a.dll"}, Elevation::kElevated, 0, true},
      {"the rights are there", {{own, kFull}, {own + L"\\a.dll", kFull}}, {own + L"\\a.dll", own + L"\\b.dll"},
       Elevation::kNotNeeded},
      {"a folder that takes no new files, its files not known yet", {{own, kFull}, {pf, kRead}}, {own + L"\\", pf + L"\\"},
       Elevation::kRelaunched},
      {"the prompt declined", {{pf, kRead}}, {pf + L"\\"}, Elevation::kDeclined, ERROR_CANCELLED},
      {"the start fails", {{pf, kRead}}, {pf + L"\\"}, Elevation::kFailed, ERROR_FILE_NOT_FOUND},
      {"started by the relaunch and still without rights (UAC off)", {{pf, kRead}}, {pf + L"\\a.dll"},
       Elevation::kNotNeeded, 0, false, true},
      {"new files allowed, the installed file only readable", {{data, kNewOnly}, {data + L"\\a.dll", kRead}},
       {data + L"\\a.dll"}, Elevation::kRelaunched},
      {"new files allowed, and only new files written", {{data, kNewOnly}}, {data + L"\\b.dll"}, Elevation::kNotNeeded},
      {"a subfolder with stricter rights", {{own, kFull}, {own + L"\\sub", kRead}},
       {own + L"\\a.dll", own + L"\\sub\\b.dll"}, Elevation::kRelaunched},
      {"written, and deleted through the folder's delete-child",
       {{own, kRead | FILE_ADD_FILE | FILE_DELETE_CHILD}, {own + L"\\a.dll", kRead | FILE_WRITE_DATA}},
       {own + L"\\a.dll"}, Elevation::kNotNeeded},
      {"written but never deleted", {{own, kRead | FILE_ADD_FILE}, {own + L"\\a.dll", kRead | FILE_WRITE_DATA}},
       {own + L"\\a.dll"}, Elevation::kRelaunched},
      {"a missing folder is the copy's to report", {{own, kRead}}, {own + L"\\gone\\a.dll"}, Elevation::kNotNeeded},
  };
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  // Every path as a mapped drive's share names it.
  const auto unc = [](const std::wstring& path) { return L"\\\\files\\updates" + path.substr(2); };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    win32::Win32Platform host;
    std::string calls;
    host.InjectElevation({[&] { return row.elevated; }, [&] { return row.relaunched; },
                          [&](const std::wstring& path) -> std::optional<DWORD> {
                            const auto found = row.granted.find(path);
                            return found == row.granted.end() ? std::nullopt : std::optional<DWORD>(found->second);
                          },
                          unc, [&] { calls += "front "; },
                          [&](const win32::Launch& launch, unsigned& exitCode) -> DWORD {
                            calls += "start ";
                            EXPECT_EQ(launch.program, unc(self));
                            EXPECT_EQ(launch.folder, unc(current));
                            EXPECT_EQ(std::wstring(launch.verb), L"runas");
                            constexpr ULONG kWaitedNoZoneCheck = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_NOZONECHECKS;
                            EXPECT_EQ(launch.mask & kWaitedNoZoneCheck, kWaitedNoZoneCheck);
                            exitCode = 3;
                            return row.start;
                          }});
    unsigned exitCode = 0;
    int planned = 0;
    EXPECT_EQ(host.ElevateIfNeeded([&] { ++planned; return row.plan; }, exitCode), row.expected);
    const bool asks = row.expected != Elevation::kElevated && row.expected != Elevation::kNotNeeded;
    EXPECT_EQ(calls, asks ? "front start " : "") << "never more than one start";
    EXPECT_EQ(planned, row.elevated || row.relaunched ? 0 : 1);
    if (row.expected == Elevation::kRelaunched) {
      EXPECT_EQ(exitCode, 3u);
    }
  }
  // Under Wine every process is an administrator, and the access check
  // grants a folder, with or without its final "\"; a missing one is none.
  // A run started by no relaunch says so, and one that holds the mark is
  // seen to by its id and start time alone.
  const win32::ElevationCalls system = win32::SystemElevationCalls();
  EXPECT_TRUE(system.elevated());
  EXPECT_FALSE(system.relaunched());
  Sandbox sandbox;
  std::filesystem::create_directories(sandbox.Native(L"product"));
  for (const std::wstring& folder : {sandbox.HostPath(L"product"), sandbox.HostPath(L"product") + L"\\"}) {
    EXPECT_TRUE(system.granted(folder).value_or(0) & FILE_ADD_FILE);
  }
  EXPECT_FALSE(system.granted(sandbox.HostPath(L"gone\\a.dll")));
  EXPECT_EQ(FoldName(system.realPath(sandbox.HostPath(L"product"))), FoldName(sandbox.HostPath(L"product")));
  const win32::RunId run = win32::CurrentRun();
  {
    const win32::RelaunchMark mark;
    EXPECT_TRUE(win32::HoldsRelaunchMark(run.pid, run.start));
  }
  EXPECT_FALSE(win32::HoldsRelaunchMark(run.pid, run.start));
}

}  // namespace
}  // namespace mirrolet::testing
