// The real host of this build, held to the meaning the logic relies on:
// the Linux stand-in on Linux, the Win32 host under Windows or Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "fake_platform.h"
#include "host_fixture.h"
#include "settings/profile.h"
#include "settings/work_path.h"
#include "update/copy_list.h"

namespace mirrolet::testing {
namespace {

std::string ReadString(Platform& host, const std::string& file, const char* key, std::uint32_t size = 4096,
                       std::uint32_t* returned = nullptr) {
  std::string buffer(size, '\0');
  const std::uint32_t n = host.GetPrivateProfileStringA("MAIN", key, "<def>", buffer.data(), size, file);
  if (returned) *returned = n;
  return buffer.c_str();
}

// The cases of tests/data/ini_cases.txt, read by the real host of this build.
TEST(HostProfile, ReadsEveryFixtureAsWindowsDoes) {
  Sandbox sandbox;
  const auto host = MakeHost(sandbox);
  const std::string file = host->ToAnsi(sandbox.HostPath(L"list.ini"));
  for (const Case& test : ReadCases(CasePath("data/ini_cases.txt"))) {
    for (const auto& [kind, line] : test.lines) {
      if (kind == "bytes") sandbox.Write(L"list.ini", Unescape(line));
      if (kind != "read" && kind != "int") continue;
      // "KEY = TEXT", or "KEY = TEXT | wine: TEXT" where Wine reads otherwise.
      const auto [key, text] = Split(line, " = ");
      const auto [windows, wine] = Split(text, " | wine: ");
      SCOPED_TRACE(test.name + ": " + key);
      EXPECT_EQ(kind == "read" ? ReadString(*host, file, key.c_str())
                               : std::to_string(static_cast<std::int32_t>(host->GetPrivateProfileIntA("MAIN", key, -7, file))),
                Unescape(RunningUnderWine() && text != windows ? wine : windows));
    }
  }
}

TEST(HostProfile, CutsLongValuesToTheBufferWithoutSplittingACharacter) {
  MIRROLET_NEEDS_CHINESE_CODE_PAGE();
  Sandbox sandbox;
  const auto host = MakeHost(sandbox);
  const std::string file = host->ToAnsi(sandbox.HostPath(L"list.ini"));
  std::uint32_t returned = 0;

  sandbox.Write(L"list.ini", "[MAIN]\nV=" + std::string(4095, 'x') + "\nW=" + std::string(5000, 'y') + "\n");
  EXPECT_EQ(ReadString(*host, file, "V", 4096, &returned), std::string(4095, 'x'));
  EXPECT_EQ(returned, 4095u);
  EXPECT_EQ(ReadString(*host, file, "W", 4096, &returned), std::string(4095, 'y'));
  EXPECT_EQ(returned, 4095u);
  EXPECT_EQ(ReadString(*host, file, "V", 4, &returned), "xxx");

  // "ab" then multibyte characters, so that the cut never falls between two.
  const std::string wide = host->ToAnsi(L"中");
  ASSERT_GT(wide.size(), 1u) << "the code page has no double-byte characters";
  std::string value = "ab";
  for (int i = 0; i < 2100; ++i) value += wide;
  sandbox.Write(L"list.ini", "[MAIN]\nV=" + value + "\n");
  const std::string cut = ReadString(*host, file, "V", 4096, &returned);
  EXPECT_EQ(returned, 4095u);
  EXPECT_EQ(value.compare(0, cut.size(), cut), 0);
  EXPECT_EQ((cut.size() - 2) % wide.size(), 0u) << "a character was split";
  EXPECT_GT(cut.size() + wide.size(), 4095u) << "a whole character was left out";
}

TEST(HostProfile, MissingFileGivesTheDefaultAndAChangedFileIsReadAgain) {
  Sandbox sandbox;
  const auto host = MakeHost(sandbox);
  const std::wstring list = sandbox.HostPath(L"mirrolet.ini");
  EXPECT_EQ(ReadIniString(*host, L"MAIN", L"FILE001", L"", list), L"");
  EXPECT_EQ(ReadIniInt(*host, L"MAIN", L"SUM", 0, list), 0);

  sandbox.Write(L"mirrolet.ini", "[MAIN]\nSUM=1\n");
  EXPECT_EQ(ReadIniInt(*host, L"MAIN", L"SUM", 0, list), 1);
  sandbox.Write(L"mirrolet.ini", "[MAIN]\nSUM=22\n");
  EXPECT_EQ(ReadIniInt(*host, L"MAIN", L"SUM", 0, list), 22);
  // New content of the same size and the same modification time is read too.
  const auto written = std::filesystem::last_write_time(sandbox.Native(L"mirrolet.ini"));
  sandbox.Write(L"mirrolet.ini", "[MAIN]\nSUM=33\n");
  std::filesystem::last_write_time(sandbox.Native(L"mirrolet.ini"), written);
  EXPECT_EQ(ReadIniInt(*host, L"MAIN", L"SUM", 0, list), 33);
}

// One table for every host: the real one of this build, and the fake the
// logic's tests use, so that the fake cannot drift from it.
TEST(HostRegistry, WorkPathLookupKeepsTheWindowsMeaning) {
  MIRROLET_NEEDS_MACHINE_REGISTRY();
  using namespace std::string_literals;
  const std::vector<std::pair<RegEntry, std::wstring>> rows = {
      {{"Plain", "WorkPath", 1, L"C:\\Halvix"}, L"C:\\Halvix"},
      {{"Slash", "WorkPath", 1, L"C:\\Halvix\\"}, L"C:\\Halvix\\"},  // kept as stored
      {{"Expand", "WorkPath", 2, L"C:\\Halvix"}, L""},
      {{"Number", "WorkPath", 4, L"\x2A"}, L""},
      {{"Nul", "WorkPath", 1, L"C:\\A\0B"s}, L"C:\\A"},
      {{"Empty", "WorkPath", 1, L""}, L""},
      {{"Bare", "WorkPath", 1, L"C:\\Bare", false}, L"C:\\Bare"},
      {{"NoBytes", "WorkPath", 1, L"", false}, L""},
      {{"Old32", "WorkPath", 1, L"C:\\Old", true, true}, L"C:\\Old"},
      {{"Other", "Elsewhere", 1, L"C:\\Other"}, L""},
  };
  Sandbox sandbox;
  std::vector<RegEntry> entries;
  FakePlatform fake;
  for (const auto& [entry, expected] : rows) {
    entries.push_back(entry);
    std::string bytes = fake.ToAnsi(entry.text) + (entry.terminated ? std::string(1, '\0') : "");
    if (!entry.only32BitView) fake.registry[TestKey(entry.subKey)][entry.name] = {entry.type, bytes};
  }
  const auto real = MakeHost(sandbox, entries);
  for (Platform* host : {real.get(), static_cast<Platform*>(&fake)}) {
    for (const auto& [entry, expected] : rows) {
      if (host == &fake && entry.only32BitView) continue;  // the fake has one view
      EXPECT_EQ(ReadWorkPath(*host, TestKey(entry.subKey)), expected) << entry.subKey;
    }
    EXPECT_EQ(ReadWorkPath(*host, TestKey("Missing")), L"");
  }
  EXPECT_EQ(ReadWorkPath(*real, TestKey("PLAIN")), L"C:\\Halvix");
  // A value that grows between the size query and the read counts as absent.
  fake.registry[TestKey("Grows")]["WorkPath"] = {kRegSz, std::string("C:\\Halvix\0", 10), true};
  EXPECT_EQ(ReadWorkPath(fake, TestKey("Grows")), L"");
  EXPECT_EQ(fake.openKeys, 0) << "a key left open";
}

TEST(HostRegistry, SizesAreAnsiBytesAndAShortBufferIsRefused) {
  MIRROLET_NEEDS_MACHINE_REGISTRY();
  MIRROLET_NEEDS_CHINESE_CODE_PAGE();
  Sandbox sandbox;
  const auto host = MakeHost(sandbox, {{"Plain", "WorkPath", 1, L"C:\\Halvix"}});
  HostKey key = 0;
  ASSERT_EQ(host->RegOpenKeyA(TestKey("Plain"), &key), kErrorSuccess);
  std::uint32_t type = 0, size = 0;
  EXPECT_EQ(host->RegQueryValueExA(key, "WorkPath", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(size, 10u);
  std::uint8_t buffer[16] = {'#', '#', '#', '#', '#'};
  size = 4;
  EXPECT_EQ(host->RegQueryValueExA(key, "WorkPath", &type, buffer, &size), kErrorMoreData);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "#####") << "a refused read writes nothing";
  size = sizeof buffer;
  EXPECT_EQ(host->RegQueryValueExA(key, "WorkPath", &type, buffer, &size), kErrorSuccess);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), std::string("C:\\Halvix\0", 10));
  EXPECT_EQ(host->RegQueryValueExA(key, "Missing", &type, nullptr, &size), kErrorFileNotFound);
  EXPECT_EQ(host->RegCloseKey(key), kErrorSuccess);

