// The Win32 host's copy with its calls failing as Windows fails them. In
// every row but the last resort the destination ends as its old or its new
// self, never missing, and no backup or temporary of the run stays behind.
// (Whether a committed rename survives a power cut, Wine cannot show: its
// files live on the Linux file system, which journals for itself.)
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <functional>
#include <map>

#include "fake_platform.h"
#include "host_fixture.h"
#include "platform/win32/win32_platform.h"
#include "real_windows.h"

namespace mirrolet::testing {
namespace {

// This process's user, as SDDL text.
std::wstring UserSid() {
  HANDLE opened = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened);
  const win32::UniqueObject token(opened);
  BYTE buffer[256] = {};
  DWORD size = 0;
  LPWSTR text = nullptr;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    return L"";
  }
  const std::wstring sid = text;
  LocalFree(text);
  return sid;
}

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

// A real hold, by another process (the kit's helper) that shares nothing:
// one that ends within the wait lets the copy land; one that outlasts it
// fails as in use, after about two seconds, and the Restart Manager names
// the helper as the file's holder.
TEST(Win32Host, AHoldByAnotherProcessIsWaitedOutForAboutTwoSeconds) {
  for (const DWORD holdMs : {300u, 2600u}) {
    SCOPED_TRACE(holdMs);
    Sandbox sandbox;
    sandbox.Write(L"update\\a.dll", "new");
    sandbox.Write(L"product\\a.dll", "old");
    const std::wstring held = sandbox.HostPath(L"product\\a.dll");
    DWORD error = 0;
    const win32::UniqueObject helper = StartHelper(L"hold \"" + held + L"\" " + std::to_wstring(holdMs), false, error);
    ASSERT_TRUE(helper) << "the kit's helper does not start: " << error;
    // Held once nobody may open it for reading.
    for (HANDLE probe; (probe = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                            nullptr)) != INVALID_HANDLE_VALUE;) {
      CloseHandle(probe);
      ASSERT_EQ(WaitForSingleObject(helper.get(), 1), static_cast<DWORD>(WAIT_TIMEOUT)) << "the helper never held it";
    }
    win32::Win32Platform host;
    const std::string named = "the Restart Manager names the process that holds a file";
    if (holdMs > 2000 && RealWindowsRow(named)) {
      const std::vector<FileHolder> holders = host.FileHolders(held);
      EXPECT_EQ(holders.size(), 1u);
      for (const FileHolder& holder : holders) {
        EXPECT_EQ(holder.pid, GetProcessId(helper.get()));
        EXPECT_FALSE(holder.name.empty());
      }
    }
    HostError copyError;
    const bool copied = host.CopyFileReplacing(sandbox.HostPath(L"update\\a.dll"), held, copyError);
    EXPECT_EQ(ExitStatus(helper), 0ul);
    EXPECT_EQ(copied, holdMs < 2000);
    EXPECT_EQ(sandbox.Read(L"product\\a.dll"), copied ? "new" : "old");
    if (!copied) {
      EXPECT_EQ(copyError.code, static_cast<unsigned long>(ERROR_SHARING_VIOLATION));
    }
  }
}

