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

#include "platform/carried_payload.h"
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
  // `program` is the program's own file, which carries `source`.
  bool StageCarried(const CarriedFile& source, int program, const std::wstring& destination, StageId& id,
                    HostError& error);
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
  // What a temporary is written from: the source's size, mode and times
  // (st_dev 0 for a carried file, which is no file of the disk), and what
  // fills it, returning 0 or an errno value (or one of our own codes).
  struct Content {
    struct stat source;
    std::function<int(int out)> copy;
  };
  std::string TempPath(const Staged& staged) const;
  // Where the calls reach `to`: its name in its pinned folder.
  std::string Via(const std::string& to) const;
  // A destination resolved and checked, before the source is opened.
  struct Target {
    std::string to;  // the name for the path cache and the destination's keys
    std::string at;  // its folder, pinned (see PinnedFolders)
    struct stat folder;
    std::optional<struct stat> replaced;
  };
  // Checks the destination of a copy as Windows would; fills `replaced` when it exists.
  bool CheckDestination(Target& target, const struct stat& source, HostError& error);
  bool Resolve(const std::wstring& destination, const struct stat& source, Target& target, HostError& error);
  // The staging both kinds of source share, once source and destination are known to be good.
  bool StageContent(const Content& content, const Target& target, StageId& id, HostError& error);
  // Writes `content` into a new temporary beside `to`. Returns 0 or an errno value.
  int WriteTemporary(const Content& content, const Target& target, unsigned& number);
  // Writes carried `source` to `out` through the program, checking it as it goes.
  int StreamCarried(const CarriedFile& source, int out);
  // Copies all of `in` to `out`, in the kernel where it can. Returns 0 or an
  // errno value; `copied` counts the bytes.
  int CopyData(int in, int out, std::uint64_t& copied);
  // Gives the temporary `fd` the owner and mode of the file it replaces.
  int TakePermissions(int fd, const struct stat& replaced, const std::string& to);
  // Once nothing is staged, the run's locks and the pass's destinations go,
  // and its folders once their commits are synced.
  void ReleaseWhenIdle();

  PathResolver& paths_;
  RunId run_;
  SystemCalls sys_;
  PinnedFolders pins_;  // before locks_, whose files are reached through them
  FolderLocks locks_;  // after run_ and sys_, which it uses
  DestinationKeys keys_;
  unsigned nextTemp_ = 0;
  std::deque<Staged> staged_;  // grows without copying, for a long pass
  std::size_t uncommitted_ = 0;
  std::set<std::string> foldersToSync_;
};

}  // namespace mirrolet::posix
