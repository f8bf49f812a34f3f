#include "pack/pack.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <unordered_map>

#include "pack/bundle.h"
#include "pack/pack_host.h"
#include "settings/ini_document.h"
#include "settings/name_fold.h"
#include "settings/profile.h"
#include "update/copy_list.h"

namespace mirrolet::pack {

namespace fs = std::filesystem;

namespace {

// The longest value the run reads whole, in code page bytes.
constexpr std::size_t kMaxValueBytes = kIniStringBufferSize - 1;
constexpr std::wstring_view kPlaceholder = kAppPathPlaceholder;

std::wstring Text(const fs::path& path) {
  std::wstring text;
  NameText(path, text);
  return text;
}

std::wstring Quote(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

// The files and folders of a folder, by their relative names ("\" between
// parts) folded as Windows matches them. Ordered, so reports come out sorted.
struct Item {
  std::wstring name;
  bool folder;
};
using Listing = std::map<std::wstring, Item>;

Listing ListFolder(const fs::path& root) {
  Listing listing;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    std::wstring name;
    for (const fs::path& part : it->path().lexically_relative(root)) {
      name += (name.empty() ? L"" : L"\\") + Text(part);
    }
    std::error_code ignored;
    listing.try_emplace(FoldName(name), Item{name, it->is_directory(ignored)});
  }
  return listing;
}

const Item* Find(const Listing& listing, std::wstring_view name) {
  const auto it = listing.find(FoldName(name));
  return it == listing.end() ? nullptr : &it->second;
}

// `path` as Windows resolves it below a folder: "\" and "/" separate parts,
// empty and "." parts go, ".." goes up, trailing dots and spaces of a part are
// dropped. Nothing when ".." leaves the folder.
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

// The list decoded as the profile functions decode it, with the lines that
// hold bytes the code page has no character for.
struct DecodedList {
  std::wstring text;
  std::set<int> badLines;
  bool utf16 = false;
};

DecodedList Decode(std::string_view bytes, unsigned codePage) {
  DecodedList list;
  list.utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  list.text = DecodeProfileBytes(bytes, [&](std::string_view ansi) {
    std::wstring text;
    if (DecodeCodePage(ansi, codePage, text)) return text;
    // Line by line, numbered as the reader numbers them. No lead or trail
    // byte of a Windows code page is CR or LF, so the split is safe.
    text.clear();
    int number = 0;
    bool afterCr = false;
    while (!ansi.empty()) {
      const std::size_t end = ansi.find_first_of("\r\n");
      if (!(afterCr && end == 0 && ansi.front() == '\n')) ++number;
      afterCr = end != std::string_view::npos && ansi[end] == '\r';
      const std::size_t take = end == std::string_view::npos ? ansi.size() : end + 1;
      std::wstring line;
      if (!DecodeCodePage(ansi.substr(0, take), codePage, line)) list.badLines.insert(number);
      text += line;
      ansi.remove_prefix(take);
    }
    return text;
  });
  return list;
}

// The line of the first [MAIN] header, the section the run reads, or 0.
int MainLine(const std::vector<IniLine>& lines) {
  for (const IniLine& line : lines) {
    if (line.kind == IniLine::Kind::kSection && line.found && FoldName(line.name) == L"MAIN") return line.number;
  }
  return 0;
}

int MainLine(const std::wstring& text) {
  std::vector<IniLine> lines;
  IniDocument::Parse(text, &lines);
  return MainLine(lines);
}

// Why Windows finds no [MAIN] in `bytes` where another reading of them does,
// or empty text when no other reading does either.
std::wstring HiddenMain(std::string_view bytes) {
  std::wstring text;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    DecodeCodePage(bytes.substr(3), 65001, text);
    if (MainLine(text)) return L"the list starts with a UTF-8 byte order mark, which Windows reads as part of line 1: [MAIN] is lost";
  }
  std::string swapped(bytes.substr(bytes.substr(0, 2) == "\xFE\xFF" ? 2 : 0));
  for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  if (bytes.substr(0, 2) == "\xFE\xFF" && MainLine(DecodeUtf16Le(swapped))) {
    return L"the list is UTF-16 big-endian, which Windows does not read";
  }
  if (bytes.find('\0') != std::string_view::npos && (MainLine(DecodeUtf16Le(bytes)) || MainLine(DecodeUtf16Le(swapped)))) {
    return L"the list is UTF-16 without its byte order mark, which Windows reads as the code page";
  }
  return {};
}

bool LooksLikeUtf8(std::string_view bytes) {
  std::wstring ignored;
  return std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; }) &&
         DecodeCodePage(bytes, 65001, ignored);
}

