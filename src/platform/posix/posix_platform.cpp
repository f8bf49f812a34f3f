#include "platform/posix/posix_platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>

#include "platform/posix/host_path.h"
#include "platform/posix/locale_text.h"

namespace mirrolet::posix {

namespace {

// Windows error codes the copy reports, so both hosts fail alike.
constexpr unsigned long kFileNotFound = 2;
constexpr unsigned long kPathNotFound = 3;
constexpr unsigned long kAccessDenied = 5;
constexpr unsigned long kSharingViolation = 32;
constexpr unsigned long kDiskFull = 112;
constexpr unsigned long kGenFailure = 31;
constexpr long kInvalidHandle = 6;
constexpr long kBadPathname = 161;

unsigned long WindowsCode(int error) {
  switch (error) {
    case ENOENT: return kFileNotFound;
    case ENOTDIR: return kPathNotFound;
    case EACCES: case EPERM: case EISDIR: case EROFS: return kAccessDenied;
    case ETXTBSY: case EBUSY: case EWOULDBLOCK: return kSharingViolation;
    case ENOSPC: case EDQUOT: return kDiskFull;
    default: return kGenFailure;
  }
}

bool Fail(HostError& error, unsigned long code, int errnoValue) {
  error.code = code;
  error.description = ErrnoText(errnoValue);
  return false;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(bytes).str();
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

// Copies all of `in` to `out`: in-kernel where the file systems allow it,
// else through a buffer. Returns 0 or an errno value.
int CopyData(int in, int out) {
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) return 0;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return errno;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += put;
    }
  }
}

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

}  // namespace

PosixPlatform::PosixPlatform(std::string registryFile) : registryFile_(std::move(registryFile)) {}

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
    if (answer == L"y" || answer == L"yes" || answer == L"是") return kIdYes;
    if (answer == L"n" || answer == L"no" || answer == L"否") return kIdNo;
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
  struct stat st;
  if (::stat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return {};
  const DosAttributes attributes = ReadDosAttributes(native);
  if (attributes.hidden || attributes.system) return {};
  return LocaleToWide(BaseName(native));
}

bool PosixPlatform::CopyFileReplacing(const std::wstring& source, const std::wstring& destination,
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
    return Fail(error, inFolder ? kFileNotFound : kPathNotFound, why);
  }
  if (S_ISDIR(sourceStat.st_mode)) return Fail(error, kAccessDenied, EISDIR);

  if (destination.empty()) return Fail(error, kPathNotFound, ENOENT);
  const std::string to = paths_.NativePath(destination);
  const std::string folder = ParentPath(to);
  struct stat folderStat;
  if (::stat(folder.c_str(), &folderStat) != 0) return Fail(error, kPathNotFound, errno);
  if (!S_ISDIR(folderStat.st_mode)) return Fail(error, kPathNotFound, ENOTDIR);

  struct stat destinationStat;
  if (::stat(to.c_str(), &destinationStat) == 0) {
    if (S_ISDIR(destinationStat.st_mode)) return Fail(error, kAccessDenied, EISDIR);
    // Root ignores permission bits, Windows does not ignore read-only.
    if ((destinationStat.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return Fail(error, kAccessDenied, EACCES);
    if (ReadDosAttributes(to).hidden) return Fail(error, kAccessDenied, EACCES);
    if (destinationStat.st_dev == sourceStat.st_dev && destinationStat.st_ino == sourceStat.st_ino) {
      return Fail(error, kSharingViolation, EBUSY);
    }
    if (InUse(to)) return Fail(error, kSharingViolation, ETXTBSY);
  } else if (!to.empty() && to.back() == '/') {
    return Fail(error, kPathNotFound, ENOTDIR);
  }

  const Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return Fail(error, WindowsCode(errno), errno);

  // The new content goes to a hidden temporary beside the destination and
  // replaces it in one rename, so a copy that fails half way (a full disk, a
  // pulled medium) leaves the product's old file untouched.
  static std::mt19937_64 random{std::random_device{}()};
  std::string temp;
  int tempFd = -1;
  for (int attempt = 0; tempFd < 0; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".mirrolet-%016llx.tmp", static_cast<unsigned long long>(random()));
    temp = (folder == "/" ? "" : folder) + "/" + name;
    tempFd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, sourceStat.st_mode & 07777);
    if (tempFd < 0 && (errno != EEXIST || attempt > 100)) return Fail(error, WindowsCode(errno), errno);
  }
  const Fd out(tempFd);

  int why = CopyData(in.get(), out.get());
  const struct timespec times[2] = {sourceStat.st_atim, sourceStat.st_mtim};
  if (why == 0 && ::fchmod(out.get(), sourceStat.st_mode & 07777) != 0) why = errno;
  if (why == 0 && ::futimens(out.get(), times) != 0) why = errno;
  if (why == 0 && ::fsync(out.get()) != 0) why = errno;
  if (why == 0 && ::rename(temp.c_str(), to.c_str()) != 0) why = errno;
  if (why != 0) {
    ::unlink(temp.c_str());
    return Fail(error, WindowsCode(why), why);
  }
  paths_.Created(to);
  return true;
}

