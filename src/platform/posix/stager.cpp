// While a run has temporaries in a folder it holds a lock there, which is
// what tells another run (in another pid namespace, or on another machine
// sharing the folder) that they are not leftovers.
#include "platform/posix/stager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <vector>

#include "base/utf8.h"
#include "os/posix/dos_attributes.h"
#include "os/posix/whole_io.h"
#include "platform/posix/host_error.h"

namespace mirrolet::posix {

namespace {

// Our own codes: a source that changed while it was copied, a carried file
// whose bytes are not the payload's.
constexpr int kSourceChanged = -1;
constexpr int kPayloadDamaged = -2;

// Files from this size on get their room reserved before they are written.
constexpr off_t kReserveFrom = 64 << 10;

// Up to this many staged files on one file system are flushed one by one;
// more are flushed with one syncfs.
constexpr std::size_t kFlushEachUpTo = 16;

// Whether another program holds `path` open in a way Windows would refuse to
// write over: a running executable, or an exclusive lock.
bool InUse(const std::string& path) {
  // Opened as what is under the name; a link is opened through only when
  // the run trusts it, and one it does not trust is replaced as itself.
  const UniqueFd named(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat found;
  if (!named || ::fstat(named.get(), &found) != 0) return false;
  if (S_ISLNK(found.st_mode) && !TrustedLinkOwner(found.st_uid)) return false;
  const std::string object = S_ISLNK(found.st_mode) ? path : "/proc/self/fd/" + std::to_string(named.get());
  const UniqueFd file(::open(object.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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

bool UntrustedLink(HostError& error, const std::string& link) {
  error = HostError(kErrorUntrustedLink, L"The way to the destination goes through a link this run does not follow.");
  error.link = FromUtf8(link);
  return false;
}

}  // namespace

Stager::Stager(PathResolver& paths)
    : paths_(paths), run_{::getpid(), ProcessStartTime(::getpid()).value_or(0)}, locks_(run_, paths, sys_) {}

std::string Stager::TempPath(const Staged& staged) const {
  return ChildPath(pins_.At(ParentPath(staged.target)), TempName(run_, staged.temp));
}

std::string Stager::Via(const std::string& to) const { return ChildPath(pins_.At(ParentPath(to)), BaseName(to)); }

bool Stager::Stage(const std::wstring& source, const std::wstring& destination, StageId& id, HostError& error) {
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
  if (S_ISDIR(sourceStat.st_mode)) {
    error.aboutSource = true;
    return Fail(error, kErrorAccessDenied, EISDIR);
  }

  Target target;
  if (!Resolve(destination, sourceStat, target, error)) return false;

  // O_NONBLOCK: a FIFO put in place of the source after the check above must
  // not hang the run; it is refused below like any file that is not plain.
  const UniqueFd in(sys_.open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened;
  if (!in || ::fstat(in.get(), &opened) != 0) {
    error.aboutSource = true;
    return Fail(error, WindowsCode(errno), errno);
  }
  if (!S_ISREG(opened.st_mode)) {
    error.aboutSource = true;
    return Fail(error, kErrorAccessDenied, EACCES);
  }
  const int fd = in.get();
  return StageContent({opened, [this, fd, opened](int out) {
                         std::uint64_t copied = 0;
                         const int why = CopyData(fd, out, copied);
                         // A source that another program truncated, extended or rewrote meanwhile
                         // would land as neither its old nor its new self (zeros where it shrank,
                         // as the room was reserved): the copy fails instead.
                         struct stat after;
                         if (why == 0 && (copied != static_cast<std::uint64_t>(opened.st_size) ||
                                          ::fstat(fd, &after) != 0 || after.st_size != opened.st_size ||
                                          !SameTime(after.st_mtim, opened.st_mtim))) {
                           return kSourceChanged;
                         }
                         return why;
                       }},
                      target, id, error);
}

bool Stager::StageCarried(const CarriedFile& source, int program, const std::wstring& destination, StageId& id,
                          HostError& error) {
  // A new file gets the mode a file of the update folder would have had:
  // executable when it could be run where it was packed.
  Content content{};
  content.source.st_mode = S_IFREG | (source.executable ? 0777 : 0666);
  content.source.st_size = static_cast<off_t>(source.size);
  content.source.st_atim.tv_nsec = content.source.st_mtim.tv_nsec = UTIME_OMIT;
  content.copy = [this, &source, program](int out) {
    // In the kernel, as a file of a folder is copied, straight from the
    // program's file, which cannot change while it runs. Bytes not yet found
    // whole are then hashed as the temporary holds them: the very bytes
    // written, read back from the page cache, which costs a fraction of
    // copying them through the program.
    auto at = static_cast<off_t>(source.offset);
    for (std::uint64_t left = source.size; left > 0;) {
      const ssize_t n =
          sys_.copy_file_range(program, out, static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 30)), &at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) && left == source.size) {
        return StreamCarried(source, out);  // no kernel copy here
      }
      if (n <= 0) return n == 0 ? EIO : errno;
      left -= static_cast<std::uint64_t>(n);
    }
    if (source.checked) return 0;
    int why = 0;
    const bundle::Unpacked checked = source.check([&](const ByteSink& into) {
      std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(source.size, 1 << 20)));
      for (std::uint64_t done = 0; done < source.size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), source.size - done));
        if (!ReadAllAt(out, done, buffer.data(), n)) return (why = errno ? errno : EIO), false;
        into(buffer.data(), n);
        done += n;
      }
      return true;
    });
    if (why != 0) return why;
    return checked == bundle::Unpacked::kDone ? 0 : kPayloadDamaged;
  };
  Target target;
  return Resolve(destination, content.source, target, error) && StageContent(content, target, id, error);
}