// Cuts `value` to what the run's 4096-byte buffer holds: 4095 bytes in the
// code page, never half a character. Returns whether it was cut.
bool CutToBuffer(std::wstring& value, unsigned codePage) {
  std::string bytes;
  if (value.size() * 4 <= kMaxValueBytes) return false;  // no character takes more than 4 bytes
  EncodeCodePage(value, codePage, bytes);
  if (bytes.size() <= kMaxValueBytes) return false;
  std::size_t used = 0;
  std::size_t keep = 0;
  for (; keep < value.size(); ++keep) {
    EncodeCodePage(std::wstring_view(value).substr(keep, 1), codePage, bytes);
    if (used + bytes.size() > kMaxValueBytes) break;
    used += bytes.size();
  }
  value.resize(keep);
  return true;
}

// The number of an entry key ("FILE042" is 42), 0 for a FILE or COPYTO key
// the run never reads (a number it would spell otherwise), -1 for other keys.
std::int64_t EntryNumber(const std::wstring& folded) {
  const std::size_t digits = folded.rfind(L"FILE", 0) == 0 ? 4 : folded.rfind(L"COPYTO", 0) == 0 ? 6 : 0;
  if (digits == 0 || digits == folded.size() || folded.size() - digits > 10) return -1;
  std::int64_t number = 0;
  for (std::size_t i = digits; i < folded.size(); ++i) {
    if (folded[i] < L'0' || folded[i] > L'9') return -1;
    number = number * 10 + (folded[i] - L'0');
  }
  const bool read = number >= 1 && number <= INT32_MAX &&
                    EntrySuffix(static_cast<std::int32_t>(number)) == folded.substr(digits);
  return read ? number : 0;
}

class Checker {
 public:
  Checker(const fs::path& folder, unsigned codePage) : folder_(folder), listing_(ListFolder(folder)) {
    report_.codePage = codePage;
  }

  Report Run() {
    const Item* list = Find(listing_, kCopyListName);
    std::string bytes;
    if (list == nullptr) {
      Add(Kind::kNoList, 0, L"there is no mirrolet.ini: the run reports it missing and copies nothing");
    } else if (list->folder || HiddenOrSystem(folder_ / NamePath(list->name))) {
      Add(Kind::kListNotFound, 0, list->name + L" is " + (list->folder ? L"a folder" : L"hidden or system") +
                                     L": the run does not find it, reports it missing and copies nothing");
    } else if (!Read(list->name, bytes)) {
      Add(Kind::kListNotFound, 0, list->name + L" cannot be read: where the run cannot read it either, it copies nothing");
    } else {
      report_.listRead = true;
    }
    const Item* program = Find(listing_, kProgramName);
    if (program == nullptr || program->folder) {
      Add(Kind::kNoProgram, 0, L"no MirroletV2.exe beside the list: the customer has no program to start");
    }
    if (report_.listRead) CheckList(bytes);
    std::stable_sort(report_.findings.begin(), report_.findings.end(), [](const Finding& a, const Finding& b) {
      return (a.line == 0 ? INT32_MAX : a.line) < (b.line == 0 ? INT32_MAX : b.line);
    });
    return std::move(report_);
  }

