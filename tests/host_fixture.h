// What the host contract tests need from the real host of the build they
// run on: a scratch folder, registry values, and ways to make a file hidden,
// read-only or held open by someone else.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace mirrolet::testing {

// A fresh folder, removed with everything in it at the end of the test.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // A path inside the sandbox as host text, with "\" separators on Windows.
  std::wstring HostPath(const std::wstring& relative) const;
  // The same path for std::filesystem; "\" in `relative` separates parts on every host.
  std::filesystem::path Native(const std::wstring& relative) const;
  void Write(const std::wstring& relative, const std::string& bytes) const;
  std::string Read(const std::wstring& relative) const;
  // Names in the folder, for spotting a temporary file left behind.
  std::vector<std::wstring> List(const std::wstring& relative = L"") const;

 private:
  std::filesystem::path root_;
};

// Removes `root` and everything in it, read-only files and paths longer than
// MAX_PATH included. Returns what went wrong, or empty text.
std::string RemoveTree(const std::filesystem::path& root);

// A registry value under HKEY_LOCAL_MACHINE\Software\ROOT.
struct RegEntry {
  std::string subKey;  // relative to ROOT
  std::string name;
  std::uint32_t type;
  std::wstring text;   // may hold NULs
  bool terminated = true;
  bool only32BitView = false;
};

// Whether this user may write the registry the products are registered in:
// on Windows HKEY_LOCAL_MACHINE, which a standard user may not.
bool MachineRegistryWritable();
// Skips the test, saying why, where its products cannot be registered.
#define MIRROLET_NEEDS_MACHINE_REGISTRY()                                                      \
  if (!::mirrolet::testing::MachineRegistryWritable())                                       \
  GTEST_SKIP() << "needs an administrator: it registers products in HKEY_LOCAL_MACHINE"

// Whether the system code page spells Traditional Chinese, as on the
// machines the updater ships to (950; the Linux tests run in UTF-8).
bool ChineseCodePage();
// Skips the test, saying why, on a system of another code page (an English
// Windows, 1252): its rows hold Chinese text in the system code page.
#define MIRROLET_NEEDS_CHINESE_CODE_PAGE()     \
  if (!::mirrolet::testing::ChineseCodePage()) \
  GTEST_SKIP() << "needs a Traditional Chinese system (code page 950), as the customers' machines are"

// Makes the registry (Windows) or the sandbox's registry.reg (Linux) hold
// `registry` below ROOT and nothing below the test's own key or Varnholt's.
void SetRegistry(const Sandbox& sandbox, const std::vector<RegEntry>& registry, const std::string& root);
// The real host of this build, seeing `registry` under the sub-key that
// TestKey() names.
std::unique_ptr<Platform> MakeHost(const Sandbox& sandbox, const std::vector<RegEntry>& registry = {});
std::string TestKey(const std::string& subKey);

void SetHidden(const std::filesystem::path& path);
void SetSystem(const std::filesystem::path& path);
void SetReadOnly(const std::filesystem::path& path);
// Makes `link` a symbolic link to `target` ("/" between parts, relative to
// the link's folder or absolute as Linux spells it). Returns false where this
// host cannot: Windows without the privilege. Under Wine, which cannot make
// one itself, Linux's ln makes it, and only Linux's rm may remove it again:
// Wine's own delete removes what a link points to.
bool MakeLink(const std::filesystem::path& link, const std::string& target);
void RemoveLink(const std::filesystem::path& link);
// When the file was created (Windows), or 0 where the host keeps no such time.
std::uint64_t CreationTime(const std::filesystem::path& path);

// Another program holding the file open without letting anyone write it.
class HeldOpen {
 public:
  explicit HeldOpen(const std::filesystem::path& path);
  ~HeldOpen();
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

 private:
  std::intptr_t handle_;
};

// The name of a temporary file the host's copy would leave behind if killed:
// of a run that has ended, or of one still going (this very process).
std::wstring LeftoverName(bool runEnded);
// Leaves in `folder` the temporary of a run whose process looks ended, held
// the way a live run holds its files (the stand-in: its lock file in the
// folder, locked; Windows: open without delete sharing) for as long as `hold`
// lives. Returns the names in the folder that must stay.
std::vector<std::wstring> LeaveLiveLeftover(const Sandbox& sandbox, const std::wstring& folder,
                                            std::unique_ptr<HeldOpen>& hold);

// --- whole runs of the program, for tests/e2e/scenario_test.cpp ---

// The updater this build makes: MirroletV2.exe, or mirrolet on Linux.
std::filesystem::path ProgramUnderTest();
// "windows" or "linux".
inline std::string HostName() { return std::filesystem::path::preferred_separator == L'\\' ? "windows" : "linux"; }
// `text` as a copy list's author saves it: in the system code page (Wine), or UTF-8 (Linux).
std::string SystemCodePage(const std::wstring& text);
// A process running from `path` ("running") or a FIFO ("fifo") at `path`;
// Linux only. Returns the process id, or 0.
long MakeSpecial(const std::string& kind, const std::filesystem::path& path);
void StopSpecial(long pid);
// A symbolic link at `link` to `target`, owned by user `owner` (-1: this process's) (Linux).
// False where the link cannot get that owner: only root may give it away.
bool MakeLink(const std::filesystem::path& link, const std::filesystem::path& target, long owner);
// Linux: a folder for LOCPATH that holds `locale` (built with localedef once).
std::string BuildLocale(const std::string& locale);

struct RunBox {
  std::wstring title;
  std::wstring text;
  bool yesNo = false;
  int prompts = 0;  // how often a Yes/No box asked (Linux)
};
struct RunResult {
  std::vector<RunBox> boxes;
  unsigned long exitCode = 0;
  bool finished = false;
  std::wstring transcript;
};
// Runs `program` in its folder, answering its boxes with `answers` ("yes",
// "no", "ok"; on Linux other words are typed), under `locale` on Linux.
// `whileAsked`, when given, runs while the first box waits for its answer.
RunResult RunProgram(const std::filesystem::path& program, const Sandbox& sandbox,
                     const std::vector<std::string>& answers, const std::string& locale,
                     const std::function<void()>& whileAsked = {});

// Whether the tests run under Wine rather than Windows or Linux.
bool RunningUnderWine();

}  // namespace mirrolet::testing
