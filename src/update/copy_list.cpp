#include "update/copy_list.h"

#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "base/name_fold.h"
#include "settings/profile.h"
#include "update/messages.h"

namespace mirrolet {

namespace {

// The profile reader's buffer is the one whose cut the copy list's model describes.
static_assert(kIniStringBufferSize == kMaxValueBytes + 1);

// The longest path any Windows file function takes, in characters.
constexpr std::size_t kMaxPathLength = 32767;

struct EntryPaths {
  std::wstring source;  // a path; for a carried update, the FILE value as written
  std::wstring destination;
  bool tooLong = false;  // the destination would be longer than any path Windows takes
};

// A carried update's files by the names a list gives them: "\" or "/"
// between parts, empty and "." parts dropped, ".." going up, without regard
// to case, as a file of a folder would be found.
class CarriedNames {
 public:
  explicit CarriedNames(const CarriedUpdate& update) {
    for (std::size_t i = 0; i < update.names.size(); ++i) index_.emplace(FoldName(update.names[i]), i);
  }
  std::optional<std::size_t> Find(const std::wstring& listed) const {
    std::vector<std::wstring> parts;
    std::wstring part;
    for (std::size_t i = 0; i <= listed.size(); ++i) {
      if (i < listed.size() && listed[i] != L'\\' && listed[i] != L'/') {
        part += listed[i];
        continue;
      }
      if (part == L"..") {
        if (parts.empty()) return std::nullopt;  // out of the update: no file it carries
        parts.pop_back();
      } else if (!part.empty() && part != L".") {
        parts.push_back(std::move(part));
      }
      part.clear();
    }
    std::wstring name;
    for (const std::wstring& p : parts) name += (name.empty() ? L"" : L"/") + p;
    const auto found = index_.find(FoldName(name));
    if (found == index_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::map<std::wstring, std::size_t> index_;
};

// The list's keys as the run reads them, through the host's profile functions.
KeyLookup ProfileLookup(Platform& host, const std::wstring& profilePath) {
  return [&host, profilePath](const std::wstring& key) -> std::optional<std::wstring> {
    return ReadIniString(host, kCopyListSection, key, L"", profilePath);
  };
}

// One entry of the list as the run copies it. A destination that would be too
// long comes back empty, rather than being built at the size of the work path
// times its placeholders.
EntryPaths EntryPathsOf(const CopyListEntry& entry, const std::wstring& workPath, const std::wstring& appFolder) {
  const std::wstring copyTo = entry.destination.value_or(L"");
  EntryPaths paths;
  paths.source = appFolder + entry.source.value_or(L"");
  const std::size_t placeholders = CountAppPath(copyTo);
  paths.tooLong = placeholders > 0 && workPath.size() > kMaxPathLength / placeholders;
  if (!paths.tooLong) paths.destination = ExpandAppPath(copyTo, workPath);
  return paths;
}

// The copies of one pass: staged one by one, committed together. Entries are
// kept as numbers only, so a long list costs little memory; a failure report
// reads its entry's paths again.
class StagedPass {
 public:
  StagedPass(Platform& host, std::function<EntryPaths(std::int32_t)> read, std::int32_t count,
             const CarriedNames* carried)
      : host_(host), read_(std::move(read)), count_(count), carried_(carried) {}
  StagedPass(const StagedPass&) = delete;
  StagedPass& operator=(const StagedPass&) = delete;
  ~StagedPass() { DiscardFrom(0); }

  // Whether `source` is the destination of a copy staged but not yet
  // committed: it must then be committed first, so the source has its new content.
  // A carried file is no file of the disk.
  bool Stages(const std::wstring& source) {
    return !carried_ && !staged_.empty() && host_.IsStagedDestination(source);
  }

  void Stage(std::int32_t entry, const EntryPaths& paths) {
    StageId id = 0;
    HostError error;
    if (paths.tooLong) {
      error = {kErrorFilenameExcedRange, L"The destination is longer than any path Windows takes."};
    } else if (StageOne(paths, id, error)) {
      staged_.push_back({entry, id});
      return;
    }
    if (error.code == kErrorPayloadDamaged) {
      // A payload found damaged part way: nothing of this pass goes in.
      DiscardFrom(0);
      throw UpdateFailure::PayloadDamaged();
    }
    if (FileInUse(error.code) && !error.aboutSource) {
      // A destination in use would leave the product half updated: nothing
      // staged in this pass goes in.
      DiscardFrom(0);
    } else {
      // The entries before the failed one stay copied, as they would one by one.
      Commit();
    }
    Fail(entry, paths, CopyStep::kStage, std::move(error));
  }

  // Flushes everything staged and puts it in place, in list order. Throws
  // UpdateFailure naming the entry that failed: when a destination is in use
  // nothing goes in; on any other failed flush or commit the entries before
  // it stay copied, it and every one after it are removed.
  void Commit() {
    if (staged_.empty()) return;
    HostError error;
    CopyStep step = CopyStep::kCommit;
    // The host flushes in staging order: every entry before one whose data
    // could not be made durable was, and may be committed.
    std::size_t end = staged_.size();
    StageId unflushed = 0;
    if (!host_.FlushStaged(unflushed, error)) {
      step = CopyStep::kFlush;
      const auto index = IndexOf(unflushed);
      if (!index) {
        // No entry to name, nor to know which are durable: nothing goes in.
        DiscardFrom(0);
        throw UpdateFailure::Internal("the host failed a flush of a file this pass did not stage");
      }
      end = *index;
    }
    // Every destination that is in use is found before any is replaced. Any
    // other cause the check meets is left to the commit, which reports it.
    for (std::size_t i = 0; i < end; ++i) {
      HostError inUse;
      if (!host_.CheckReplaceable(staged_[i].id, inUse) && FileInUse(inUse.code)) {
        const std::int32_t entry = staged_[i].entry;
        DiscardFrom(0);
        Fail(entry, read_(entry), CopyStep::kCommit, std::move(inUse));
      }
    }
    std::size_t done = 0;
    HostError commitError;
    while (done < end && host_.CommitStaged(staged_[done].id, commitError)) ++done;
    if (done < end) {
      step = CopyStep::kCommit;
      error = std::move(commitError);
    }
    replaced_ += static_cast<std::int32_t>(done);
    // What was put in place is made durable, also when a later one failed.
    HostError syncError;
    const bool synced = host_.SyncCommitted(syncError);
    if (done == staged_.size() && synced) {
      staged_.clear();
      return;
    }
    // A failed sync leaves every file in place, but the first may not survive
    // a crash, so the report names that one.
    std::size_t failed = done;
    if (done == staged_.size()) {
      failed = 0;
      step = CopyStep::kSync;
      error = std::move(syncError);
    }
    const std::int32_t entry = staged_[failed].entry;
    DiscardFrom(done);
    staged_.clear();
    Fail(entry, read_(entry), step, std::move(error));
  }

 private:
  struct Staged {
    std::int32_t entry;
    StageId id;
  };

  bool StageOne(const EntryPaths& paths, StageId& id, HostError& error) {
    if (!carried_) return host_.StageCopy(paths.source, paths.destination, id, error);
    // What the bundle does not carry is missing from the update, as a file
    // missing from its folder would be.
    const std::optional<std::size_t> file = carried_->Find(paths.source);
    if (!file) {
      error = {kErrorFileNotFound, L"The update does not carry this file.", true};
      return false;
    }
    return host_.StageCarried(*file, paths.destination, id, error);
  }

  [[noreturn]] void Fail(std::int32_t entry, const EntryPaths& paths, CopyStep step, HostError error) {
    throw UpdateFailure::Copy({entry, count_, paths.source, paths.destination, step, replaced_}, std::move(error));
  }

  std::optional<std::size_t> IndexOf(StageId id) const {
    for (std::size_t i = 0; i < staged_.size(); ++i) {
      if (staged_[i].id == id) return i;
    }
    return std::nullopt;
  }

  void DiscardFrom(std::size_t first) {
    for (std::size_t i = first; i < staged_.size(); ++i) host_.DiscardStaged(staged_[i].id);
    staged_.resize(first);
  }

  Platform& host_;
  std::function<EntryPaths(std::int32_t)> read_;
  std::int32_t count_;
  const CarriedNames* carried_;
  std::int32_t replaced_ = 0;  // entries 1 to this one are in place
  std::vector<Staged> staged_;
};

// A copy list's count and keys, read from where `source` keeps it: a
// bundle's from its checked bytes, with the Windows profile functions' rules,
// never from a file another program could change after the check; else
// through the profile functions from the file beside the program.
class ListReader {
 public:
  // Leaves `count` 0 and sets `unreadable` when the list beside the program
  // exists but cannot be read.
  ListReader(Platform& host, const UpdateSource& source) {
    if (source.carried) {
      carried_.emplace(host, source.carried->list.value_or(std::string()));
      names_.emplace(*source.carried);
      count = carried_->ReadInt(kCopyListSection, kEntryCountKey, 0);
      lookup = [this](const std::wstring& key) -> std::optional<std::wstring> {
        return carried_->ReadString(kCopyListSection, key, L"");
      };
      return;
    }
    listPath = source.appFolder + kCopyListName;
    // The profile functions take ANSI text. A folder name the code page cannot
    // spell would make every read miss and the list look empty, and the run
    // would then report success for an update that never happened.
    const std::wstring profilePath = host.AnsiSafePath(listPath, unreadable);
    if (profilePath.empty()) return;
    count = ReadIniInt(host, kCopyListSection, kEntryCountKey, 0, profilePath);
    lookup = ProfileLookup(host, profilePath);
  }
  ListReader(const ListReader&) = delete;
  ListReader& operator=(const ListReader&) = delete;

  bool Unreadable() const { return !lookup; }
  const CarriedNames* Carried() const { return names_ ? &*names_ : nullptr; }

  std::int32_t count = 0;
  KeyLookup lookup;
  std::wstring listPath;  // the list beside the program
  HostError unreadable;

 private:
  std::optional<ProfileBytes> carried_;
  std::optional<CarriedNames> names_;
};

}  // namespace

std::vector<std::wstring> PlannedDestinations(Platform& host, const std::wstring& workPath,
                                              const UpdateSource& source) {
  const ListReader list(host, source);
  if (list.Unreadable()) return {};
  std::vector<std::wstring> destinations;
  bool stops = false;
  WalkCopyList(list.count, list.lookup,
               {.visit =
                    [&](const CopyListEntry& entry) {
                      const EntryPaths paths = EntryPathsOf(entry, workPath, source.appFolder);
                      stops = entry.source.value_or(L"").empty() || paths.destination.empty() || paths.tooLong ||
                              paths.destination.back() == L'\\';
                      if (!stops) destinations.push_back(paths.destination);
                    },
                .done = [&] { return stops; }});
  return destinations;
}

void ProcessCopyList(Platform& host, const std::wstring& workPath, const UpdateSource& source) {
  const std::wstring& appFolder = source.appFolder;
  ListReader list(host, source);
  if (list.Unreadable()) throw UpdateFailure::ListUnreadable(list.listPath, std::move(list.unreadable));
  const std::int32_t count = list.count;
  const KeyLookup& lookup = list.lookup;
  const auto read = [&](std::int32_t entry) {
    return EntryPathsOf(ReadCopyListEntry(lookup, entry), workPath, appFolder);
  };
  StagedPass pass(host, read, count, list.Carried());
  WalkCopyList(count, lookup, {.visit = [&](const CopyListEntry& entry) {
    const EntryPaths paths = EntryPathsOf(entry, workPath, appFolder);
    if (pass.Stages(paths.source)) pass.Commit();
    pass.Stage(entry.number, paths);
  }});
  pass.Commit();
}

}  // namespace mirrolet
