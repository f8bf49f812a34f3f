#include "pack/tree.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "base/name_fold.h"
#include "pack/pack_host.h"

namespace mirrolet::pack {

namespace fs = std::filesystem;

namespace {

// What a thing that is neither a file nor a folder is, for a person.
std::wstring WhatItIs(const fs::file_status& status, const std::error_code& error) {
  switch (status.type()) {
    case fs::file_type::fifo: return L"a FIFO";
    case fs::file_type::socket: return L"a socket";
    case fs::file_type::block:
    case fs::file_type::character: return L"a device";
    case fs::file_type::not_found: return L"a link that points nowhere";
    default: break;
  }
  if (error == std::errc::too_many_symbolic_link_levels) return L"a link loop";
  return error ? L"unreadable (" + Text(fs::path(error.message())) + L")" : L"neither a file nor a folder";
}

class Walker {
 public:
  Walker(const fs::path& root, const std::function<void(const TreeEntry&)>& visit, const WalkOptions& options)
      : root_(root), visit_(visit), options_(options) {}

  std::wstring Walk() {
    real_ = RealPath(root_);
    Folder(root_, real_.empty() ? root_ : real_, {}, L"", true);
    return problem_;
  }

 private:
  // `real` is the folder's real path. The real paths of the folders being
  // walked are in `open_`, so a link back to one of them is not entered.
  // Each entry's path, real path and name are its folder's and one part
  // more: nothing is resolved again from the root.
  void Folder(const fs::path& folder, const fs::path& real, const fs::path& relative, const std::wstring& name,
              bool inside) {
    open_.push_back(real);
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      Visit(it->path(), real, relative, name, inside);
    }
    if (error && problem_.empty()) problem_ = Quote(Text(folder)) + L" cannot be read: " + Text(fs::path(error.message()));
    open_.pop_back();
  }

  void Visit(const fs::path& path, const fs::path& folderReal, const fs::path& folderRelative,
             const std::wstring& folderName, bool inside) {
    const fs::path part = path.filename();
    TreeEntry entry{path, folderRelative / part, folderName + (folderName.empty() ? L"" : L"\\") + Text(part),
                    EntryType::kOther, L"", Escape::kNone, L""};
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    const Place place = Locate(path, folderReal);
    // Only the link that leaves is named, not each thing below it.
    const bool within = !place.link || place.real.empty() || WithinFolder(place.real, real_);
    if (place.system || (inside && !within)) {
      entry.escape = place.system ? Escape::kSystem : Escape::kOutside;
      entry.target = Text(place.real);
    }
    if (fs::is_regular_file(status)) {
      entry.type = EntryType::kFile;
    } else if (fs::is_directory(status)) {
      const bool holds = place.link && std::find(open_.begin(), open_.end(), place.real) != open_.end();
      entry.type = holds ? EntryType::kOther : EntryType::kFolder;
      if (holds) entry.what = L"a link to a folder that holds it";
    } else {
      entry.what = WhatItIs(status, error);
    }
    if (options_.skip && options_.skip(entry)) return;
    visit_(entry);
    if (entry.type == EntryType::kFolder && !place.system && (entry.escape == Escape::kNone || options_.enterOutside)) {
      Folder(path, place.real, entry.relative, entry.name, inside && within);
    }
  }

  fs::path root_;
  fs::path real_;  // the root's
  const std::function<void(const TreeEntry&)>& visit_;
  const WalkOptions& options_;
  std::vector<fs::path> open_;
  std::wstring problem_;
};

}  // namespace

std::wstring Text(const fs::path& path) {
  std::wstring text;
  NameText(path, text);
  return text;
}

std::wstring Quote(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

std::wstring WalkTree(const fs::path& root, const std::function<void(const TreeEntry&)>& visit,
                      const WalkOptions& options) {
  return Walker(root, visit, options).Walk();
}

bool MatchesGlob(std::wstring_view name, std::wstring_view glob) {
  const std::wstring text = FoldName(name), pattern = FoldName(glob);
  // The usual two-pointer match: on a mismatch, the last "*" takes one more character.
  std::size_t t = 0, p = 0, star = std::wstring::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == text[t])) {
      ++t, ++p;
    } else if (p < pattern.size() && pattern[p] == L'*') {
      star = p++, resume = t;
    } else if (star != std::wstring::npos) {
      p = star + 1, t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

Listing ListFolder(const fs::path& root, bool enterOutside) {
  Listing listing;
  WalkTree(root, [&](const TreeEntry& entry) {
    listing.try_emplace(FoldName(entry.name), Item{entry.name, entry.type, entry.what, entry.escape, entry.target});
  }, {{}, enterOutside});
  return listing;
}

const Item* Find(const Listing& listing, std::wstring_view name) {
  const auto it = listing.find(FoldName(name));
  return it == listing.end() ? nullptr : &it->second;
}

std::optional<std::wstring> BelowFolder(std::wstring_view path) {
  std::vector<std::wstring_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != L'\\' && path[i] != L'/') continue;
    std::wstring_view part = path.substr(start, i - start);
    start = i + 1;
    if (part == L"..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
      continue;
    }
    while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.remove_suffix(1);
    if (!part.empty()) parts.push_back(part);
  }
  std::wstring joined;
  for (const std::wstring_view part : parts) joined.append(joined.empty() ? L"" : L"\\").append(part);
  return joined;
}

}  // namespace mirrolet::pack