std::string PosixPlatform::ToAnsi(std::wstring_view text) { return WideToLocale(text); }

std::wstring PosixPlatform::FromAnsi(std::string_view text) { return LocaleToWide(text); }

std::wstring PosixPlatform::AnsiSafePath(const std::wstring& path, HostError& error) {
  bool lossless = true;
  WideToLocale(path, &lossless);
  if (lossless) return path;
  error.code = 1113;  // no mapping for the Unicode character in the code page
  error.description = ErrnoText(EILSEQ);
  return {};
}

const Registry& PosixPlatform::LoadedRegistry() {
  if (!registry_) {
    const auto bytes = ReadWholeFile(registryFile_);
    registry_ = Registry::Parse(bytes.value_or(std::string()), LocaleToWide);
  }
  return *registry_;
}

long PosixPlatform::RegOpenKeyA(const std::string& subKey, HostKey* key) {
  if (key == nullptr) return 87;
  *key = 0;
  std::wstring path = LocaleToWide(subKey);
  if (path.starts_with(L'\\')) return kBadPathname;
  while (path.ends_with(L'\\')) path.pop_back();

  const Registry& registry = LoadedRegistry();
  if (!registry.HasKey(path)) {
    // A 64-bit process sees the 64-bit view; a product set up by a 32-bit
    // installer is found in the 32-bit one, as the Windows host does.
    const std::wstring software = L"software\\";
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
  if (open == openKeys_.end()) return kInvalidHandle;
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
  if (size == nullptr) return 998;  // ERROR_NOACCESS, as Windows answers a missing size
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

long PosixPlatform::RegCloseKey(HostKey key) { return openKeys_.erase(key) ? kErrorSuccess : kInvalidHandle; }

const IniDocument* PosixPlatform::LoadProfile(const std::string& fileName) {
  const std::string native = paths_.NativePath(LocaleToWide(fileName));
  struct stat now;
  if (::stat(native.c_str(), &now) != 0 || S_ISDIR(now.st_mode)) return nullptr;
  if (profile_ && profile_->path == native && profile_->stat.st_dev == now.st_dev &&
      profile_->stat.st_ino == now.st_ino && profile_->stat.st_size == now.st_size &&
      profile_->stat.st_mtim.tv_sec == now.st_mtim.tv_sec && profile_->stat.st_mtim.tv_nsec == now.st_mtim.tv_nsec) {
    return &profile_->document;
  }
  profile_.reset();
  const auto bytes = ReadWholeFile(native);
  if (!bytes) return nullptr;
  profile_ = CachedProfile{native, now, IniDocument::Parse(DecodeProfileBytes(*bytes, LocaleToWide))};
  return &profile_->document;
}

std::uint32_t PosixPlatform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                   int defaultValue, const std::string& fileName) {
  const IniDocument* document = LoadProfile(fileName);
  const std::wstring* raw = document ? document->Find(LocaleToWide(section), LocaleToWide(key)) : nullptr;
  if (raw == nullptr) return static_cast<std::uint32_t>(defaultValue);
  // Windows reads the number from a 30-character buffer, so only the first 29
  // characters count; an empty value gives the default.
  const std::wstring value = ProfileValue(*raw).substr(0, 29);
  if (value.empty()) return static_cast<std::uint32_t>(defaultValue);
  return ParseProfileInt(value);
}

std::uint32_t PosixPlatform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                      const std::string& defaultValue, char* buffer,
                                                      std::uint32_t size, const std::string& fileName) {
  if (size == 0 || buffer == nullptr) return 0;
  const IniDocument* document = LoadProfile(fileName);
  const std::wstring* raw = document ? document->Find(LocaleToWide(section), LocaleToWide(key)) : nullptr;
  const std::wstring value = raw ? ProfileValue(*raw) : ProfileDefault(LocaleToWide(defaultValue));

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