int Stager::StreamCarried(const CarriedFile& source, int out) {
  int why = 0;
  const bundle::Unpacked streamed = source.stream([&](const std::uint8_t* bytes, std::size_t size) {
    why = WriteAll(out, bytes, size, [this](int fd, const void* b, std::size_t n) { return sys_.write(fd, b, n); });
    return why == 0;
  });
  if (streamed == bundle::Unpacked::kDamaged) return kPayloadDamaged;
  return streamed == bundle::Unpacked::kDone ? 0 : (why != 0 ? why : EIO);
}

bool Stager::Resolve(const std::wstring& destination, const struct stat& source, Target& target, HostError& error) {
  if (destination.empty()) return Fail(error, kErrorPathNotFound, ENOENT);
  target.to = paths_.NativePath(destination);
  std::string link;
  const int why = pins_.Pin(ParentPath(target.to), target.at, link);
  if (why == kUntrustedLink) return UntrustedLink(error, link);
  if (why != 0) return Fail(error, FolderCode(why), why);
  return CheckDestination(target, source, error);
}

bool Stager::StageContent(const Content& content, const Target& target, StageId& id, HostError& error) {
  const std::string& to = target.to;
  const std::optional<struct stat>& replaced = target.replaced;
  const struct stat& folderStat = target.folder;
  const std::string folder = ParentPath(to);
  locks_.RemoveLeftovers(folder, target.at);
  unsigned number = 0;
  int why = locks_.Lock(folder, target.at);
  if (why == 0) why = WriteTemporary(content, target, number);
  if (why == kSourceChanged || why == kPayloadDamaged) {
    error = why == kSourceChanged ? HostError{kErrorSourceChanged, L"The source changed while it was copied.", true}
                                  : HostError{kErrorPayloadDamaged, L"The update's file is not the one it was packed with.", true};
    ReleaseWhenIdle();
    return false;
  }
  if (why != 0) {
    ReleaseWhenIdle();
    return Fail(error, WindowsCode(why), why);
  }
  if (!replaced) paths_.Pending(to);
  keys_.Remember(to, folderStat, replaced);
  id = staged_.size();
  staged_.push_back({to, number, folderStat.st_dev, false, replaced.has_value()});
  ++uncommitted_;
  return true;
}

