// Whole runs of the logic on the fake host, from tests/data/fake_runs.txt:
// which boxes in which order, what was copied, which host calls were made in
// which order, and how the run ends. And the failure report's text.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "case_vocabulary.h"
#include "fake_platform.h"
#include "test_support.h"
#include "update/copy_list.h"
#include "update/messages.h"
#include "update/update_run.h"

namespace mirrolet::testing {
namespace {

// The host's calls that a check looks at: "reads" the profile reads, "lookups"
// the lookups of the list, "steps" the copy steps, shortened to the verb and the
// last part of the first path ("stage C:\Update\a -> C:\Halvix\a" becomes "stage a").
std::vector<std::string> Calls(const std::vector<FakePlatform::Call>& calls, const std::string& check) {
  const std::string verbs = check == "steps" ? " stage flush commit discard sync " : check == "lookups" ? " find " : " int string ";
  std::vector<std::string> chosen;
  for (const FakePlatform::Call& call : calls) {
    if (verbs.find(" " + call.verb + " ") == std::string::npos) continue;
    const std::string last = call.subject.substr(call.subject.find_last_of('\\') + 1);
    chosen.push_back(check != "steps" || call.subject.empty() ? call.Text() : call.verb + " " + last);
  }
  return chosen;
}

// The failure report below its reason: the advice for each kind of reason
// and what the run knows around it, and the programs that hold the file, five
// at most. The fake runs' reports hold the advice for access denied (5), also
// with the rights declined, a file in use (32) with its holder, a path the code
// page cannot spell (1113), a temporary gone while flushed (2), a product
// folder that is gone and a Chinese name read in another code page.
TEST(FailureReport, AdvisesByTheCauseAndNamesWhoHoldsTheFile) {
  struct Row {
    unsigned long code;
    const wchar_t* tail;  // what follows "原因："
    const wchar_t* destination = L"C:\\Halvix\\b.dll";
    unsigned long holders = 0;
    CopyStep step = CopyStep::kStage;
    const wchar_t* keptAs = L"";
    bool readOnly = false;
    bool aboutSource = false;
    const wchar_t* source = L"C:\\Update\\b.dll";
    ReportContext context = {};
    const wchar_t* link = L"";
  };
  const wchar_t* inUse = L"R\n建議：請先關閉正在使用此檔案的程式，再更新一次。";
  const Row rows[] = {
      {33, inUse},
      {1224, L"R\n建議：請先關閉正在使用此檔案的程式，再更新一次。\n使用中的程式：p1（PID 1），p2（PID 2），p3（PID 3），p4（PID 4），p5（PID 5）等",
       L"C:\\Halvix\\b.dll", 6},
      {3, L"R\n建議：此產品的安裝資料夾中沒有這個資料夾，這份更新可能不適用於此版本。"},
      {2, L"R\n建議：更新資料夾中缺少這個檔案，請重新取得完整的更新檔案。"},
      {112, L"R\n建議：磁碟空間不足，請騰出空間後再更新一次。"},
      {39, L"R\n建議：磁碟空間不足，請騰出空間後再更新一次。"},
      {31, L"R"},
      {5, L"R", L"C:\\Halvix\\"},  // the product folder itself as a destination: the list is at fault
      {5, L"R\n建議：請在本程式上按右鍵，選擇「以系統管理員身分執行」，再更新一次。"},
      // The read-only attribute stops administrators too.
      {.code = 5, .tail = L"R\n建議：目的地的檔案設為唯讀，連系統管理員也無法取代它，請洽詢此更新的提供者。", .readOnly = true},
      {.code = 2, .tail = L"R\n建議：更新資料夾中缺少這個檔案，請重新取得完整的更新檔案。", .aboutSource = true,
       .context = {.foreignCodePage = true, .programFolder = L"C:\\Update\\"}},
      // With administrator rights already: security software, not rights.
      {.code = 5, .tail = L"R\n建議：本程式已有系統管理員權限，仍無法寫入（C:\\Halvix）：可能是防毒軟體或「受控制資料夾存取」等安全性軟體封鎖了這個資料夾；請在安全性軟體中允許本程式，再更新一次。",
       .step = CopyStep::kCommit, .context = {.elevated = true}},
      {kErrorSourceChanged, L"來源檔案在複製時被改變。\n建議：請確認沒有其他程式正在寫入更新資料夾，再更新一次。"},
      {kErrorUntrustedLink,
       L"目的地的路徑經過一個連結（C:\\Halvix\\Data），它可能是權限較低的使用者建立的，本程式不會跟隨它。\n"
       L"建議：請確認產品資料夾中的這個連結是否應該存在；若不應存在，請將它刪除後再更新一次。",
       L"C:\\Halvix\\Data\\b.dll", 0, CopyStep::kStage, L"", false, false, L"C:\\Update\\b.dll", {}, L"C:\\Halvix\\Data"},
      // Once staged, a missing file is our own temporary, taken away: no missing source.
      {.code = 3, .tail = L"R\n建議：更新中的暫存檔被其他程式移除了，請確認防毒軟體沒有攔截更新，再更新一次。", .step = CopyStep::kCommit},
      {.code = 1177, .tail = L"R\n注意：目的地的檔案已不在原處，新版本保留為：C:\\Halvix\\b.dll.new", .step = CopyStep::kCommit,
       .keptAs = L"C:\\Halvix\\b.dll.new"},
  };
  for (const Row& row : rows) {
    ReportContext context = row.context;
    context.product = L"Halvix";
    for (unsigned long i = 1; i <= row.holders; ++i) context.holders.push_back({L"p" + std::to_wstring(i), i});
    HostError error(row.code, L"R", row.aboutSource);
    error.keptAs = row.keptAs;
    error.readOnly = row.readOnly;
    error.link = row.link;
    const auto failure = UpdateFailure::Copy({2, 3, row.source, row.destination, row.step, 1}, error);
    const std::wstring text = CopyFailedText(failure, context);
    EXPECT_EQ(Utf8(text.substr(std::min(text.size(), text.find(L"原因：") + 3))), Utf8(row.tail)) << row.code;
  }
}

// The lines above the reason: which files the pass replaced, and a bundle's
// file named by the bundle and its name inside.
TEST(FailureReport, SaysWhichFilesWereReplacedAndWhereTheSourceCameFrom) {
  struct Row {
    std::int32_t replaced;
    const wchar_t* lines;  // from "來源：" up to the reason
    const wchar_t* bundle = L"";
  };
  const Row rows[] = {
      {2, L"來源：C:\\T\\update\\a.dll\n目的地：C:\\Halvix\\a.dll\n狀態：已更新第 1 至 2 項，第 3 項起都沒有變更。\n"},
      // A flush after every commit that failed: all are in place.
      {4, L"來源：C:\\T\\update\\a.dll\n目的地：C:\\Halvix\\a.dll\n狀態：已更新第 1 至 4 項。\n"},
      {0, L"來源：D:\\下載\\MirroletV2.exe 內的 a.dll\n目的地：C:\\Halvix\\a.dll\n狀態：此產品的檔案都沒有變更。\n",
       L"D:\\下載\\MirroletV2.exe"},
  };
  for (const Row& row : rows) {
    const bool carried = *row.bundle != L'\0';
    const ReportContext context{
        .product = L"Halvix", .programFolder = carried ? L"" : L"C:\\T\\update\\", .bundle = row.bundle};
    const auto failure = UpdateFailure::Copy(
        {3, 4, carried ? L"a.dll" : L"C:\\T\\update\\a.dll", L"C:\\Halvix\\a.dll", CopyStep::kCommit, row.replaced},
        {32, L"R"});
    const std::wstring text = CopyFailedText(failure, context);
    const std::size_t from = text.find(L"來源：");
    EXPECT_EQ(Utf8(text.substr(from, text.find(L"原因：") - from)), Utf8(row.lines)) << row.replaced;
  }
  // The program's own file that cannot be read is named, with the one thing that helps.
  const auto unreadable = UpdateFailure::PayloadUnreadable(L"D:\\下載\\Update.exe", {1117, L"R"});
  EXPECT_TRUE(CopyFailedText(unreadable, {}).ends_with(
      L"無法讀取更新檔：D:\\下載\\Update.exe\n原因：R\n建議：請重新下載完整的更新檔，再更新一次。"));
}

class FakeRun : public ::testing::TestWithParam<Case> {};

TEST_P(FakeRun, Runs) {
  FakePlatform host;
  const std::string list = "C:\\Update\\mirrolet.ini";
  std::map<std::string, std::string> expected{{"copies", ""}, {"exit", "0"}};
  bool registered = false;  // without a "register" line, Halvix alone
  BoxScript script;
  std::vector<FileHolder> holders;
  std::vector<std::wstring> heldPaths;  // what `holders` hold: by default the failing destinations
  std::string throws;
  for (const auto& [key, value] : GetParam().lines) {
    const auto [left, right] = Split(value, " ");
    if (script.Take(key, value)) {
      continue;
    } else if (key == "register") {
      if (!std::exchange(registered, true)) host.registry.clear();
      if (const auto product = ParseRegistration(value)) {
        const std::string path = product->path.value_or("C:\\" + product->product) + (product->slash ? "\\" : "");
        host.registry["Software\\Varnholt\\" + product->product]["WorkPath"] = {kRegSz, path + '\0'};
      }
    } else if (key == "program-folder") {
      host.executableFolder = FromUtf8(value);
    } else if (key == "entries") {  // "FILE = COPYTO | ...", "-" for a gap
      host.files.insert(FromUtf8(list));
      const auto entries = ParseEntries(value);
      host.profiles[list].clear();
      if (!entries.empty()) host.profiles[list]["MAIN|SUM"] = std::to_string(entries.size());
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string suffix = Utf8(EntrySuffix(static_cast<std::int32_t>(i + 1)));
        if (!entries[i]) continue;
        host.profiles[list]["MAIN|FILE" + suffix] = entries[i]->first;
        host.profiles[list]["MAIN|COPYTO" + suffix] = entries[i]->second;
      }
    } else if (key == "sum") {  // empty: none
      host.profiles[list]["MAIN|SUM"] = value;
      if (value.empty()) host.profiles[list].erase("MAIN|SUM");
    } else if (key == "unspellable") {
      host.unspellable.insert(FromUtf8(list));
    } else if (key == "fail-stage" || key == "fail-commit" || key == "fail-flush") {
      (key == "fail-stage" ? host.failingCopies : key == "fail-commit" ? host.failingCommits : host.failingFlushes)
          .insert(FromUtf8(value));
    } else if (key == "in-use") {
      host.inUse.insert(FromUtf8(value));
    } else if (key == "missing-folder") {
      host.missingFolders.insert(FromUtf8(value));
    } else if (key == "foreign-code-page") {
      host.foreignCodePage = true;
    } else if (key == "elevation") {  // "relaunched N", "declined", "failed" or "elevated"
      host.elevation = left == "relaunched" ? Elevation::kRelaunched
                       : left == "declined" ? Elevation::kDeclined
                       : left == "elevated" ? Elevation::kElevated
                                            : Elevation::kFailed;
      host.mayElevate = host.elevation != Elevation::kElevated;
      if (!right.empty()) host.elevatedExit = static_cast<unsigned>(std::stoul(right));
    } else if (key == "error") {  // "CODE TEXT", "CODE TEXT | source" for an error about the source
      host.copyError = {std::stoul(left), FromUtf8(Split(right, " | ").first), !Split(right, " | ").second.empty()};
    } else if (key == "hold") {
      heldPaths.push_back(FromUtf8(value));
    } else if (key == "holders") {  // a later line (after "like") replaces an earlier one
      holders.clear();
      for (const std::string& holder : Parts(value, ", ")) {
        holders.push_back({FromUtf8(Split(holder, " ").first), std::stoul(Split(holder, " ").second)});
      }
    } else if (key == "throw") {
      throws = value;
    } else {
      expected[key] = value;  // a check
    }
  }
  if (!registered) host.registry["Software\\Varnholt\\Halvix"]["WorkPath"] = {kRegSz, std::string("C:\\Halvix", 10)};
  if (heldPaths.empty()) heldPaths.assign(host.failingCopies.begin(), host.failingCopies.end());
  for (const std::wstring& path : heldPaths) host.holders[path] = holders;
  for (const std::string& answer : script.answers) {
    host.answers.push_back(answer == "yes" ? kIdYes : answer == "no" ? kIdNo : answer == "ok" ? kIdOk : std::stoi(answer));
  }

