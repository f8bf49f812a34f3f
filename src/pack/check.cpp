// check: reads an update folder's copy list as the run will read it, and says
// what will go wrong. The parts of what it checks are in check_parts.h.
#include <algorithm>
#include <set>
#include <unordered_map>

#include "base/copy_list_model.h"
#include "base/ini_document.h"
#include "base/name_fold.h"
#include "pack/check_parts.h"
#include "pack/pack.h"
#include "pack/pack_host.h"
#include "pack/tree.h"

namespace mirrolet::pack {

namespace fs = std::filesystem;

namespace {

// Why the run finds no list it can read, for each way mirrolet-pack cannot read it.
std::wstring Unreadable(const std::wstring& name, ReadResult result) {
  switch (result) {
    case ReadResult::kNotRegular: return name + L" is not a regular file: the run reads it as missing and copies nothing";
    case ReadResult::kTooLarge:
      return name + L" is larger than " + std::to_wstring(kMaxListBytes >> 20) + L" MiB: the run fails to read it";
    default: return name + L" cannot be read: where the run cannot read it either, it copies nothing";
  }
}

class Checker {
 public:
  Checker(const fs::path& folder, const CheckOptions& options)
      : folder_(folder), program_(options.program), programBeside_(options.programBeside), listing_(ListFolder(folder, options.policy.allowed.contains(Kind::kLinkOutside))) {
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
    for (const auto& [folded, item] : listing_) {
      if (item.escape != Escape::kNone) {
        report_.findings.push_back(EscapeFinding(item.name, item.escape, item.target, L"the update folder"));
      }
    }
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
    if (std::optional<DestinationFinding> found = CheckDestination(read.number, entry.destination, folders_)) {
      Add(found->kind, copyTo ? copyTo->number : entry.line, std::move(found->text));
    }
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
