// The stand-in's copy: each file staged as a hidden temporary beside its
// destination, flushed with the rest of the pass, then renamed into place.
// While a run has temporaries in a folder it holds a lock there, which is
// what tells another run (in another pid namespace, or on another machine
// sharing the folder) that they are not leftovers.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <vector>

#include "platform/posix/host_error.h"
#include "platform/posix/locale_text.h"
#include "platform/posix/posix_platform.h"
#include "base/name_fold.h"

namespace mirrolet::posix {

namespace {

// Our own code for a source that changed while it was copied.
constexpr int kSourceChanged = -1;

// Files from this size on get their room reserved before they are written.
constexpr off_t kReserveFrom = 64 << 10;

// Up to this many staged files on one file system are flushed one by one;
// more are flushed with one syncfs.
constexpr std::size_t kFlushEachUpTo = 16;

// Whether another program holds `path` open in a way Windows would refuse to
// write over: a running executable, or an exclusive lock.
bool InUse(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file) return errno == ETXTBSY;
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  ::flock(file.get(), LOCK_UN);
  return false;
}

// The code Windows gives when the folder of a destination cannot be looked
// at: missing is 3, but a folder we may not search is 5, as is every other
// cause the error itself names.
unsigned long FolderCode(int error) {
  if (error == ENOENT || error == ENOTDIR) return kErrorPathNotFound;
  return WindowsCode(error);
}

std::size_t Hash(std::string_view kind, dev_t device, ino_t inode, std::wstring_view name = {}) {
  std::size_t hash = std::hash<std::string_view>{}(kind);
  for (const std::size_t part : {std::hash<unsigned long long>{}(device), std::hash<unsigned long long>{}(inode),
                                 std::hash<std::wstring_view>{}(name)}) {
    hash ^= part + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2);
  }
  return hash;
}


}  // namespace

std::string PosixPlatform::TempPath(const Staged& staged) const {
  return ChildPath(ParentPath(staged.target), TempName(run_, staged.temp));
}

