#include "case_vocabulary.h"

#include <map>

#include "update/copy_list.h"
#include "update/messages.h"

namespace mirrolet::testing {

namespace {

// Whether the file `driver` reads has the directive `name`. What each means is
// said at the top of each file; the ones files share mean the same in all.
bool Reads(const std::string& name, CaseFile driver) {
  std::string names = " like exit ";
  if (driver & (kFakeRuns | kScenarios)) names += "register entries box report hold ";
  if (driver & (kScenarios | kPackCases)) names += "only list fifo ";
  if (driver & kFakeRuns) {
    names += "program-folder sum unspellable fail-stage fail-commit fail-flush in-use missing-folder foreign-code-page "
             "elevation error holders throw passes copies steps reads lookups order ";
  }
  if (driver & kScenarios) {
    names += "update folder file hidden running locale pack bundle payload swap planted link asked after gone only-files ";
  }
  if (driver & kPackCases) {
    names += "hidden-list beside files no-program finds sources allow strict exe exclude left-out tree out-holds-a-file "
             "refusals shipped link list-size ";
  }
  return names.find(" " + name + " ") != std::string::npos;
}

}  // namespace

std::vector<Case> ReadCaseFile(const std::filesystem::path& file, CaseFile driver) {
  std::vector<Case> cases = ReadCases(file);
  for (Case& test : cases) {
    for (const auto& [key, value] : test.lines) {
      EXPECT_TRUE(Reads(key, driver)) << file.filename().string() << ", " << test.name << ": no directive \"" << key << "\" here";
    }
  }
  return cases;
}

std::optional<Registration> ParseRegistration(const std::string& argument) {
  const auto [head, path] = Split(argument, " = ");
  const std::vector<std::string> words = Parts(head, " ");
  if (words.empty()) return std::nullopt;
  Registration registration{words[0], path.empty() ? std::nullopt : std::optional(path)};
  for (std::size_t i = 1; i < words.size(); ++i) {
    EXPECT_TRUE(words[i] == "32" || words[i] == "\\") << "register: " << argument;
    registration.view32 |= words[i] == "32";
    registration.slash |= words[i] == "\\";
  }
  return registration;
}

std::vector<std::optional<std::pair<std::string, std::string>>> ParseEntries(const std::string& argument) {
  std::vector<std::optional<std::pair<std::string, std::string>>> entries;
  for (const std::string& entry : Parts(argument, " | ")) {
    if (entry == "-") {
      entries.emplace_back();
    } else {
      entries.emplace_back(Split(entry, " = "));
    }
  }
  return entries;
}

std::string EntriesListText(const std::string& argument) {
  const auto entries = ParseEntries(argument);
  std::string text = "[MAIN]\r\nSUM=" + std::to_string(entries.size()) + "\r\n";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i]) continue;
    const std::string suffix = Utf8(EntrySuffix(static_cast<std::int32_t>(i + 1)));
    text += "FILE" + suffix + "=" + entries[i]->first + "\r\nCOPYTO" + suffix + "=" + entries[i]->second + "\r\n";
  }
  return text;
}

bool BoxScript::Take(const std::string& directive, const std::string& argument) {
  if (directive == "report") {
    boxes.push_back({"report", argument});
    answers.push_back("ok");
    return true;
  }
  if (directive != "box") return false;
  const std::vector<std::string> words = Parts(argument, " ");
  EXPECT_FALSE(words.empty()) << "a box without its kind";
  if (words.empty()) return true;
  boxes.push_back({words[0], ""});
  answers.insert(answers.end(), words.begin() + 1, words.end());
  if (words.size() == 1) answers.push_back("ok");
  return true;
}

void ExpectBoxes(const std::vector<ShownBox>& shown, const BoxScript& script,
                 const std::function<std::string(const std::string&)>& expand) {
  struct Kind {
    const wchar_t* title;
    const wchar_t* text;  // null: a report, checked by its parts
    unsigned style;
  };
  const std::map<std::string, Kind> kinds{{"confirm", {kConfirmTitle, kConfirmText, 0x34}},
                                          {"list-missing", {kListMissingTitle, kListMissingText, 0x30}},
                                          {"done", {kDoneTitle, kDoneText, 0x40}},
                                          {"nothing", {kNothingRegisteredTitle, kNothingRegisteredText, 0x30}},
                                          {"report", {kCopyFailedTitle, nullptr, 0x10}}};
  ASSERT_EQ(shown.size(), script.boxes.size()) << "boxes shown";
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const auto kind = kinds.find(script.boxes[i].kind);
    ASSERT_NE(kind, kinds.end()) << "no box kind " << script.boxes[i].kind;
    const ShownBox& box = shown[i];
    SCOPED_TRACE("box " + std::to_string(i + 1) + ": " + Utf8(box.text));
    EXPECT_EQ(box.title, kind->second.title);
    EXPECT_EQ(box.yesNo, kind->first == "confirm");
    if (box.style) {
      EXPECT_EQ(*box.style, kind->second.style);
    }
    if (kind->second.text) {
      EXPECT_EQ(box.text, kind->second.text);
      continue;
    }
    // A report holds each of its parts, in order.
    std::size_t at = 0;
    for (const std::string& part : Parts(expand ? expand(script.boxes[i].parts) : script.boxes[i].parts, " | ")) {
      const std::size_t found = box.text.find(FromUtf8(part), at);
      EXPECT_NE(found, std::wstring::npos) << "missing, or out of order: " << part;
      if (found != std::wstring::npos) at = found + 1;
    }
  }
}

}  // namespace mirrolet::testing
