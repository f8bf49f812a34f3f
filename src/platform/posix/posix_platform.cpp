#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cwctype>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "platform/posix/host_path.h"
#include "platform/posix/locale_text.h"
#include "settings/name_fold.h"

namespace mirrolet::posix {

unsigned long WindowsCode(int error) {
  switch (error) {
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES: case EPERM: case EISDIR: case EROFS: return kErrorAccessDenied;
    case ETXTBSY: case EBUSY: case EWOULDBLOCK: return kErrorSharingViolation;
    case ENOSPC: case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case ENOMEM: return kErrorNotEnoughMemory;
    default: return kErrorGenFailure;
  }
}

namespace {

bool Fail(HostError& error, unsigned long code, int errnoValue) {
  error.code = code;
  error.description = ErrnoText(errnoValue);
  return false;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Whether another program holds `path` open in a way Windows would refuse to
// write over: a running executable, or an exclusive lock.
bool InUse(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ETXTBSY;
  const Fd file(fd);
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  ::flock(file.get(), LOCK_UN);
  return false;
}

// The bytes of the regular file `path` (a link to one is fine), or nothing
// when it is missing, not a regular file, unreadable or larger than
// kMaxSettingsFileSize. A FIFO or a device never blocks or floods the run.
std::optional<std::string> ReadSettingsFile(const std::string& path) {
  const Fd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > kMaxSettingsFileSize) {
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(file.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;  // it shrank while we read
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// When the process `pid` started, in clock ticks after boot (field 22 of
// /proc/PID/stat), or nothing when there is no such process.
std::optional<unsigned long long> ProcessStartTime(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  const std::size_t close = line.rfind(')');  // the command name may hold anything
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return std::nullopt;
}

constexpr char kTempPrefix[] = ".mirrolet-";
constexpr char kTempSuffix[] = ".tmp";

// A temporary file's name: ".mirrolet-PID-START-N.tmp", with the process id
// and start time of the run that made it, so that a later run can tell a
// leftover of a run that has ended from the file of one still going.
std::string TempName(long pid, unsigned long long start, unsigned n) {
  return kTempPrefix + std::to_string(pid) + "-" + std::to_string(start) + "-" + std::to_string(n) + kTempSuffix;
}

// The run behind a temporary file's name, or nothing when the name is not
// exactly of that form.
std::optional<std::pair<long, unsigned long long>> TempOwner(std::string_view name) {
  if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) return std::nullopt;
  name.remove_prefix(sizeof kTempPrefix - 1);
  name.remove_suffix(sizeof kTempSuffix - 1);
  unsigned long long numbers[3] = {};
  for (int i = 0; i < 3; ++i) {
    const std::size_t end = i < 2 ? name.find('-') : name.size();
    const std::string_view digits = name.substr(0, end);
    if (digits.empty() || digits.size() > 19 || end == std::string_view::npos ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
      return std::nullopt;
    }
    numbers[i] = std::strtoull(std::string(digits).c_str(), nullptr, 10);
    name.remove_prefix(i < 2 ? end + 1 : end);
  }
  return std::make_pair(static_cast<long>(numbers[0]), numbers[1]);
}

}  // namespace

PosixPlatform::PosixPlatform(std::string registryFile)
    : registryFile_(std::move(registryFile)),
      pid_(::getpid()),
      startTime_(ProcessStartTime(pid_).value_or(0)) {
  umask_ = ::umask(0);
  ::umask(umask_);
}

std::string PosixPlatform::RegistryFileFromEnvironment() {
  const char* path = std::getenv("MIRROLET_REGISTRY");
  return path && *path ? path : "/etc/mirrolet/registry.reg";
}

int PosixPlatform::ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  std::cerr << "\n[" << ForTerminal(title) << "]\n" << ForTerminal(text) << "\n";
  if ((style & 0x0F) != kMbYesNo) {
    std::cerr << "[確定]" << std::flush;
    if (::isatty(STDIN_FILENO)) {
      std::string line;
      std::getline(std::cin, line);
    } else {
      std::cerr << "\n";
    }
    return kIdOk;
  }
  for (;;) {
    std::cerr << "[是(Y)/否(N)] " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) {
      std::cerr << "\n";
      return kIdNo;  // no one left to ask
    }
    std::wstring answer = FromTerminal(line);
    while (!answer.empty() && std::iswspace(static_cast<wint_t>(answer.back()))) answer.pop_back();
    while (!answer.empty() && std::iswspace(static_cast<wint_t>(answer.front()))) answer.erase(0, 1);
    answer = FoldName(answer);
    if (answer == L"Y" || answer == L"YES" || answer == L"是") return kIdYes;
    if (answer == L"N" || answer == L"NO" || answer == L"否") return kIdNo;
  }
}

void PosixPlatform::EndProcess(unsigned exitCode) {
  std::cerr.flush();
  std::exit(static_cast<int>(exitCode));
}

std::wstring PosixPlatform::ExecutableFolder() {
  std::vector<char> target(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", target.data(), target.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < target.size()) return LocaleToWide(ParentPath(std::string(target.data(), n)));
    target.resize(target.size() * 2);
  }
}

std::wstring PosixPlatform::FindFileName(const std::wstring& path) {
  if (path.empty() || path.back() == L'\\' || path.back() == L'/') return {};
  const std::string native = paths_.NativePath(path);
  // Only plain files count: a FIFO or a device is nothing Windows would find.
  struct stat st;
  if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const DosAttributes attributes = ReadDosAttributes(native);
  if (attributes.hidden || attributes.system) return {};
  return LocaleToWide(BaseName(native));
}

int PosixPlatform::Fault(const char* call) {
  const int injected = faults_ ? faults_(call) : 0;
  if (injected != 0) errno = injected;
  return injected;
}

int PosixPlatform::CopyData(int in, int out) {
  for (;;) {
    const ssize_t n = Fault("copy_file_range") ? -1 : ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return 0;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return errno;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = Fault("read") ? -1 : ::read(in, buffer.data(), buffer.size());
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put =
          Fault("write") ? -1 : ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += put;
    }
  }
}

