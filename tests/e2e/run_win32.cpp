// Whole runs of MirroletV2.exe: the registry's own keys, its boxes answered
// by pressing their buttons.
#include <gtest/gtest.h>

#include <windows.h>

#include "box_driver.h"
#include "host_fixture.h"
#include "program_under_test.h"

namespace mirrolet::testing {

std::filesystem::path ProgramUnderTest() { return e2e::ProgramUnderTest(); }

std::string SystemCodePage(const std::wstring& text) {
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

long MakeSpecial(const std::string& kind, const std::filesystem::path&) {
  ADD_FAILURE() << kind << " is for Linux scenarios";
  return 0;
}

void StopSpecial(long) {}

bool MakeLink(const std::filesystem::path&, const std::filesystem::path&, long) {
  ADD_FAILURE() << "link is for Linux scenarios";
  return false;
}

RunResult RunProgram(const std::filesystem::path& program, const Sandbox& sandbox, const std::vector<std::string>& answers,
                     const std::string&, const std::function<void()>& whileAsked) {
  // The run's temporary folder, for its child only: the sandboxes live in ours.
  wchar_t ours[MAX_PATH + 1] = {};
  GetEnvironmentVariableW(L"TMP", ours, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", sandbox.Native(L"tmp").c_str());
  // A DLL planted beside the program is loaded as Windows would load it, not
  // in place of Wine's builtin one (Wine's per-program setting; on Windows
  // the key means nothing).
  const bool planted = std::filesystem::exists(program.parent_path() / "uxtheme.dll");
  const wchar_t* overrides = L"Software\\Wine\\AppDefaults\\MirroletV2.exe\\DllOverrides";
  if (planted) RegSetKeyValueW(HKEY_CURRENT_USER, overrides, L"uxtheme", REG_SZ, L"native,builtin", sizeof L"native,builtin");
  std::vector<int> buttons;
  for (const std::string& answer : answers) buttons.push_back(answer == "yes" ? IDYES : answer == "no" ? IDNO : IDOK);
  const e2e::Session session =
      e2e::RunAndAnswer(program.wstring(), program.parent_path().wstring(), buttons, L"", 30000, [&](std::size_t box) {
        if (box == 0 && whileAsked) whileAsked();
      });
  SetEnvironmentVariableW(L"TMP", *ours ? ours : nullptr);
  if (planted) RegDeleteKeyValueW(HKEY_CURRENT_USER, overrides, L"uxtheme");
  RunResult result;
  for (const e2e::SeenBox& box : session.boxes) {
    EXPECT_TRUE(box.icon) << "a box without its icon";
    const bool yesNo = box.buttons == std::vector<int>{IDYES, IDNO};
    EXPECT_TRUE(yesNo || box.buttons == std::vector<int>{IDOK}) << "a box with other buttons";
    result.boxes.push_back({box.title, box.text, yesNo, 1});
  }
  EXPECT_FALSE(session.unexpectedBox) << "a box the scenario does not answer";
  result.exitCode = session.exitCode;
  result.finished = !session.timedOut;
  result.transcript = e2e::Transcript(session);
  return result;
}

}  // namespace mirrolet::testing
