// mirrolet-pack on Linux: code pages through iconv (glibc has CP950 and the
// other Windows code pages), names in UTF-8, attributes and files as the stand-in reads them.
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdio.h>  // renameat2
#include <string>

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

}  // namespace

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
