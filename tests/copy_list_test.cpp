// Reading the copy list and copying its entries, through the fake host.
#include <gtest/gtest.h>

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

TEST(ProcessCopyList, ReadsSourceThenDestinationThenCopiesEachEntryInTurn) {
  FakePlatform host;
  host.profiles[kList]["MAIN|SUM"] = "2";
  Entry(host, "001", "a.dll", "$APPPATH$a.dll");
  Entry(host, "002", "$APPPATH$b.txt", "D:\\b.txt");  // the source is never expanded
  ProcessCopyList(host, L"C:\\Halvix\\", L"C:\\Update\\");
  EXPECT_EQ(host.calls, (std::vector<std::string>{
                            "int SUM",
                            "string FILE001", "string COPYTO001", "copy C:\\Update\\a.dll -> C:\\Halvix\\a.dll",
                            "string FILE002", "string COPYTO002", "copy C:\\Update\\$APPPATH$b.txt -> D:\\b.txt"}));
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
  EXPECT_EQ(host.calls.back(), "copy C:\\Update\\ -> ");
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
}

TEST(ProcessCopyList, ACopyThatFailsStopsEverythingAfterIt) {
  FakePlatform host;
  RegisterBothWithList(host);
  host.profiles[kList]["MAIN|SUM"] = "3";
  Entry(host, "001", "a.dll", "$APPPATH$a.dll");
  Entry(host, "002", "b.dll", "$APPPATH$");  // the product folder itself
  Entry(host, "003", "c.dll", "$APPPATH$c.dll");
  host.failingCopies.insert(L"C:\\Halvix\\");
  Main(host);
  EXPECT_EQ(host.copies.size(), 1u);  // no entry 3, no Pruvex pass
  ASSERT_EQ(host.boxes.size(), 2u);   // no outcome box either
  EXPECT_EQ(host.boxes[1].title, L"自動更新失敗");
  EXPECT_EQ(host.boxes[1].style, 0x10u);
  for (const wchar_t* part : {L"Halvix", L"第 2 項，共 3 項", L"C:\\Update\\b.dll", L"C:\\Halvix\\", L"Access is denied."}) {
    EXPECT_NE(host.boxes[1].text.find(part), std::wstring::npos) << testing::Utf8(part);
  }
  EXPECT_EQ(host.exits, std::vector<unsigned>{kExitCopyFailed});
}

}  // namespace
}  // namespace mirrolet
