#include "base/bundle_names.h"

#include <algorithm>
#include <array>

#include "base/name_fold.h"
#include "base/utf8.h"

namespace mirrolet::bundle {

namespace {

// Between the parts of a folded name: below every character a name may hold,
// so that sorting puts "x" right before "x/y", ahead of "x-y".
constexpr char kFoldedSeparator = '\x01';

// The UTF-16 units of valid UTF-8: one per character, two past U+FFFF.
std::size_t Utf16Units(std::string_view part) {
  std::size_t units = 0;
  for (const char c : part) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

// Windows takes a part for a device when what comes before its first dot,
// without trailing spaces, is a device's name in any case: "con", "Aux.txt",
// "nul .ini", "COM¹.log".
bool DeviceName(std::string_view part) {
  std::wstring stem = FromUtf8(part.substr(0, part.find('.')));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  stem = FoldName(stem);
  if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") return true;
  const bool numbered = stem.size() == 4 && (stem.starts_with(L"COM") || stem.starts_with(L"LPT"));
  return numbered && ((stem[3] >= L'1' && stem[3] <= L'9') || stem[3] == L'\u00B9' || stem[3] == L'\u00B2' ||
                      stem[3] == L'\u00B3');
}

// The first `parts` parts of `name`.
std::string_view Leading(std::string_view name, std::size_t parts) {
  std::size_t end = 0;
  for (std::size_t i = 0; i < parts; ++i) end = name.find('/', end) + 1;
  return name.substr(0, end);
}

}  // namespace

NameRule CheckName(std::string_view name) {
  bool utf8 = true;
  FromUtf8(name, &utf8);
  if (name.empty() || !utf8) return NameRule::kMalformed;
  NameRule found = NameRule::kOk;
  std::size_t depth = 0;
  for (std::size_t start = 0; start <= name.size(); ++depth) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == "." || part == "..") return NameRule::kMalformed;
    for (const char c : part) {
      if (static_cast<unsigned char>(c) < 0x20 || std::string_view("\\:*?\"<>|").find(c) != std::string_view::npos) {
        return NameRule::kMalformed;
      }
    }
    // A malformed part further on still counts first.
    if (found != NameRule::kOk) continue;
    if (part.back() == '.' || part.back() == ' ') {
      found = NameRule::kEndsWithDotOrSpace;
    } else if (DeviceName(part)) {
      found = NameRule::kDeviceName;
    } else if (Utf16Units(part) > kMaxPartUnits) {
      found = NameRule::kPartTooLong;
    }
  }
  if (found != NameRule::kOk) return found;
  if (depth > kMaxDepth) return NameRule::kTooDeep;
  if (name.size() > kMaxNameBytes) return NameRule::kTooLong;
  return NameRule::kOk;
}

NameVerdict CheckNames(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (const NameRule rule = CheckName(name); rule != NameRule::kOk) return {rule, name, {}};
  }
  // Each name folded as Windows compares it. Sorted, any two names Windows
  // takes for one are neighbours, and so are a file and the first name below
  // a folder of that name; two spellings of one folder meet in some pair of
  // neighbours that share it.
  std::vector<std::string> folded(names.size());
  std::vector<std::size_t> order(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    folded[i] = ToUtf8(FoldName(FromUtf8(names[i])));
    std::replace(folded[i].begin(), folded[i].end(), '/', kFoldedSeparator);
    order[i] = i;
  }
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return folded[a] < folded[b]; });
  for (std::size_t i = 1; i < order.size(); ++i) {
    const std::string &a = folded[order[i - 1]], &b = folded[order[i]];
    const std::string &nameA = names[order[i - 1]], &nameB = names[order[i]];
    if (a == b) return {NameRule::kCaseTwins, nameA, nameB};
    if (b.size() > a.size() && b.starts_with(a) && b[a.size()] == kFoldedSeparator) {
      return {NameRule::kFileAndFolder, nameA, nameB};
    }
    const std::size_t common = static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
    const auto folders = static_cast<std::size_t>(std::count(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(common),
                                                             kFoldedSeparator));
    if (Leading(nameA, folders) != Leading(nameB, folders)) return {NameRule::kCaseTwins, nameA, nameB};
  }
  return {};
}

std::size_t SharedFolders(std::string_view previous, std::string_view name) {
  const auto common = std::mismatch(name.begin(), name.end(), previous.begin(), previous.end()).first;
  // A "/" both have after the same bytes closes a folder of both.
  return static_cast<std::size_t>(std::count(name.begin(), common, '/'));
}

}  // namespace mirrolet::bundle
