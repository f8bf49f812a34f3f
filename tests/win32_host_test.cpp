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
#include <optional>
#include <string_view>
#include <thread>

#include "fake_platform.h"
#include "host_fixture.h"
#include "base/name_fold.h"
#include "platform/win32/run_files.h"
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
