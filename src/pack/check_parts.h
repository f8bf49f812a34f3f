// What check is made of, one file for each thing it checks: how the list's
// bytes read (check_list.cpp), which key a key the run never reads was meant
// to be (check_keys.cpp), where a destination leads (check_destination.cpp)
// and what leads out of the folder (check_links.cpp, which build shares).
// check.cpp walks the list and the folder and puts their findings together.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/ini_document.h"
#include "pack/pack.h"
#include "pack/tree.h"

namespace mirrolet::pack {

// The list decoded as the profile functions decode it, with the lines that
// hold bytes the code page has no character for.
struct DecodedList {
  std::wstring text;
  std::set<int> badLines;
  bool utf16 = false;
};
DecodedList Decode(std::string_view bytes, unsigned codePage);

bool IsListSection(const IniLine& line);
// The line of the first list section header, the one the run reads, or 0.
int MainLine(const std::vector<IniLine>& lines);

// Why Windows finds no list section in `bytes` where another reading of them
// does, or empty text when no other reading does either.
std::wstring HiddenMain(std::string_view bytes);

// Whether `bytes` hold non-ASCII text that is valid UTF-8.
bool LooksLikeUtf8(std::string_view bytes);

struct NearKey {
  std::wstring key;
  std::int32_t entry;  // 0 for "SUM"
  bool close;          // near enough to be taken for a misspelling
};

// The key the run reads that `name` comes nearest: "SUM", or the FILE or
// COPYTO key of the entry its trailing digits give (else entry 1).
NearKey NearestKey(const std::wstring& name);

struct DestinationFinding {
  Kind kind;
  std::wstring text;
};

// What is wrong with entry `number`'s destination `to`, if anything. A
// folder the product must have is named once: `folders` holds the folded
// folders already named.
std::optional<DestinationFinding> CheckDestination(std::int32_t number, const std::wstring& to,
                                                   std::set<std::wstring>& folders);

// The finding for the thing `name` of a folder or tree that leads out of it
// to `target` (`escape` is not kNone); `root` says what the folder is to the
// vendor: "the update folder", "the source tree".
Finding EscapeFinding(const std::wstring& name, Escape escape, const std::wstring& target, std::wstring_view root);

}  // namespace mirrolet::pack
