// mirrolet-pack on Linux: code pages through iconv (glibc has CP950 and the
// other Windows code pages), names in UTF-8, attributes and files as the stand-in reads them.
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <stdio.h>  // renameat2
#include <string>
#include <vector>

#include "os/posix/dos_attributes.h"
#include "os/posix/errno_text.h"
#include "os/posix/regular_file.h"
#include "os/posix/whole_io.h"
#include "pack/pack.h"
#include "pack/pack_host.h"

namespace mirrolet::pack {

namespace {

std::string IconvName(unsigned codePage) { return codePage == kUtf8CodePage ? "UTF-8" : "CP" + std::to_string(codePage); }

// Converts `in` between two iconv encodings. A unit of `unit` bytes that has
// no counterpart becomes `replacement`, and the result is then false. iconv
// reports such units instead of guessing, since no "//TRANSLIT" is asked for.
bool Convert(const std::string& to, const std::string& from, std::string_view in, std::size_t unit,
             std::string_view replacement, std::string& out) {
  out.clear();
  const iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (std::size_t i = 0; i < in.size(); i += unit) out += replacement;
    return false;
  }
  bool exact = true;
  char* source = const_cast<char*>(in.data());
  std::size_t left = in.size();
  char buffer[4096];
  for (bool flushed = false; !flushed;) {
    char* target = buffer;
    std::size_t room = sizeof buffer;
    flushed = left == 0;  // the last call, with no input, ends a shift state
    const std::size_t result = flushed ? iconv(cd, nullptr, nullptr, &target, &room)
                                       : iconv(cd, &source, &left, &target, &room);
    out.append(buffer, static_cast<std::size_t>(target - buffer));
    if (result == static_cast<std::size_t>(-1) && errno != E2BIG && !flushed) {
      exact = false;
      out += replacement;
      const std::size_t skip = left < unit ? left : unit;
      source += skip;
      left -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return exact;
}

std::string WideBytes(std::wstring_view text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

bool ToWide(const std::string& from, std::string_view bytes, std::wstring& text) {
  std::string wide;
  const bool exact = Convert("WCHAR_T", from, bytes, 1, WideBytes(L"\uFFFD"), wide);
  text.assign(reinterpret_cast<const wchar_t*>(wide.data()), wide.size() / sizeof(wchar_t));
  return exact;
}

// What lies here describes the machine and its processes (a process's
// environment and memory, the kernel's settings, the devices), never a
// product: /proc/self/environ holds the tool's own environment.
constexpr std::string_view kSystemFolders[] = {"/proc", "/sys", "/dev"};

bool SystemPath(std::string_view path) {
  return std::any_of(std::begin(kSystemFolders), std::end(kSystemFolders), [path](std::string_view folder) {
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
  });
}

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder == "/" ? folder : folder + "/";
  return path.append(name);
}

std::optional<std::string> ReadLink(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < target.size()) return target.substr(0, static_cast<std::size_t>(n));
    target.resize(target.size() * 2);
  }
}

// The kernel's own bound on the links one lookup follows (ELOOP past it).
constexpr int kMaxLinks = 40;

}  // namespace

std::filesystem::path RealPath(const std::filesystem::path& root) {
  std::error_code error;
  std::filesystem::path real = std::filesystem::canonical(root, error);
  return error ? std::filesystem::path() : real;
}

Place Locate(const std::filesystem::path& path, const std::filesystem::path& folderReal) {
  Place place;
  struct stat st;
  std::optional<std::string> target;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) || !(target = ReadLink(path))) {
    place.real = folderReal / path.filename();
    place.system = SystemPath(place.real.native());
    return place;
  }
  place.link = true;
  // Resolved part by part, as the kernel resolves it, from the folder's real
  // path: so a link costs the parts of its own way, not the depth of the
  // folder, and a way through /proc shows even where it comes out elsewhere
  // (/proc/self/root/etc leads to /etc).
  std::string current = folderReal.native();
  std::vector<std::string> pending;  // the parts still to walk, the next one last
  const auto follow = [&](const std::string& text) {
    if (text.starts_with('/')) current.assign(1, '/');  // (the literal trips a false -Wrestrict in GCC 12 at -O3)
    const std::size_t before = pending.size();
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t slash = std::min(text.find('/', start), text.size());
      if (slash > start) pending.emplace_back(text, start, slash - start);
      start = slash + 1;
    }
    std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(before), pending.end());
  };
  follow(*target);
  for (int links = 1; !pending.empty();) {
    if (SystemPath(current)) break;
    const std::string part = std::move(pending.back());
    pending.pop_back();
    if (part == "..") {
      current.resize(std::max<std::size_t>(current.rfind('/'), 1));
    } else if (part != ".") {
      const std::string next = Join(current, part);
      if (::lstat(next.c_str(), &st) != 0) return place;  // leads nowhere
      if (!S_ISLNK(st.st_mode)) {
        current = next;
      } else if (++links > kMaxLinks || !(target = ReadLink(next))) {
        return place;  // a loop
      } else {
        follow(*target);
      }
    }
  }
  // Past /proc, /sys or /dev nothing more is followed: the rest of the way is shown as written.
  for (auto part = pending.rbegin(); part != pending.rend(); ++part) current = Join(current, *part);
  place.system = SystemPath(current);
  place.real = current;
  return place;
}

