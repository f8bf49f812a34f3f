// The fixed fold table against Windows' own comparison of names without regard
// to case (CompareStringOrdinal, the comparison the file system and the
// registry make), over every character of the Basic Multilingual Plane.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

#include "base/name_fold.h"

namespace mirrolet::testing {
namespace {

bool WindowsEqual(wchar_t a, wchar_t b) { return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL; }

// Under Wine 8 this found the table joining what Windows keeps apart (micro
// sign and Mu, final sigma and Sigma, titlecase digraphs, Greek symbol
// variants, ypogegrammeni, the Cyrillic variants U+1C80-1C88) and keeping
// apart the iota-subscript letters Windows joins. Microsoft's published
// upper-case table for file systems agrees with Wine on each of them.
TEST(NameFold, EveryCharacterFoldsAsWindowsComparesIt) {
  std::vector<wchar_t> all(0x10000);
  std::iota(all.begin(), all.end(), L'\0');
  // Sorted by Windows' comparison, each set of characters Windows takes for one
  // another stands together, so neighbours tell every set apart.
  std::stable_sort(all.begin(), all.end(), [](wchar_t a, wchar_t b) {
    return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_LESS_THAN;
  });
  std::vector<std::string> differ;
  const auto note = [&](wchar_t a, wchar_t b) {
    char pair[32];
    std::snprintf(pair, sizeof pair, "U+%04X U+%04X", static_cast<unsigned>(a), static_cast<unsigned>(b));
    differ.push_back(pair);
  };
  for (std::size_t i = 0; i < all.size(); ++i) {
    // What the table joins, Windows joins ...
    if (!WindowsEqual(all[i], FoldChar(all[i]))) note(all[i], FoldChar(all[i]));
    // ... and what Windows joins, the table joins.
    if (i > 0 && WindowsEqual(all[i - 1], all[i]) && FoldChar(all[i - 1]) != FoldChar(all[i])) note(all[i - 1], all[i]);
  }
  EXPECT_EQ(differ, std::vector<std::string>{});
}

}  // namespace
}  // namespace mirrolet::testing