 private:
  void Add(Kind kind, int line, std::wstring text) { report_.findings.push_back({kind, line, std::move(text)}); }

  bool Read(const std::wstring& name, std::string& bytes) {
    std::ifstream in(folder_ / NamePath(name), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    bytes = content.str();
    return !in.bad() && in.is_open();
  }

  void CheckList(const std::string& bytes) {
    const DecodedList decoded = Decode(bytes, report_.codePage);
    std::vector<IniLine> lines;
    IniDocument::Parse(decoded.text, &lines);
    const int mainLine = MainLine(lines);
    if (mainLine == 0) {
      const std::wstring hidden = HiddenMain(bytes);
      if (!hidden.empty()) {
        Add(Kind::kListEncoding, 1, hidden + L"; save it as ANSI text in code page " + std::to_wstring(report_.codePage));
      } else {
        Add(Kind::kNoMainSection, 0, L"the list has no [MAIN] section: the run copies nothing, yet says it is done");
      }
      return;
    }
    decoded_ = &decoded;
    utf8_ = !decoded.utf16 && LooksLikeUtf8(bytes);

    // The keys the run can read: the first of each name in the first [MAIN].
    std::set<int> mainSections;
    for (const IniLine& line : lines) {
      if (line.kind == IniLine::Kind::kSection && FoldName(line.name) == L"MAIN") mainSections.insert(line.number);
      if (line.kind == IniLine::Kind::kKey && line.section == mainLine && line.found) {
        keys_.emplace(FoldName(line.name), &line);
      }
    }
    const IniLine* sum = Key(L"SUM");
    if (sum != nullptr) {
      report_.sum = static_cast<std::int32_t>(ProfileInt(sum->value).value_or(0));
      CheckBytes(*sum, ProfileIntText(sum->value));
    }
    if (report_.sum <= 0) {
      Add(Kind::kSumNotPositive, sum ? sum->number : mainLine,
          (sum ? L"SUM reads as " + std::to_wstring(report_.sum) : std::wstring(L"SUM is absent")) +
              L": the run copies nothing, yet says it is done");
    }

    std::set<std::int32_t> entries;
    for (const IniLine& line : lines) {
      if (line.kind != IniLine::Kind::kKey || !mainSections.count(line.section)) continue;
      const std::wstring folded = FoldName(line.name);
      if (line.section != mainLine) {
        Add(Kind::kUnreadKey, line.number, line.name + L" is in a second [MAIN] section, which the run never reads");
        continue;
      }
      if (!line.found) {
        Add(Kind::kDuplicateKey, line.number, line.name + L" repeats the key of line " +
                                                  std::to_wstring(keys_.at(folded)->number) + L": the first one wins");
        continue;
      }
      const std::int64_t number = EntryNumber(folded);
      if (number == 0) {
        Add(Kind::kUnreadKey, line.number, line.name + L" is never read: entries are numbered 001, 002, ...");
      } else if (number > report_.sum) {
        Add(Kind::kUnreadKey, line.number, line.name + L" is past SUM=" + std::to_wstring(report_.sum) + L" and never read");
      } else if (number > 0) {
        entries.insert(static_cast<std::int32_t>(number));
      }
    }

    std::int64_t next = 1;
    for (const std::int32_t number : entries) {
      if (number > next) Missing(*sum, next, number - 1);
      next = std::int64_t{number} + 1;
      CheckEntry(number);
    }
    if (report_.sum >= next) Missing(*sum, next, report_.sum);

    for (const auto& [folded, item] : listing_) {
      if (item.folder || used_.count(folded) || folded == FoldName(kCopyListName) || folded == FoldName(kProgramName)) {
        continue;
      }
      Add(Kind::kUnusedFile, 0, item.name + L" is in the folder, but no entry copies it");
    }
  }

  const IniLine* Key(const std::wstring& folded) const {
    const auto it = keys_.find(folded);
    return it == keys_.end() ? nullptr : it->second;
  }

  // Entries `from` to `to` have no FILE key at all.
  void Missing(const IniLine& sum, std::int64_t from, std::int64_t to) {
    const std::wstring first = L"FILE" + EntrySuffix(static_cast<std::int32_t>(from));
    Add(Kind::kEntryMissing, sum.number,
        (from == to ? first + L" is absent"
                    : first + L" to FILE" + EntrySuffix(static_cast<std::int32_t>(to)) + L" are absent") +
            L" (SUM=" + std::to_wstring(report_.sum) + L"): the run stops there with a failed copy");
  }

  // A value the run reads, as it reads it; findings for its bytes and length.
  std::wstring Value(const IniLine* line) {
    if (line == nullptr) return {};
    std::wstring value = ProfileValue(line->value);
    CheckBytes(*line, value);
    if (CutToBuffer(value, report_.codePage)) {
      Add(Kind::kValueTooLong, line->number, line->name + L" is longer than 4095 bytes: the run reads it cut short");
    }
    return value;
  }

  void CheckBytes(const IniLine& line, const std::wstring& value) {
    std::string ignored;
    if (decoded_->utf16 ? EncodeCodePage(value, report_.codePage, ignored) : !decoded_->badLines.count(line.number)) {
      return;
    }
    Add(Kind::kNotInCodePage, line.number, line.name + L" holds " + (decoded_->utf16 ? L"characters" : L"bytes") +
                                               L" that code page " + std::to_wstring(report_.codePage) +
                                               L" has no character for" + Utf8Hint());
  }

  std::wstring Utf8Hint() const {
    return utf8_ ? L" (the list looks like UTF-8: save it in code page " + std::to_wstring(report_.codePage) + L")"
                 : L"";
  }

  void CheckEntry(std::int32_t number) {
    const std::wstring suffix = EntrySuffix(number);
    const IniLine* file = Key(L"FILE" + suffix);
    const IniLine* copyTo = Key(L"COPYTO" + suffix);
    PlanEntry entry{number, (file ? file : copyTo)->number, Value(file), Value(copyTo)};
    if (entry.source.empty()) {
      Add(Kind::kEntryMissing, entry.line, L"FILE" + suffix + (file ? L" is empty" : L" is absent") +
                                               L": the run copies its own folder there, which fails, and stops");
    } else {
      CheckSource(entry);
    }
    CheckDestination(entry, copyTo ? copyTo->number : entry.line);
    report_.plan.push_back(std::move(entry));
  }

  void CheckSource(const PlanEntry& entry) {
    const std::wstring key = L"FILE" + EntrySuffix(entry.number);
    const std::optional<std::wstring> relative = BelowFolder(entry.source);
    const Item* item = relative ? Find(listing_, *relative) : nullptr;
    if (!relative) {
      Add(Kind::kSourceMissing, entry.line, key + L" " + Quote(entry.source) + L" lies outside the update folder");
    } else if (relative->empty() || (item && item->folder)) {
      Add(Kind::kSourceMissing, entry.line, key + L" " + Quote(entry.source) + L" is a folder: the copy fails");
    } else if (item == nullptr) {
      Add(Kind::kSourceMissing, entry.line, key + L" " + Quote(entry.source) + L" is not in the update folder" + Utf8Hint());
    } else {
      used_.insert(FoldName(*relative));
    }
  }

  void CheckDestination(const PlanEntry& entry, int line) {
    const std::wstring key = L"COPYTO" + EntrySuffix(entry.number);
    const std::wstring& to = entry.destination;
    if (to.empty() || to == kPlaceholder || to.back() == L'\\' || to.back() == L'/') {
      Add(Kind::kDestinationEmpty, line,
          key + (to.empty() ? L" is empty" : L" " + Quote(to) + L" names a folder, not a file") + L": the copy fails");
      return;
    }
    const std::wstring folded = FoldName(to);
    const std::wstring foldedPlaceholder = FoldName(kPlaceholder);
    for (std::size_t at = folded.find(foldedPlaceholder); at != std::wstring::npos;
         at = folded.find(foldedPlaceholder, at + 1)) {
      if (to.compare(at, kPlaceholder.size(), kPlaceholder) != 0) {
        Add(Kind::kLowerCasePlaceholder, line, key + L" holds " + to.substr(at, kPlaceholder.size()) +
                                                   L", which is not replaced: only $APPPATH$ in capitals is");
        return;
      }
    }
    const std::size_t at = to.find(kPlaceholder);
    if (at == std::wstring::npos) {
      Add(Kind::kNoPlaceholder, line, key + L" " + Quote(to) + L" has no $APPPATH$: every product's pass writes that same place");
      return;
    }
    const std::optional<std::wstring> inside = BelowFolder(std::wstring_view(to).substr(at + kPlaceholder.size()));
    if (!inside) {
      Add(Kind::kLeavesProduct, line, key + L" " + Quote(to) + L" leaves the product folder");
      return;
    }
    const std::size_t slash = inside->rfind(L'\\');
    if (slash != std::wstring::npos && folders_.insert(FoldName(inside->substr(0, slash))).second) {
      Add(Kind::kFolderNeeded, line, L"the product must already have the folder " + Quote(inside->substr(0, slash)) +
                                         L": Mirrolet creates no folders");
    }
  }

  fs::path folder_;
  Listing listing_;
  Report report_;
  const DecodedList* decoded_ = nullptr;
  bool utf8_ = false;
  std::unordered_map<std::wstring, const IniLine*> keys_;
  std::set<std::wstring> used_;     // folded names of the files entries copy
  std::set<std::wstring> folders_;  // folded product folders already reported
};

// Why Windows cannot hold a file or folder of this name, or empty text.
std::wstring IllegalName(std::wstring_view part) {
  for (const wchar_t c : part) {
    if (c < 0x20 || std::wstring_view(L"<>:\"|?*\\").find(c) != std::wstring_view::npos) {
      return L"holds a character Windows does not allow in names";
    }
  }
  if (part.back() == L'.' || part.back() == L' ') return L"ends with a dot or a space, which Windows drops";
  const std::wstring stem = FoldName(part.substr(0, part.find(L'.')));
  const bool numbered = stem.size() == 4 && (stem.rfind(L"COM", 0) == 0 || stem.rfind(L"LPT", 0) == 0) &&
                        stem[3] >= L'1' && stem[3] <= L'9';
  if (numbered || stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") {
    return L"is a device name on Windows";
  }
  return {};
}

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

// The regular files of `tree`, sorted by path; what cannot ship goes to `refused`.
std::vector<TreeFile> TreeFiles(const fs::path& tree, unsigned codePage, const fs::path& program,
                                std::vector<std::wstring>& refused) {
  std::vector<TreeFile> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(tree, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (!it->is_regular_file(ignored)) continue;
    TreeFile file{L"", it->path(), {}};
    std::wstring why;
    for (const fs::path& part : it->path().lexically_relative(tree)) {
      std::wstring text;
      if (!NameText(part, text)) why = L"is not UTF-8 text";
      if (why.empty()) why = IllegalName(text);
      file.name += (file.name.empty() ? L"" : L"\\") + text;
    }
    if (why.empty() && !EncodeCodePage(file.name, codePage, file.bytes)) {
      why = L"cannot be spelt exactly in code page " + std::to_wstring(codePage);
    } else if (why.empty() && kPlaceholder.size() + file.bytes.size() > kMaxValueBytes) {
      why = L"makes a value longer than 4095 bytes";
    }
    if (!why.empty()) refused.push_back(Quote(file.name) + L" " + why);
    files.push_back(std::move(file));
  }
  if (error) refused.push_back(Quote(Text(tree)) + L" cannot be read: " + Text(fs::path(error.message())));

  std::sort(files.begin(), files.end(), [](const TreeFile& a, const TreeFile& b) {
    const std::wstring foldA = FoldName(a.name), foldB = FoldName(b.name);
    return foldA != foldB ? foldA < foldB : a.name < b.name;
  });
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::wstring folded = FoldName(files[i].name);
    if (i > 0 && folded == FoldName(files[i - 1].name)) {
      refused.push_back(Quote(files[i].name) + L" and " + Quote(files[i - 1].name) + L" differ only in case: Windows keeps one");
    }
    if (folded == FoldName(kCopyListName) || (!program.empty() && folded == FoldName(Text(program.filename())))) {
      refused.push_back(Quote(files[i].name) + L" would be overwritten by the " +
                        (folded == FoldName(kCopyListName) ? L"copy list" : L"program"));
    }
  }
  if (files.empty() && refused.empty()) refused.push_back(Quote(Text(tree)) + L" holds no files: the list would copy nothing");
  return files;
}

