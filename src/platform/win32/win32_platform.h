// The real Windows host.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_calls.h"

namespace mirrolet::win32 {

class Win32Platform final : public Platform {
 public:
  Win32Platform();

  int ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) override;
  void EndProcess(unsigned exitCode) override;
  std::wstring ExecutableFolder() override;
  std::wstring FindFileName(const std::wstring& path) override;
  bool StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                 HostError& error) override;  // staging_win32.cpp, with the rest of the copy
  bool FlushStaged(StageId& failed, HostError& error) override;
  bool CommitStaged(StageId id, HostError& error) override;
  void DiscardStaged(StageId id) override;
  bool SyncCommitted(HostError& error) override;
  bool IsStagedDestination(const std::wstring& path) override;
  std::vector<FileHolder> FileHolders(const std::wstring& path) override;  // file_holders.cpp
  std::string ToAnsi(std::wstring_view text) override;
  std::wstring FromAnsi(std::string_view text) override;
  std::wstring AnsiSafePath(const std::wstring& path, HostError& error) override;
  long RegOpenKeyA(const std::string& subKey, HostKey* key) override;
  long RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override;
  long RegCloseKey(HostKey key) override;
  std::uint32_t GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                      int defaultValue, const std::string& fileName) override;
  std::uint32_t GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                         const std::string& defaultValue, char* buffer,
                                         std::uint32_t size, const std::string& fileName) override;
  PayloadState UnpackPayload(std::wstring& folder, HostError& error) override;  // payload_win32.cpp
  void RemovePayload() override;

 // For tests: `faults` is asked before each call of the copy by its name
  // (see Win32Calls) and makes it fail with the error code it returns, unless 0.
  void InjectFaults(std::function<DWORD(const char* call)> faults) { calls_.Inject(std::move(faults)); }

 private:
  struct Staged {
    std::wstring temp;    // empty once committed, discarded, or kept for the user
    std::wstring target;  // the destination, in its "\\?\" form
    UniqueFile file;      // the temporary, held open without delete sharing until committed
    unsigned long sourceAttributes = 0;
    bool flushed = false;
  };
  std::wstring NewTempPath(const std::wstring& folder);
  // Writes the open source `in` to a new temporary in `folder`. Returns the error code.
  DWORD WriteTemporary(HANDLE in, const std::wstring& folder, Staged& staged);
  static DWORD CopyData(HANDLE in, HANDLE out, std::uint64_t& copied);
  // Replaces an existing destination; may set error.keptAs. Returns the error code.
  DWORD Replace(Staged& staged, DWORD existing, HostError& error);
  bool MoveWithRetries(const std::wstring& from, const std::wstring& to);
  // Removes what runs that have ended left in `folder`, once per folder and run.
  void RemoveLeftovers(const std::wstring& folder);

  std::uint64_t startTime_;
  Win32Calls calls_;
  unsigned nextTemp_ = 0;
  std::vector<Staged> staged_;
  std::size_t uncommitted_ = 0;
  std::vector<std::wstring> committed_;  // since the last sync
  // Hashes a staged destination is known by: its text, its own identity, and
  // its folder's identity with its name.
  std::unordered_set<std::size_t> stagedKeys_;
  std::set<std::wstring> cleanedFolders_;

  std::wstring payloadFolder_;   // the private folder of an unpacked payload, while the run goes
  UniqueFile payloadLock_;       // its lock file, held open without delete sharing
};

// The host's description of Win32 error `code`: the system message without
// its trailing line break, or "Windows error N" when there is none.
std::wstring WindowsErrorText(unsigned long code);

// Fills `error` with `code` and its description; returns false.
bool Fail(HostError& error, unsigned long code, bool aboutSource = false);

// The folder of `path`; a drive root keeps its "\".
std::wstring FolderOf(const std::wstring& path);

// `path` made absolute (against the current folder) in the "\\?\" form, so
// that paths longer than MAX_PATH work with the wide file functions.
std::wstring ExtendedPath(const std::wstring& path);

}  // namespace mirrolet::win32
