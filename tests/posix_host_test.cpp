// What the Linux stand-in promises beyond the contract both hosts share:
// Unix owners and modes, files that are no plain files, inputs far past any
// real size, names that are not text, and every failure point of a pass.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <fstream>
#include <map>
#include <optional>

#include "host_fixture.h"
#include "os/file_bounds.h"
#include "platform/posix/locale_text.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/reg_text.h"
#include "update/copy_list.h"

namespace mirrolet::testing {
namespace {

constexpr uid_t kNobody = 65534;

bool Copy(Platform& host, const Sandbox& sandbox, const std::wstring& from, const std::wstring& to,
          unsigned long* code = nullptr) {
  HostError error;
  const bool copied = host.CopyFileReplacing(sandbox.HostPath(from), sandbox.HostPath(to), error);
  if (code) *code = copied ? 0 : error.code;
  return copied;
}

// Runs `check` as the unprivileged user nobody (when the tests run as root,
// as CI does) and returns what it returned.
int AsNobody(const std::function<int()>& check) {
  if (::geteuid() != 0) return check();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(99);
    ::_exit(check());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

// One pass of update\mirrolet.ini into `work`: how it failed, if it did.
std::optional<UpdateFailure> Pass(Platform& host, const Sandbox& sandbox, const std::wstring& work = L"product") {
  try {
    ProcessCopyList(host, sandbox.HostPath(work) + L"/", {sandbox.HostPath(L"update") + L"/"});
  } catch (const UpdateFailure& failure) {
    return failure;
  }
  return std::nullopt;
}

TEST(StandIn, OwnersAndModesFollowAWindowsReplace) {
  Sandbox sandbox;
  const bool root = ::geteuid() == 0;
  sandbox.Write(L"update\\tool", "new");
  sandbox.Write(L"product\\kept", "old");
  ::chmod(sandbox.Native(L"update\\tool").c_str(), 06777);  // setuid, setgid, everyone may write
  ::chmod(sandbox.Native(L"product\\kept").c_str(), 0640);
  ASSERT_TRUE(!root || ::chown(sandbox.Native(L"product\\kept").c_str(), 1, 1) == 0);
  const auto host = MakeHost(sandbox);
  const mode_t umask = ::umask(022);
  const bool copied = Copy(*host, sandbox, L"update\\tool", L"product\\fresh") &&
                      Copy(*host, sandbox, L"update\\tool", L"product\\kept");
  ::umask(umask);
  ASSERT_TRUE(copied);
  struct stat fresh, kept;
  ASSERT_EQ(::stat(sandbox.Native(L"product\\fresh").c_str(), &fresh), 0);
  ASSERT_EQ(::stat(sandbox.Native(L"product\\kept").c_str(), &kept), 0);
  EXPECT_EQ(fresh.st_mode & 07777, 0755u) << "a new file: the source's bits, the umask, never setuid";
  EXPECT_EQ(kept.st_mode & 07777, 0640u) << "a replaced file keeps its mode";
  EXPECT_TRUE(!root || kept.st_uid == 1u) << "and its owner";
  EXPECT_EQ(sandbox.Read(L"product\\kept"), "new");
}

// A listing that failed is not remembered as an empty folder.
TEST(StandIn, AFolderThatCouldNotBeListedIsListedAgain) {
  Sandbox sandbox;
  const auto host = MakeHost(sandbox);
  sandbox.Write(L"Unlisted\\Data.bin", "x");
  ::chmod(sandbox.root().c_str(), 0755);
  ::chown(sandbox.Native(L"Unlisted").c_str(), kNobody, kNobody);
  ::chmod(sandbox.Native(L"Unlisted").c_str(), 0311);  // names cannot be listed
  EXPECT_EQ(AsNobody([&] {
              const std::wstring path = sandbox.HostPath(L"Unlisted\\data.bin");
              if (!host->FindFileName(path).empty()) return 1;
              ::chmod(sandbox.Native(L"Unlisted").c_str(), 0755);  // ctime changes, not mtime
              return host->FindFileName(path) == L"Data.bin" ? 0 : 2;
            }),
            0);
}

TEST(StandIn, HostileInputsFailFastAndNeverHang) {
  Sandbox sandbox;
  sandbox.Write(L"update\\a.dll", "new");
  ASSERT_EQ(::mkfifo(sandbox.Native(L"update\\fifo").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(sandbox.Native(L"registry.reg").c_str(), 0644), 0);
  posix::PosixPlatform host(sandbox.Native(L"registry.reg"));

  // A FIFO as a copy's source (as a copy list, see the scenario AFifoIsNoCopyList).
  unsigned long code = 0;
  EXPECT_FALSE(Copy(host, sandbox, L"update\\fifo", L"product.dll", &code));
  EXPECT_EQ(code, 5u);
  HostKey key = 1;
  host.RegOpenKeyA("Software", &key);
  EXPECT_EQ(key, 0u) << "a FIFO registry reads as empty";

  // A list past the size bound is a failure, not a list without entries.
  std::filesystem::resize_file(sandbox.Native(L"update\\a.dll"), os::kMaxSettingsFileSize + 1);
  HostError error;
  EXPECT_EQ(host.AnsiSafePath(sandbox.HostPath(L"update\\a.dll"), error), L"");
  EXPECT_NE(error.code, 0u);

  // A path of many thousand parts fails at once with the length error.
  std::wstring deep;
  for (int i = 0; i < 400000; ++i) deep += L"a\\";
  EXPECT_FALSE(host.CopyFileReplacing(sandbox.HostPath(L"update\\fifo"), deep + L"x", error));
  EXPECT_FALSE(host.CopyFileReplacing(sandbox.HostPath(L"update\\a.dll"), deep + L"x", error));
  EXPECT_EQ(error.code, kErrorFilenameExcedRange);

  // A .reg key a hundred thousand parts deep costs what its text costs.
  std::string reg = "REGEDIT4\n[HKEY_LOCAL_MACHINE";
  std::wstring path;
  for (int i = 0; i < 100000; ++i) reg += "\\k", path += i ? L"\\K" : L"K";
  const auto registry = posix::Registry::Parse(reg + "]\n\"V\"=\"x\"\n", posix::LocaleToWide);
  ASSERT_NE(registry.Find(path, L"v"), nullptr);
  EXPECT_EQ(registry.Find(path, L"v")->text, L"x");
}

TEST(StandIn, NamesThatAreNotTextMatchOnlyThemselves) {
  Sandbox sandbox;
  const auto host = MakeHost(sandbox);
  // Under UTF-8, FF FE and 80 81 are both no text; they must not stand for each other.
  const std::string update = sandbox.root().string() + "/update/";
  sandbox.Write(L"update\\x", "");
  std::ofstream(update + "bad\x80\x81.dll") << "wrong";
  HostError error;
  const std::wstring source = posix::LocaleToWide(update + "bad\xFF\xFE.dll");
  EXPECT_FALSE(host->CopyFileReplacing(source, sandbox.HostPath(L"out.dll"), error));
  EXPECT_EQ(error.code, 2u);
  std::ofstream(update + "bad\xFF\xFE.dll") << "right";
  ASSERT_TRUE(host->CopyFileReplacing(source, sandbox.HostPath(L"out.dll"), error));
  EXPECT_EQ(sandbox.Read(L"out.dll"), "right");
  EXPECT_EQ(posix::WideToLocale(source), update + "bad\xFF\xFE.dll");

  // Under Big5, A2CC decodes to U+5341, which encodes back as A451: a list
  // naming A2CC must never copy the file named A451.
  ::setenv("LOCPATH", BuildLocale("zh_TW.BIG5").c_str(), 1);
  ASSERT_NE(std::setlocale(LC_ALL, "zh_TW.BIG5"), nullptr);
  std::ofstream(update + "\xA4\x51.dll") << "wrong";
  const std::wstring big5 = posix::LocaleToWide(update + "\xA2\xCC.dll");
  EXPECT_FALSE(host->CopyFileReplacing(big5, sandbox.HostPath(L"big5.dll"), error));
  std::ofstream(update + "\xA2\xCC.dll") << "right";
  EXPECT_TRUE(host->CopyFileReplacing(big5, sandbox.HostPath(L"big5.dll"), error));
  EXPECT_EQ(sandbox.Read(L"big5.dll"), "right");
  ::unsetenv("LOCPATH");

  // Typed answers are read as UTF-8 in the C locale (tests/text_test.cpp has its edges).
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(posix::FromTerminal("\xC0\xAF\xE6\x98\xAF"), L"\uFFFD\uFFFD是");
  std::setlocale(LC_ALL, "C.UTF-8");
  // glibc decodes a five-byte form past U+10FFFF: no character.
  EXPECT_EQ(posix::LocaleToWide("\xFB\x92\x92\x92\x92"), L"\xDCFB\xDC92\xDC92\xDC92\xDC92");
}

// Passes that once landed wrong content, lost a file or gave the wrong code:
// each row sets up the product, runs one pass (here, or as an unprivileged
// user) and says what the product holds afterwards.
TEST(StandIn, APassLandsTheRightContentOrSaysWhy) {
  enum class Runner { kHere, kAsNobody };
  struct Row {
    const char* name;
    std::string entries;  // the copy list after "[MAIN]" and SUM
    Runner runner;
    unsigned long code;   // the failure's code; 0: the pass goes through
    std::vector<std::pair<std::wstring, std::string>> after;  // product file -> content
    std::function<void(Sandbox&, posix::PosixPlatform&)> prepare = [](Sandbox&, posix::PosixPlatform&) {};
    const wchar_t* workPath = L"product";
  };
  const Row rows[] = {
      // The work path reaches the product through a link: entry 2's source is
      // entry 1's destination by another name and must have the new content.
      {"a source staged earlier by another path", "SUM=2\nFILE001=a\nCOPYTO001=$APPPATH$a\nFILE002=..\\product\\a\nCOPYTO002=$APPPATH$b\n",
       Runner::kHere, 0, {{L"a", "new"}, {L"b", "new"}},
       [](Sandbox& s, posix::PosixPlatform&) {
         std::filesystem::create_directory_symlink(s.Native(L"product"), s.Native(L"link"));
       },
       L"link"},
      // Truncated while copied: never zeros where it shrank, never success.
      {"a source that shrinks while copied", "SUM=1\nFILE001=a\nCOPYTO001=$APPPATH$a\n", Runner::kHere,
       kErrorSourceChanged, {{L"a", "old"}},
       [](Sandbox& s, posix::PosixPlatform& host) {
         host.InjectFaults([&s, done = false](const char* call) mutable {
           if (!done && (std::string(call) == "copy_file_range" || std::string(call) == "read")) {
             std::filesystem::resize_file(s.Native(L"update\\a"), 1);
             done = true;
           }
           return 0;
         });
       }},
      // A destination that is a symbolic link becomes a plain file; what it pointed to stays.
      {"a destination that is a link", "SUM=1\nFILE001=a\nCOPYTO001=$APPPATH$link\n", Runner::kHere, 0,
       {{L"link", "new"}, {L"a", "old"}},
       [](Sandbox& s, posix::PosixPlatform&) { std::filesystem::create_symlink("a", s.Native(L"product\\link")); }},
      // Two new names that differ only in case are one file, the later entry's.
      {"new names differing in case", "SUM=2\nFILE001=a\nCOPYTO001=$APPPATH$new.dll\nFILE002=b\nCOPYTO002=$APPPATH$NEW.DLL\n",
       Runner::kHere, 0, {{L"a", "old"}, {L"new.dll", "b's"}}},
      // The folder lets nobody create files, but the file is root's, read-only to others.
      {"a file the user may not write", "SUM=1\nFILE001=a\nCOPYTO001=$APPPATH$a\n", Runner::kAsNobody,
       kErrorAccessDenied, {{L"a", "old"}}},
      // A folder on the way that may not be searched is denied access, not missing.
      {"a folder that may not be searched", "SUM=1\nFILE001=a\nCOPYTO001=$APPPATH$locked\\sub\\a\n", Runner::kAsNobody,
       kErrorAccessDenied, {{L"a", "old"}},
       [](Sandbox& s, posix::PosixPlatform&) {
         std::filesystem::create_directories(s.Native(L"product\\locked\\sub"));
         ::chmod(s.Native(L"product\\locked").c_str(), 0700);
       }},
      {"a loop of links on the way", "SUM=1\nFILE001=a\nCOPYTO001=$APPPATH$loop\\a\n", Runner::kHere,
       kErrorCantResolveFilename, {{L"a", "old"}},
       [](Sandbox& s, posix::PosixPlatform&) {
         std::filesystem::create_directory_symlink(s.Native(L"product\\loop"), s.Native(L"product\\loop"));
       }},
      // A drop folder one may write into but not list is still flushed and synced.
      {"a folder that may be written but not read", "SUM=1\nFILE001=a\nCOPYTO001=$APPPATH$drop\\a\n", Runner::kAsNobody, 0,
       {{L"drop\\a", "new"}},
       [](Sandbox& s, posix::PosixPlatform&) {
         std::filesystem::create_directories(s.Native(L"product\\drop"));
         ::chmod(s.Native(L"product\\drop").c_str(), 0733);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Root makes the files and runs the pass as nobody; a user cannot.
    if (row.runner == Runner::kAsNobody && ::geteuid() != 0) continue;
    Sandbox sandbox;
    ::chmod(sandbox.root().c_str(), 0755);
    sandbox.Write(L"update\\mirrolet.ini", "[MAIN]\n" + row.entries);
    sandbox.Write(L"update\\a", "new");
    sandbox.Write(L"update\\b", "b's");
    sandbox.Write(L"product\\a", "old");
    ::chmod(sandbox.Native(L"product").c_str(), 0777);
    posix::PosixPlatform host(sandbox.Native(L"registry.reg"));
    row.prepare(sandbox, host);
    const auto pass = [&]() -> int {
      const auto failure = Pass(host, sandbox, row.workPath);
      return (failure ? failure->error.code : 0) == row.code ? 0 : 1;
    };
    EXPECT_EQ(row.runner == Runner::kHere ? pass() : AsNobody(pass), 0) << "not the expected outcome";
    for (const auto& [file, content] : row.after) EXPECT_EQ(sandbox.Read(L"product\\" + file), content) << Utf8(file);
    for (const auto& name : sandbox.List(L"product")) EXPECT_FALSE(name.starts_with(L".")) << "left behind: " << Utf8(name);
  }
}

// A run in another pid namespace (a container; /proc with hidepid looks the
// same) cannot see this run's process, yet must leave its temporaries alone:
// the lock this run holds in the folder proves it is alive.
TEST(StandIn, AnotherRunSeesThisOneAliveByItsLockNotItsProcess) {
  Sandbox sandbox;
  sandbox.Write(L"update\\mirrolet.ini", "[MAIN]\nSUM=1\nFILE001=b\nCOPYTO001=$APPPATH$b\n");
  sandbox.Write(L"update\\a", "mine");
  sandbox.Write(L"update\\b", "theirs");
  posix::PosixPlatform mine(sandbox.Native(L"registry.reg"));
  HostError error;
  StageId id = 0;
  ASSERT_TRUE(mine.StageCopy(sandbox.HostPath(L"update\\a"), sandbox.HostPath(L"a"), id, error));

  const pid_t child = ::fork();
  if (child == 0) {
    // The other run is process 1 of a namespace of its own, with its own /proc.
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) ::_exit(97);
    const pid_t other = ::fork();
    if (other == 0) {
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("proc", "/proc", "proc", 0, nullptr) != 0) {
        ::_exit(96);
      }
      posix::PosixPlatform theirs(sandbox.Native(L"registry.reg"));
      ::_exit(Pass(theirs, sandbox, L"") ? 1 : 0);
    }
    int status = 0;
    ::waitpid(other, &status, 0);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 98);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 97 || WEXITSTATUS(status) == 96) GTEST_SKIP() << "no pid namespace or /proc of its own here";
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the other run failed";
  EXPECT_EQ(sandbox.Read(L"b"), "theirs");

  StageId unflushed = 0;
  ASSERT_TRUE(mine.FlushStaged(unflushed, error) && mine.CommitStaged(id, error) && mine.SyncCommitted(error))
      << Utf8(error.description);
  EXPECT_EQ(sandbox.Read(L"a"), "mine");
}

// Every system call of a pass made to fail in turn, with the errno it would
// really give: each destination is then either its old self or wholly new
// (new only for entries before the failed one), and no temporary is left.
TEST(StandIn, EveryFailurePointOfAPassLeavesEachFileOldOrNew) {
  const std::map<std::string, int> errnoOf = {
      {"open", EACCES}, {"fallocate", ENOSPC}, {"read", EIO},    {"write", ENOSPC},    {"copy_file_range", EIO}, {"fchown", EIO},
      {"fchmod", EPERM}, {"futimens", EPERM}, {"syncfs", EIO}, {"fsync", EIO},          {"rename", EBUSY},
      {"unlink", EBUSY}, {"opendir", EMFILE}};
  // A few files are flushed one by one, many with one syncfs: both ways are walked.
  for (const int count : {3, 20}) {
    std::string list = "[MAIN]\nSUM=" + std::to_string(count) + "\n";
    for (int i = 1; i <= count; ++i) {
      list += "FILE" + Utf8(EntrySuffix(i)) + "=f" + std::to_string(i) + "\nCOPYTO" + Utf8(EntrySuffix(i)) +
              "=$APPPATH$f" + std::to_string(i) + "\n";
    }
    for (int failAt = 1;; ++failAt) {
      SCOPED_TRACE(std::to_string(count) + " files, call " + std::to_string(failAt));
      Sandbox sandbox;
      sandbox.Write(L"update\\mirrolet.ini", list);
      std::vector<std::wstring> names;
      for (int i = 1; i <= count; ++i) {
        names.push_back(L"f" + std::to_wstring(i));
        sandbox.Write(L"update\\" + names.back(), std::string(100000, 'n'));
        sandbox.Write(L"product\\" + names.back(), "old");
      }
      posix::PosixPlatform host(sandbox.Native(L"registry.reg"));
      int calls = 0, renames = 0;
      std::string failed;
      bool afterEveryRename = false;
      host.InjectFaults([&](const char* call) {
        if (++calls != failAt) return (renames += std::string(call) == "rename"), 0;
        failed = call;
        afterEveryRename = renames == count;
        return errnoOf.at(call);
      });
      const auto failure = Pass(host, sandbox);
      const std::int32_t failedEntry = failure && failure->copy() ? failure->copy()->entry : 0;
      EXPECT_TRUE(!failure || !failure->error.description.empty());
      SCOPED_TRACE(failed);
      for (int entry = 1; entry <= count; ++entry) {
        const std::string now = sandbox.Read(L"product\\" + names[static_cast<std::size_t>(entry - 1)]);
        const bool isNew = now == std::string(100000, 'n');
        EXPECT_TRUE(isNew || now == "old") << entry << " is neither";
        // A folder that cannot be synced after every rename: all is in place,
        // and the report says it may not survive a crash.
        EXPECT_TRUE(failedEntry == 0 || isNew == (afterEveryRename || entry < failedEntry)) << entry;
      }
      std::sort(names.begin(), names.end());
      EXPECT_EQ(sandbox.List(L"product"), names);
      if (calls < failAt) {  // past the last call: the pass went through
        EXPECT_EQ(failedEntry, 0);
        break;
      }
      ASSERT_LT(failAt, 400) << "the pass never ends";
    }
  }
}

}  // namespace
}  // namespace mirrolet::testing
