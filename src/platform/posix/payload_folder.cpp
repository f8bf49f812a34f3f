#include "platform/posix/payload_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/bundle_format.h"
#include "base/utf8.h"
#include "os/posix/errno_text.h"
#include "os/posix/whole_io.h"
#include "os/sha256.h"
#include "platform/payload_state.h"
#include "platform/posix/host_error.h"
#include "platform/posix/host_path.h"
#include "platform/posix/locale_text.h"

namespace mirrolet::posix {

namespace {

constexpr char kFolderPrefix[] = "mirrolet-bundle-";
// Inside the private folder: the lock its run holds, and the update's files
// beside it, so that no file of the update can take the lock's name.
constexpr char kLockName[] = "lock";
constexpr char kFilesName[] = "update";

std::string TempFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

// Removes the folder `path` and all it holds, however deep: one folder open
// at a time, going down by name and back up by "..", so neither the stack,
// the open files nor PATH_MAX limit the depth. Each folder is listed once,
// its files go at once and its folders are kept by name for later, so the
// work is linear in what it holds. Links are removed, never followed. When
// ".." is not the folder it came from (the tree was moved meanwhile), it stops.
void RemoveTree(const std::string& path) {
  struct Folder {
    std::string name;  // in its parent
    dev_t device;
    ino_t inode;
    std::vector<std::string> folders;  // not yet removed
  };
  std::vector<Folder> open;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  // Lists the folder `fd` is, as the deepest of `open`, removing what is not a folder.
  const auto enter = [&](std::string name) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return false;
    open.push_back({std::move(name), st.st_dev, st.st_ino, {}});
    const UniqueDir dir(::fdopendir(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0)));
    if (!dir) return false;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string_view child = entry->d_name;
      if (child == "." || child == "..") continue;
      bool folder = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat cst;
        folder = ::fstatat(fd.get(), entry->d_name, &cst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(cst.st_mode);
      }
      if (folder || ::unlinkat(fd.get(), entry->d_name, 0) != 0) open.back().folders.emplace_back(child);
    }
    return true;
  };
  if (!fd || !enter({})) return;
  while (!open.empty()) {
    Folder& deepest = open.back();
    if (!deepest.folders.empty()) {
      const std::string child = std::move(deepest.folders.back());
      deepest.folders.pop_back();
      UniqueFd down(::openat(fd.get(), child.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!down) continue;  // not a folder after all, or gone: left as it is
      fd = std::move(down);
      if (!enter(child)) return;
      continue;
    }
    const std::string name = std::move(deepest.name);
    open.pop_back();
    if (open.empty()) break;
    UniqueFd up(::openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!up || ::fstat(up.get(), &st) != 0 || st.st_dev != open.back().device || st.st_ino != open.back().inode) return;
    fd = std::move(up);
    ::unlinkat(fd.get(), name.c_str(), AT_REMOVEDIR);
  }
  fd.reset();
  ::rmdir(path.c_str());
}

// Removes the private folders of runs that have ended. A run holds an flock
// on its folder's lock file for as long as it goes, and the kernel drops it
// however the run ends: a lock we can take proves that run is over. A folder
// without a lock file may belong to a run that is just starting, so it stays.
void RemoveEndedRuns(const std::string& temp) {
  const UniqueDir dir(::opendir(temp.c_str()));
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (std::string_view(entry->d_name).rfind(kFolderPrefix, 0) != 0) continue;
    const std::string folder = ChildPath(temp, entry->d_name);
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
    const UniqueFd lock(::open(ChildPath(folder, kLockName).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (lock && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) RemoveTree(folder);
  }
}

// What `errno` says, as the host reports it.
bool FailErrno(HostError& error, int errnoValue) { return Fail(error, WindowsCode(errnoValue), errnoValue); }

// Writes the files into the private folder, made when the first file comes.
class FolderSink final : public bundle::FileSink {
 public:
  FolderSink(std::string& folder, UniqueFd& lock, HostError& error) : folder_(folder), lock_(lock), error_(error) {}

  bool MakeFolder() {
    if (!folder_.empty()) return true;
    std::string pattern = ChildPath(TempFolder(), std::string(kFolderPrefix) + "XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) return FailErrno(error_, errno);  // new, never reused, mode 0700
    folder_ = pattern;
    lock_.reset(
        ::open(ChildPath(folder_, kLockName).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock_ || ::flock(lock_.get(), LOCK_EX) != 0) return FailErrno(error_, errno);
    if (::mkdir(ChildPath(folder_, kFilesName).c_str(), 0700) != 0) return FailErrno(error_, errno);
    return true;
  }

  bool Open(const bundle::FileEntry& entry) override {
    if (!MakeFolder()) return false;
    // Names are checked UTF-8; on disk they are in the locale's encoding, as
    // the copy list's names will be looked up.
    bool lossless = true;
    const std::string name = WideToLocale(FromUtf8(entry.name), &lossless);
    if (!lossless) {
      error_ = {kErrorNoUnicodeTranslation, ErrnoText(EILSEQ)};
      return false;
    }
    // Only the folders the name before did not make, each made once.
    const std::string files = ChildPath(folder_, kFilesName);
    const std::size_t folders = bundle::SharedFolders(previous_, entry.name);
    previous_ = entry.name;
    for (std::size_t slash = 0, skipped = 0; (slash = name.find('/', slash)) != std::string::npos; ++slash) {
      if (skipped < folders) {
        ++skipped;
      } else if (::mkdir(ChildPath(files, name.substr(0, slash)).c_str(), 0700) != 0) {
        return FailErrno(error_, errno);
      }
    }
    // The folder keeps others out; the files get the usual mode, with the
    // execute bits of one that could be run where it was packed, which a new
    // product file takes over from its source, as from a folder update.
    fd_.reset(::open(ChildPath(files, name).c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, entry.executable ? 0777 : 0666));
    return fd_ || FailErrno(error_, errno);
  }

  bool Write(const std::uint8_t* bytes, std::size_t size) override {
    const int why = WriteAll(fd_.get(), bytes, size);
    return why == 0 || FailErrno(error_, why);
  }

  bool Close() override { return ::close(fd_.release()) == 0 || FailErrno(error_, errno); }

 private:
  std::string& folder_;
  UniqueFd& lock_;
  HostError& error_;
  UniqueFd fd_;
  std::string previous_;  // the name of the file before, as stored
};

}  // namespace

PayloadState PayloadFolder::Unpack(std::wstring& folder, HostError& error) {
  const UniqueFd self(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!self || ::fstat(self.get(), &st) != 0) return PayloadState::kNone;
  const bundle::ReadAt read = [fd = self.get()](std::uint64_t offset, std::uint8_t* into, std::size_t size) {
    return ReadAllAt(fd, offset, into, size);
  };
  const auto layout = bundle::ReadProgramLayout(read, static_cast<std::uint64_t>(st.st_size));
  PayloadState state = PayloadState::kNone;
  if (layout && layout->payloadEnd != layout->imageEnd) {
    RemoveEndedRuns(TempFolder());
    FolderSink sink(folder_, lock_, error);
    state = PayloadStateOf(bundle::Unpack(read, *layout, os::NewSha256, sink), [&] { return sink.MakeFolder(); });
  }
  if (state == PayloadState::kUnpacked) {
    folder = LocaleToWide(ChildPath(folder_, kFilesName));
  } else {
    Remove();
  }
  return state;
}

void PayloadFolder::Remove() {
  if (!folder_.empty()) RemoveTree(folder_);
  lock_.reset();
  folder_.clear();
}

}  // namespace mirrolet::posix
