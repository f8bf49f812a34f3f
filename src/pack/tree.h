// What check and build share: names as text, the files and folders of a
// folder as Windows matches them, and paths resolved as Windows resolves them.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace mirrolet::pack {

// A name or path as text (U+FFFD for bytes that are not), and in quotes.
std::wstring Text(const std::filesystem::path& path);
std::wstring Quote(std::wstring_view text);

enum class EntryType { kFile, kFolder, kOther };

// One thing below a folder, links followed.
struct TreeEntry {
  std::filesystem::path path;      // as found below the root
  std::filesystem::path relative;  // to the root
  std::wstring name;               // relative, "\" between parts
  EntryType type;
  std::wstring what;  // kOther: "a FIFO", "a device", "a link that points nowhere", ...
};

// Visits everything below `root`, in no particular order. Links to folders are
// followed, except one to a folder that holds it (a kOther). Returns why a
// folder could not be read (the first such), or empty text.
std::wstring WalkTree(const std::filesystem::path& root, const std::function<void(const TreeEntry&)>& visit);
// The same, leaving out (neither visiting nor entering) what `skip` is true for.
std::wstring WalkTree(const std::filesystem::path& root, const std::function<void(const TreeEntry&)>& visit,
                      const std::function<bool(const TreeEntry&)>& skip);

// Whether `name` matches the pattern `glob` ("*" any run, "?" any one
// character), without regard to case as Windows compares names.
bool MatchesGlob(std::wstring_view name, std::wstring_view glob);

// The files and folders of a folder by their relative names folded as
// Windows matches them. Ordered, so reports come out sorted.
struct Item {
  std::wstring name;
  EntryType type;
  std::wstring what;
};
using Listing = std::map<std::wstring, Item>;

Listing ListFolder(const std::filesystem::path& root);
const Item* Find(const Listing& listing, std::wstring_view name);

// `path` as Windows resolves it below a folder: "\" and "/" separate parts,
// empty and "." parts go, ".." goes up, trailing dots and spaces of a part are
// dropped. Nothing when ".." leaves the folder.
std::optional<std::wstring> BelowFolder(std::wstring_view path);

}  // namespace mirrolet::pack