bool Stager::CheckDestination(Target& target, const struct stat& source, HostError& error) {
  const std::string& to = target.to;
  if (::stat(target.at.c_str(), &target.folder) != 0) return Fail(error, FolderCode(errno), errno);
  if (!S_ISDIR(target.folder.st_mode)) return Fail(error, kErrorPathNotFound, ENOTDIR);

  const std::string via = ChildPath(target.at, BaseName(to));
  struct stat existing;
  // A link in place of the destination that the run does not trust is
  // replaced by a plain file like any link, but nothing looks through it.
  if (::lstat(via.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode) && !TrustedLinkOwner(existing.st_uid)) {
    return true;
  }
  if (::stat(via.c_str(), &existing) != 0) {
    if (errno == ENAMETOOLONG) return Fail(error, kErrorFilenameExcedRange, ENAMETOOLONG);
    if (!to.empty() && to.back() == '/') return Fail(error, kErrorPathNotFound, ENOTDIR);
    return true;
  }
  if (S_ISDIR(existing.st_mode)) return Fail(error, kErrorAccessDenied, EISDIR);
  // Root passes every permission check; Windows still refuses a read-only file.
  if ((existing.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    error.readOnly = true;
    return Fail(error, kErrorAccessDenied, EACCES);
  }
  if (::faccessat(AT_FDCWD, via.c_str(), W_OK, AT_EACCESS) != 0) return Fail(error, WindowsCode(errno), errno);
  if (ReadDosAttributes(via).hidden) return Fail(error, kErrorAccessDenied, EACCES);
  if (!S_ISREG(existing.st_mode)) return Fail(error, kErrorAccessDenied, EACCES);
  if (existing.st_dev == source.st_dev && existing.st_ino == source.st_ino) {
    return Fail(error, kErrorSharingViolation, EBUSY);
  }
  if (InUse(via)) return Fail(error, kErrorSharingViolation, ETXTBSY);
  target.replaced = existing;
  return true;
}

int Stager::WriteTemporary(const Content& content, const Target& target, unsigned& number) {
  const struct stat& source = content.source;
  const std::optional<struct stat>& replaced = target.replaced;
  // A hidden temporary beside the destination; a bounded number of names is tried.
  const std::string folder = ParentPath(target.to);
  std::string temp;
  int created = -1;
  int why = EEXIST;
  for (unsigned attempt = 0; created < 0 && why == EEXIST && attempt < 100; ++attempt) {
    number = nextTemp_++;
    temp = ChildPath(target.at, TempName(run_, number));
    why = paths_.OwnChange(folder, [&] {
      // A new file is made with the source's permission bits, which the
      // umask trims as it should; a replacement is given its own below.
      // Open for reading too: a carried file is checked as the temporary holds it.
      created = sys_.open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, replaced ? 0600 : source.st_mode & 0777);
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
  if (why == 0) why = content.copy(out.get());
  if (why == 0 && replaced) why = TakePermissions(out.get(), *replaced, ChildPath(target.at, BaseName(target.to)));
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  if (why == 0 && sys_.futimens(out.get(), times) != 0) why = errno;
  if (why != 0) paths_.OwnChange(folder, [&] { return ::unlink(temp.c_str()); });
  return why;
}

int Stager::CopyData(int in, int out, std::uint64_t& copied) {
  for (;;) {
    const ssize_t n = sys_.copy_file_range(in, out, 1 << 30);
    if (n == 0) return 0;
    if (n > 0) {
      copied += static_cast<std::uint64_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return errno;
  }
  return CopyRest(
      in, out, copied, [this](int fd, void* buffer, std::size_t size) { return sys_.read(fd, buffer, size); },
      [this](int fd, const void* buffer, std::size_t size) { return sys_.write(fd, buffer, size); });
}

int Stager::TakePermissions(int fd, const struct stat& replaced, const std::string& to) {
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

bool Stager::CheckReplaceable(StageId id, HostError& error) {
  // The same test as staging's: a program that started running the file, or
  // locked it, since then. A destination that was new has nothing in use.
  const Staged& staged = staged_.at(id);
  if (staged.replaces && InUse(Via(staged.target))) return Fail(error, kErrorSharingViolation, ETXTBSY);
  return true;
}

bool Stager::Flush(StageId& failed, HostError& error) {
  // Many files are made durable by one syncfs per file system, with one
  // journal commit where an fsync per file would pay one each; it goes
  // through the lock held in the folder, so it needs no right to read the
  // folder. A few files are flushed each by itself, so that what else waits
  // on the disk (other programs' writes) is not written with them. On FUSE, where syncfs does not
  // reach the daemon, every file is flushed by itself.
  std::map<dev_t, std::size_t> waiting;
  for (const Staged& staged : staged_) {
    if (!staged.flushed && !staged.target.empty()) ++waiting[staged.device];
  }
  std::vector<dev_t> synced;
  for (StageId id = 0; id < staged_.size(); ++id) {
    Staged& staged = staged_[id];
    if (staged.flushed || staged.target.empty()) continue;
    const std::string folder = ParentPath(staged.target);
    int why = 0;
    if (locks_.OnFuse(folder) || waiting[staged.device] <= kFlushEachUpTo) {
      const UniqueFd file(sys_.open(TempPath(staged).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
      if (!file || sys_.fsync(file.get()) != 0) why = errno;
    } else if (std::find(synced.begin(), synced.end(), staged.device) == synced.end()) {
      why = locks_.SyncFileSystem(folder);
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

bool Stager::Commit(StageId id, HostError& error) {
  Staged& staged = staged_.at(id);
  const std::string folder = ParentPath(staged.target);
  const int why = paths_.OwnChange(folder, [&] {
    return sys_.rename(TempPath(staged).c_str(), Via(staged.target).c_str()) == 0 ? 0 : errno;
  });
  if (why != 0) return Fail(error, WindowsCode(why), why);
  paths_.Settled(staged.target, true);
  foldersToSync_.insert(folder);
  staged = Staged{};
  --uncommitted_;
  return true;
}

void Stager::Discard(StageId id) {
  Staged& staged = staged_.at(id);
  if (!staged.target.empty()) {
    paths_.OwnChange(ParentPath(staged.target), [&] { return sys_.unlink(TempPath(staged).c_str()); });
    paths_.Settled(staged.target, false);
    --uncommitted_;
  }
  staged = Staged{};
  ReleaseWhenIdle();
}

bool Stager::SyncCommitted(HostError& error) {
  // A rename is durable only once its folder is.
  bool ok = true;
  for (const std::string& folder : foldersToSync_) {
    const UniqueFd fd(sys_.open(pins_.At(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int why = 0;
    if (!fd) {
      why = errno;
      // A folder we may write but not read (mode 733) cannot be opened to be
      // synced; its file system can, through the lock held in it.
      if ((why == EACCES || why == EPERM) && locks_.Holds(folder)) why = locks_.SyncFileSystem(folder);
    } else if (sys_.fsync(fd.get()) != 0) {
      why = errno;
    }
    if (ok && why != 0) ok = Fail(error, WindowsCode(why), why);
  }
  foldersToSync_.clear();
  ReleaseWhenIdle();
  return ok;
}

bool Stager::IsStagedDestination(const std::wstring& path) {
  // Resolving the path costs a folder listing; a pass with nothing staged needs none.
  return !keys_.Empty() && keys_.Contains(paths_.NativePath(path));
}

void Stager::ReleaseWhenIdle() {
  if (uncommitted_ != 0) return;
  locks_.ReleaseAll();
  keys_.Clear();
  if (foldersToSync_.empty()) pins_.ReleaseAll();
}

}  // namespace mirrolet::posix
