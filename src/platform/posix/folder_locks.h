// How the stand-in tells a live run's temporaries from a dead one's: a run
// holds a lock file in each folder where it has temporaries (flock), so
// another run can prove it has ended by taking that lock.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>

#include "os/posix/unique_fd.h"
#include "platform/posix/host_path.h"
#include "platform/posix/run_files.h"
#include "platform/posix/system_calls.h"

namespace mirrolet::posix {

// Our own code from PinnedFolders::Pin: a link on the way that the run does not follow.
inline constexpr int kUntrustedLink = -3;

// Whether a link owned by `owner` may lead this run: one it or root made.
// Anyone else could be someone with fewer rights than the run, steering it
// out of the folder they may change (the kernel's rule for sticky folders).
bool TrustedLinkOwner(uid_t owner);

// The destination folders of a pass, each opened once by walking its path
// from "/" (or the current folder) one part at a time without following a
// link the run does not trust, and held open: every later call for a file
// in it goes through "/proc/self/fd/N/NAME", so no one can swap a part of
// the path for a link after it was checked.
class PinnedFolders {
 public:
  // Fills `at` with the "/proc/self/fd/N" of `folder`, opened on first use.
  // Returns 0, an errno value, or kUntrustedLink with `link` the link's path
  // as it was reached.
  int Pin(const std::string& folder, std::string& at, std::string& link);
  // The "/proc/self/fd/N" of a pinned `folder`.
  const std::string& At(const std::string& folder) const { return pinned_.at(folder).at; }
  void ReleaseAll() { pinned_.clear(); }

 private:
  struct Pinned {
    UniqueFd fd;
    std::string at;
  };
  std::map<std::string, Pinned> pinned_;
};

class FolderLocks {
 public:
  // The locks of run `run`; names change through `paths` and the copy's
  // calls go through `sys`, both of which must outlive this.
  FolderLocks(const RunId& run, PathResolver& paths, SystemCalls& sys);

  // This run's lock in `folder`, taken on first use. Returns 0 or an errno
  // value. `at` is where the folder is reached (see PinnedFolders); `folder`
  // is its name for the path cache.
  int Lock(const std::string& folder, const std::string& at);
  bool Holds(const std::string& folder) const { return held_.contains(folder); }
  // Whether the held `folder` is on FUSE, where syncfs does not reach the data.
  bool OnFuse(const std::string& folder) const { return held_.at(folder).fuse; }
  // A syncfs of the held `folder`'s file system, through its lock, which
  // needs no right to read the folder. Returns 0 or an errno value.
  int SyncFileSystem(const std::string& folder);
  // Gives up every lock, once the run has no temporaries left.
  void ReleaseAll();

  // Removes what runs that have provably ended left in `folder`, once per folder and run.
  void RemoveLeftovers(const std::string& folder, const std::string& at);

 private:
  struct Held {
    UniqueFd fd;
    std::string path;
    bool fuse = false;
  };
  bool RunEnded(const std::string& at, const RunId& run, UniqueFd& lock);

  RunId run_;
  PathResolver& paths_;
  SystemCalls& sys_;
  std::map<std::string, Held> held_;
  std::set<std::string> cleaned_;
};

}  // namespace mirrolet::posix
