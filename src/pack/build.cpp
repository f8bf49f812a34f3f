// build: makes an update folder from a tree laid out like the product folder.
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <random>

#include "base/bundle_names.h"
#include "base/copy_list_model.h"
#include "base/name_fold.h"
#include "base/utf8.h"
#include "pack/check_parts.h"
#include "pack/pack.h"
#include "pack/pack_host.h"
#include "pack/program_mark.h"
#include "pack/tree.h"

namespace mirrolet::pack {

namespace fs = std::filesystem;

namespace {

// What a source tree holds that no customer needs: version control, the
// files Explorer and the Finder leave, editor backups and lock files. Matched
// against each part of a path, so a folder goes with all it holds.
constexpr const wchar_t* kJunk[] = {
    L".git", L".gitignore", L".gitattributes", L".gitmodules", L".svn", L".hg", L".hgignore", L".bzr", L"CVS",
    L".DS_Store", L"._*", L"Thumbs.db", L"ehthumbs.db", L"desktop.ini",
    L"*~", L"*.bak", L"*.swp", L"*.swo", L"#*#", L".#*", L"~$*",
};

// Whether `entry` is left out: junk, or matching an --exclude pattern (one
// with "\" or "/" against the whole relative path, else against each part).
bool LeftOut(const TreeEntry& entry, const std::vector<std::wstring>& excludes) {
  std::wstring part;
  const auto matches = [&](const std::wstring& pattern) { return MatchesGlob(part, pattern); };
  for (const fs::path& name : entry.relative) {
    part = Text(name);
    if (std::any_of(std::begin(kJunk), std::end(kJunk), matches)) return true;
  }
  // Only the last part is new: the folders above were matched when the walk entered them.
  for (const std::wstring& pattern : excludes) {
    std::wstring glob = pattern;
    std::replace(glob.begin(), glob.end(), L'/', L'\\');
    if (glob.find(L'\\') != std::wstring::npos ? MatchesGlob(entry.name, glob) : matches(glob)) return true;
  }
  return false;
}

// Why Windows cannot hold a file or folder of this name, or empty text: the
// bundle's own rule for one part, so a tree builds only into what a bundle
// may carry.
std::wstring IllegalName(std::wstring_view part) {
  switch (bundle::CheckName(ToUtf8(part))) {
    case bundle::NameRule::kOk: return {};
    case bundle::NameRule::kEndsWithDotOrSpace: return L"ends with a dot or a space, which Windows drops";
    case bundle::NameRule::kDeviceName: return L"is a device name on Windows";
    case bundle::NameRule::kPartTooLong:
      return L"is longer than " + std::to_wstring(bundle::kMaxPartUnits) + L" UTF-16 units, the most Windows allows";
    default: return L"holds a character Windows does not allow in names";
  }
}

// The list's keys are ASCII, the same bytes in every code page.
std::string Ascii(std::wstring_view text) { return std::string(text.begin(), text.end()); }

// A value written so that the profile functions read it back exactly: in
// quotes when its ends would otherwise be trimmed or taken for quotes.
std::string ListValue(const std::string& bytes) {
  const auto blank = [](char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == ' '; };
  const bool quoted = bytes.size() >= 2 && bytes.front() == bytes.back() && (bytes.front() == '"' || bytes.front() == '\'');
  if (!bytes.empty() && (blank(bytes.front()) || blank(bytes.back()) || quoted)) return '"' + bytes + '"';
  return bytes;
}

struct TreeFile {
  std::wstring name;  // relative, "\" between parts
  fs::path path;
  std::string bytes;  // the name in the code page
};

// Why the file `entry` cannot ship under its name, or empty text; `file`
// gets its name in the code page.
std::wstring NameProblem(const TreeEntry& entry, unsigned codePage, TreeFile& file) {
  std::wstring why;
  for (const fs::path& part : entry.relative) {
    std::wstring text;
    if (!NameText(part, text)) why = L"is not UTF-8 text";
    if (why.empty()) why = IllegalName(text);
  }
  if (why.empty() && !EncodeCodePage(file.name, codePage, file.bytes)) {
    why = L"cannot be spelt exactly in code page " + std::to_wstring(codePage);
  } else if (why.empty() && std::wstring_view(kAppPathPlaceholder).size() + file.bytes.size() > kMaxValueBytes) {
    why = L"makes a value longer than " + std::to_wstring(kMaxValueBytes) + L" bytes";
  }
  return why;
}

// Names that clash once Windows holds them: in case only, or with the list or the program.
void RefuseClashes(const std::vector<TreeFile>& files, const fs::path& program, std::vector<std::wstring>& refused) {
  const std::wstring list = FoldName(kCopyListName);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::wstring folded = FoldName(files[i].name);
    if (i > 0 && folded == FoldName(files[i - 1].name)) {
      refused.push_back(Quote(files[i].name) + L" and " + Quote(files[i - 1].name) + L" differ only in case: Windows keeps one");
    }
    if (folded == list || (!program.empty() && folded == FoldName(Text(program.filename())))) {
      refused.push_back(Quote(files[i].name) + L" would be overwritten by the " + (folded == list ? L"copy list" : L"program") +
                        (folded == list ? L": SOURCE_TREE looks like an update folder, not the product's files "
                                          L"(are SOURCE_TREE and OUT_FOLDER swapped?)"
                                        : L""));
    }
  }
}

// The regular files of `tree`, sorted by path; what cannot ship goes to
// `refused`, what is left out to `leftOut`.
std::vector<TreeFile> TreeFiles(const fs::path& tree, unsigned codePage, const fs::path& program,
                                const PackOptions& options, BuildResult& result) {
  std::vector<std::wstring>& refused = result.refused;
  std::vector<TreeFile> files;
  std::map<std::wstring, std::wstring> others;  // by folded name, so they are listed in order
  std::map<std::wstring, std::wstring> leftOut;
  const auto skip = [&](const TreeEntry& entry) {
    if (!LeftOut(entry, options.excludes)) return false;
    leftOut.emplace(FoldName(entry.name) + L'\0' + entry.name, entry.name + (entry.type == EntryType::kFolder ? L"\\" : L""));
    return true;
  };
  std::map<std::wstring, Finding> escapes;  // by name, so they are listed in order
  const std::wstring problem = WalkTree(tree, [&](const TreeEntry& entry) {
    if (entry.escape != Escape::kNone) {
      escapes.emplace(FoldName(entry.name) + L'\0' + entry.name,
                      EscapeFinding(entry.name, entry.escape, entry.target, L"the source tree"));
    }
    if (entry.escape == Escape::kSystem || entry.type == EntryType::kFolder) return;  // never read, whatever it is
    if (entry.type == EntryType::kOther) {
      others.emplace(FoldName(entry.name) + L'\0' + entry.name, Quote(entry.name) + L" is " + entry.what +
                                                                      L": only files and folders can ship");
      return;
    }
    TreeFile file{entry.name, entry.path, {}};
    const std::wstring why = NameProblem(entry, codePage, file);
    if (!why.empty()) refused.push_back(Quote(file.name) + L" " + why);
    files.push_back(std::move(file));
  }, {skip, options.policy.allowed.contains(Kind::kLinkOutside)});
  for (const auto& [name, refusal] : others) refused.push_back(refusal);
  for (const auto& [name, finding] : escapes) result.report.findings.push_back(finding);
  for (const auto& [folded, name] : leftOut) result.leftOut.push_back(name);
  if (!problem.empty()) refused.push_back(problem);
  std::sort(files.begin(), files.end(), [](const TreeFile& a, const TreeFile& b) {
    const std::wstring foldA = FoldName(a.name), foldB = FoldName(b.name);
    return foldA != foldB ? foldA < foldB : a.name < b.name;
  });
  RefuseClashes(files, program, refused);
  if (files.empty() && refused.empty()) refused.push_back(Quote(Text(tree)) + L" holds no files: the list would copy nothing");
  return files;
}

std::string ListText(const std::vector<TreeFile>& files) {
  // Appended piece by piece: GCC 12 at -O3 warns falsely of an overlap in "[" + std::string&&.
  std::string list = "[";
  list.append(Ascii(kCopyListSection)).append("]\r\n").append(Ascii(kEntryCountKey)).append("=");
  list.append(std::to_string(files.size())).append("\r\n");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto entry = static_cast<std::int32_t>(i + 1);
    list += Ascii(SourceKey(entry)) + "=" + ListValue(files[i].bytes) + "\r\n";
    list += Ascii(DestinationKey(entry)) + "=" + ListValue(Ascii(kAppPathPlaceholder) + files[i].bytes) + "\r\n";
  }
  return list;
}

