// The stand-in host: making it, the process, the boxes on a terminal, and
// text. The registry, profile reading, the copy and the liveness of runs have
// files of their own.
#include "platform/posix/posix_platform.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cwctype>
#include <iostream>
#include <vector>

#include "platform/posix/host_error.h"
#include "platform/posix/host_path.h"
#include "platform/posix/locale_text.h"
#include "base/name_fold.h"

namespace mirrolet::posix {

PosixPlatform::PosixPlatform(std::string registryFile)
    : registryFile_(std::move(registryFile)), run_{::getpid(), ProcessStartTime(::getpid()).value_or(0)} {
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

}  // namespace mirrolet::posix
