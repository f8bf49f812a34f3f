// Whole runs of the logic on the fake host, from tests/data/fake_runs.txt:
// which boxes in which order, what was copied, which host calls were made in
// which order, and how the run ends. And the placeholder expansion on its own.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "fake_platform.h"
#include "test_support.h"
#include "update/copy_list.h"
#include "update/messages.h"
#include "update/update_run.h"

namespace mirrolet::testing {
namespace {

TEST(ExpandAppPath, ReplacesEveryExactPlaceholderOnceAndNumbersEntries) {
  const std::wstring work = L"C:\\Halvix\\";
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$a.dll", work), L"C:\\Halvix\\a.dll");
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$x\\$APPPATH$y", work), L"C:\\Halvix\\x\\C:\\Halvix\\y");
  EXPECT_EQ(ExpandAppPath(L"$apppath$a.dll", work), L"$apppath$a.dll");
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$", work), work);
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$APPPATH$", work), L"C:\\Halvix\\APPPATH$");
  EXPECT_EQ(ExpandAppPath(L"D:\\fixed.txt", work), L"D:\\fixed.txt");
  // The inserted work path is not scanned again.
  EXPECT_EQ(ExpandAppPath(L"$APPPATH$.", L"$APPPATH$"), L"$APPPATH$.");
  // Entry numbers are padded to three digits and never cut.
  for (const auto& [entry, suffix] : {std::pair{1, L"001"}, {42, L"042"}, {999, L"999"}, {1000, L"1000"}}) {
    EXPECT_EQ(EntrySuffix(entry), suffix);
  }
}

// The host's calls that a check looks at: "calls" all of them, "reads" the
// profile reads, "steps" the copy steps, shortened to the verb and the last
// part of the first path ("stage C:\Update\a -> C:\Halvix\a" becomes "stage a").
std::vector<std::string> Calls(const std::vector<std::string>& calls, const std::string& check) {
  const std::string verbs = check == "steps" ? " stage flush commit discard sync " : " int string ";
  std::vector<std::string> chosen;
  for (const std::string& call : calls) {
    const std::string verb = call.substr(0, call.find(' ')), path = Split(call, " -> ").first;
    if (check == "calls") {
      chosen.push_back(call);
    } else if (verbs.find(" " + verb + " ") == std::string::npos) {
      continue;
    } else {
      chosen.push_back(check == "reads" || verb == path ? call : verb + " " + path.substr(path.find_last_of('\\') + 1));
    }
  }
  return chosen;
}

class FakeRun : public ::testing::TestWithParam<Case> {};

TEST_P(FakeRun, Runs) {
  FakePlatform host;
  const std::string list = "C:\\Update\\mirrolet.ini";
  std::map<std::string, std::string> expected{{"boxes", ""}, {"passes", ""}, {"copies", ""}};
  std::vector<FileHolder> holders;
  std::string throws;
  for (const auto& [key, value] : GetParam().lines) {
    const auto [left, right] = Split(value, key == "error" ? " " : " = ");
    if (key == "register") {
      host.registry["Software\\Varnholt\\" + left]["WorkPath"] = {kRegSz, right + '\0'};
    } else if (key == "folder") {
      host.executableFolder = FromUtf8(value);
    } else if (key == "list") {  // "FILE = COPYTO | ...", "-" for a gap
      host.files.insert(FromUtf8(list));
      const std::vector<std::string> entries = Parts(value, " | ");
      host.profiles[list].clear();
      if (!entries.empty()) host.profiles[list]["MAIN|SUM"] = std::to_string(entries.size());
      for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string suffix = Utf8(EntrySuffix(static_cast<std::int32_t>(i + 1)));
        if (entries[i] == "-") continue;
        host.profiles[list]["MAIN|FILE" + suffix] = Split(entries[i], " = ").first;
        host.profiles[list]["MAIN|COPYTO" + suffix] = Split(entries[i], " = ").second;
      }
    } else if (key == "sum") {  // empty: none
      host.profiles[list]["MAIN|SUM"] = value;
      if (value.empty()) host.profiles[list].erase("MAIN|SUM");
    } else if (key == "unspellable") {
      host.unspellable.insert(FromUtf8(list));
    } else if (key == "fail-stage" || key == "fail-commit") {
      (key == "fail-stage" ? host.failingCopies : host.failingCommits).insert(FromUtf8(value));
    } else if (key == "error") {
      host.copyError = {std::stoul(left), FromUtf8(right)};
    } else if (key == "holders") {
      for (const std::string& holder : Parts(value, ", ")) {
        holders.push_back({FromUtf8(Split(holder, " ").first), std::stoul(Split(holder, " ").second)});
      }
    } else if (key == "answers") {
      for (const std::string& word : Parts(value, " ")) {
        host.answers.push_back(word == "yes" ? kIdYes : word == "no" ? kIdNo : std::stoi(word));
      }
    } else if (key == "throw") {
      throws = value;
    } else {
      const std::string checks = " boxes report passes copies exit steps reads calls ";
      EXPECT_NE(checks.find(" " + key + " "), std::string::npos) << "unknown directive " << key;
      expected[key] = value;
    }
  }
  for (const std::wstring& path : host.failingCopies) host.holders[path] = holders;