void PosixPlatform::RemoveLeftovers(const std::string& folder) {
  if (!cleanedFolders_.insert(folder).second) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(Fault("opendir") ? nullptr : ::opendir(folder.c_str()), ::closedir);
  if (!dir) return;  // the copy itself will say what is wrong with the folder
  std::vector<std::string> ended;
  while (const dirent* entry = ::readdir(dir.get())) {
    const auto owner = TempOwner(entry->d_name);
    if (!owner || (owner->first == pid_ && owner->second == startTime_)) continue;
    // Another run's file stays while that run goes on.
    if (ProcessStartTime(owner->first) == owner->second) continue;
    ended.push_back(folder + "/" + entry->d_name);
  }
  for (const std::string& path : ended) {
    if (!Fault("unlink")) ::unlink(path.c_str());
  }
}

bool PosixPlatform::StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                              HostError& error) {
  // The checks come in the order Windows makes them, so each case fails with
  // the code Windows would give.
  const std::string from = paths_.NativePath(source);
  struct stat sourceStat;
  if (::stat(from.c_str(), &sourceStat) != 0) {
    const int why = errno;
    if (why != ENOENT && why != ENOTDIR) return Fail(error, WindowsCode(why), why);
    struct stat parent;
    const bool inFolder = ::stat(ParentPath(from).c_str(), &parent) == 0 && S_ISDIR(parent.st_mode);
    return Fail(error, inFolder ? kErrorFileNotFound : kErrorPathNotFound, why);
  }
  if (S_ISDIR(sourceStat.st_mode)) return Fail(error, kErrorAccessDenied, EISDIR);

  if (destination.empty()) return Fail(error, kErrorPathNotFound, ENOENT);
  const std::string to = paths_.NativePath(destination);
  const std::string folder = ParentPath(to);
  struct stat folderStat;
  if (::stat(folder.c_str(), &folderStat) != 0) return Fail(error, WindowsCode(errno) == kErrorFilenameExcedRange ? kErrorFilenameExcedRange : kErrorPathNotFound, errno);
  if (!S_ISDIR(folderStat.st_mode)) return Fail(error, kErrorPathNotFound, ENOTDIR);

  struct stat destinationStat;
  const bool replacing = ::stat(to.c_str(), &destinationStat) == 0;
  if (replacing) {
    if (S_ISDIR(destinationStat.st_mode)) return Fail(error, kErrorAccessDenied, EISDIR);
    // Root passes every permission check; Windows still refuses a read-only file.
    if ((destinationStat.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return Fail(error, kErrorAccessDenied, EACCES);
    if (::faccessat(AT_FDCWD, to.c_str(), W_OK, AT_EACCESS) != 0) return Fail(error, WindowsCode(errno), errno);
    if (ReadDosAttributes(to).hidden) return Fail(error, kErrorAccessDenied, EACCES);
    if (!S_ISREG(destinationStat.st_mode)) return Fail(error, kErrorAccessDenied, EACCES);
    if (destinationStat.st_dev == sourceStat.st_dev && destinationStat.st_ino == sourceStat.st_ino) {
      return Fail(error, kErrorSharingViolation, EBUSY);
    }
    if (InUse(to)) return Fail(error, kErrorSharingViolation, ETXTBSY);
  } else if (errno == ENAMETOOLONG) {
    return Fail(error, kErrorFilenameExcedRange, ENAMETOOLONG);
  } else if (!to.empty() && to.back() == '/') {
    return Fail(error, kErrorPathNotFound, ENOTDIR);
  }

  // O_NONBLOCK: a FIFO put in place of the source after the check above must
  // not hang the run; it is refused below like any file that is not plain.
  const Fd in(Fault("open") ? -1 : ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (in.get() < 0) return Fail(error, WindowsCode(errno), errno);
  struct stat opened;
  if (::fstat(in.get(), &opened) != 0) return Fail(error, WindowsCode(errno), errno);
  if (!S_ISREG(opened.st_mode)) return Fail(error, kErrorAccessDenied, EACCES);

  RemoveLeftovers(folder);
  // A hidden temporary beside the destination. Its name carries this run's
  // process id and start time; a bounded number of names is tried.
  const std::string base = folder == "/" ? std::string() : folder;
  std::string temp;
  int tempFd = -1;
  int why = 0;
  unsigned number = 0;
  for (unsigned attempt = 0; tempFd < 0 && attempt < 100; ++attempt) {
    number = nextTemp_++;
    temp = base + "/" + TempName(pid_, startTime_, number);
    tempFd = Fault("open") ? -1 : ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    why = tempFd < 0 ? errno : 0;
    if (tempFd < 0 && why != EEXIST) break;
  }
  if (tempFd < 0) return Fail(error, WindowsCode(why), why);
  const Fd out(tempFd);

  // Room for the whole file at once: a full disk shows now, and the file
  // system lays the data out in one go rather than block by block.
  if (opened.st_size > 0 && (Fault("fallocate") || ::fallocate(out.get(), 0, 0, opened.st_size) != 0) &&
      errno != EOPNOTSUPP) {
    why = errno;
  }
  if (why == 0) why = CopyData(in.get(), out.get());
  if (why == 0) why = TakePermissions(out.get(), replacing ? &destinationStat : nullptr, sourceStat, to);
  const struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
  if (why == 0 && (Fault("futimens") || ::futimens(out.get(), times) != 0)) why = errno;
  if (why != 0) {
    ::unlink(temp.c_str());
    return Fail(error, WindowsCode(why), why);
  }

  id = staged_.size();
  staged_.push_back({to, number, folderStat.st_dev, false});
  return true;
}

int PosixPlatform::TakePermissions(int fd, const struct stat* replaced, const struct stat& source,
                                   const std::string& to) {
  mode_t mode = source.st_mode & 0777 & ~umask_;  // never setuid, setgid or sticky from the update
  if (replaced != nullptr) {
    // Replacing keeps what the file was: owner, group, mode, DOS attributes.
    mode = replaced->st_mode & 07777;
    if ((replaced->st_uid != ::geteuid() || replaced->st_gid != ::getegid()) &&
        (Fault("fchown") || ::fchown(fd, replaced->st_uid, replaced->st_gid) != 0)) {
      if (errno != EPERM) return errno;
      mode &= 0777;  // a file that cannot keep its owner must not keep setuid either
    }
    char attributes[64];
    const ssize_t size = ::getxattr(to.c_str(), "user.DOSATTRIB", attributes, sizeof attributes);
    if (size > 0) ::fsetxattr(fd, "user.DOSATTRIB", attributes, static_cast<std::size_t>(size), 0);
  }
  if (Fault("fchmod") || ::fchmod(fd, mode) != 0) return errno;
  return 0;
}

std::string PosixPlatform::TempPath(const Staged& staged) const {
  const std::string folder = ParentPath(staged.target);
  return (folder == "/" ? std::string() : folder) + "/" + TempName(pid_, startTime_, staged.temp);
}

bool PosixPlatform::FlushStaged(HostError& error) {
  // One syncfs per file system makes every staged file durable with one
  // journal commit, where an fsync per file would pay one each.
  std::vector<dev_t> flushed;
  for (Staged& staged : staged_) {
    if (staged.flushed || staged.target.empty()) continue;
    if (std::find(flushed.begin(), flushed.end(), staged.device) == flushed.end()) {
      const Fd folder(Fault("open") ? -1 : ::open(ParentPath(staged.target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (folder.get() < 0 || Fault("syncfs") || ::syncfs(folder.get()) != 0) return Fail(error, WindowsCode(errno), errno);
      flushed.push_back(staged.device);
    }
    staged.flushed = true;
  }
  return true;
}

bool PosixPlatform::CommitStaged(StageId id, HostError& error) {
  Staged& staged = staged_.at(id);
  if (Fault("rename") || ::rename(TempPath(staged).c_str(), staged.target.c_str()) != 0) {
    return Fail(error, WindowsCode(errno), errno);
  }
  paths_.Created(staged.target);
  foldersToSync_.insert(ParentPath(staged.target));
  staged = Staged{};
  return true;
}

void PosixPlatform::DiscardStaged(StageId id) {
  Staged& staged = staged_.at(id);
  if (!staged.target.empty() && !Fault("unlink")) ::unlink(TempPath(staged).c_str());
  staged = Staged{};
}

bool PosixPlatform::SyncCommitted(HostError& error) {
  // A rename is durable only once its folder is.
  bool ok = true;
  for (const std::string& folder : foldersToSync_) {
    const Fd fd(Fault("open") ? -1 : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (ok && (fd.get() < 0 || Fault("fsync") || ::fsync(fd.get()) != 0)) ok = Fail(error, WindowsCode(errno), errno);
  }
  foldersToSync_.clear();
  return ok;
}

std::wstring PosixPlatform::PathKey(const std::wstring& path) {
  std::wstring absolute = path;
  if (absolute.empty() || (absolute.front() != L'/' && absolute.front() != L'\\')) {
    char* cwd = ::getcwd(nullptr, 0);
    absolute = (cwd ? LocaleToWide(cwd) : std::wstring()) + L"/" + absolute;
    std::free(cwd);
  }
  std::vector<std::wstring_view> parts;
  const std::wstring_view text = absolute;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find_first_of(L"/\\", start);
    if (end == std::wstring_view::npos) end = text.size();
    const std::wstring_view part = text.substr(start, end - start);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::wstring key;
  for (const std::wstring_view part : parts) key.append(L"/").append(part);
  return FoldName(key);
}

std::string PosixPlatform::ToAnsi(std::wstring_view text) { return WideToLocale(text); }

std::wstring PosixPlatform::FromAnsi(std::string_view text) { return LocaleToWide(text); }

std::wstring PosixPlatform::AnsiSafePath(const std::wstring& path, HostError& error) {
  bool lossless = true;
  WideToLocale(path, &lossless);
  if (!lossless) {
    Fail(error, kErrorNoUnicodeTranslation, EILSEQ);
    return {};
  }
  // A list past the size bound would read as empty: a failure, not a list
  // without entries.
  struct stat st;
  if (::stat(paths_.NativePath(path).c_str(), &st) == 0 && st.st_size > kMaxSettingsFileSize) {
    Fail(error, kErrorFileTooLarge, EFBIG);
    return {};
  }
  return path;
}

const Registry& PosixPlatform::LoadedRegistry() {
  if (!registry_) {
    const auto bytes = ReadSettingsFile(registryFile_);
    registry_ = Registry::Parse(bytes.value_or(std::string()), LocaleToWide);
  }
  return *registry_;
}

long PosixPlatform::RegOpenKeyA(const std::string& subKey, HostKey* key) {
  if (key == nullptr) return kErrorInvalidParameter;
  *key = 0;
  std::wstring path = LocaleToWide(subKey);
  if (path.starts_with(L'\\')) return kErrorBadPathname;
  while (path.ends_with(L'\\')) path.pop_back();

  const Registry& registry = LoadedRegistry();
  if (!registry.HasKey(path)) {
    // A 64-bit process sees the 64-bit view; a product set up by a 32-bit
    // installer is found in the 32-bit one, as the Windows host does.
    const std::wstring software = L"SOFTWARE\\";  // as folded
    if (!FoldName(path).starts_with(software)) return kErrorFileNotFound;
    path.insert(software.size(), L"WOW6432Node\\");
    if (!registry.HasKey(path)) return kErrorFileNotFound;
  }
  *key = nextKey_++;
  openKeys_[*key] = path;
  return kErrorSuccess;
}

long PosixPlatform::RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size) {
  const auto open = openKeys_.find(key);
  if (open == openKeys_.end()) return kErrorInvalidHandle;
  const RegValue* value = LoadedRegistry().Find(open->second, LocaleToWide(valueName));
  if (value == nullptr) {
    if (type) *type = 0;
    if (data == nullptr && size) *size = 0;
    return kErrorFileNotFound;
  }
  if (type) *type = value->type;

  std::string bytes;
  if (value->IsText()) {
    bytes = WideToLocale(value->text);
    if (value->terminated) bytes += '\0';
  } else {
    bytes.assign(value->bytes.begin(), value->bytes.end());
  }
  const auto needed = static_cast<std::uint32_t>(bytes.size());
  if (data == nullptr) {
    if (size) *size = needed;
    return kErrorSuccess;
  }
  if (size == nullptr) return kErrorNoAccess;  // as Windows answers a missing size
  if (*size < needed) {
    *size = needed;
    return kErrorMoreData;  // and the buffer stays as it was
  }
  std::memcpy(data, bytes.data(), bytes.size());
  // Text stored without a terminator gets one when there is room; it is not counted.
  if (value->IsText() && !value->terminated && *size > needed) data[needed] = 0;
  *size = needed;
  return kErrorSuccess;
}

long PosixPlatform::RegCloseKey(HostKey key) {
  return openKeys_.erase(key) ? kErrorSuccess : static_cast<long>(kErrorInvalidHandle);
}

const IniDocument* PosixPlatform::LoadProfile(const std::string& fileName) {
  const std::string native = paths_.NativePath(LocaleToWide(fileName));
  struct stat now;
  if (::stat(native.c_str(), &now) != 0 || !S_ISREG(now.st_mode)) return nullptr;
  if (profile_ && profile_->path == native && profile_->stat.st_dev == now.st_dev &&
      profile_->stat.st_ino == now.st_ino && profile_->stat.st_size == now.st_size &&
      profile_->stat.st_mtim.tv_sec == now.st_mtim.tv_sec && profile_->stat.st_mtim.tv_nsec == now.st_mtim.tv_nsec &&
      // The change time moves with every write, also when the modification time is put back.
      profile_->stat.st_ctim.tv_sec == now.st_ctim.tv_sec && profile_->stat.st_ctim.tv_nsec == now.st_ctim.tv_nsec) {
    return &profile_->document;
  }
  profile_.reset();
  auto bytes = ReadSettingsFile(native);
  if (!bytes) return nullptr;
  // The bytes go before the parse, so the file is not held three times over.
  const std::wstring text = DecodeProfileBytes(*bytes, LocaleToWide);
  bytes.reset();
  profile_ = CachedProfile{native, now, IniDocument::Parse(text)};
  return &profile_->document;
}

std::uint32_t PosixPlatform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                   int defaultValue, const std::string& fileName) {
  const IniDocument* document = LoadProfile(fileName);
  const auto raw = document ? document->Find(LocaleToWide(section), LocaleToWide(key)) : std::nullopt;
  const auto value = raw ? ProfileInt(*raw) : std::nullopt;
  return value.value_or(static_cast<std::uint32_t>(defaultValue));
}

std::uint32_t PosixPlatform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                      const std::string& defaultValue, char* buffer,
                                                      std::uint32_t size, const std::string& fileName) {
  if (size == 0 || buffer == nullptr) return 0;
  const IniDocument* document = LoadProfile(fileName);
  const auto raw = document ? document->Find(LocaleToWide(section), LocaleToWide(key)) : std::nullopt;
  const std::wstring value = raw ? ProfileValue(*raw) : ProfileDefault(LocaleToWide(defaultValue));

  return FillProfileBuffer(value, buffer, size);
}

std::uint32_t FillProfileBuffer(std::wstring_view value, char* buffer, std::uint32_t size) {
  // Whole characters only: a double-byte character that does not fit is left
  // out rather than split, and the count then says the buffer was filled.
  std::uint32_t written = 0;
  for (const wchar_t c : value) {
    const std::string bytes = WideToLocale(std::wstring_view(&c, 1));
    if (written + bytes.size() > size - 1) {
      buffer[written] = '\0';
      return size - 1;
    }
    std::memcpy(buffer + written, bytes.data(), bytes.size());
    written += static_cast<std::uint32_t>(bytes.size());
  }
  buffer[written] = '\0';
  return written;
}

}  // namespace mirrolet::posix
