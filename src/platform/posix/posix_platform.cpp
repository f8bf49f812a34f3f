#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
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

#include "platform/posix/host_error.h"
#include "platform/posix/host_path.h"
#include "platform/posix/locale_text.h"
#include "base/name_fold.h"

namespace mirrolet::posix {

PosixPlatform::PosixPlatform(std::string registryFile)
    : registryFile_(std::move(registryFile)), run_{::getpid(), ProcessStartTime(::getpid()).value_or(0)} {
  umask_ = ::umask(0);
  ::umask(umask_);
  // A lock per destination folder is held while the run copies into it: a
  // long list over many folders must not run out of descriptors.
  struct rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
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