std::string ListText(const std::vector<TreeFile>& files) {
  std::string list = "[MAIN]\r\nSUM=" + std::to_string(files.size()) + "\r\n";
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string suffix;
    for (const wchar_t digit : EntrySuffix(static_cast<std::int32_t>(i + 1))) suffix += static_cast<char>(digit);
    list += "FILE" + suffix + "=" + ListValue(files[i].bytes) + "\r\n";
    list += "COPYTO" + suffix + "=" + ListValue("$APPPATH$" + files[i].bytes) + "\r\n";
  }
  return list;
}

int StatusOf(const std::vector<Finding>& findings) {
  const bool error = std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return IsError(f.kind); });
  return error ? 2 : findings.empty() ? 0 : 1;
}

}  // namespace

bool IsError(Kind kind) { return kind <= Kind::kValueTooLong; }

const wchar_t* KindName(Kind kind) {
  static const wchar_t* const kNames[] = {
      L"no-list",        L"list-not-found",  L"list-encoding",          L"no-main-section",
      L"entry-missing",  L"source-missing",  L"destination-empty",      L"not-in-code-page",
      L"value-too-long", L"sum-not-positive", L"unread-key",            L"duplicate-key",
      L"lower-case-placeholder", L"no-placeholder", L"leaves-product",  L"folder-needed",
      L"unused-file",    L"no-program"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Kind::kNoProgram) + 1, "a tag for every kind");
  return kNames[static_cast<int>(kind)];
}