// What stops the build before anything is looked at in the tree, or empty text.
std::wstring Unusable(const fs::path& tree, const fs::path& target, const fs::path& out, const fs::path& program) {
  std::error_code error;
  for (const fs::path& path : {tree, program}) {
    if (!path.empty() && !fs::exists(path, error)) return Quote(Text(path)) + L" does not exist";
  }
  if (!fs::is_directory(tree, error)) return Quote(Text(tree)) + L" is not a folder";
  if (!program.empty() && !fs::is_regular_file(program, error)) return Quote(Text(program)) + L" is not a file";
  if (!program.empty()) {
    if (const std::wstring why = NotMirrolet(program, Quote(Text(program))); !why.empty()) return L"refused: " + why;
  }
  if (!fs::is_directory(target.parent_path(), error)) {
    return L"the folder that would hold " + Quote(Text(out)) + L" does not exist";
  }
  return {};
}

// Writes the update folder at `staging`. Returns what went wrong, or empty text.
std::wstring WriteFolder(const fs::path& staging, const fs::path& tree, const std::vector<TreeFile>& files,
                         const fs::path& program) {
  std::error_code error;
  std::wstring why;
  if (!fs::create_directory(staging, error)) {
    return L"cannot write " + Text(staging) + L": " + ErrnoReason(error.value());
  }
  for (const TreeFile& file : files) {
    const fs::path copy = staging / file.path.lexically_relative(tree);
    fs::create_directories(copy.parent_path(), error);
    if (!CopyRegularFile(file.path, copy, why)) return Quote(file.name) + L" " + why;
  }
  errno = 0;
  std::ofstream list(staging / NamePath(kCopyListName), std::ios::binary);
  list << ListText(files);
  list.close();
  if (!list) return L"cannot write " + Text(staging / NamePath(kCopyListName)) + L": " + ErrnoReason(errno);
  if (!program.empty() && !CopyRegularFile(program, staging / program.filename(), why)) {
    return Quote(Text(program)) + L" " + why;
  }
  return {};
}

