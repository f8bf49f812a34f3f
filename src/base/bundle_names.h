// The rule for the names a bundle holds, so that they mean one thing on every
// host: the names Windows can keep apart, which the stand-in keeps as Windows
// would. The run on both hosts and mirrolet-pack check payloads with it; a
// payload that breaks it is damaged, whatever its checksums say.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mirrolet::bundle {

// The longest name in bytes of UTF-8 (so also in UTF-16 units) and the most
// parts it may have: far more than any product's file needs, and bounded, so
// that a hostile bundle's directory cannot make the run's name checks and
// lookups cost without end. Bundles once unpacked below a private folder,
// which these bounds left room for; the bounds stay, so that every bundle
// made since still reads.
inline constexpr std::size_t kMaxNameBytes = 3840;
inline constexpr std::size_t kMaxDepth = 1024;
// Windows's limit on one part of a path, in UTF-16 units.
inline constexpr std::size_t kMaxPartUnits = 255;

enum class NameRule {
  kOk,
  kMalformed,           // not UTF-8, empty or "." or ".." parts, a control character or one of \ : * ? " < > |
  kEndsWithDotOrSpace,  // a part Windows would keep without its final dots and spaces
  kDeviceName,          // a part that names a device on Windows, with any extension
  kPartTooLong,         // a part longer than kMaxPartUnits
  kTooDeep,             // more than kMaxDepth parts
  kTooLong,             // longer than kMaxNameBytes
  kCaseTwins,           // two names, or two spellings of one folder, equal without regard to case
  kFileAndFolder,       // a file's name is also a folder of another
};

// What the rule found: the first name that breaks it, and the other name of a pair.
struct NameVerdict {
  NameRule rule = NameRule::kOk;
  std::string name, other;
};

// Whether one name, "/" between its parts, may be stored on its own.
NameRule CheckName(std::string_view name);

// The names of one payload together: each on its own, then every pair that
// Windows would take for one name or for a file and its folder. Cases are
// compared by the program's fixed fold table (name_fold.h). Time and memory
// linear in the names' bytes (a sort of their folds, no pairwise compare).
NameVerdict CheckNames(const std::vector<std::string>& names);

// For names in the payload's order: how many of the folders of `name` (its
// parts but the last) the name before it, `previous`, lies in too. All the
// names below one folder come together in byte order, so a host that makes
// only the folders past these makes each folder once.
std::size_t SharedFolders(std::string_view previous, std::string_view name);

}  // namespace mirrolet::bundle