bool WithinFolder(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const std::string& inner = path.native();
  const std::string& outer = folder.native();
  return inner.starts_with(outer) &&
         (inner.size() == outer.size() || outer.ends_with('/') || inner[outer.size()] == '/');
}

ReadResult ReadListBytes(const std::filesystem::path& path, std::string& bytes) {
  auto read = posix::ReadSettingsFile(path.string());
  if (read) {
    bytes = std::move(*read);
    return ReadResult::kRead;
  }
  return errno == EINVAL ? ReadResult::kNotRegular : errno == EFBIG ? ReadResult::kTooLarge : ReadResult::kUnreadable;
}

bool CopyRegularFile(const std::filesystem::path& from, const std::filesystem::path& to, std::wstring& why) {
  struct stat st;
  const posix::UniqueFd in = posix::OpenRegularFile(from.string(), st);
  if (in.get() < 0) {
    why = errno == EINVAL ? L"is not a regular file" : L"cannot be read: " + posix::ErrnoText(errno);
    return false;
  }
  // Clearing O_NONBLOCK again: it was only there for the open.
  ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);
  const posix::UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
  std::uint64_t copied = 0;
  const int failed = out.get() < 0 ? errno : posix::CopyRest(in.get(), out.get(), copied);
  if (failed != 0) {
    why = L"cannot be copied: " + posix::ErrnoText(failed);
    return false;
  }
  return true;
}

std::wstring ErrnoReason(int code) { return code ? posix::ErrnoText(code) : L"an unknown error"; }

bool RenameIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                     std::wstring& why) {
  const posix::UniqueFd file(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  int failed = file.get() < 0 || ::fsync(file.get()) != 0 ? errno : 0;
  if (failed == 0 && (replace ? ::rename(from.c_str(), to.c_str())
                              : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE)) != 0) {
    failed = errno;
    // A file system without the no-replace rename: a hard link cannot replace either.
    if (!replace && (failed == EINVAL || failed == ENOSYS)) {
      failed = ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
      if (failed == 0) ::unlink(from.c_str());
    }
  }
  if (failed != 0) why = posix::ErrnoText(failed);
  return failed == 0;
}

bool CodePageKnown(unsigned codePage) {
  const iconv_t cd = iconv_open(IconvName(codePage).c_str(), "WCHAR_T");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

bool DecodeCodePage(std::string_view bytes, unsigned codePage, std::wstring& text) {
  return ToWide(IconvName(codePage), bytes, text);
}

bool EncodeCodePage(std::wstring_view text, unsigned codePage, std::string& bytes) {
  std::wstring back;
  return Convert(IconvName(codePage), "WCHAR_T", WideBytes(text), sizeof(wchar_t), "?", bytes) &&
         DecodeCodePage(bytes, codePage, back) && back == text;
}

bool HiddenOrSystem(const std::filesystem::path& path) {
  const posix::DosAttributes attributes = posix::ReadDosAttributes(path.string());
  return attributes.hidden || attributes.system;
}

bool Executable(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) != 0;
}

bool NameText(const std::filesystem::path& name, std::wstring& text) { return ToWide("UTF-8", name.native(), text); }

std::filesystem::path NamePath(std::wstring_view text) {
  std::string bytes;
  Convert("UTF-8", "WCHAR_T", WideBytes(text), sizeof(wchar_t), "?", bytes);
  return bytes;
}

std::vector<std::filesystem::path> Arguments(int argc, char** argv) {
  return std::vector<std::filesystem::path>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool SlashHelp(std::wstring_view) { return false; }

bool ErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void Write(bool toError, std::wstring_view text) {
  std::string bytes;
  Convert("UTF-8", "WCHAR_T", WideBytes(text), sizeof(wchar_t), "?", bytes);
  // What went to standard output first stays first where both are one file.
  if (toError) std::fflush(stdout);
  std::fwrite(bytes.data(), 1, bytes.size(), toError ? stderr : stdout);
}

}  // namespace mirrolet::pack
