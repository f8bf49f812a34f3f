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
#include <climits>
#include <deque>
#include <cerrno>
#include <vector>

namespace mirrolet::posix {

namespace {

// At most this many links on one path, as the kernel allows.
constexpr int kMaxLinks = 40;

// The parts of `path` in front of those still to walk.
void PutFirst(const std::string& path, std::deque<std::string>& parts) {
  std::vector<std::string> split;
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) split.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  parts.insert(parts.begin(), split.begin(), split.end());
}

}  // namespace

bool TrustedLinkOwner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

int PinnedFolders::Pin(const std::string& folder, std::string& at, std::string& link) {
  if (const auto found = pinned_.find(folder); found != pinned_.end()) {
    at = found->second.at;
    return 0;
  }
  if (folder.size() >= PATH_MAX) return ENAMETOOLONG;  // as the kernel would have said of the whole path
  const bool absolute = !folder.empty() && folder[0] == '/';
  UniqueFd current(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current) return errno;
  std::string reached = absolute ? "/" : ".";  // the path walked so far, to name a link
  std::deque<std::string> parts;
  PutFirst(folder, parts);
  int links = 0;
  while (!parts.empty()) {
    const std::string name = std::move(parts.front());
    parts.pop_front();
    if (name == ".") continue;
    // The part itself, link or not, so that its owner and its target are
    // read from the same object.
    UniqueFd next(::openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat part;
    if (!next || ::fstat(next.get(), &part) != 0) return errno;
    const std::string path = name == ".." ? ParentPath(reached) : ChildPath(reached, name);
    if (S_ISLNK(part.st_mode)) {
      if (!TrustedLinkOwner(part.st_uid)) {
        link = path;
        return kUntrustedLink;
      }
      if (++links > kMaxLinks) return ELOOP;
      char target[PATH_MAX];
      const ssize_t size = ::readlinkat(next.get(), "", target, sizeof target);
      if (size < 0) return errno;
      if (static_cast<std::size_t>(size) == sizeof target) return ENAMETOOLONG;
      const std::string text(target, static_cast<std::size_t>(size));
      if (!text.empty() && text[0] == '/') {
        current.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!current) return errno;
        reached.assign(1, '/');  // (assigning the literal trips a false -Wrestrict in GCC 12 at -O3)
      }
      PutFirst(text, parts);
      continue;
    }
    if (!S_ISDIR(part.st_mode)) return ENOTDIR;
    current = std::move(next);
    reached = path;
  }
  Pinned pinned;
  pinned.at = "/proc/self/fd/" + std::to_string(current.get());
  pinned.fd = std::move(current);
  at = pinned.at;
  pinned_.emplace(folder, std::move(pinned));
  return 0;
}

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

int FolderLocks::Lock(const std::string& folder, const std::string& at) {
  if (held_.contains(folder)) return 0;
  Held lock;
  lock.path = ChildPath(at, LockName(run_));
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

bool FolderLocks::RunEnded(const std::string& at, const RunId& run, UniqueFd& lock) {
  const std::string path = ChildPath(at, LockName(run));
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

void FolderLocks::RemoveLeftovers(const std::string& folder, const std::string& at) {
  if (!cleaned_.insert(folder).second) return;
  std::map<RunId, std::vector<std::string>> byRun;
  {
    const UniqueDir dir(sys_.opendir(at.c_str()));
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
    if (!RunEnded(at, run, lock)) continue;  // another run's files stay while it goes on
    // The lock file last, while we hold its lock.
    std::stable_partition(names.begin(), names.end(), [&](const std::string& name) { return name != LockName(run); });
    // Through the held folder, and unlink never follows the name itself: a
    // link planted under a temporary's name goes as itself.
    for (const std::string& name : names) {
      paths_.OwnChange(folder, [&] { return sys_.unlink(ChildPath(at, name).c_str()); });
    }
  }
}

}  // namespace mirrolet::posix
