// How the stand-in tells a live run's temporaries from a dead one's: a run
// holds a lock file in each folder where it has temporaries (flock), so
// another run can prove it has ended by taking that lock.
#pragma once

#include <map>
#include <set>
#include <string>

#include "os/posix/unique_fd.h"
#include "platform/posix/host_path.h"
#include "platform/posix/run_files.h"
#include "platform/posix/system_calls.h"

namespace mirrolet::posix {

class FolderLocks {
 public:
  // The locks of run `run`; names change through `paths` and the copy's
  // calls go through `sys`, both of which must outlive this.
  FolderLocks(const RunId& run, PathResolver& paths, SystemCalls& sys);

  // This run's lock in `folder`, taken on first use. Returns 0 or an errno value.
  int Lock(const std::string& folder);
  bool Holds(const std::string& folder) const { return held_.contains(folder); }
  // Whether the held `folder` is on FUSE, where syncfs does not reach the data.
  bool OnFuse(const std::string& folder) const { return held_.at(folder).fuse; }
  // A syncfs of the held `folder`'s file system, through its lock, which
  // needs no right to read the folder. Returns 0 or an errno value.
  int SyncFileSystem(const std::string& folder);
  // Gives up every lock, once the run has no temporaries left.
  void ReleaseAll();

  // Removes what runs that have provably ended left in `folder`, once per folder and run.
  void RemoveLeftovers(const std::string& folder);

 private:
  struct Held {
    UniqueFd fd;
    std::string path;
    bool fuse = false;
  };
  bool RunEnded(const std::string& folder, const RunId& run, UniqueFd& lock);

  RunId run_;
  PathResolver& paths_;
  SystemCalls& sys_;
  std::map<std::string, Held> held_;
  std::set<std::string> cleaned_;
};

}  // namespace mirrolet::posix
