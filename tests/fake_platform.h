// A host made of plain data: it records what the logic asked for and
// answers from a script, so every run can be checked step by step.
#pragma once

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mirrolet::testing {

struct Box {
  std::wstring title;
  std::wstring text;
  unsigned style;
  bool operator==(const Box&) const = default;
};

class FakePlatform final : public Platform {
 public:
  // --- what the test sets up ---
  struct Value {
    std::uint32_t type = kRegSz;
    std::string data;  // stored bytes, NUL included where one is stored
    bool grows = false;  // another program lengthens it right after each size query
  };
  std::map<std::string, std::map<std::string, Value>> registry;  // sub-key -> value name -> value
  std::map<std::string, std::map<std::string, std::string>> profiles;  // file -> "SECTION|key" -> value
  std::set<std::wstring> files;          // what FindFileName finds
  std::wstring executableFolder = L"C:\\Update";
  std::deque<int> answers;               // box answers, in order; kIdOk once they run out
  std::set<std::wstring> failingCopies;  // destinations whose staging fails
  std::set<std::wstring> failingCommits;  // destinations whose commit fails (and check, with copyError)
  std::set<std::wstring> failingFlushes;  // destinations whose staged data cannot be flushed
  HostError copyError{5, L"Access is denied."};  // what a failing copy reports
  std::map<std::wstring, std::vector<FileHolder>> holders;  // path -> who holds it open
  std::set<std::wstring> unspellable;    // paths AnsiSafePath cannot give
  std::set<std::wstring> inUse;          // destinations another program holds once they are staged
  std::set<std::wstring> missingFolders;  // folders FolderExists denies
  Elevation elevation = Elevation::kNotNeeded;  // what ElevateIfNeeded does
  bool mayElevate = false;               // whether it reads the plan (not elevated, rights to ask for)
  unsigned elevatedExit = 0;             // the elevated run's exit status
  bool foreignCodePage = false;

  // --- what the logic did ---
  std::vector<Box> boxes;
  // A call of the host, in order: its verb (box, find, stage, flush, check,
  // commit, discard, sync, elevate, open, close, int, string), what it was
  // about (a title, a path, a sub-key, a key; a stage's source) and a stage's
  // destination.
  struct Call {
    std::string verb;
    std::string subject = {};
    std::string destination = {};
    // As the case files write it: "stage SOURCE -> DESTINATION", "flush".
    std::string Text() const {
      return subject.empty() ? verb : verb + " " + subject + (destination.empty() ? "" : " -> " + destination);
    }
  };
  std::vector<Call> calls;
  std::vector<std::pair<std::wstring, std::wstring>> copies;  // committed (source, destination)
  std::vector<unsigned> exits;
  int openKeys = 0;

  int ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) override;
  void EndProcess(unsigned exitCode) override { exits.push_back(exitCode); }
  std::wstring ExecutableFolder() override { return executableFolder; }
  std::wstring FindFileName(const std::wstring& path) override;
  bool StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id, HostError& error) override;
  bool FlushStaged(StageId& failed, HostError& error) override;
  bool CommitStaged(StageId id, HostError& error) override;
  bool CheckReplaceable(StageId id, HostError& error) override;
  void DiscardStaged(StageId id) override;
  bool SyncCommitted(HostError& error) override;
  bool IsStagedDestination(const std::wstring& path) override;
  std::vector<FileHolder> FileHolders(const std::wstring& path) override { return holders[path]; }
  bool FolderExists(const std::wstring& path) override { return !missingFolders.contains(path); }
  std::wstring ExecutablePath() override { return executableFolder + L"\\MirroletV2.exe"; }
  Elevation ElevateIfNeeded(const PlannedWrites& plan, unsigned& exitCode) override;
  bool ForeignCodePage() override { return foreignCodePage; }
  std::string ToAnsi(std::wstring_view text) override;
  std::wstring FromAnsi(std::string_view text) override;
  std::wstring AnsiSafePath(const std::wstring& path, HostError& error) override;
  long RegOpenKeyA(const std::string& subKey, HostKey* key) override;
  long RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type, std::uint8_t* data,
                        std::uint32_t* size) override;
  long RegCloseKey(HostKey key) override;
  std::uint32_t GetPrivateProfileIntA(const std::string& section, const std::string& key, int defaultValue,
                                      const std::string& fileName) override;
  std::uint32_t GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                         const std::string& defaultValue, char* buffer, std::uint32_t size,
                                         const std::string& fileName) override;
  PayloadState OpenPayload(CarriedUpdate&, HostError&) override { return PayloadState::kNone; }
  bool StageCarried(std::size_t, const std::wstring&, StageId&, HostError& error) override {
    error = {kErrorFileNotFound, L"The fake carries no update."};
    return false;
  }

 private:
  std::vector<std::string> openedKeys_;  // handle - 1 -> sub-key
  std::vector<std::pair<std::wstring, std::wstring>> staged_;  // id -> (source, destination)
  std::vector<bool> committed_;
};

}  // namespace mirrolet::testing
