#include "pack/tree.h"

#include <set>
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
  Walker(const fs::path& root, const std::function<void(const TreeEntry&)>& visit,
         const std::function<bool(const TreeEntry&)>& skip)
      : root_(root), visit_(visit), skip_(skip) {}

  std::wstring Walk() {
    std::error_code error;
    Folder(root_, fs::canonical(root_, error));
    return problem_;
  }

 private:
  // `canonical` is the folder's real path; the real paths of the folders
  // being walked are in `open_`, so a link back to one of them is not entered.
  void Folder(const fs::path& folder, const fs::path& canonical) {
    open_.insert(canonical);
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      Visit(it->path());
    }
    if (error && problem_.empty()) problem_ = Quote(Text(folder)) + L" cannot be read: " + Text(fs::path(error.message()));
    open_.erase(canonical);
  }

  void Visit(const fs::path& path) {
    TreeEntry entry{path, path.lexically_relative(root_), L"", EntryType::kOther, L""};
    for (const fs::path& part : entry.relative) entry.name += (entry.name.empty() ? L"" : L"\\") + Text(part);
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    fs::path canonical;
    if (fs::is_regular_file(status)) {
      entry.type = EntryType::kFile;
    } else if (fs::is_directory(status)) {
      canonical = fs::canonical(path, error);
      entry.type = open_.contains(canonical) ? EntryType::kOther : EntryType::kFolder;
      if (entry.type == EntryType::kOther) entry.what = L"a link to a folder that holds it";
    } else {
      entry.what = WhatItIs(status, error);
    }
    if (skip_ && skip_(entry)) return;
    visit_(entry);
    if (entry.type == EntryType::kFolder) Folder(path, canonical);
  }

  fs::path root_;
  const std::function<void(const TreeEntry&)>& visit_;
  const std::function<bool(const TreeEntry&)>& skip_;
  std::set<fs::path> open_;
  std::wstring problem_;
};

}  // namespace

std::wstring Text(const fs::path& path) {
  std::wstring text;
  NameText(path, text);
  return text;
}

std::wstring Quote(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

std::wstring WalkTree(const fs::path& root, const std::function<void(const TreeEntry&)>& visit) {
  return WalkTree(root, visit, {});
}

std::wstring WalkTree(const fs::path& root, const std::function<void(const TreeEntry&)>& visit,
                      const std::function<bool(const TreeEntry&)>& skip) {
  return Walker(root, visit, skip).Walk();
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

Listing ListFolder(const fs::path& root) {
  Listing listing;
  WalkTree(root, [&](const TreeEntry& entry) {
    listing.try_emplace(FoldName(entry.name), Item{entry.name, entry.type, entry.what});
  });
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