int Report::ExitStatus() const { return StatusOf(findings); }

int BuildResult::ExitStatus() const { return written ? report.ExitStatus() : 2; }

Report Check(const fs::path& folder, unsigned codePage) { return Checker(folder, codePage).Run(); }

BuildResult Build(const fs::path& tree, const fs::path& out, const fs::path& program, unsigned codePage) {
  BuildResult result;
  std::error_code error;
  fs::path target = fs::absolute(out, error).lexically_normal();
  if (!target.has_filename()) target = target.parent_path();
  if (!fs::is_directory(tree, error)) {
    result.failure = Quote(Text(tree)) + L" is not a folder";
  } else if (!program.empty() && !fs::is_regular_file(program, error)) {
    result.failure = Quote(Text(program)) + L" is not a file";
  } else if (!fs::is_directory(target.parent_path(), error)) {
    result.failure = L"the folder that would hold " + Quote(Text(out)) + L" does not exist";
  }
  if (!result.failure.empty()) return result;
  if (fs::exists(target, error) && !(fs::is_directory(target, error) && fs::is_empty(target, error))) {
    result.refused.push_back(Quote(Text(out)) + L" is not an empty folder");
  }
  const std::vector<TreeFile> files = TreeFiles(tree, codePage, program, result.refused);
  if (!result.refused.empty()) return result;

  // Built beside the target and renamed into place, so that a failure leaves
  // no half-written update folder.
  std::random_device random;
  const fs::path staging = target.parent_path() / NamePath(L".mirrolet-pack-" + std::to_wstring(random()));
  try {
    fs::create_directory(staging);
    for (const TreeFile& file : files) {
      const fs::path copy = staging / file.path.lexically_relative(tree);
      fs::create_directories(copy.parent_path());
      fs::copy_file(file.path, copy);
    }
    std::ofstream list(staging / NamePath(kCopyListName), std::ios::binary);
    list << ListText(files);
    list.close();
    if (!list) throw fs::filesystem_error("cannot write the copy list", staging, std::make_error_code(std::errc::io_error));
    if (!program.empty()) fs::copy_file(program, staging / program.filename());

    result.report = Check(staging, codePage);
    // The list must read back as exactly the files it was written from.
    bool exact = result.report.plan.size() == files.size();
    for (std::size_t i = 0; exact && i < files.size(); ++i) {
      exact = result.report.plan[i].source == files[i].name &&
              result.report.plan[i].destination == std::wstring(kPlaceholder) + files[i].name;
    }
    if (!exact) result.failure = L"the copy list does not read back as written";
    if (exact && result.report.ExitStatus() < 2) {
      fs::remove(target, error);  // an empty folder, or none
      fs::rename(staging, target);
      result.written = true;
    }
  } catch (const fs::filesystem_error& failure) {
    result.failure = Text(fs::path(failure.code().message())) + L": " + Text(failure.path1());
  }
  if (!result.written) fs::remove_all(staging, error);
  return result;
}

