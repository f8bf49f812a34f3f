// The Linux stand-in host: the same operations with their Windows meaning,
// on a terminal, a .reg file for a registry, and an INI reader of our own.
#pragma once

#include <sys/stat.h>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/host_path.h"
#include "base/ini_document.h"
#include "os/posix/regular_file.h"
#include "platform/posix/reg_text.h"
#include "platform/posix/run_files.h"
#include "platform/posix/system_calls.h"

namespace mirrolet::posix {

// What GetPrivateProfileStringA writes for `value` into a buffer of `size`
// bytes (at least 1): its ANSI bytes, never a character split, then a NUL.
// Returns the count the profile function returns.
std::uint32_t FillProfileBuffer(std::wstring_view value, char* buffer, std::uint32_t size);

class PosixPlatform : public Platform {
 public:
  // `registryFile` is the .reg export that stands in for the registry; a
  // missing or unreadable file is an empty registry.
  explicit PosixPlatform(std::string registryFile);

  // MIRROLET_REGISTRY, else /etc/mirrolet/registry.reg.
  static std::string RegistryFileFromEnvironment();

  int ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) override;
  void EndProcess(unsigned exitCode) override;
  std::wstring ExecutableFolder() override;
  std::wstring FindFileName(const std::wstring& path) override;
  bool StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                 HostError& error) override;  // staging.cpp, with the rest of the copy
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
  PayloadState UnpackPayload(std::wstring& folder, HostError& error) override;  // payload_posix.cpp
  void RemovePayload() override;

  // For tests: `faults` is asked before each system call of the copy by its
  // name (see SystemCalls) and makes that call fail with the errno value it
  // returns, unless it returns 0.
  void InjectFaults(std::function<int(const char* call)> faults) { sys_.Inject(std::move(faults)); }

 private:
  // Kept small: a pass of 10,000 entries holds 10,000 of them.
  struct Staged {
    std::string target;  // the destination as resolved when staged; empty once committed or discarded
    unsigned temp = 0;   // the temporary's number, beside the target
    dev_t device = 0;
    bool flushed = false;
  };
  // The lock this run holds in a folder while it has temporaries there.
  struct FolderLock {
    UniqueFd fd;
    std::string path;
    bool fuse = false;  // on a FUSE file system, where syncfs does not reach the data
  };
  std::string TempPath(const Staged& staged) const;
  // Checks the destination of a copy as Windows would; fills `replaced` when it exists.
  bool CheckDestination(const std::string& to, const struct stat& source, struct stat& folder,
                        std::optional<struct stat>& replaced, HostError& error);
  // Copies the open source `in` into a new temporary beside `to`. Returns 0 or an errno value.
  int WriteTemporary(int in, const struct stat& source, const std::string& to,
                     const std::optional<struct stat>& replaced, unsigned& number);
  // Copies all of `in` to `out`, in the kernel where it can. Returns 0 or an
  // errno value; `copied` counts the bytes.
  int CopyData(int in, int out, off_t& copied);
  // Gives the temporary `fd` the owner and mode of the file it replaces.
  int TakePermissions(int fd, const struct stat& replaced, const std::string& to);
  // Removes what runs that have provably ended left in `folder`, once per folder and run.
  void RemoveLeftovers(const std::string& folder);
  bool RunEnded(const std::string& folder, const RunId& run, UniqueFd& lock);
  // This run's lock in `folder`, taken on first use. Returns 0 or an errno value.
  int LockFolder(const std::string& folder);
  void ReleaseLocksWhenIdle();
  // Hashes a staged destination is known by: its own identity, and its
  // folder's identity with its folded name.
  void RememberDestination(const std::string& to, const struct stat& folder, const std::optional<struct stat>& replaced);

  const Registry& LoadedRegistry();
  // The parsed profile file, or nullptr when it cannot be read. The last
  // file is kept while its identity, size and modification time stay the same.
  const IniDocument* LoadProfile(const std::string& fileName);

  PathResolver paths_;
  std::string registryFile_;
  std::optional<Registry> registry_;
  std::map<HostKey, std::wstring> openKeys_;
  HostKey nextKey_ = 1;

  struct CachedProfile {
    std::string name;  // as the run gave it
    std::string path;  // as it resolved
    struct stat stat {};
    IniDocument document;
  };
  std::optional<CachedProfile> profile_;

  RunId run_;
  SystemCalls sys_;
  unsigned nextTemp_ = 0;
  std::deque<Staged> staged_;  // grows without copying, for a long pass
  std::size_t uncommitted_ = 0;
  std::unordered_set<std::size_t> stagedKeys_;
  std::map<std::string, FolderLock> locks_;
  std::set<std::string> foldersToSync_;
  std::set<std::string> cleanedFolders_;

  std::string payloadFolder_;  // the private folder of an unpacked payload, while the run goes
  UniqueFd payloadLock_;       // held for as long as the run goes
};

// The Windows error code for errno value `error`, as the stand-in reports it.
unsigned long WindowsCode(int error);

}  // namespace mirrolet::posix
