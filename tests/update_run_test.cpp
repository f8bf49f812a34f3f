// The whole run through the fake host: which boxes, in which order, and how
// the process ends.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

#include "fake_platform.h"
#include "update/messages.h"
#include "update/update_run.h"

namespace mirrolet {
namespace {

using testing::Box;
using testing::FakePlatform;

const Box kConfirm{kConfirmTitle, kConfirmText, 0x34};
const Box kListMissing{kListMissingTitle, kListMissingText, 0x30};
const Box kDone{kDoneTitle, kDoneText, 0x40};
const Box kNothing{kNothingRegisteredTitle, kNothingRegisteredText, 0x30};

void Register(FakePlatform& host, const std::string& key, const std::string& path) {
  host.registry[key]["WorkPath"] = {kRegSz, path + std::string(1, '\0')};
}

struct Pass {
  std::wstring workPath;
  std::wstring appFolder;
};

TEST(UpdateRun, BoxesAndExitFollowWhatIsRegisteredAndAnswered) {
  struct Row {
    const char* name;
    bool halvix, pruvex, list;
    int answer;
    std::vector<Box> boxes;
    unsigned exit;
    int passes;
  };
  const Row rows[] = {
      {"nothing registered, Yes", false, false, true, kIdYes, {kConfirm, kNothing}, kExitNothingFound, 0},
      {"nothing registered, No", false, false, true, kIdNo, {kConfirm}, kExitDeclined, 0},
      {"Halvix only, no list", true, false, false, kIdYes, {kConfirm, kListMissing, kDone}, kExitListMissing, 0},
      {"Pruvex only, list", false, true, true, kIdYes, {kConfirm, kDone}, kExitDone, 1},
      {"both, no list", true, true, false, kIdYes, {kConfirm, kListMissing, kListMissing, kDone}, kExitListMissing, 0},
      {"both, list", true, true, true, kIdYes, {kConfirm, kDone}, kExitDone, 2},
      {"both, No", true, true, true, kIdNo, {kConfirm}, kExitDeclined, 0},
      // Only an explicit Yes copies: a box that failed to show (0) or was
      // cancelled must not overwrite product files.
      {"box could not be shown", true, true, true, 0, {kConfirm}, kExitDeclined, 0},
      {"cancelled", true, false, true, 2, {kConfirm}, kExitDeclined, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakePlatform host;
    if (row.halvix) Register(host, "Software\\Varnholt\\Halvix", "C:\\Halvix");
    if (row.pruvex) Register(host, "Software\\Varnholt\\Pruvex", "D:\\Pruvex\\");
    if (row.list) host.files.insert(L"C:\\Update\\mirrolet.ini");
    host.answers = {row.answer};
    std::vector<Pass> passes;
    Main(host, [&](Platform&, const std::wstring& workPath, const std::wstring& appFolder) {
      passes.push_back({workPath, appFolder});
    });
    EXPECT_EQ(host.boxes, row.boxes);
    EXPECT_EQ(host.exits, std::vector<unsigned>{row.exit});
    EXPECT_EQ(static_cast<int>(passes.size()), row.passes);
    EXPECT_EQ(host.openKeys, 0);
  }
}

// Whatever goes wrong reaches the user as the failure report and exit 4:
// never an abort, never a search of the root of the drive.
TEST(UpdateRun, EveryFailureEndsInTheReport) {
  struct Row {
    const char* name;
    std::wstring executableFolder;
    std::function<void()> pass;
    std::vector<std::wstring> boxTitles;
    std::wstring reason;
  };
  const Row rows[] = {
      {"program folder unknown", L"", [] {}, {kCopyFailedTitle}, kAppFolderUnknownText},
      {"out of memory in a pass", L"C:\\Update", [] { throw std::bad_alloc(); }, {kConfirmTitle, kCopyFailedTitle},
       kOutOfMemoryText},
      {"anything else in a pass", L"C:\\Update", [] { throw std::runtime_error("odd"); },
       {kConfirmTitle, kCopyFailedTitle}, L"odd"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakePlatform host;
    Register(host, "Software\\Varnholt\\Halvix", "C:\\Halvix");
    host.files.insert(L"C:\\Update\\mirrolet.ini");
    host.executableFolder = row.executableFolder;
    host.answers = {kIdYes};
    Main(host, [&](Platform&, const std::wstring&, const std::wstring&) { row.pass(); });
    std::vector<std::wstring> titles;
    for (const Box& box : host.boxes) titles.push_back(box.title);
    EXPECT_EQ(titles, row.boxTitles);
    EXPECT_NE(host.boxes.back().text.find(L"原因：" + row.reason), std::wstring::npos) << testing::Utf8(host.boxes.back().text);
    EXPECT_EQ(host.exits, std::vector<unsigned>{kExitCopyFailed});
    EXPECT_EQ(host.calls.end(), std::find(host.calls.begin(), host.calls.end(), "find \\mirrolet.ini"));
  }
}

TEST(UpdateRun, LooksUpBothProductsBeforeAskingAndPassesHalvixFirst) {
  FakePlatform host;
  Register(host, "Software\\Varnholt\\Halvix", "C:\\Halvix");
  Register(host, "Software\\Varnholt\\Pruvex", "D:\\Pruvex\\");
  host.files.insert(L"C:\\Update\\mirrolet.ini");
  host.answers = {kIdYes};
  std::vector<Pass> passes;
  Main(host, [&](Platform&, const std::wstring& workPath, const std::wstring& appFolder) {
    passes.push_back({workPath, appFolder});
  });
  // One "\" is added where missing and never doubled.
  ASSERT_EQ(passes.size(), 2u);
  EXPECT_EQ(passes[0].workPath, L"C:\\Halvix\\");
  EXPECT_EQ(passes[1].workPath, L"D:\\Pruvex\\");
  EXPECT_EQ(passes[0].appFolder, L"C:\\Update\\");
  const auto confirm = std::find(host.calls.begin(), host.calls.end(), "box " + testing::Utf8(kConfirmTitle));
  const std::vector<std::string> lookups(host.calls.begin(), confirm);
  EXPECT_EQ(lookups, (std::vector<std::string>{
                         "open Software\\Varnholt\\Halvix", "query-size WorkPath", "query-data WorkPath",
                         "close Software\\Varnholt\\Halvix", "open Software\\Varnholt\\Pruvex",
                         "query-size WorkPath", "query-data WorkPath", "close Software\\Varnholt\\Pruvex"}));
}

TEST(UpdateRun, ProgramFolderGetsExactlyOneTrailingBackslash) {
  for (const auto& [folder, expected] : std::vector<std::pair<std::wstring, std::wstring>>{
           {L"C:\\Update", L"C:\\Update\\"}, {L"E:\\", L"E:\\"}, {L"\\\\server\\share\\upd", L"\\\\server\\share\\upd\\"}}) {
    FakePlatform host;
    host.executableFolder = folder;
    EXPECT_EQ(GetAppFolder(host), expected);
  }
  // A drive root: the copy list is looked for directly in it.
  FakePlatform host;
  host.executableFolder = L"E:\\";
  Register(host, "Software\\Varnholt\\Halvix", "C:\\Halvix");
  host.answers = {kIdYes};
  Main(host, [](Platform&, const std::wstring&, const std::wstring&) {});
  EXPECT_NE(std::find(host.calls.begin(), host.calls.end(), "find E:\\mirrolet.ini"), host.calls.end());
}

}  // namespace
}  // namespace mirrolet