std::wstring FormatReport(const Report& report) {
  std::wstring out;
  if (report.listRead) {
    out += L"mirrolet.ini read as code page " + std::to_wstring(report.codePage) + L": SUM=" +
           std::to_wstring(report.sum) + L", " + std::to_wstring(report.plan.size()) + L" entries\n";
  }
  for (const PlanEntry& entry : report.plan) {
    out += L"  " + EntrySuffix(entry.number) + L"  " + (entry.source.empty() ? L"(none)" : entry.source) + L"  ->  " +
           (entry.destination.empty() ? L"(none)" : entry.destination) + L"\n";
  }
  std::size_t errors = 0;
  for (const Finding& finding : report.findings) {
    errors += IsError(finding.kind);
    out += (finding.line ? L"mirrolet.ini:" + std::to_wstring(finding.line) : std::wstring(L"folder")) + L": " +
           (IsError(finding.kind) ? L"error: " : L"warning: ") + finding.text + L" [" + KindName(finding.kind) + L"]\n";
  }
  const std::size_t warnings = report.findings.size() - errors;
  const auto count = [](std::size_t n, const wchar_t* what) {
    return std::to_wstring(n) + L" " + what + (n == 1 ? L"" : L"s");
  };
  return out + (report.findings.empty() ? L"clean\n" : count(errors, L"error") + L", " + count(warnings, L"warning") + L"\n");
}

