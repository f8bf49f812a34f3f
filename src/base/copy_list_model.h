// The copy list "mirrolet.ini": its vocabulary and how its entries are read,
// written once for the run and for mirrolet-pack, so the two cannot disagree.
// Pure: the values come through a lookup the caller gives (the host's profile
// functions for the run, the INI reader and a code page for mirrolet-pack).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace mirrolet {

inline constexpr wchar_t kCopyListName[] = L"mirrolet.ini";
// The code page lists are written in: Big5, the ANSI code page of a
// Traditional Chinese Windows, which the profile functions read them in.
inline constexpr unsigned kListCodePage = 950;
inline constexpr wchar_t kCopyListSection[] = L"MAIN";
inline constexpr wchar_t kEntryCountKey[] = L"SUM";
inline constexpr wchar_t kSourceKeyPrefix[] = L"FILE";
inline constexpr wchar_t kDestinationKeyPrefix[] = L"COPYTO";
inline constexpr wchar_t kAppPathPlaceholder[] = L"$APPPATH$";

// The run reads each value into a 4096-byte buffer: what is longer is cut to
// its first 4095 bytes in the code page, never half a character.
inline constexpr std::size_t kMaxValueBytes = 4095;

// The entry suffix: `entry` in decimal, zero-padded to at least three digits.
std::wstring EntrySuffix(std::int32_t entry);

// "FILE" and "COPYTO" with the entry's suffix.
std::wstring SourceKey(std::int32_t entry);
std::wstring DestinationKey(std::int32_t entry);

// Which entry a key of the section names, compared without regard to case:
// nothing for a key that is no FILE or COPYTO key, 0 for one the run never
// reads because it spells the number otherwise ("FILE1", "FILE0001"), else
// the entry's number (which may lie past the count).
std::optional<std::int64_t> EntryKeyNumber(std::wstring_view key);

// `destination` with every exact, case-sensitive "$APPPATH$" replaced by
// `workPath`, scanning left to right without overlaps or rescanning.
std::wstring ExpandAppPath(const std::wstring& destination, const std::wstring& workPath);

// How many placeholders ExpandAppPath replaces in `destination`.
std::size_t CountAppPath(std::wstring_view destination);

// Cuts `value` as the run's buffer cuts it, where `bytes` gives the length of
// a text in the code page. Returns whether it was cut.
bool CutToValueBuffer(std::wstring& value, const std::function<std::size_t(std::wstring_view)>& bytes);

// A key's value in the section as the run reads it, or nothing when the key is
// absent (the run, which cannot tell, reads absent as empty).
using KeyLookup = std::function<std::optional<std::wstring>(const std::wstring& key)>;

struct CopyListEntry {
  std::int32_t number;
  std::optional<std::wstring> source;       // FILEnnn, relative to the update folder
  std::optional<std::wstring> destination;  // COPYTOnnn, with "$APPPATH$" as written
};

CopyListEntry ReadCopyListEntry(const KeyLookup& lookup, std::int32_t entry);

// The walk over a list of `count` entries (the value of "SUM"): each entry
// from 1 to `count`, in order, read through `lookup` and handed to `visit`.
// A reader that knows which entries have keys gives `nextKeyed` (the first
// entry at or after its argument that has any, past `count` for none) and
// `absent` (told each run of entries with no key at all), so a count of 2^31-1
// costs only the entries that exist.
struct CopyListWalk {
  std::function<void(const CopyListEntry&)> visit = {};
  std::function<std::int64_t(std::int64_t)> nextKeyed = {};
  std::function<void(std::int32_t first, std::int32_t last)> absent = {};
  // Asked after each visit, where given: true ends the walk there.
  std::function<bool()> done = {};
};
void WalkCopyList(std::int32_t count, const KeyLookup& lookup, const CopyListWalk& walk);

}  // namespace mirrolet
