// A process id says nothing across pid namespaces, /proc with hidepid, or two
// machines sharing a folder; a lock says the same everywhere.
#include "platform/posix/folder_locks.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace mirrolet::posix {

FolderLocks::FolderLocks(const RunId& run, PathResolver& paths, SystemCalls& sys)
    : run_(run), paths_(paths), sys_(sys) {
  // A lock per destination folder is held while the run copies into it: a
  // long list over many folders must not run out of descriptors.
  struct rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

int FolderLocks::Lock(const std::string& folder) {
  if (held_.contains(folder)) return 0;
  Held lock;
  lock.path = ChildPath(folder, LockName(run_));
  int why = paths_.OwnChange(folder, [&] {
    lock.fd.reset(::open(lock.path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    return lock.fd ? 0 : errno;
  });
  if (why == 0 && ::flock(lock.fd.get(), LOCK_EX | LOCK_NB) != 0) why = errno;
  if (why != 0) {
    if (lock.fd) ::unlink(lock.path.c_str());
    return why;
  }
  struct statfs fs;
  lock.fuse = ::fstatfs(lock.fd.get(), &fs) == 0 && fs.f_type == FUSE_SUPER_MAGIC;
  held_.emplace(folder, std::move(lock));
  return 0;
}

int FolderLocks::SyncFileSystem(const std::string& folder) {
  return sys_.syncfs(held_.at(folder).fd.get()) == 0 ? 0 : errno;
}

void FolderLocks::ReleaseAll() {
  // The file goes before the lock: whoever opens it meanwhile finds it no
  // longer under its name and leaves it alone (see RunEnded).
  for (const auto& held : held_) {
    const std::string& path = held.second.path;
    paths_.OwnChange(held.first, [&] { return ::unlink(path.c_str()); });
  }
  held_.clear();
}

bool FolderLocks::RunEnded(const std::string& folder, const RunId& run, UniqueFd& lock) {
  const std::string path = ChildPath(folder, LockName(run));
  lock.reset(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!lock) {
    // No lock file: a run that copied before runs held locks, judged by its
    // process as then; a process this one cannot see counts as ended.
    return errno == ENOENT && ProcessStartTime(run.pid) != run.start;
  }
  // A run holds its lock until it has no temporaries left here. Taking it
  // proves the run has ended, wherever it ran; the file must still be the
  // one under that name, or the run may have made a new one meanwhile.
  struct stat held, named;
  return ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(lock.get(), &held) == 0 &&
         ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void FolderLocks::RemoveLeftovers(const std::string& folder) {
  if (!cleaned_.insert(folder).second) return;
  std::map<RunId, std::vector<std::string>> byRun;
  {
    const UniqueDir dir(sys_.opendir(folder.c_str()));
    if (!dir) return;  // the copy itself will say what is wrong with the folder
    while (const dirent* entry = ::readdir(dir.get())) {
      const auto owner = RunFileOwner(entry->d_name);
      if (owner && *owner != run_) byRun[*owner].push_back(entry->d_name);
    }
  }
  for (auto& owned : byRun) {
    const RunId& run = owned.first;
    std::vector<std::string>& names = owned.second;
    UniqueFd lock;
    if (!RunEnded(folder, run, lock)) continue;  // another run's files stay while it goes on
    // The lock file last, while we hold its lock.
    std::stable_partition(names.begin(), names.end(), [&](const std::string& name) { return name != LockName(run); });
    for (const std::string& name : names) {
      paths_.OwnChange(folder, [&] { return sys_.unlink(ChildPath(folder, name).c_str()); });
    }
  }
}

}  // namespace mirrolet::posix