  std::vector<std::string> passes;
  Main(host, [&](Platform& platform, const std::wstring& workPath, const std::wstring& appFolder) {
    passes.push_back(Utf8(appFolder) + " -> " + Utf8(workPath));
    if (throws == "bad_alloc") throw std::bad_alloc();
    if (!throws.empty()) throw std::runtime_error(throws);
    ProcessCopyList(platform, workPath, appFolder);
  });

  std::vector<Box> boxes = host.boxes;
  if (expected.contains("report")) {  // the last box, its text ending with these lines
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().title, kCopyFailedTitle);
    EXPECT_EQ(boxes.back().style, 0x10u);
    std::string tail;
    for (const std::string& line : Parts(expected["report"], " | ")) tail += (tail.empty() ? "" : "\n") + line;
    EXPECT_TRUE(Utf8(boxes.back().text).ends_with(tail)) << Utf8(boxes.back().text);
    boxes.pop_back();
  }
  const std::map<std::string, Box> kinds{{"confirm", {kConfirmTitle, kConfirmText, 0x34}},
                                         {"list-missing", {kListMissingTitle, kListMissingText, 0x30}},
                                         {"done", {kDoneTitle, kDoneText, 0x40}},
                                         {"nothing", {kNothingRegisteredTitle, kNothingRegisteredText, 0x30}}};
  std::vector<Box> wanted;
  for (const std::string& kind : Parts(expected["boxes"], " ")) wanted.push_back(kinds.at(kind));
  EXPECT_EQ(boxes, wanted);
  ASSERT_TRUE(expected.contains("exit"));
  EXPECT_EQ(host.exits, std::vector<unsigned>{static_cast<unsigned>(std::stoul(expected["exit"]))});
  std::vector<std::string> copies;
  for (const auto& [source, destination] : host.copies) copies.push_back(Utf8(source) + " -> " + Utf8(destination));
  EXPECT_EQ(copies, Parts(expected["copies"], ", "));
  EXPECT_EQ(passes, Parts(expected["passes"], ", "));
  for (const char* check : {"steps", "reads", "calls"}) {
    if (!expected.contains(check)) continue;
    EXPECT_EQ(Calls(host.calls, check), Parts(expected[check], ", ")) << check;
  }
  EXPECT_EQ(host.openKeys, 0) << "a key left open";
}

INSTANTIATE_TEST_SUITE_P(FakeRun, FakeRun, ::testing::ValuesIn(ReadCases(FAKE_RUNS_FILE)), CaseName);

}  // namespace
}  // namespace mirrolet::testing