// What the file ReplaceFileW replaces keeps, each given to the old file so
// that a new file would not have it (checked first: else the row proves
// nothing here). The attributes are the host contract's to show, on every
// host; these only NTFS keeps, and Wine has none of them.
TEST(Win32Host, AReplacedFileKeepsWhatItWasOnNtfs) {
  using Text = std::function<std::string(const std::wstring& path)>;  // empty: done
  const auto security = [](SECURITY_INFORMATION what) {
    return [what](const std::wstring& path) -> std::string {
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &descriptor)) {
        return "<unreadable>";
      }
      LPWSTR text = nullptr;
      ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text, nullptr);
      const std::string result = text ? Utf8(text) : "<none>";
      LocalFree(text);
      LocalFree(descriptor);
      return result;
    };
  };
  // Sets the SDDL `text` on the file; the reason when Windows refuses.
  const auto give = [](SECURITY_INFORMATION what, const std::wstring& sddl) {
    return [what, sddl](const std::wstring& path) -> std::string {
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
      BOOL present = FALSE, defaulted = FALSE;
      PACL dacl = nullptr;
      PSID owner = nullptr;
      GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
      GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
      const DWORD error = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, what, owner,
                                                nullptr, dacl, nullptr);
      LocalFree(descriptor);
      return error ? "Windows refuses it (error " + std::to_string(error) + "): run the kit as administrator" : "";
    };
  };
  const std::wstring stream = L":mirrolet.check";
  struct Row {
    const char* name;
    Text give;  // gives the old file the property: empty, or why not here
    Text read;
  };
  const Row rows[] = {
      {"a replaced file keeps its security descriptor",
       give(DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;AU)(A;;FR;;;WD)"),
       security(DACL_SECURITY_INFORMATION)},
      // Administrators or the user, whichever a new file does not get: an
      // elevated token may give either.
      {"a replaced file keeps its owner",
       [&](const std::wstring& path) {
         const bool administrators = security(OWNER_SECURITY_INFORMATION)(path) == "O:BA";
         return give(OWNER_SECURITY_INFORMATION, administrators ? L"O:" + UserSid() : L"O:BA")(path);
       },
       security(OWNER_SECURITY_INFORMATION)},
      {"a replaced file keeps its creation time",
       [](const std::wstring& path) -> std::string {
         const win32::UniqueFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
         const FILETIME longAgo{0x5a5a0000u, 0x01c00000u};  // in 1995
         return file && SetFileTime(file.get(), &longAgo, nullptr, nullptr) ? "" : "the creation time cannot be set";
       },
       [](const std::wstring& path) {
         WIN32_FILE_ATTRIBUTE_DATA data{};
         GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
         return std::to_string(data.ftCreationTime.dwHighDateTime) + ":" + std::to_string(data.ftCreationTime.dwLowDateTime);
       }},
      // The file ends up with the second short name while the first is free,
      // which a new file of that name would take.
      {"a replaced file keeps its short name",
       [](const std::wstring& path) -> std::string {
         const std::wstring aside = path + L".aside", sibling = path.substr(0, path.size() - 4) + L" 2.dll";
         const bool away = MoveFileW(path.c_str(), aside.c_str());
         CloseHandle(CreateFileW(sibling.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
         const bool moved = away && MoveFileW(aside.c_str(), path.c_str());
         DeleteFileW(sibling.c_str());
         return moved ? "" : "the file cannot be moved";
       },
       [](const std::wstring& path) {
         wchar_t shortPath[MAX_PATH] = {};
         GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
         const std::wstring name = shortPath;
         return Utf8(name.substr(name.find_last_of(L'\\') + 1));
       }},
      {"a replaced file keeps its alternate data streams",
       [stream](const std::wstring& path) -> std::string {
         const win32::UniqueFile file(
             CreateFileW((path + stream).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
         DWORD written = 0;
         return file && WriteFile(file.get(), "tag", 3, &written, nullptr) ? "" : "this volume holds no streams";
       },
       [stream](const std::wstring& path) {
         const win32::UniqueFile file(
             CreateFileW((path + stream).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
         char bytes[8] = {};
         DWORD read = 0;
         return file && ReadFile(file.get(), bytes, sizeof bytes, &read, nullptr) ? std::string(bytes, read) : "<none>";
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!RealWindowsRow(row.name)) continue;
    Sandbox sandbox;
    wchar_t fileSystem[MAX_PATH + 1] = {};
    const std::wstring root = sandbox.HostPath(L"").substr(0, 3);
    GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH);
    if (std::wstring(fileSystem) != L"NTFS") {
      SkipRow(row.name, "the temporary folder is on " + Utf8(fileSystem) + ", not NTFS");
      continue;
    }
    sandbox.Write(L"update\\a long file name.dll", "new");
    sandbox.Write(L"product\\a long file name.dll", "old");
    const std::wstring source = sandbox.HostPath(L"update\\a long file name.dll");
    const std::wstring destination = sandbox.HostPath(L"product\\a long file name.dll");
    if (const std::string why = row.give(destination); !why.empty()) {
      SkipRow(row.name, why);
      continue;
    }
    const std::string before = row.read(destination);
    if (before == row.read(source)) {
      SkipRow(row.name, "a new file has it too here (" + before + ")");
      continue;
    }
    win32::Win32Platform host;
    HostError error;
    ASSERT_TRUE(host.CopyFileReplacing(source, destination, error)) << Utf8(error.description);
    EXPECT_EQ(sandbox.Read(L"product\\a long file name.dll"), "new");
    EXPECT_EQ(row.read(destination), before);
  }
}

// The calls a pass of two files makes, in order, as the fault seam sees them:
// each temporary is flushed before any destination is replaced, and each
// committed file is flushed once more before the run reports. On a real
// Windows those flushes reach NTFS, whose journal then holds the renames.
TEST(Win32Host, ThePassFlushesEveryTemporaryBeforeItsReplaceAndEveryFileAfter) {
  Sandbox sandbox;
  win32::Win32Platform host;
  std::vector<std::string> calls;
  host.InjectFaults([&](const char* call) -> DWORD {
    calls.push_back(call);
    return 0;
  });
  HostError error;
  std::vector<StageId> ids;
  for (const wchar_t* name : {L"a.dll", L"b.dll"}) {
    sandbox.Write(L"update\\" + std::wstring(name), "new");
    sandbox.Write(L"product\\" + std::wstring(name), "old");
    StageId id = 0;
    ASSERT_TRUE(host.StageCopy(sandbox.HostPath(L"update\\" + std::wstring(name)),
                               sandbox.HostPath(L"product\\" + std::wstring(name)), id, error));
    ids.push_back(id);
  }
  StageId failed = 0;
  ASSERT_TRUE(host.FlushStaged(failed, error));
  for (const StageId id : ids) ASSERT_TRUE(host.CommitStaged(id, error));
  ASSERT_TRUE(host.SyncCommitted(error)) << Utf8(error.description);
  std::string order;  // F: a flush, R: a replace
  for (const std::string& call : calls) {
    if (call == "FlushFileBuffers") order += 'F';
    if (call == "ReplaceFileW" || call == "MoveFileExW") order += 'R';
  }
  EXPECT_EQ(order, "FFRRFF");
  if (RealWindowsRow("the pass's flushes reach an NTFS volume")) {
    wchar_t fileSystem[MAX_PATH + 1] = {};
    GetVolumeInformationW(sandbox.HostPath(L"").substr(0, 3).c_str(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                          MAX_PATH);
    EXPECT_EQ(std::wstring(fileSystem), L"NTFS") << "every flush above went to this volume and succeeded";
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

  // A standard user's token, made here as "runas /trustlevel" makes it,
  // decides in the kit's helper: for a folder under C:\Program Files (made
  // by the kit when it is elevated) it asks; for one the user may write, not.
  const std::string asks = "a standard user's token asks for a folder under C:\\Program Files, not for its own";
  if (RealWindowsRow(asks)) {
    const MachineFolder made;
    wchar_t programFiles[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramW6432", programFiles, MAX_PATH);
    const std::wstring machine = made.path().empty() ? programFiles : made.path();
    const std::pair<std::wstring, Elevation> decisions[] = {{machine, Elevation::kRelaunched},
                                                            {sandbox.HostPath(L"product"), Elevation::kNotNeeded}};
    for (const auto& [folder, expected] : decisions) {
      DWORD error = 0;
      const win32::UniqueObject helper = StartHelper(L"decide \"" + folder + L"\"", true, error);
      ASSERT_TRUE(helper) << "no standard user's token here: " << error;
      EXPECT_EQ(ExitStatus(helper), 10ul + static_cast<DWORD>(expected)) << Utf8(folder);
    }
  }
}

}  // namespace
}  // namespace mirrolet::testing
