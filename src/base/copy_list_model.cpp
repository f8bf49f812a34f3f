#include "base/copy_list_model.h"

#include "base/name_fold.h"

namespace mirrolet {

std::wstring EntrySuffix(std::int32_t entry) {
  std::wstring digits = std::to_wstring(entry);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), L'0');
  return digits;
}

std::wstring SourceKey(std::int32_t entry) { return kSourceKeyPrefix + EntrySuffix(entry); }

std::wstring DestinationKey(std::int32_t entry) { return kDestinationKeyPrefix + EntrySuffix(entry); }

std::optional<std::int64_t> EntryKeyNumber(std::wstring_view key) {
  const std::wstring folded = FoldName(key);
  std::size_t digits = 0;
  for (const std::wstring_view prefix : {std::wstring_view(kSourceKeyPrefix), std::wstring_view(kDestinationKeyPrefix)}) {
    if (folded.starts_with(FoldName(prefix))) digits = prefix.size();
  }
  // Ten digits hold any number the run can spell; more cannot be one of its keys.
  if (digits == 0 || digits == folded.size() || folded.size() - digits > 10) return std::nullopt;
  std::int64_t number = 0;
  for (std::size_t i = digits; i < folded.size(); ++i) {
    if (folded[i] < L'0' || folded[i] > L'9') return std::nullopt;
    number = number * 10 + (folded[i] - L'0');
  }
  const bool read = number >= 1 && number <= INT32_MAX &&
                    EntrySuffix(static_cast<std::int32_t>(number)) == std::wstring_view(folded).substr(digits);
  return read ? number : 0;
}

std::wstring ExpandAppPath(const std::wstring& destination, const std::wstring& workPath) {
  const std::wstring_view placeholder = kAppPathPlaceholder;
  std::wstring expanded;
  std::size_t from = 0;
  for (std::size_t at = destination.find(placeholder); at != std::wstring::npos;
       at = destination.find(placeholder, from)) {
    expanded.append(destination, from, at - from).append(workPath);
    from = at + placeholder.size();
  }
  return expanded.append(destination, from);
}

std::size_t CountAppPath(std::wstring_view destination) {
  const std::wstring_view placeholder = kAppPathPlaceholder;
  std::size_t count = 0;
  for (std::size_t at = destination.find(placeholder); at != std::wstring_view::npos;
       at = destination.find(placeholder, at + placeholder.size())) {
    ++count;
  }
  return count;
}

bool CutToValueBuffer(std::wstring& value, const std::function<std::size_t(std::wstring_view)>& bytes) {
  // No character of a Windows code page takes more than 4 bytes.
  if (value.size() * 4 <= kMaxValueBytes || bytes(value) <= kMaxValueBytes) return false;
  std::size_t used = 0;
  std::size_t keep = 0;
  for (; keep < value.size(); ++keep) {
    const std::size_t size = bytes(std::wstring_view(value).substr(keep, 1));
    if (used + size > kMaxValueBytes) break;
    used += size;
  }
  value.resize(keep);
  return true;
}

CopyListEntry ReadCopyListEntry(const KeyLookup& lookup, std::int32_t entry) {
  return {entry, lookup(SourceKey(entry)), lookup(DestinationKey(entry))};
}

void WalkCopyList(std::int32_t count, const KeyLookup& lookup, const CopyListWalk& walk) {
  // Counted in 64 bits so that a count of 2^31-1 cannot overflow the counter.
  std::int64_t next = 1;
  while (next <= count) {
    const std::int64_t keyed = walk.nextKeyed ? std::min<std::int64_t>(walk.nextKeyed(next), std::int64_t{count} + 1) : next;
    if (keyed > next && walk.absent) {
      walk.absent(static_cast<std::int32_t>(next), static_cast<std::int32_t>(keyed - 1));
    }
    if (keyed > count) break;
    walk.visit(ReadCopyListEntry(lookup, static_cast<std::int32_t>(keyed)));
    if (walk.done && walk.done()) break;
    next = keyed + 1;
  }
}

}  // namespace mirrolet