// Whether the list reads back as exactly the files it was written from.
bool ReadsBack(const Report& report, const std::vector<TreeFile>& files) {
  bool exact = report.plan.size() == files.size();
  for (std::size_t i = 0; exact && i < files.size(); ++i) {
    exact = report.plan[i].source == files[i].name &&
            report.plan[i].destination == std::wstring(kAppPathPlaceholder) + files[i].name;
  }
  return exact;
}

}  // namespace

ExitCode BuildResult::ExitStatus() const { return written ? report.ExitStatus() : kExitFailed; }

BuildResult Build(const fs::path& tree, const fs::path& out, const fs::path& program, unsigned codePage,
                  const PackOptions& options) {
  BuildResult result;
  std::error_code error;
  fs::path target = fs::absolute(out, error).lexically_normal();
  if (!target.has_filename()) target = target.parent_path();
  result.failure = Unusable(tree, target, out, program);
  if (!result.failure.empty()) return result;
  if (fs::exists(target, error) && !(fs::is_directory(target, error) && fs::is_empty(target, error))) {
    result.refused.push_back(Quote(Text(out)) + L" is not an empty folder");
  }
  result.report.policy = options.policy;
  const std::vector<TreeFile> files = TreeFiles(tree, codePage, program, options, result);
  if (!result.refused.empty() || result.report.ExitStatus() == kExitFailed) return result;
  std::vector<Finding> escapes = std::move(result.report.findings);

  // Built beside the target and renamed into place, so that a failure leaves
  // no half-written update folder.
  std::random_device random;
  const fs::path staging = target.parent_path() / NamePath(L".mirrolet-pack-" + std::to_wstring(random()));
  result.failure = WriteFolder(staging, tree, files, program);
  if (result.failure.empty()) {
    // The program beside the list is the one given, under its own name.
    result.report = Check(staging, {codePage, program.empty() ? kProgramName : Text(program.filename()),
                                    options.policy, true});
    result.report.findings.insert(result.report.findings.end(), escapes.begin(), escapes.end());
    if (!ReadsBack(result.report, files)) result.failure = L"the copy list does not read back as written";
  }
  if (result.failure.empty() && result.report.ExitStatus() != kExitFailed) {
    fs::remove(target, error);  // an empty folder, or none
    fs::rename(staging, target, error);
    result.written = !error;
    if (error) result.failure = L"cannot write " + Text(out) + L": " + ErrnoReason(error.value());
  }
  if (!result.written) fs::remove_all(staging, error);
  return result;
}

}  // namespace mirrolet::pack