  // A work path outside ASCII: its size is that of its ANSI bytes (Big5 under
  // Wine, UTF-8 on Linux), and it reads back whole.
  const auto chinese = MakeHost(sandbox, {{"Chinese", "WorkPath", 1, L"C:\\產品"}});
  ASSERT_EQ(chinese->RegOpenKeyA(TestKey("Chinese"), &key), kErrorSuccess);
  EXPECT_EQ(chinese->RegQueryValueExA(key, "WorkPath", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(size, chinese->ToAnsi(L"C:\\產品").size() + 1);
  chinese->RegCloseKey(key);
  EXPECT_EQ(ReadWorkPath(*chinese, TestKey("Chinese")), L"C:\\產品");
}

// One table for the real host and the fake, which holds plain visible files only.
TEST(HostFiles, FindMatchesPlainFilesWithoutRegardToCase) {
  const std::pair<const wchar_t*, const wchar_t*> rows[] = {
      {L"plain.ini", L"plain.ini"},   {L"PLAIN.INI", L"plain.ini"},    {L"readonly.ini", L"readonly.ini"},
      {L"ÄRGER.INI", L"ärger.ini"},   {L"hidden.ini", L""},            {L"system.ini", L""},
      {L"folder.ini", L""},           {L"missing.ini", L""},           {L"plain.ini\\", L""},
      {L"nowhere\\plain.ini", L""}};
  Sandbox sandbox;
  const auto real = MakeHost(sandbox);
  FakePlatform fake;
  for (const wchar_t* name : {L"plain.ini", L"readonly.ini", L"ärger.ini", L"hidden.ini", L"system.ini", L".dot.ini"}) {
    sandbox.Write(name, "x");
  }
  for (const wchar_t* name : {L"plain.ini", L"readonly.ini", L"ärger.ini"}) fake.files.insert(sandbox.HostPath(name));
  std::filesystem::create_directory(sandbox.Native(L"folder.ini"));
  SetReadOnly(sandbox.Native(L"readonly.ini"));
  SetHidden(sandbox.Native(L"hidden.ini"));
  SetSystem(sandbox.Native(L"system.ini"));
  for (Platform* host : {real.get(), static_cast<Platform*>(&fake)}) {
    for (const auto& [name, found] : rows) EXPECT_EQ(host->FindFileName(sandbox.HostPath(name)), found) << Utf8(name);
  }
  // A leading dot hides a file on Linux and under Wine; Windows itself has no such rule.
  EXPECT_EQ(real->FindFileName(sandbox.HostPath(L".dot.ini")), RunningUnderWine() || HostName() == "linux" ? L"" : L".dot.ini");
}

TEST(HostFiles, CopyReplacesTheDestinationAndKeepsTheModificationTime) {
  Sandbox sandbox;
  const auto host = MakeHost(sandbox);
  sandbox.Write(L"update\\new.dll", "new content");
  sandbox.Write(L"product\\Data\\new.dll", "old");
  SetSystem(sandbox.Native(L"product\\Data\\new.dll"));
  // Leftovers of a run that has ended go; those of a run still going (this
  // one, or one held as a live run holds it though its process looks ended),
  // and names that only look like ours, stay.
  for (const std::wstring& name : {LeftoverName(true), LeftoverName(false), std::wstring(L"~mirrolet-x.tmp")}) {
    sandbox.Write(L"product\\Data\\" + name, "left");
  }
  std::unique_ptr<HeldOpen> live;
  std::vector<std::wstring> kept = LeaveLiveLeftover(sandbox, L"product\\Data", live);
  // A whole second, which every host keeps exactly.
  const auto old = std::chrono::floor<std::chrono::seconds>(std::filesystem::file_time_type::clock::now() -
                                                            std::chrono::hours(48));
  std::filesystem::last_write_time(sandbox.Native(L"update\\new.dll"), old);

  HostError error;
  // "data" in another case finds the existing "Data" folder, as on Windows.
  ASSERT_TRUE(host->CopyFileReplacing(sandbox.HostPath(L"update\\new.dll"),
                                      sandbox.HostPath(L"product\\data\\new.dll"), error))
      << Utf8(error.description);
  EXPECT_EQ(sandbox.Read(L"product\\Data\\new.dll"), "new content");
  EXPECT_EQ(std::filesystem::last_write_time(sandbox.Native(L"product\\Data\\new.dll")), old);
  kept.insert(kept.end(), {LeftoverName(false), L"new.dll", L"~mirrolet-x.tmp"});
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(sandbox.List(L"product\\Data"), kept);
  // The replaced file keeps its attributes (here: system, so find-file skips it).
  EXPECT_EQ(host->FindFileName(sandbox.HostPath(L"product\\Data\\new.dll")), L"");
  // What else a replaced file keeps on Windows: Win32Host.AReplacedFileKeepsWhatItWasOnNtfs.

  // While staged, the new content waits in a hidden temporary; a new
  // destination then comes out visible.
  StageId id = 0;
  ASSERT_TRUE(host->StageCopy(sandbox.HostPath(L"update\\new.dll"), sandbox.HostPath(L"product\\fresh.dll"), id, error));
  // Data, the temporary of fresh.dll and (on the stand-in) the run's lock in the folder.
  const auto staged = sandbox.List(L"product");
  ASSERT_GE(staged.size(), 2u);
  for (const std::wstring& name : staged) {
    EXPECT_TRUE(name == L"Data" || host->FindFileName(sandbox.HostPath(L"product\\" + name)).empty())
        << Utf8(name) << " is not hidden";
  }
  StageId unflushed = 0;
  ASSERT_TRUE(host->FlushStaged(unflushed, error) && host->CommitStaged(id, error) && host->SyncCommitted(error));
  EXPECT_EQ(sandbox.List(L"product"), (std::vector<std::wstring>{L"Data", L"fresh.dll"}));
  EXPECT_EQ(sandbox.Read(L"product\\fresh.dll"), "new content");
  EXPECT_EQ(host->FindFileName(sandbox.HostPath(L"product\\fresh.dll")), L"fresh.dll");
}

TEST(HostFiles, AFailedCopyLeavesTheDestinationAsItWasAndNoTemporary) {
  struct Row {
    const char* name;
    std::wstring source;
    std::wstring destination;  // empty: an empty path
    unsigned long code;  // the Windows error code, on both hosts
    void (*prepare)(const Sandbox&) = [](const Sandbox&) {};
    bool held = false;   // another program holds the destination open meanwhile
    bool fake = false;   // the fake host tells it from the path too, and must agree
  };
  const Row rows[] = {
      {"source missing", L"update\\gone.dll", L"product\\a.dll", 2},
      {"source is a folder", L"update", L"product\\a.dll", 5},
      {"destination folder missing", L"update\\a.dll", L"product\\nowhere\\a.dll", 3},
      {"destination is a folder", L"update\\a.dll", L"product\\sub", 5},
      {"destination empty", L"update\\a.dll", L"", 3, [](const Sandbox&) {}, false, true},
      // What an empty FILE or COPYTO key leaves: the folder itself.
      {"source names its folder", L"update\\", L"product\\a.dll", 5, [](const Sandbox&) {}, false, true},
      {"destination names its folder", L"update\\a.dll", L"product\\", 5, [](const Sandbox&) {}, false, true},
      {"destination read-only", L"update\\a.dll", L"product\\a.dll", 5,
       [](const Sandbox& s) { SetReadOnly(s.Native(L"product\\a.dll")); }},
      {"destination hidden", L"update\\a.dll", L"product\\a.dll", 5,
       [](const Sandbox& s) { SetHidden(s.Native(L"product\\a.dll")); }},
      {"destination is the source", L"product\\a.dll", L"product\\A.DLL", 32},
      // Not access denied: the report must speak of a file in use.
      {"destination in use", L"update\\a.dll", L"product\\a.dll", 32, [](const Sandbox&) {}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Sandbox sandbox;
    const auto host = MakeHost(sandbox);
    sandbox.Write(L"update\\a.dll", "new");
    sandbox.Write(L"product\\a.dll", "old");
    std::filesystem::create_directory(sandbox.Native(L"product\\sub"));
    row.prepare(sandbox);
    const auto before = sandbox.List(L"product");
    {
      const auto held = row.held ? std::make_unique<HeldOpen>(sandbox.Native(L"product\\a.dll")) : nullptr;
      HostError error;
      const std::wstring destination = row.destination.empty() ? L"" : sandbox.HostPath(row.destination);
      EXPECT_FALSE(host->CopyFileReplacing(sandbox.HostPath(row.source), destination, error));
      EXPECT_EQ(error.code, row.code);
      // Its advice: the attribute stops administrators too.
      EXPECT_EQ(error.readOnly, std::string(row.name) == "destination read-only");
      EXPECT_FALSE(error.description.empty());
      EXPECT_EQ(error.description.find(L'\n'), std::wstring::npos);
      if (row.fake) {
        FakePlatform fake;
        HostError faked;
        EXPECT_FALSE(fake.CopyFileReplacing(sandbox.HostPath(row.source), destination, faked));
        EXPECT_EQ(faked.code, error.code) << "the fake host answers otherwise";
        EXPECT_EQ(faked.aboutSource, error.aboutSource);
      }
    }
    EXPECT_EQ(sandbox.Read(L"product\\a.dll"), "old");
    EXPECT_EQ(sandbox.List(L"product"), before);
  }
}

}  // namespace
}  // namespace mirrolet::testing
