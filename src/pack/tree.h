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

// How a thing below the root leads out of it.
enum class Escape {
  kNone,     // it does not, or a link above it already does
  kOutside,  // a link (or a junction) whose real target lies outside the root
  kSystem,   // it lies among the system's own files, or its way leads through them
};

// One thing below a folder, links followed.
struct TreeEntry {
  std::filesystem::path path;      // as found below the root
  std::filesystem::path relative;  // to the root
  std::wstring name;               // relative, "\" between parts
  EntryType type;
  std::wstring what;  // kOther: "a FIFO", "a device", "a link that points nowhere", ...
  Escape escape = Escape::kNone;
  std::wstring target;  // where an escape leads, as the system names it
};

struct WalkOptions {
  std::function<bool(const TreeEntry&)> skip;  // true: neither visited nor entered
  bool enterOutside = false;                   // whether a link to a folder outside the root is entered
};

// Visits everything below `root`, in no particular order. Links to folders
// are followed, except one to a folder that holds it (a kOther), one among
// the system's own files (visited, never entered) and, unless asked, one to
// a folder outside the root (visited, not entered). Each thing costs the
// same few looks at it, whatever the depth of the tree. Returns why a folder
// could not be read (the first such), or empty text.
std::wstring WalkTree(const std::filesystem::path& root, const std::function<void(const TreeEntry&)>& visit,
                      const WalkOptions& options = {});

// Whether `name` matches the pattern `glob` ("*" any run, "?" any one
// character), without regard to case as Windows compares names.
bool MatchesGlob(std::wstring_view name, std::wstring_view glob);

// The files and folders of a folder by their relative names folded as
// Windows matches them. Ordered, so reports come out sorted.
struct Item {
  std::wstring name;
  EntryType type;
  std::wstring what;
  Escape escape = Escape::kNone;
  std::wstring target;
};
using Listing = std::map<std::wstring, Item>;

Listing ListFolder(const std::filesystem::path& root, bool enterOutside);
const Item* Find(const Listing& listing, std::wstring_view name);

// `path` as Windows resolves it below a folder: "\" and "/" separate parts,
// empty and "." parts go, ".." goes up, trailing dots and spaces of a part are
// dropped. Nothing when ".." leaves the folder.
std::optional<std::wstring> BelowFolder(std::wstring_view path);

}  // namespace mirrolet::pack