  std::vector<std::string> passes;
  Main(host, [&](Platform& platform, const std::wstring& workPath, const UpdateSource& source) {
    passes.push_back(Utf8(source.appFolder) + " -> " + Utf8(workPath));
    if (throws == "bad_alloc") throw std::bad_alloc();
    if (!throws.empty()) throw std::runtime_error(throws);
    ProcessCopyList(platform, workPath, source);
  });

  std::vector<ShownBox> shown;
  for (const Box& box : host.boxes) shown.push_back({box.title, box.text, (box.style & 0x0F) == kMbYesNo, box.style});
  ExpectBoxes(shown, script);
  EXPECT_EQ(host.exits, std::vector<unsigned>{static_cast<unsigned>(std::stoul(expected["exit"]))});
  std::vector<std::string> copies;
  for (const auto& [source, destination] : host.copies) copies.push_back(Utf8(source) + " -> " + Utf8(destination));
  EXPECT_EQ(copies, Parts(expected["copies"], ", "));
  for (const char* check : {"passes", "steps", "reads", "lookups"}) {
    if (!expected.contains(check)) continue;
    EXPECT_EQ(std::string(check) == "passes" ? passes : Calls(host.calls, check), Parts(expected[check], ", ")) << check;
  }
  auto at = host.calls.begin();  // each call of "order" after the one before it
  for (const std::string& call : Parts(expected["order"], ", ")) {
    at = std::find_if(at, host.calls.end(), [&](const FakePlatform::Call& made) { return made.Text() == call; });
    EXPECT_NE(at, host.calls.end()) << call << " missing or out of order";
  }
  EXPECT_EQ(host.openKeys, 0) << "a key left open";
}

INSTANTIATE_TEST_SUITE_P(FakeRun, FakeRun, ::testing::ValuesIn(ReadCaseFile(CasePath("data/fake_runs.txt"), kFakeRuns)), CaseName);

}  // namespace
}  // namespace mirrolet::testing
