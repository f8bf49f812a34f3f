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

TEST(Win32Host, AReplaceThatFailsPartWayNeverLosesTheFile) {
  struct Row {
    const char* name;
    std::map<std::string, std::vector<DWORD>> faults;  // call -> its 1st, 2nd, ... result (0: as Windows does)
    bool existing;        // the product holds the file before
    const char* outcome;  // "old" (absent when new), "new", or "kept" beside the destination
  };
  const Row rows[] = {
      {"the replacement cannot be renamed", {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT}}}, true, "old"},
      {"the old file moved away and back", {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}}}, true, "old"},
      {"moving it back fails once", {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}}, {"MoveFileExW", {32}}},
       true, "old"},
      {"it never moves back: the new one goes in",
       {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}}, {"MoveFileExW", {32, 32, 32}}}, true, "new"},
      {"nothing moves at all: the new one is kept",
       {{"ReplaceFileW", {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2}}, {"MoveFileExW", {32, 32, 32, 32, 32, 32}}}, true,
       "kept"},
      {"the destination is in use", {{"ReplaceFileW", {ERROR_SHARING_VIOLATION}}}, true, "old"},
      {"the flush fails", {{"FlushFileBuffers", {ERROR_IO_DEVICE}}}, true, "old"},
      {"the source cannot be opened", {{"CreateFileW", {ERROR_SHARING_VIOLATION}}}, true, "old"},
      {"the temporary cannot be made", {{"CreateFileW", {0, ERROR_DISK_FULL}}}, true, "old"},
      {"a new file cannot be moved in", {{"MoveFileExW", {ERROR_ACCESS_DENIED}}}, false, "old"},
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
    HostError error;
    const bool copied =
        host.CopyFileReplacing(sandbox.HostPath(L"update\\a.dll"), sandbox.HostPath(L"product\\a.dll"), error);
    const std::string outcome = row.outcome;
    EXPECT_EQ(copied, outcome == "new");
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

}  // namespace
}  // namespace mirrolet::testing
