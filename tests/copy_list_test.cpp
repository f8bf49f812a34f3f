// Reading the copy list and copying its entries, through the fake host.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "fake_platform.h"
#include "update/copy_list.h"
#include "update/update_run.h"

namespace mirrolet {
namespace {

using testing::FakePlatform;

constexpr char kList[] = "C:\\Update\\mirrolet.ini";

void Entry(FakePlatform& host, const std::string& suffix, const std::string& file, const std::string& copyTo) {
  host.profiles[kList]["MAIN|FILE" + suffix] = file;
  host.profiles[kList]["MAIN|COPYTO" + suffix] = copyTo;
}

void RegisterBothWithList(FakePlatform& host) {
  host.registry["Software\\Varnholt\\Halvix"]["WorkPath"] = {kRegSz, std::string("C:\\Halvix\0", 10)};
  host.registry["Software\\Varnholt\\Pruvex"]["WorkPath"] = {kRegSz, std::string("C:\\Pruvex\0", 10)};
  host.files.insert(L"C:\\Update\\mirrolet.ini");
  host.answers = {kIdYes};
}

TEST(ExpandAppPath, ReplacesEveryExactPlaceholderOnce) {
  const std::wstring work = L"C:\\Halvix\\";
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$a.dll", work), L"C:\\Halvix\\a.dll");
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$x\\$APPPATH$y", work), L"C:\\Halvix\\x\\C:\\Halvix\\y");
  EXPECT_EQ(ExpandAppPath(L"$apppath$a.dll", work), L"$apppath$a.dll");
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$", work), work);
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$APPPATH$", work), L"C:\\Halvix\\APPPATH$");
  EXPECT_EQ(ExpandAppPath(L"D:\\fixed.txt", work), L"D:\\fixed.txt");
  // The inserted work path is not scanned again.
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$.", L"$APPPATH$"), L"$APPPATH$.");
}

TEST(ExpandAppPath, EntrySuffixIsPaddedToThreeDigitsAndNeverCut) {
  EXPECT_EQ(EntrySuffix(1), L"001");
  EXPECT_EQ(EntrySuffix(42), L"042");
  EXPECT_EQ(EntrySuffix(999), L"999");
  EXPECT_EQ(EntrySuffix(1000), L"1000");
}

TEST(ProcessCopyList, CountBelowOneReadsNoEntry) {
  // Absent, zero, negative, and above 2^31-1, which the host's 32 bits make negative.
  for (const char* sum : {"", "0", "4294967295", "2147483648"}) {
    SCOPED_TRACE(sum);
    FakePlatform host;
    if (*sum) host.profiles[kList]["MAIN|SUM"] = sum;
    Entry(host, "001", "a.dll", "$APPPATH$a.dll");
    ProcessCopyList(host, L"C:\\Halvix\\", L"C:\\Update\\");
    EXPECT_EQ(host.calls, std::vector<std::string>{"int SUM"});
  }
}

TEST(ProcessCopyList, AMissingEntryFailsAfterTheOnesBeforeItWereCopied) {
  FakePlatform host;
  host.profiles[kList]["MAIN|SUM"] = "5";
  Entry(host, "001", "a.dll", "$APPPATH$a.dll");
  Entry(host, "003", "c.dll", "$APPPATH$c.dll");  // 002 is a gap
  try {
    ProcessCopyList(host, L"C:\\Halvix\\", L"C:\\Update\\");
    FAIL() << "no failure";
  } catch (const CopyFailure& failure) {
    EXPECT_EQ(failure.entry, 2);
    EXPECT_EQ(failure.count, 5);
    EXPECT_EQ(failure.source, L"C:\\Update\\");  // the program folder itself
    EXPECT_EQ(failure.destination, L"");
    EXPECT_FALSE(failure.error.description.empty());
  }
  EXPECT_EQ(host.copies.size(), 1u);
  EXPECT_NE(std::find(host.calls.begin(), host.calls.end(), "stage C:\\Update\\ -> "), host.calls.end());
}

// The staged copies of a pass: what is flushed, committed and removed, in
// which order, and which entry a failure names.
TEST(ProcessCopyList, StagesThePassThenCommitsInOrder) {
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> entries;  // FILE, COPYTO
    std::set<std::wstring> failingStages, failingCommits;
    std::vector<std::string> steps;  // the host's copy calls, without the paths' folders
    std::int32_t failedEntry;        // 0: no failure
  };
  const Row rows[] = {
      {"all staged, one flush, commits in list order; a source is never expanded",
       {{"a", "$APPPATH$a"}, {"$APPPATH$b", "D:\\b"}},
       {}, {},
       {"stage a", "stage $APPPATH$b", "flush", "commit a", "commit b", "sync"}, 0},
      {"a failed stage commits the entries before it",
       {{"a", "$APPPATH$a"}, {"b", "$APPPATH$b"}, {"c", "$APPPATH$c"}},
       {L"C:\\Halvix\\b"}, {},
       {"stage a", "stage b", "flush", "commit a", "sync"}, 2},
      {"a failed commit removes it and everything after it",
       {{"a", "$APPPATH$a"}, {"b", "$APPPATH$b"}, {"c", "$APPPATH$c"}},
       {}, {L"C:\\Halvix\\b"},
       {"stage a", "stage b", "stage c", "flush", "commit a", "commit b", "sync", "discard b", "discard c"}, 2},
      {"a source staged earlier in the pass is committed before it is read",
       {{"a", "$APPPATH$a"}, {"..\\Halvix\\a", "$APPPATH$b"}},
       {}, {},
       {"stage a", "flush", "commit a", "sync", "stage a", "flush", "commit b", "sync"}, 0},
      {"the same destination twice: the later one lands last",
       {{"a", "$APPPATH$x"}, {"b", "$APPPATH$x"}},
       {}, {},
       {"stage a", "stage b", "flush", "commit x", "commit x", "sync"}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakePlatform host;
    host.profiles[kList]["MAIN|SUM"] = std::to_string(row.entries.size());
    for (std::size_t i = 0; i < row.entries.size(); ++i) {
      Entry(host, testing::Utf8(EntrySuffix(static_cast<std::int32_t>(i + 1))), row.entries[i].first, row.entries[i].second);
    }
    host.failingCopies = row.failingStages;
    host.failingCommits = row.failingCommits;
    std::int32_t failed = 0;
    try {
      ProcessCopyList(host, L"C:\\Halvix\\", L"C:\\Update\\");
    } catch (const CopyFailure& failure) {
      failed = failure.entry;
    }
    std::vector<std::string> steps;
    for (const std::string& call : host.calls) {
      // "stage C:\Update\a -> C:\Halvix\a" becomes "stage a"; "commit C:\Halvix\a" becomes "commit a".
      const std::string verb = call.substr(0, call.find(' '));
      if (verb != "stage" && verb != "flush" && verb != "commit" && verb != "discard" && verb != "sync") continue;
      const std::string path = call.substr(0, call.find(" -> "));
      steps.push_back(verb == path ? verb : verb + " " + path.substr(path.find_last_of('\\') + 1));
    }
    EXPECT_EQ(steps, row.steps);
    EXPECT_EQ(failed, row.failedEntry);
  }
}

TEST(ProcessCopyList, AListTheProfileCallsCannotSpellIsAFailureNotAnEmptyList) {
  FakePlatform host;
  host.unspellable.insert(L"C:\\Update\\mirrolet.ini");
  host.profiles[kList]["MAIN|SUM"] = "1";
  Entry(host, "001", "a.dll", "$APPPATH$a.dll");
  EXPECT_THROW(ProcessCopyList(host, L"C:\\Halvix\\", L"C:\\Update\\"), CopyFailure);
  EXPECT_TRUE(host.calls.empty());
}

TEST(ProcessCopyList, BothProductsGetTheWholeListHalvixFirst) {
  FakePlatform host;
  RegisterBothWithList(host);
  host.profiles[kList]["MAIN|SUM"] = "2";
  Entry(host, "001", "a.dll", "$APPPATH$a.dll");
  Entry(host, "002", "shared.txt", "C:\\Common\\shared.txt");
  Main(host);
  using Copy = std::pair<std::wstring, std::wstring>;
  EXPECT_EQ(host.copies, (std::vector<Copy>{{L"C:\\Update\\a.dll", L"C:\\Halvix\\a.dll"},
                                            {L"C:\\Update\\shared.txt", L"C:\\Common\\shared.txt"},
                                            {L"C:\\Update\\a.dll", L"C:\\Pruvex\\a.dll"},
                                            {L"C:\\Update\\shared.txt", L"C:\\Common\\shared.txt"}}));
  EXPECT_EQ(host.exits, std::vector<unsigned>{kExitDone});
  // The Halvix pass is in place and synced before the Pruvex pass stages anything.
  const auto pruvex = std::find(host.calls.begin(), host.calls.end(), "stage C:\\Update\\a.dll -> C:\\Pruvex\\a.dll");
  EXPECT_NE(std::find(host.calls.begin(), pruvex, "sync"), pruvex);
}

TEST(ProcessCopyList, ACopyThatFailsStopsEverythingAfterItWithAReportThatAdvises) {
  const std::vector<FileHolder> one{{L"halvix.exe", 4242}};
  const std::vector<FileHolder> six{{L"a", 1}, {L"b", 2}, {L"c", 3}, {L"d", 4}, {L"e", 5}, {L"f", 6}};
  struct Row {
    unsigned long code;
    std::vector<FileHolder> holders;  // who holds the destination
    std::wstring tail;                // the report from its reason on
    const char* copyTo = "$APPPATH$b.dll";
  };
  const Row rows[] = {
      {5, {}, L"原因：R\n建議：請在本程式上按右鍵，選擇「以系統管理員身分執行」，再更新一次。"},
      {32, one, L"原因：R\n建議：請先關閉正在使用此檔案的程式，再更新一次。\n使用中的程式：halvix.exe（PID 4242）"},
      {33, {}, L"原因：R\n建議：請先關閉正在使用此檔案的程式，再更新一次。"},
      {1224, six, L"原因：R\n建議：請先關閉正在使用此檔案的程式，再更新一次。\n"
                  L"使用中的程式：a（PID 1），b（PID 2），c（PID 3），d（PID 4），e（PID 5）等"},
      {3, {}, L"原因：R\n建議：此產品的安裝資料夾中沒有這個資料夾，這份更新可能不適用於此版本。"},
      {2, {}, L"原因：R\n建議：更新資料夾中缺少這個檔案，請重新取得完整的更新檔案。"},
      {39, {}, L"原因：R\n建議：磁碟空間不足，請騰出空間後再更新一次。"},
      {112, {}, L"原因：R\n建議：磁碟空間不足，請騰出空間後再更新一次。"},
      {1113, {}, L"原因：R\n建議：請將更新資料夾移到較簡單的路徑（例如 C:\\Update）後再執行。"},
      {31, {}, L"原因：R"},
      {5, one, L"原因：R\n建議：請在本程式上按右鍵，選擇「以系統管理員身分執行」，再更新一次。"},  // not in use: no one asked
      {5, {}, L"原因：R", "$APPPATH$"},  // the product folder itself: the list is at fault
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    FakePlatform host;
    RegisterBothWithList(host);
    host.profiles[kList]["MAIN|SUM"] = "3";
    Entry(host, "001", "a.dll", "$APPPATH$a.dll");
    Entry(host, "002", "b.dll", row.copyTo);
    Entry(host, "003", "c.dll", "$APPPATH$c.dll");
    const std::wstring destination = ExpandAppPath(host.FromAnsi(row.copyTo), L"C:\\Halvix\\");
    host.failingCopies.insert(destination);
    host.copyError = {row.code, L"R"};
    host.holders[destination] = row.holders;
    Main(host);
    EXPECT_EQ(host.copies.size(), 1u);  // no entry 3, no Pruvex pass
    ASSERT_EQ(host.boxes.size(), 2u);   // no outcome box either
    EXPECT_EQ(host.boxes[1].title, L"自動更新失敗");
    EXPECT_EQ(host.boxes[1].style, 0x10u);
    const std::wstring& text = host.boxes[1].text;
    for (const std::wstring& part : {std::wstring(L"Halvix"), std::wstring(L"第 2 項，共 3 項\n來源：C:\\Update\\b.dll"),
                                     L"目的地：" + destination + L"\n"}) {
      EXPECT_NE(text.find(part), std::wstring::npos) << testing::Utf8(part);
    }
    EXPECT_EQ(text.substr(text.find(L"原因：")), row.tail) << testing::Utf8(text);
    EXPECT_EQ(host.exits, std::vector<unsigned>{kExitCopyFailed});
  }
}

}  // namespace
}  // namespace mirrolet
