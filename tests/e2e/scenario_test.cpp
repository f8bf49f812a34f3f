// MirroletV2.exe as a user meets it: real message boxes answered by pressing
// their buttons, real registry values, real files.
#include <gtest/gtest.h>

#include <windows.h>

#include "box_driver.h"
#include "program_under_test.h"
#include "fake_platform.h"
#include "host_fixture.h"
#include "pack/pack.h"
#include "update/messages.h"

namespace mirrolet::e2e {
namespace {

using testing::Sandbox;
using testing::Utf8;

std::string Ansi(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

void ClearProducts() {
  for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    HKEY software = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | view, &software) == 0) {
      RegDeleteTreeW(software, L"Varnholt");
      RegCloseKey(software);
    }
  }
}

// An update folder holding a copy of the program, and the products' folders.
class Scenario {
 public:
  explicit Scenario(const std::wstring& updateFolder = L"update") : update_(updateFolder) {
    ClearProducts();
    std::filesystem::create_directories(sandbox_.Native(update_));
    std::filesystem::copy_file(ProgramUnderTest(), sandbox_.Native(update_ + L"\\MirroletV2.exe"));
  }
  ~Scenario() { ClearProducts(); }

  // Registers `product` with its folder in the sandbox, in the 64-bit view
  // or, as a 32-bit installer would, in the 32-bit one.
  void Register(const std::wstring& product, bool view32 = false) {
    std::filesystem::create_directories(sandbox_.Native(product));
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Varnholt\\" + product).c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS | (view32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY), nullptr, &key, nullptr);
    const std::wstring path = sandbox_.HostPath(product);
    RegSetValueExW(key, L"WorkPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }

  void UpdateFile(const std::wstring& name, const std::string& content) { sandbox_.Write(update_ + L"\\" + name, content); }
  // The copy list, written in the system code page as the list's authors do.
  void List(const std::wstring& text) { sandbox_.Write(update_ + L"\\mirrolet.ini", Ansi(text)); }

  Session Run(const std::vector<int>& answers) {
    return RunAndAnswer(sandbox_.HostPath(update_ + L"\\MirroletV2.exe"), sandbox_.HostPath(update_), answers);
  }

  const Sandbox& sandbox() const { return sandbox_; }

 private:
  Sandbox sandbox_;
  std::wstring update_;
};

struct Expected {
  const wchar_t* title;
  const wchar_t* text;
  std::vector<int> buttons;
};

const Expected kConfirm{kConfirmTitle, kConfirmText, {IDYES, IDNO}};
const Expected kListMissing{kListMissingTitle, kListMissingText, {IDOK}};
const Expected kDone{kDoneTitle, kDoneText, {IDOK}};
const Expected kNothing{kNothingRegisteredTitle, kNothingRegisteredText, {IDOK}};

void ExpectBoxes(const Session& session, const std::vector<Expected>& expected, unsigned long exitCode) {
  SCOPED_TRACE(Utf8(Transcript(session)));
  ASSERT_FALSE(session.timedOut);
  EXPECT_FALSE(session.unexpectedBox);
  ASSERT_EQ(session.boxes.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(session.boxes[i].title, expected[i].title);
    EXPECT_EQ(session.boxes[i].text, expected[i].text);
    EXPECT_TRUE(session.boxes[i].icon);
    EXPECT_EQ(session.boxes[i].buttons, expected[i].buttons);
  }
  EXPECT_EQ(session.exitCode, exitCode);
}

TEST(Scenario, NothingRegistered) {
  Scenario yes;
  ExpectBoxes(yes.Run({IDYES, IDOK}), {kConfirm, kNothing}, 2);
  Scenario no;
  ExpectBoxes(no.Run({IDNO}), {kConfirm}, 1);
}

TEST(Scenario, NoCopyListWarnsOncePerProductThenReportsDone) {
  Scenario halvix;
  halvix.Register(L"Halvix");
  ExpectBoxes(halvix.Run({IDYES, IDOK, IDOK}), {kConfirm, kListMissing, kDone}, 3);

  Scenario both;
  both.Register(L"Halvix");
  both.Register(L"Pruvex");
  ExpectBoxes(both.Run({IDYES, IDOK, IDOK, IDOK}), {kConfirm, kListMissing, kListMissing, kDone}, 3);
}

TEST(Scenario, AFullListIsCopiedIntoBothProducts) {
  Scenario s;
  s.Register(L"Halvix");
  s.Register(L"Pruvex", /*view32=*/true);  // set up by a 32-bit installer
  std::filesystem::create_directories(s.sandbox().Native(L"Pruvex\\Data"));
  std::filesystem::create_directories(s.sandbox().Native(L"Halvix\\Data"));
  s.sandbox().Write(L"Halvix\\app.dll", "old");
  s.UpdateFile(L"app.dll", "new app");
  s.UpdateFile(L"readme.txt", "read me");
  s.List(L"[MAIN]\r\nSUM=2\r\nFILE001=app.dll\r\nCOPYTO001=$APPPATH$app.dll\r\n"
         L"FILE002=readme.txt\r\nCOPYTO002=$APPPATH$data\\readme.txt\r\n");
  ExpectBoxes(s.Run({IDYES, IDOK}), {kConfirm, kDone}, 0);
  for (const wchar_t* product : {L"Halvix", L"Pruvex"}) {
    EXPECT_EQ(s.sandbox().Read(std::wstring(product) + L"\\app.dll"), "new app");
    EXPECT_EQ(s.sandbox().Read(std::wstring(product) + L"\\Data\\readme.txt"), "read me");
  }
}

TEST(Scenario, DeclinedRunCopiesNothing) {
  Scenario s;
  s.Register(L"Halvix");
  s.UpdateFile(L"app.dll", "new");
  s.List(L"[MAIN]\r\nSUM=1\r\nFILE001=app.dll\r\nCOPYTO001=$APPPATH$app.dll\r\n");
  ExpectBoxes(s.Run({IDNO}), {kConfirm}, 1);
  EXPECT_EQ(s.sandbox().Read(L"Halvix\\app.dll"), "<missing>");
}


void ExpectReport(const Session& session, std::size_t index, const std::vector<std::wstring>& parts) {
  SCOPED_TRACE(Utf8(Transcript(session)));
  ASSERT_GT(session.boxes.size(), index);
  const SeenBox& box = session.boxes[index];
  EXPECT_EQ(box.title, kCopyFailedTitle);
  EXPECT_TRUE(box.icon);
  EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
  for (const std::wstring& part : parts) EXPECT_NE(box.text.find(part), std::wstring::npos) << Utf8(part);
  EXPECT_EQ(session.boxes.size(), index + 1) << "a box after the failure report";
  EXPECT_EQ(session.exitCode, 4u);
}

TEST(Scenario, AFailureInTheMiddleKeepsEarlierCopiesAndStops) {
  Scenario s;
  s.Register(L"Halvix");
  s.Register(L"Pruvex");
  s.UpdateFile(L"one.dll", "1");
  s.UpdateFile(L"three.dll", "3");
  s.List(L"[MAIN]\r\nSUM=3\r\nFILE001=one.dll\r\nCOPYTO001=$APPPATH$one.dll\r\n"
         L"FILE002=two.dll\r\nCOPYTO002=$APPPATH$two.dll\r\nFILE003=three.dll\r\nCOPYTO003=$APPPATH$three.dll\r\n");
  const Session session = s.Run({IDYES, IDOK});
  ExpectReport(session, 1, {L"Halvix", L"第 2 項，共 3 項", s.sandbox().HostPath(L"update\\two.dll")});
  EXPECT_EQ(s.sandbox().Read(L"Halvix\\one.dll"), "1");
  EXPECT_EQ(s.sandbox().Read(L"Halvix\\three.dll"), "<missing>");
  EXPECT_EQ(s.sandbox().Read(L"Pruvex\\one.dll"), "<missing>");
}

TEST(Scenario, AFileHeldOpenByAnotherProgramStaysIntact) {
  Scenario s;
  s.Register(L"Halvix");
  s.sandbox().Write(L"Halvix\\app.exe", "running");
  s.UpdateFile(L"app.exe", "new");
  s.List(L"[MAIN]\r\nSUM=1\r\nFILE001=app.exe\r\nCOPYTO001=$APPPATH$app.exe\r\n");
  Session session;
  {
    testing::HeldOpen running(s.sandbox().Native(L"Halvix\\app.exe"));
    session = s.Run({IDYES, IDOK});
  }
  std::vector<std::wstring> parts{L"Halvix", L"第 1 項，共 1 項", std::wstring(L"建議：") + kAdviceInUse};
  // Only Windows can name who holds the file (this test): Wine's Restart
  // Manager lists no processes, so the report there has no such line.
  if (!testing::RunningUnderWine()) parts.push_back(L"（PID " + std::to_wstring(GetCurrentProcessId()) + L"）");
  ExpectReport(session, 1, parts);
  EXPECT_EQ(s.sandbox().Read(L"Halvix\\app.exe"), "running");
  EXPECT_EQ(s.sandbox().List(L"Halvix"), std::vector<std::wstring>{L"app.exe"});
}

TEST(Scenario, Big5CopyListUnderCodePage950) {
  ASSERT_EQ(GetACP(), 950u) << "the tests expect a Traditional Chinese system (see wine-env.sh)";
  Scenario s;
  s.Register(L"Halvix");
  // 功 is A5 5C in Big5: its second byte is "\" and must not split the path.
  std::filesystem::create_directories(s.sandbox().Native(L"Halvix\\功能"));
  s.UpdateFile(L"說明.txt", "Big5");
  s.List(L"[MAIN]\r\nSUM=1\r\nFILE001=說明.txt\r\nCOPYTO001=$APPPATH$功能\\說明.txt\r\n");
  ASSERT_NE(s.sandbox().Read(L"update\\mirrolet.ini").find("\xA5\x5C"), std::string::npos);
  ExpectBoxes(s.Run({IDYES, IDOK}), {kConfirm, kDone}, 0);
  EXPECT_EQ(s.sandbox().Read(L"Halvix\\功能\\說明.txt"), "Big5");
}

TEST(Scenario, UpdateFolderNamedOutsideTheCodePageIsReadThroughItsShortName) {
  // "ก" has no code in 950. The profile functions get the folder's 8.3 name.
  Scenario s(L"更新ก");
  s.Register(L"Halvix");
  s.UpdateFile(L"app.dll", "new");
  s.List(L"[MAIN]\r\nSUM=1\r\nFILE001=app.dll\r\nCOPYTO001=$APPPATH$app.dll\r\n");
  ExpectBoxes(s.Run({IDYES, IDOK}), {kConfirm, kDone}, 0);
  EXPECT_EQ(s.sandbox().Read(L"Halvix\\app.dll"), "new");
}

TEST(Scenario, DestinationsLongerThanMaxPath) {
  Scenario s;
  s.Register(L"Halvix");
  std::wstring deep = L"Halvix";
  while (s.sandbox().HostPath(deep).size() < 300) deep += L"\\a-rather-long-folder-name";
  std::filesystem::create_directories(s.sandbox().Native(deep));
  s.UpdateFile(L"app.dll", "deep");
  s.List(L"[MAIN]\r\nSUM=1\r\nFILE001=app.dll\r\nCOPYTO001=" + s.sandbox().HostPath(deep) + L"\\app.dll\r\n");
  ExpectBoxes(s.Run({IDYES, IDOK}), {kConfirm, kDone}, 0);
  EXPECT_EQ(s.sandbox().Read(deep + L"\\app.dll"), "deep");
}

TEST(Scenario, AnUpdateFolderBuiltByMirroletPackLandsWhereItsPlanSays) {
  Scenario s;
  s.Register(L"Halvix");
  // 功 is A5 5C in Big5: the folder's name holds a "\" byte in the list.
  for (const std::wstring file : {L"app.dll", L"說明.txt", L"功能\\使用.txt"}) s.sandbox().Write(L"tree\\" + file, Utf8(file));
  std::filesystem::remove_all(s.sandbox().Native(L"update"));
  const pack::BuildResult built =
      pack::Build(s.sandbox().Native(L"tree"), s.sandbox().Native(L"update"), ProgramUnderTest(), 950);
  ASSERT_TRUE(built.written) << Utf8(pack::FormatReport(built.report));

  // Clean but for the one folder the product must already have.
  const pack::Report check = pack::Check(s.sandbox().Native(L"update"), 950);
  ASSERT_EQ(check.findings.size(), 1u) << Utf8(pack::FormatReport(check));
  EXPECT_EQ(check.findings[0].kind, pack::Kind::kFolderNeeded);
  ASSERT_EQ(check.plan.size(), 3u);
  std::filesystem::create_directories(s.sandbox().Native(L"Halvix\\功能"));
  ExpectBoxes(s.Run({IDYES, IDOK}), {kConfirm, kDone}, 0);
  for (const pack::PlanEntry& entry : check.plan) {
    EXPECT_EQ(s.sandbox().Read(L"Halvix\\" + entry.destination.substr(9)), s.sandbox().Read(L"tree\\" + entry.source))
        << Utf8(entry.destination);
  }
}

}  // namespace
}  // namespace mirrolet::e2e
