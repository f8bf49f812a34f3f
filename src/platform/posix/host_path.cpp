#include "platform/posix/host_path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <memory>

#include "platform/posix/locale_text.h"
#include "platform/posix/reg_text.h"

namespace mirrolet::posix {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of `folder` whose name equals `part` without regard to case, or
// `part` as spelled when there is none.
std::string MatchInFolder(const std::string& folder, std::wstring_view part) {
  const std::string spelled = WideToLocale(part);
  const std::string candidate = folder + spelled;
  if (Exists(candidate)) return spelled;

  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
  if (!dir) return spelled;
  const std::wstring wanted = FoldName(part);
  while (const dirent* entry = ::readdir(dir.get())) {
    if (FoldName(LocaleToWide(entry->d_name)) == wanted) return entry->d_name;
  }
  return spelled;
}

}  // namespace

std::string NativePath(std::wstring_view path) {
  std::string native;
  if (!path.empty() && IsSeparator(path.front())) native.push_back('/');
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::wstring_view part = path.substr(start, end - start);
    if (!part.empty()) {
      native += MatchInFolder(native, part);
      if (end < path.size()) native += '/';
    }
    start = end + 1;
  }
  return native;
}

DosAttributes ReadDosAttributes(const std::string& nativePath) {
  DosAttributes attributes;
  attributes.hidden = BaseName(nativePath).starts_with('.');
  char value[64] = {};
  const ssize_t size = ::getxattr(nativePath.c_str(), "user.DOSATTRIB", value, sizeof value - 1);
  // Samba's text form, "0x" and hex digits; only its hidden and system bits matter here.
  if (size > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    const unsigned long bits = std::strtoul(value + 2, nullptr, 16);
    attributes.hidden = attributes.hidden || (bits & 0x2) != 0;
    attributes.system = (bits & 0x4) != 0;
  }
  return attributes;
}

std::string BaseName(const std::string& nativePath) {
  const std::size_t slash = nativePath.find_last_of('/');
  return slash == std::string::npos ? nativePath : nativePath.substr(slash + 1);
}

std::string ParentPath(const std::string& nativePath) {
  const std::size_t slash = nativePath.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : nativePath.substr(0, slash);
}

}  // namespace mirrolet::posix