bool PosixPlatform::StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                              HostError& error) {
  // The checks come in the order Windows makes them, so each case fails with
  // the code Windows would give.
  const std::string from = paths_.NativePath(source);
  struct stat sourceStat;
  if (::stat(from.c_str(), &sourceStat) != 0) {
    const int why = errno;
    error.aboutSource = true;
    if (why != ENOENT && why != ENOTDIR) return Fail(error, WindowsCode(why), why);
    struct stat parent;
    const bool inFolder = ::stat(ParentPath(from).c_str(), &parent) == 0 && S_ISDIR(parent.st_mode);
    return Fail(error, inFolder ? kErrorFileNotFound : kErrorPathNotFound, why);
  }
  if (S_ISDIR(sourceStat.st_mode)) return Fail(error, kErrorAccessDenied, EISDIR);

  if (destination.empty()) return Fail(error, kErrorPathNotFound, ENOENT);
  const std::string to = paths_.NativePath(destination);
  struct stat folderStat;
  std::optional<struct stat> replaced;
  if (!CheckDestination(to, sourceStat, folderStat, replaced, error)) return false;

  // O_NONBLOCK: a FIFO put in place of the source after the check above must
  // not hang the run; it is refused below like any file that is not plain.
  const UniqueFd in(sys_.open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened;
  if (!in || ::fstat(in.get(), &opened) != 0) {
    error.aboutSource = true;
    return Fail(error, WindowsCode(errno), errno);
  }
  if (!S_ISREG(opened.st_mode)) return Fail(error, kErrorAccessDenied, EACCES);

  const std::string folder = ParentPath(to);
  RemoveLeftovers(folder);
  unsigned number = 0;
  int why = LockFolder(folder);
  if (why == 0) why = WriteTemporary(in.get(), opened, to, replaced, number);
  if (why == kSourceChanged) {
    error = {kErrorSourceChanged, L"The source changed while it was copied.", true};
    ReleaseLocksWhenIdle();
    return false;
  }
  if (why != 0) {
    ReleaseLocksWhenIdle();
    return Fail(error, WindowsCode(why), why);
  }
  if (!replaced) paths_.Pending(to);
  RememberDestination(to, folderStat, replaced);
  id = staged_.size();
  staged_.push_back({to, number, folderStat.st_dev, false});
  ++uncommitted_;
  return true;
}

bool PosixPlatform::CheckDestination(const std::string& to, const struct stat& source, struct stat& folder,
                                     std::optional<struct stat>& replaced, HostError& error) {
  if (::stat(ParentPath(to).c_str(), &folder) != 0) return Fail(error, FolderCode(errno), errno);
  if (!S_ISDIR(folder.st_mode)) return Fail(error, kErrorPathNotFound, ENOTDIR);

  struct stat existing;
  if (::stat(to.c_str(), &existing) != 0) {
    if (errno == ENAMETOOLONG) return Fail(error, kErrorFilenameExcedRange, ENAMETOOLONG);
    if (!to.empty() && to.back() == '/') return Fail(error, kErrorPathNotFound, ENOTDIR);
    return true;
  }
  if (S_ISDIR(existing.st_mode)) return Fail(error, kErrorAccessDenied, EISDIR);
  // Root passes every permission check; Windows still refuses a read-only file.
  if ((existing.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return Fail(error, kErrorAccessDenied, EACCES);
  if (::faccessat(AT_FDCWD, to.c_str(), W_OK, AT_EACCESS) != 0) return Fail(error, WindowsCode(errno), errno);
  if (ReadDosAttributes(to).hidden) return Fail(error, kErrorAccessDenied, EACCES);
  if (!S_ISREG(existing.st_mode)) return Fail(error, kErrorAccessDenied, EACCES);
  if (existing.st_dev == source.st_dev && existing.st_ino == source.st_ino) {
    return Fail(error, kErrorSharingViolation, EBUSY);
  }
  if (InUse(to)) return Fail(error, kErrorSharingViolation, ETXTBSY);
  replaced = existing;
  return true;
}

int PosixPlatform::WriteTemporary(int in, const struct stat& source, const std::string& to,
                                  const std::optional<struct stat>& replaced, unsigned& number) {
  // A hidden temporary beside the destination; a bounded number of names is tried.
  const std::string folder = ParentPath(to);
  std::string temp;
  int created = -1;
  int why = EEXIST;
  for (unsigned attempt = 0; created < 0 && why == EEXIST && attempt < 100; ++attempt) {
    number = nextTemp_++;
    temp = ChildPath(folder, TempName(run_, number));
    why = paths_.OwnChange(folder, [&] {
      // A new file is made with the source's permission bits, which the
      // umask trims as it should; a replacement is given its own below.
      created = sys_.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, replaced ? 0600 : source.st_mode & 0777);
      return created < 0 ? errno : 0;
    });
  }
  if (created < 0) return why;
  const UniqueFd out(created);

  // Room for a large file at once: a full disk shows now, and the file system
  // lays the data out in one go rather than block by block. A small file is
  // written in one go anyway, and reserving it would cost a journal entry.
  if (source.st_size >= kReserveFrom && sys_.fallocate(out.get(), source.st_size) != 0 && errno != EOPNOTSUPP) {
    why = errno;
  }
  off_t copied = 0;
  if (why == 0) why = CopyData(in, out.get(), copied);
  // A source that another program truncated, extended or rewrote meanwhile
  // would land as neither its old nor its new self (zeros where it shrank,
  // as the room was reserved): the copy fails instead.
  struct stat after;
  if (why == 0 && (copied != source.st_size || ::fstat(in, &after) != 0 || after.st_size != source.st_size ||
                   !SameTime(after.st_mtim, source.st_mtim))) {
    why = kSourceChanged;
  }
  if (why == 0 && replaced) why = TakePermissions(out.get(), *replaced, to);
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  if (why == 0 && sys_.futimens(out.get(), times) != 0) why = errno;
  if (why != 0) paths_.OwnChange(folder, [&] { return ::unlink(temp.c_str()); });
  return why;
}

int PosixPlatform::CopyData(int in, int out, off_t& copied) {
  for (;;) {
    const ssize_t n = sys_.copy_file_range(in, out, 1 << 30);
    if (n == 0) return 0;
    if (n > 0) {
      copied += n;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return errno;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = sys_.read(in, buffer.data(), buffer.size());
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = sys_.write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += put;
    }
    copied += got;
  }
}

int PosixPlatform::TakePermissions(int fd, const struct stat& replaced, const std::string& to) {
  // Replacing keeps what the file was: owner, group, mode, DOS attributes.
  mode_t mode = replaced.st_mode & 07777;
  if ((replaced.st_uid != ::geteuid() || replaced.st_gid != ::getegid()) &&
      sys_.fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
    if (errno != EPERM) return errno;
    mode &= 0777;  // a file that cannot keep its owner must not keep setuid either
  }
  char attributes[64];
  const ssize_t size = ::getxattr(to.c_str(), "user.DOSATTRIB", attributes, sizeof attributes);
  if (size > 0) ::fsetxattr(fd, "user.DOSATTRIB", attributes, static_cast<std::size_t>(size), 0);
  if (sys_.fchmod(fd, mode) != 0) return errno;
  return 0;
}

bool PosixPlatform::FlushStaged(StageId& failed, HostError& error) {
  // Many files are made durable by one syncfs per file system, with one
  // journal commit where an fsync per file would pay one each; it goes
  // through the lock held in the folder, so it needs no right to read the
  // folder. A few files are flushed each by itself, so that what else waits
  // on the disk (a bundle's unpacked files, which are never read again once
  // the run ends) is not written with them. On FUSE, where syncfs does not
  // reach the daemon, every file is flushed by itself.
  std::map<dev_t, std::size_t> waiting;
  for (const Staged& staged : staged_) {
    if (!staged.flushed && !staged.target.empty()) ++waiting[staged.device];
  }
  std::vector<dev_t> synced;
  for (StageId id = 0; id < staged_.size(); ++id) {
    Staged& staged = staged_[id];
    if (staged.flushed || staged.target.empty()) continue;
    const FolderLock& lock = locks_.at(ParentPath(staged.target));
    int why = 0;
    if (lock.fuse || waiting[staged.device] <= kFlushEachUpTo) {
      const UniqueFd file(sys_.open(TempPath(staged).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
      if (!file || sys_.fsync(file.get()) != 0) why = errno;
    } else if (std::find(synced.begin(), synced.end(), staged.device) == synced.end()) {
      if (sys_.syncfs(lock.fd.get()) != 0) why = errno;
      synced.push_back(staged.device);
    }
    if (why != 0) {
      failed = id;
      return Fail(error, WindowsCode(why), why);
    }
    staged.flushed = true;
  }
  return true;
}

bool PosixPlatform::CommitStaged(StageId id, HostError& error) {
  Staged& staged = staged_.at(id);
  const std::string folder = ParentPath(staged.target);
  const int why = paths_.OwnChange(folder, [&] {
    return sys_.rename(TempPath(staged).c_str(), staged.target.c_str()) == 0 ? 0 : errno;
  });
  if (why != 0) return Fail(error, WindowsCode(why), why);
  paths_.Settled(staged.target, true);
  foldersToSync_.insert(folder);
  staged = Staged{};
  --uncommitted_;
  return true;
}

void PosixPlatform::DiscardStaged(StageId id) {
  Staged& staged = staged_.at(id);
  if (!staged.target.empty()) {
    paths_.OwnChange(ParentPath(staged.target), [&] { return sys_.unlink(TempPath(staged).c_str()); });
    paths_.Settled(staged.target, false);
    --uncommitted_;
  }
  staged = Staged{};
  ReleaseLocksWhenIdle();
}

bool PosixPlatform::SyncCommitted(HostError& error) {
  // A rename is durable only once its folder is.
  bool ok = true;
  for (const std::string& folder : foldersToSync_) {
    const UniqueFd fd(sys_.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int why = 0;
    if (!fd) {
      why = errno;
      // A folder we may write but not read (mode 733) cannot be opened to be
      // synced; its file system can, through the lock held in it.
      const auto lock = locks_.find(folder);
      if ((why == EACCES || why == EPERM) && lock != locks_.end()) why = sys_.syncfs(lock->second.fd.get()) == 0 ? 0 : errno;
    } else if (sys_.fsync(fd.get()) != 0) {
      why = errno;
    }
    if (ok && why != 0) ok = Fail(error, WindowsCode(why), why);
  }
  foldersToSync_.clear();
  ReleaseLocksWhenIdle();
  return ok;
}

void PosixPlatform::RememberDestination(const std::string& to, const struct stat& folder,
                                        const std::optional<struct stat>& replaced) {
  // The folder's identity and the folded name stand for every spelling of the
  // path, links and ".." included; the file's own identity for a link to it.
  stagedKeys_.insert(Hash("entry", folder.st_dev, folder.st_ino, FoldName(LocaleToWide(BaseName(to)))));
  if (replaced) stagedKeys_.insert(Hash("file", replaced->st_dev, replaced->st_ino));
}

bool PosixPlatform::IsStagedDestination(const std::wstring& path) {
  // Hashes only, so a long pass costs little memory: a collision costs no
  // more than an early commit.
  if (stagedKeys_.empty()) return false;
  const std::string native = paths_.NativePath(path);
  struct stat st;
  // A file that exists is known by its identity; one that does not yet may be
  // a new destination, known by its folder's identity and its name.
  if (::stat(native.c_str(), &st) == 0) return stagedKeys_.contains(Hash("file", st.st_dev, st.st_ino));
  return ::stat(ParentPath(native).c_str(), &st) == 0 &&
         stagedKeys_.contains(Hash("entry", st.st_dev, st.st_ino, FoldName(LocaleToWide(BaseName(native)))));
}

}  // namespace mirrolet::posix