namespace {

constexpr wchar_t kCheckUsage[] =
    L"usage: mirrolet-pack check FOLDER [--code-page N]\n"
    L"Reads FOLDER/mirrolet.ini as MirroletV2.exe reads it on a Windows whose ANSI code page is N\n"
    L"(default 950), prints the entries it will copy and every finding with its line.\n"
    L"Exit status: 0 clean, 1 warnings only, 2 errors.\n";
constexpr wchar_t kBuildUsage[] =
    L"usage: mirrolet-pack build SOURCE_TREE OUT_FOLDER [--exe PATH] [--code-page N]\n"
    L"Makes an update folder from SOURCE_TREE, laid out like the product folder: copies every file,\n"
    L"writes mirrolet.ini in code page N (default 950) with one entry per file, copies the program\n"
    L"given with --exe beside it, and checks the result. OUT_FOLDER must be empty or absent; it is\n"
    L"written only when the check finds no error.\n"
    L"Exit status: 0 clean, 1 written with warnings, 2 refused or failed.\n";

int Usage(const std::wstring& problem, const std::wstring& command) {
  Write(true, L"mirrolet-pack: " + problem + L" (see: mirrolet-pack " + command + (command.empty() ? L"" : L" ") +
                  L"--help)\n");
  return 2;
}

}  // namespace

