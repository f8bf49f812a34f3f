#include "platform/posix/host_path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/posix/locale_text.h"
#include "platform/posix/system_calls.h"
#include "base/name_fold.h"

namespace mirrolet::posix {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The key a name is matched by without regard to case, or nothing when the
// name is not text in the locale (it holds escaped bytes): such a name only
// ever matches itself, byte for byte.
std::optional<std::wstring> CaseKey(std::wstring_view name) {
  if (std::any_of(name.begin(), name.end(), IsEscapedByte)) return std::nullopt;
  return FoldName(name);
}

// The folder a lookup in `folder` (as NativePath builds it: empty, or ending
// with "/") reads.
std::string ListedFolder(const std::string& folder) {
  if (folder.empty()) return ".";
  return folder.size() > 1 && folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder;
}

}  // namespace

// The entry of `folder` whose name equals `part` without regard to case, or
// `part` as spelled when there is none.
std::string PathResolver::MatchInFolder(const std::string& folder, std::wstring_view part) {
  // The exact spelling always wins over a name that differs only in case.
  const std::string spelled = WideToLocale(part);
  if (Exists(folder + spelled)) return spelled;
  const auto key = CaseKey(part);
  if (!key) return spelled;

  // Reading the whole folder for every new file would make copying a long
  // list into one folder quadratic, so its names are kept while it is unchanged.
  const std::string where = ListedFolder(folder);
  struct stat st;
  if (::stat(where.c_str(), &st) != 0) return spelled;
  Folder& known = folders_[where];
  if (!known.read || known.device != st.st_dev || known.inode != st.st_ino || !SameTime(known.modified, st.st_mtim)) {
    // Valid only once the whole folder has been read.
    known = Folder{};
    const UniqueDir dir(::opendir(where.c_str()));
    if (!dir) return spelled;
    Folder fresh{st.st_dev, st.st_ino, st.st_mtim, {}, true};
    while (const dirent* entry = ::readdir(dir.get())) {
      if (const auto name = CaseKey(LocaleToWide(entry->d_name))) fresh.names.try_emplace(*name, entry->d_name);
    }
    known = std::move(fresh);
  }
  if (const auto match = known.names.find(*key); match != known.names.end()) return match->second;
  if (const auto names = pending_.find(where); names != pending_.end()) {
    const auto [first, last] = names->second.equal_range(std::hash<std::wstring>{}(*key));
    for (auto match = first; match != last; ++match) {
      if (CaseKey(LocaleToWide(match->second)) == key) return match->second;
    }
  }
  return spelled;
}

int PathResolver::OwnChange(const std::string& folder, const std::function<int()>& change) {
  const auto known = folders_.find(folder);
  struct stat st;
  const bool current = known != folders_.end() && known->second.read && ::stat(folder.c_str(), &st) == 0 &&
                       SameTime(known->second.modified, st.st_mtim);
  const int result = change();
  // Anything another program did to the folder in between is not seen until
  // its next change: a window as small as the change itself.
  if (current && ::stat(folder.c_str(), &st) == 0) known->second.modified = st.st_mtim;
  return result;
}

void PathResolver::Pending(const std::string& nativePath) {
  if (const auto key = CaseKey(LocaleToWide(BaseName(nativePath)))) {
    auto& names = pending_[ParentPath(nativePath)];
    const auto [first, last] = names.equal_range(std::hash<std::wstring>{}(*key));
    // The first spelling stays, as a name on disk would.
    if (std::none_of(first, last, [&](const auto& name) { return CaseKey(LocaleToWide(name.second)) == key; })) {
      names.emplace(std::hash<std::wstring>{}(*key), BaseName(nativePath));
    }
  }
}

void PathResolver::Settled(const std::string& nativePath, bool created) {
  const std::string folder = ParentPath(nativePath);
  const auto names = pending_.find(folder);
  if (names == pending_.end()) return;
  if (const auto key = CaseKey(LocaleToWide(BaseName(nativePath)))) {
    const auto [first, last] = names->second.equal_range(std::hash<std::wstring>{}(*key));
    const auto match =
        std::find_if(first, last, [&](const auto& name) { return CaseKey(LocaleToWide(name.second)) == key; });
    if (match != last) names->second.erase(match);
  }
  if (names->second.empty()) pending_.erase(names);
  // The name is now on disk: the folder is read again when next looked in,
  // rather than its listing kept twice meanwhile. A pass commits its new
  // files together, after its last lookup, so that is at most once a pass.
  if (created) folders_.erase(folder);
}

std::string PathResolver::NativePath(std::wstring_view path) {
  std::string native;
  // A path no file system takes is not resolved part by part: that would
  // cost time with the square of its length, only to fail in the end.
  std::wstring slashed(path);
  for (wchar_t& c : slashed) c = c == L'\\' ? L'/' : c;  // before encoding: Big5 trail bytes may be "\\"
  const std::string spelled = WideToLocale(slashed);
  if (path.size() >= PATH_MAX) return spelled;
  // Where the path exists exactly as spelled, every part of it does, and the
  // exact spelling wins part by part anyway: one lookup instead of one per part.
  if (Exists(spelled)) return spelled;
  const std::string parent = ParentPath(spelled);
  if (parent != "." && !slashed.empty() && slashed.back() != L'/' && Exists(parent)) {
    const std::string folder = parent == "/" ? parent : parent + "/";
    return folder + MatchInFolder(folder, std::wstring_view(slashed).substr(slashed.find_last_of(L'/') + 1));
  }
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

std::string BaseName(const std::string& nativePath) {
  const std::size_t slash = nativePath.find_last_of('/');
  return slash == std::string::npos ? nativePath : nativePath.substr(slash + 1);
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::string ChildPath(const std::string& folder, const std::string& name) {
  return (folder == "/" ? std::string() : folder) + "/" + name;
}

std::string ParentPath(const std::string& nativePath) {
  const std::size_t slash = nativePath.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : nativePath.substr(0, slash);
}

}  // namespace mirrolet::posix
