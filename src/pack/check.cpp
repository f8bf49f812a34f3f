// check: reads an update folder's copy list as the run will read it, and says
// what will go wrong.
#include <algorithm>
#include <set>
#include <unordered_map>

#include "base/copy_list_model.h"
#include "base/ini_document.h"
#include "base/name_fold.h"
#include "pack/pack.h"
#include "pack/pack_host.h"
#include "pack/tree.h"

namespace mirrolet::pack {

namespace fs = std::filesystem;

namespace {

const std::wstring kPlaceholder = kAppPathPlaceholder;

// The list decoded as the profile functions decode it, with the lines that
// hold bytes the code page has no character for.
struct DecodedList {
  std::wstring text;
  std::set<int> badLines;
  bool utf16 = false;
};

// Line by line, numbered as the reader numbers them. No lead or trail byte
// of a Windows code page is CR or LF, so the split is safe.
std::wstring DecodeByLine(std::string_view ansi, unsigned codePage, std::set<int>& badLines) {
  std::wstring text;
  int number = 0;
  bool afterCr = false;
  while (!ansi.empty()) {
    const std::size_t end = ansi.find_first_of("\r\n");
    if (!(afterCr && end == 0 && ansi.front() == '\n')) ++number;
    afterCr = end != std::string_view::npos && ansi[end] == '\r';
    const std::size_t take = end == std::string_view::npos ? ansi.size() : end + 1;
    std::wstring line;
    if (!DecodeCodePage(ansi.substr(0, take), codePage, line)) badLines.insert(number);
    text += line;
    ansi.remove_prefix(take);
  }
  return text;
}

DecodedList Decode(std::string_view bytes, unsigned codePage) {
  DecodedList list;
  list.utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  list.text = DecodeProfileBytes(bytes, [&](std::string_view ansi) {
    std::wstring text;
    return DecodeCodePage(ansi, codePage, text) ? text : DecodeByLine(ansi, codePage, list.badLines);
  });
  return list;
}

bool IsListSection(const IniLine& line) {
  return line.kind == IniLine::Kind::kSection && FoldName(line.name) == FoldName(kCopyListSection);
}

// The line of the first list section header, the one the run reads, or 0.
int MainLine(const std::vector<IniLine>& lines) {
  for (const IniLine& line : lines) {
    if (IsListSection(line) && line.found) return line.number;
  }
  return 0;
}

int MainLine(const std::wstring& text) {
  std::vector<IniLine> lines;
  IniDocument::Parse(text, &lines);
  return MainLine(lines);
}

// Why Windows finds no list section in `bytes` where another reading of them
// does, or empty text when no other reading does either.
std::wstring HiddenMain(std::string_view bytes) {
  const std::wstring section = L"[" + std::wstring(kCopyListSection) + L"]";
  std::wstring text;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    DecodeCodePage(bytes.substr(3), kUtf8CodePage, text);
    if (MainLine(text)) return L"the list starts with a UTF-8 byte order mark, which Windows reads as part of line 1: " + section + L" is lost";
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
         DecodeCodePage(bytes, kUtf8CodePage, ignored);
}

// Why the run finds no list it can read, for each way mirrolet-pack cannot read it.
std::wstring Unreadable(const std::wstring& name, ReadResult result) {
  switch (result) {
    case ReadResult::kNotRegular: return name + L" is not a regular file: the run reads it as missing and copies nothing";
    case ReadResult::kTooLarge:
      return name + L" is larger than " + std::to_wstring(kMaxListBytes >> 20) + L" MiB: the run fails to read it";
    default: return name + L" cannot be read: where the run cannot read it either, it copies nothing";
  }
}

// The edits (insert, delete, replace, swap two neighbours) between `a` and
// the short `b`, without regard to case. Linear in the length of `a`.
std::size_t EditDistance(const std::wstring& a, const std::wstring& b) {
  std::vector<std::vector<std::size_t>> rows(3, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t j = 0; j <= b.size(); ++j) rows[1][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::vector<std::size_t>& row = rows[(i + 1) % 3];
    const std::vector<std::size_t>& up = rows[i % 3];
    const std::vector<std::size_t>& upUp = rows[(i + 2) % 3];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      row[j] = std::min({up[j] + 1, row[j - 1] + 1, up[j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) row[j] = std::min(row[j], upUp[j - 2] + 1);
    }
  }
  return rows[(a.size() + 1) % 3][b.size()];
}

struct NearKey {
  std::wstring key;
  std::int32_t entry;  // 0 for "SUM"
  bool close;          // near enough to be taken for a misspelling
};

// The key the run reads that `name` comes nearest: "SUM", or the FILE or
// COPYTO key of the entry its trailing digits give (else entry 1).
NearKey NearestKey(const std::wstring& name) {
  const std::wstring folded = FoldName(name);
  std::size_t digits = folded.size();
  while (digits > 0 && folded[digits - 1] >= L'0' && folded[digits - 1] <= L'9') --digits;
  std::int64_t number = 0;
  for (std::size_t i = digits; i < folded.size() && number <= INT32_MAX; ++i) number = number * 10 + (folded[i] - L'0');
  const auto entry = static_cast<std::int32_t>(number >= 1 && number <= INT32_MAX ? number : 1);
  NearKey best{kEntryCountKey, 0, false};
  std::size_t bestDistance = EditDistance(folded, FoldName(kEntryCountKey));
  for (const std::wstring& key : {SourceKey(entry), DestinationKey(entry)}) {
    const std::size_t distance = EditDistance(folded, FoldName(key));
    if (distance < bestDistance) best = {key, entry, false}, bestDistance = distance;
  }
  best.close = bestDistance <= (best.entry == 0 ? 1u : 2u);
  return best;
}

class Checker {
 public:
  Checker(const fs::path& folder, const CheckOptions& options)
      : folder_(folder), program_(options.program), programBeside_(options.programBeside), listing_(ListFolder(folder)) {
    report_.codePage = options.codePage;
    report_.policy = options.policy;
  }

  Report Run() {
    std::string bytes;
    report_.listRead = ReadList(bytes);
    const Item* program = Find(listing_, program_);
    if (programBeside_ && (program == nullptr || program->type == EntryType::kFolder)) {
      Add(Kind::kNoProgram, 0, L"no " + program_ + L" beside the list: the customer has no program to start");
    }
    if (report_.listRead) CheckList(bytes);
    std::stable_sort(report_.findings.begin(), report_.findings.end(), [](const Finding& a, const Finding& b) {
      return (a.line == 0 ? INT32_MAX : a.line) < (b.line == 0 ? INT32_MAX : b.line);
    });
    return std::move(report_);
  }

 private:
  void Add(Kind kind, int line, std::wstring text) {
    const auto key = keyOfLine_.find(line);
    report_.findings.push_back({kind, line, std::move(text), key == keyOfLine_.end() ? L"" : key->second});
  }

  // Whether the run finds and reads the list; `bytes` then holds it.
  bool ReadList(std::string& bytes) {
    const Item* list = Find(listing_, kCopyListName);
    if (list == nullptr) {
      Add(Kind::kNoList, 0, L"there is no " + std::wstring(kCopyListName) + L": the run reports it missing and copies nothing");
      return false;
    }
    if (list->type == EntryType::kOther) {
      Add(Kind::kListNotFound, 0, list->name + L" is " + list->what + L", not a regular file: the run reads it as missing and copies nothing");
      return false;
    }
    if (list->type == EntryType::kFolder || HiddenOrSystem(folder_ / NamePath(list->name))) {
      Add(Kind::kListNotFound, 0, list->name + L" is " + (list->type == EntryType::kFolder ? L"a folder" : L"hidden or system") +
                                     L": the run does not find it, reports it missing and copies nothing");
      return false;
    }
    const ReadResult result = ReadListBytes(folder_ / NamePath(list->name), bytes);
    if (result != ReadResult::kRead) Add(Kind::kListNotFound, 0, Unreadable(list->name, result));
    return result == ReadResult::kRead;
  }

  void CheckList(const std::string& bytes) {
    const DecodedList decoded = Decode(bytes, report_.codePage);
    std::vector<IniLine> lines;
    IniDocument::Parse(decoded.text, &lines);
    for (const IniLine& line : lines) {
      if (line.kind == IniLine::Kind::kKey) keyOfLine_.emplace(line.number, line.name);
    }
    const int mainLine = MainLine(lines);
    if (mainLine == 0) {
      const std::wstring hidden = HiddenMain(bytes);
      if (!hidden.empty()) {
        Add(Kind::kListEncoding, 1, hidden + L"; save it as ANSI text in code page " + std::to_wstring(report_.codePage));
      } else {
        Add(Kind::kNoMainSection, 0, L"the list has no [" + std::wstring(kCopyListSection) +
                                         L"] section: the run copies nothing, yet says it is done");
      }
      return;
    }
    decoded_ = &decoded;
    utf8_ = !decoded.utf16 && LooksLikeUtf8(bytes);
    ReadKeys(lines, mainLine);
    const std::set<std::int32_t> entries = CheckKeys(lines, mainLine);
    WalkEntries(entries);
    CheckUnusedFiles();
  }

  // The keys the run can read: the first of each name in the first list section.
  void ReadKeys(const std::vector<IniLine>& lines, int mainLine) {
    for (const IniLine& line : lines) {
      if (IsListSection(line)) listSections_.insert(line.number);
      if (line.kind == IniLine::Kind::kKey && line.section == mainLine && line.found) {
        keys_.emplace(FoldName(line.name), &line);
      }
    }
    sum_ = Key(kEntryCountKey);
    if (sum_ != nullptr) {
      report_.sum = static_cast<std::int32_t>(ProfileInt(sum_->value).value_or(0));
      CheckBytes(*sum_, ProfileIntText(sum_->value));
    }
    if (report_.sum <= 0) {
      // With entries written, the list was meant to copy them: the customer's
      // run copying nothing and saying it is done is the worst outcome.
      const bool entries = std::any_of(keys_.begin(), keys_.end(),
                                       [](const auto& key) { return EntryKeyNumber(key.first).has_value(); });
      const std::wstring sum = kEntryCountKey;
      Add(entries ? Kind::kSumNotPositive : Kind::kEmptyList, sum_ ? sum_->number : mainLine,
          (sum_ ? sum + L" reads as " + std::to_wstring(report_.sum) : sum + L" is absent") +
              (entries ? L", so no FILE or COPYTO key is read" : L" and the list has no entries") +
              L": the run copies nothing, yet says it is done");
    }
  }

  // Findings for the keys of the list sections the run never reads; the
  // numbers of the entries it reads that have a key.
  std::set<std::int32_t> CheckKeys(const std::vector<IniLine>& lines, int mainLine) {
    std::set<std::int32_t> entries;
    std::set<std::wstring> otherSections;
    for (const IniLine& line : lines) {
      if (line.kind == IniLine::Kind::kSection && !IsListSection(line) && otherSections.insert(FoldName(line.name)).second) {
        Add(Kind::kOtherSection, line.number, L"[" + line.name + L"] is a section the run never reads");
      }
      if (line.kind != IniLine::Kind::kKey || !listSections_.count(line.section)) continue;
      const std::wstring section = L"[" + std::wstring(kCopyListSection) + L"]";
      if (line.section != mainLine) {
        Add(Kind::kUnreadKey, line.number, line.name + L" is in a second " + section + L" section, which the run never reads");
      } else if (!line.found) {
        Add(Kind::kDuplicateKey, line.number, line.name + L" repeats the key of line " +
                                                  std::to_wstring(keys_.at(FoldName(line.name))->number) + L": the first one wins");
      } else if (const std::optional<std::int64_t> number = EntryKeyNumber(line.name); !number) {
        if (&line != sum_) UnknownKey(line);
      } else if (*number == 0) {
        Add(Kind::kUnreadKey, line.number, line.name + L" is never read: entries are numbered " + EntrySuffix(1) + L", " +
                                               EntrySuffix(2) + L", ...");
      } else if (*number > report_.sum) {
        Add(Kind::kUnreadKey, line.number, line.name + L" is past " + kEntryCountKey + L"=" +
                                               std::to_wstring(report_.sum) + L" and never read");
      } else {
        entries.insert(static_cast<std::int32_t>(*number));
      }
    }
    return entries;
  }

  // A key of [MAIN] that is neither "SUM" nor an entry key, named with the
  // nearest key the run reads: an error when it looks like a misspelling of
  // one the list lacks and the run needs.
  void UnknownKey(const IniLine& line) {
    const NearKey near = NearestKey(line.name);
    const bool needed = near.entry == 0 ? sum_ == nullptr : near.entry <= report_.sum && Key(near.key) == nullptr;
    if (near.close && needed) {
      Add(Kind::kMisspelledKey, line.number, line.name + L": did you mean " + near.key + L"?");
    } else {
      Add(Kind::kUnknownKey, line.number, line.name + L" is never read: the nearest key the run reads is " + near.key);
    }
  }

  // The entries as the run walks them, skipping the runs of entries without a key.
  void WalkEntries(const std::set<std::int32_t>& entries) {
    CopyListWalk walk;
    walk.visit = [&](const CopyListEntry& entry) { CheckEntry(entry); };
    walk.nextKeyed = [&](std::int64_t from) -> std::int64_t {
      const auto it = entries.lower_bound(static_cast<std::int32_t>(from));
      return it == entries.end() ? std::int64_t{INT32_MAX} + 1 : *it;
    };
    walk.absent = [&](std::int32_t first, std::int32_t last) { Missing(first, last); };
    WalkCopyList(report_.sum, [&](const std::wstring& key) { return Value(Key(key)); }, walk);
  }

  void CheckUnusedFiles() {
    for (const auto& [folded, item] : listing_) {
      if (item.type == EntryType::kFolder || used_.count(folded) || folded == FoldName(kCopyListName) ||
          folded == FoldName(kProgramName) || folded == FoldName(program_)) {
        continue;
      }
      Add(Kind::kUnusedFile, 0, item.name + L" is in the folder, but no entry copies it");
    }
  }

  const IniLine* Key(std::wstring_view key) const {
    const auto it = keys_.find(FoldName(key));
    return it == keys_.end() ? nullptr : it->second;
  }

  // Entries `from` to `to` have no key at all.
  void Missing(std::int32_t from, std::int32_t to) {
    const std::wstring first = SourceKey(from);
    Add(Kind::kEntryMissing, sum_->number,
        (from == to ? first + L" is absent" : first + L" to " + SourceKey(to) + L" are absent") + L" (" +
            kEntryCountKey + L"=" + std::to_wstring(report_.sum) + L"): the run stops there with a failed copy");
  }

  // A value the run reads, as it reads it; findings for its bytes and length.
  std::optional<std::wstring> Value(const IniLine* line) {
    if (line == nullptr) return std::nullopt;
    std::wstring value = ProfileValue(line->value);
    CheckBytes(*line, value);
    const auto bytes = [&](std::wstring_view text) {
      std::string encoded;
      EncodeCodePage(text, report_.codePage, encoded);
      return encoded.size();
    };
    if (CutToValueBuffer(value, bytes)) {
      Add(Kind::kValueTooLong, line->number, line->name + L" is longer than " + std::to_wstring(kMaxValueBytes) +
                                                 L" bytes: the run reads it cut short");
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

  void CheckEntry(const CopyListEntry& read) {
    const IniLine* file = Key(SourceKey(read.number));
    const IniLine* copyTo = Key(DestinationKey(read.number));
    PlanEntry entry{read.number, (file ? file : copyTo)->number, read.source.value_or(L""), read.destination.value_or(L"")};
    if (entry.source.empty()) {
      Add(Kind::kEntryMissing, entry.line, SourceKey(read.number) + (file ? L" is empty" : L" is absent") +
                                               L": the run copies its own folder there, which fails, and stops");
    } else {
      CheckSource(entry);
    }
    CheckDestination(entry, copyTo ? copyTo->number : entry.line);
    report_.plan.push_back(std::move(entry));
  }

  void CheckSource(const PlanEntry& entry) {
    const std::wstring key = SourceKey(entry.number) + L" " + Quote(entry.source);
    const std::optional<std::wstring> relative = BelowFolder(entry.source);
    const Item* item = relative ? Find(listing_, *relative) : nullptr;
    if (!relative) {
      Add(Kind::kSourceMissing, entry.line, key + L" lies outside the update folder");
    } else if (relative->empty() || (item && item->type == EntryType::kFolder)) {
      Add(Kind::kSourceMissing, entry.line, key + L" is a folder: the copy fails");
    } else if (item == nullptr) {
      Add(Kind::kSourceMissing, entry.line, key + L" is not in the update folder" + Utf8Hint());
    } else {
      used_.insert(FoldName(*relative));
      const std::size_t slash = relative->rfind(L'\\');
      if (FoldName(relative->substr(slash == std::wstring::npos ? 0 : slash + 1)) == FoldName(kProgramName)) {
        Add(Kind::kCopiesProgram, entry.line, key + L" copies a " + std::wstring(kProgramName) +
                                                  L" into the product: a stray copy of the updater, not a file of the product");
      }
      if (item->type == EntryType::kOther) {
        Add(Kind::kSourceMissing, entry.line, key + L" is " + item->what + L", not a regular file: the copy fails");
      }
    }
  }

  void CheckDestination(const PlanEntry& entry, int line) {
    const std::wstring key = DestinationKey(entry.number);
    const std::wstring& to = entry.destination;
    if (to.empty() || to == kPlaceholder || to.back() == L'\\' || to.back() == L'/') {
      Add(Kind::kDestinationEmpty, line,
          key + (to.empty() ? L" is empty" : L" " + Quote(to) + L" names a folder, not a file") + L": the copy fails");
      return;
    }
    if (CheckPlaceholderCase(key, to, line)) return;
    const std::size_t at = to.find(kPlaceholder);
    if (at == std::wstring::npos) {
      Add(Kind::kNoPlaceholder, line, key + L" " + Quote(to) + L" has no " + kPlaceholder + L": every product's pass writes that same place");
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

  // Whether `to` holds the placeholder in another case, which is not replaced.
  bool CheckPlaceholderCase(const std::wstring& key, const std::wstring& to, int line) {
    const std::wstring folded = FoldName(to);
    const std::wstring foldedPlaceholder = FoldName(kPlaceholder);
    for (std::size_t at = folded.find(foldedPlaceholder); at != std::wstring::npos;
         at = folded.find(foldedPlaceholder, at + 1)) {
      if (to.compare(at, kPlaceholder.size(), kPlaceholder) != 0) {
        Add(Kind::kLowerCasePlaceholder, line, key + L" holds " + to.substr(at, kPlaceholder.size()) +
                                                   L", which is not replaced: only " + kPlaceholder + L" in capitals is");
        return true;
      }
    }
    return false;
  }

  fs::path folder_;
  std::wstring program_;
  bool programBeside_;
  Listing listing_;
  Report report_;
  const DecodedList* decoded_ = nullptr;
  bool utf8_ = false;
  std::set<int> listSections_;  // header lines of every list section
  std::unordered_map<int, std::wstring> keyOfLine_;
  std::unordered_map<std::wstring, const IniLine*> keys_;
  const IniLine* sum_ = nullptr;
  std::set<std::wstring> used_;     // folded names of the files entries copy
  std::set<std::wstring> folders_;  // folded product folders already reported
};

}  // namespace

Report Check(const fs::path& folder, const CheckOptions& options) { return Checker(folder, options).Run(); }

}  // namespace mirrolet::pack
