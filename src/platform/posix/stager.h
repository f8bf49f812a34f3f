// The stand-in's copy: each file staged as a hidden temporary beside its
// destination, flushed with the rest of the pass, then renamed into place,
// with the Windows meaning of the host's stage, flush, commit and sync.
#pragma once

#include <sys/stat.h>

#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "platform/platform.h"
#include "platform/posix/destination_keys.h"
#include "platform/posix/folder_locks.h"
#include "platform/posix/host_path.h"
#include "platform/posix/run_files.h"
#include "platform/posix/system_calls.h"

namespace mirrolet::posix {

class Stager {
 public:
  // Paths resolve through `paths`, which must outlive the stager.
  explicit Stager(PathResolver& paths);

  bool Stage(const std::wstring& source, const std::wstring& destination, StageId& id, HostError& error);
  bool Flush(StageId& failed, HostError& error);
  bool Commit(StageId id, HostError& error);
  bool CheckReplaceable(StageId id, HostError& error);
  void Discard(StageId id);
  bool SyncCommitted(HostError& error);
  bool IsStagedDestination(const std::wstring& path);

  // `faults` is asked before each system call of the copy by its name (see
  // SystemCalls) and makes that call fail with the errno value it returns,
  // unless it returns 0.
  void InjectFaults(std::function<int(const char* call)> faults) { sys_.Inject(std::move(faults)); }

 private:
  // Kept small: a pass of 10,000 entries holds 10,000 of them.
  struct Staged {
    std::string target;  // the destination as resolved when staged; empty once committed or discarded
    unsigned temp = 0;   // the temporary's number, beside the target
    dev_t device = 0;
    bool flushed = false;
    bool replaces = false;  // the destination existed when staged
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
  int CopyData(int in, int out, std::uint64_t& copied);
  // Gives the temporary `fd` the owner and mode of the file it replaces.
  int TakePermissions(int fd, const struct stat& replaced, const std::string& to);
  // Once nothing is staged, the run's locks and the pass's destinations go.
  void ReleaseWhenIdle();

  PathResolver& paths_;
  RunId run_;
  SystemCalls sys_;
  FolderLocks locks_;  // after run_ and sys_, which it uses
  DestinationKeys keys_;
  unsigned nextTemp_ = 0;
  std::deque<Staged> staged_;  // grows without copying, for a long pass
  std::size_t uncommitted_ = 0;
  std::set<std::string> foldersToSync_;
};

}  // namespace mirrolet::posix
