// The stand-in host: each operation goes to the part that owns it; only the
// process, the search for a file and text are answered here.
#include "platform/posix/posix_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "os/posix/dos_attributes.h"
#include "os/posix/regular_file.h"
#include "os/posix/whole_io.h"
#include "os/sha256.h"
#include "platform/seal.h"
#include "platform/posix/file_holders.h"
#include "platform/posix/locale_text.h"
#include "platform/posix/terminal_box.h"

namespace mirrolet::posix {

namespace {

// The running program's file, as the system names it; empty when it cannot
// be told.
std::string OwnPath() {
  std::vector<char> target(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", target.data(), target.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < target.size()) return std::string(target.data(), static_cast<std::size_t>(n));
    target.resize(target.size() * 2);
  }
}

}  // namespace

PosixPlatform::PosixPlatform(std::string registryFile)
    : registry_(std::move(registryFile)),
      profile_(paths_),
      stager_(paths_),
      self_(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC)),
      selfError_(self_ ? 0 : errno) {}

std::string PosixPlatform::RegistryFileFromEnvironment() {
  const char* path = std::getenv("MIRROLET_REGISTRY");
  return path && *path ? path : "/etc/mirrolet/registry.reg";
}

int PosixPlatform::ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  return ShowTerminalBox(text, title, style);
}

void PosixPlatform::EndProcess(unsigned exitCode) {
  std::cerr.flush();
  std::exit(static_cast<int>(exitCode));
}

std::wstring PosixPlatform::ExecutablePath() { return LocaleToWide(OwnPath()); }

std::wstring PosixPlatform::ExecutableFolder() {
  const std::string path = OwnPath();
  return path.empty() ? std::wstring() : LocaleToWide(ParentPath(path));
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

bool PosixPlatform::StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                              HostError& error) {
  return stager_.Stage(source, destination, id, error);
}

bool PosixPlatform::FlushStaged(StageId& failed, HostError& error) { return stager_.Flush(failed, error); }

bool PosixPlatform::CommitStaged(StageId id, HostError& error) { return stager_.Commit(id, error); }

bool PosixPlatform::CheckReplaceable(StageId id, HostError& error) { return stager_.CheckReplaceable(id, error); }

void PosixPlatform::DiscardStaged(StageId id) { stager_.Discard(id); }

bool PosixPlatform::SyncCommitted(HostError& error) { return stager_.SyncCommitted(error); }

bool PosixPlatform::IsStagedDestination(const std::wstring& path) { return stager_.IsStagedDestination(path); }

std::vector<FileHolder> PosixPlatform::FileHolders(const std::wstring& path) {
  return FileHoldersOf(paths_.NativePath(path));
}

bool PosixPlatform::FolderExists(const std::wstring& path) {
  struct stat st;
  return ::stat(paths_.NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The stand-in has no administrator rights to ask for.
Elevation PosixPlatform::ElevateIfNeeded(const PlannedWrites&, unsigned&) { return Elevation::kNotNeeded; }

// The stand-in's lists are made in Big5 or, for a UTF-8 locale, in UTF-8.
bool PosixPlatform::ForeignCodePage() { return !LocaleReadsLists(); }

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
  if (::stat(paths_.NativePath(path).c_str(), &st) == 0 && st.st_size > os::kMaxSettingsFileSize) {
    Fail(error, kErrorFileTooLarge, EFBIG);
    return {};
  }
  return path;
}

long PosixPlatform::RegOpenKeyA(const std::string& subKey, HostKey* key) { return registry_.OpenKey(subKey, key); }

long PosixPlatform::RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size) {
  return registry_.QueryValue(key, valueName, type, data, size);
}

long PosixPlatform::RegCloseKey(HostKey key) { return registry_.CloseKey(key); }

std::uint32_t PosixPlatform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                   int defaultValue, const std::string& fileName) {
  return profile_.ReadInt(section, key, defaultValue, fileName);
}

std::uint32_t PosixPlatform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                      const std::string& defaultValue, char* buffer,
                                                      std::uint32_t size, const std::string& fileName) {
  return profile_.ReadString(section, key, defaultValue, buffer, size, fileName);
}

PayloadState PosixPlatform::OpenPayload(CarriedUpdate& update, HostError& error) {
  const std::optional<bundle::Digest> seal = CarriedSeal();
  struct stat st;
  if (!self_ || ::fstat(self_.get(), &st) != 0) {
    // A program without a seal needs nothing of its own file.
    if (!seal) return PayloadState::kNone;
    const int why = self_ ? errno : selfError_;
    Fail(error, WindowsCode(why), why);
    return PayloadState::kUnreadable;
  }
  const int fd = self_.get();
  const bundle::ReadAt read = [fd](std::uint64_t offset, std::uint8_t* into, std::size_t size) {
    return ReadAllAt(fd, offset, into, size);
  };
  return payload_.Open(read, static_cast<std::uint64_t>(st.st_size), seal, os::NewSha256, update);
}

bool PosixPlatform::StageCarried(std::size_t file, const std::wstring& destination, StageId& id, HostError& error) {
  const std::optional<CarriedFile> source = payload_.Source(file);
  if (!source) return Fail(error, kErrorFileNotFound, ENOENT);
  return stager_.StageCarried(*source, self_.get(), destination, id, error);
}

}  // namespace mirrolet::posix