int Run(const std::vector<fs::path>& arguments) {
  const std::wstring command = arguments.empty() ? L"" : Text(arguments[0]);
  if (command == L"--help" || command == L"-h" || command == L"help") {
    Write(false, L"mirrolet-pack: makes and checks the update folders MirroletV2.exe runs from.\n\n" +
                     std::wstring(kCheckUsage) + L"\n" + kBuildUsage);
    return 0;
  }
  if (command == L"bundle") return BundleCommand({arguments.begin() + 1, arguments.end()});
  if (command != L"check" && command != L"build") {
    return Usage(command.empty() ? L"no command given" : L"unknown command " + Quote(command), L"");
  }
  std::vector<fs::path> positional;
  fs::path program;
  unsigned codePage = kDefaultCodePage;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    std::wstring word = Text(arguments[i]);
    const std::size_t equals = word.find(L'=');
    const std::wstring option = word.rfind(L"--", 0) == 0 ? word.substr(0, equals) : L"";
    if (option == L"--help" || word == L"-h") {
      Write(false, command == L"check" ? kCheckUsage : kBuildUsage);
      return 0;
    }
    if (option.empty()) {
      positional.push_back(arguments[i]);
      continue;
    }
    if (option != L"--code-page" && (option != L"--exe" || command != L"build")) {
      return Usage(L"unknown option " + option, command);
    }
    fs::path value;
    if (equals != std::wstring::npos) {
      value = NamePath(word.substr(equals + 1));
    } else if (++i < arguments.size()) {
      value = arguments[i];
    } else {
      return Usage(option + L" needs a value", command);
    }
    if (option == L"--exe") {
      program = value;
      continue;
    }
    const std::wstring number = Text(value);
    const bool digits = !number.empty() && number.size() <= 5 &&
                        std::all_of(number.begin(), number.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
    codePage = digits ? static_cast<unsigned>(std::stoul(number)) : 0;
    if (codePage == 0 || codePage > 65535) return Usage(L"--code-page takes a number such as 950, not " + Quote(number), command);
    if (!CodePageKnown(codePage)) return Usage(L"code page " + number + L" is not known on this machine", command);
  }
  const std::size_t wanted = command == L"check" ? 1 : 2;
  if (positional.size() != wanted) {
    return Usage(std::wstring(positional.size() < wanted ? L"too few" : L"too many") + L" arguments", command);
  }

  if (command == L"check") {
    std::error_code error;
    if (fs::is_regular_file(positional[0], error)) return CheckBundle(positional[0], codePage);
    if (!fs::is_directory(positional[0], error)) return Usage(Quote(Text(positional[0])) + L" is not a folder", command);
    const Report report = Check(positional[0], codePage);
    Write(false, FormatReport(report));
    return report.ExitStatus();
  }
  const BuildResult result = Build(positional[0], positional[1], program, codePage);
  for (const std::wstring& refusal : result.refused) Write(true, L"mirrolet-pack: refused: " + refusal + L"\n");
  if (!result.failure.empty()) Write(true, L"mirrolet-pack: " + result.failure + L"\n");
  if (result.report.listRead) Write(false, FormatReport(result.report));
  if (result.written) {
    Write(false, L"wrote " + Text(positional[1]) + L": " + std::to_wstring(result.report.plan.size()) + L" files\n");
  } else if (result.refused.empty() && result.failure.empty()) {
    Write(true, L"mirrolet-pack: the check found errors; " + Text(positional[1]) + L" was not written\n");
  }
  return result.ExitStatus();
}

}  // namespace mirrolet::pack
