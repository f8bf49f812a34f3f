// Text the same on every host. UTF-8 at the edges of each form, and the fixed
// fold table over every character of the Basic Multilingual Plane: under Wine
// against Windows' own comparison of names without regard to case
// (CompareStringOrdinal, the comparison the file system and the registry
// make), and in both suites against the digest of the table so checked.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

#include "base/name_fold.h"
#include "base/utf8.h"
#include "os/sha256.h"

namespace mirrolet::testing {
namespace {

// Bytes and what they read as; what reads as text is written back as the same bytes.
TEST(Utf8, OnlyTheShortestFormOfAScalarValueIsText) {
  const std::pair<const char*, std::wstring> rows[] = {
      {"\x7F\xC2\x80\xDF\xBF", L"\x7F\u0080\u07FF"},
      {"\xE0\xA0\x80\xEF\xBF\xBF", L"\u0800\uFFFF"},  // the first and last three-byte forms
      {"\xED\x9F\xBF\xEE\x80\x80", L"\uD7FF\uE000"},  // either side of the surrogates
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", L"\U00010000\U0010FFFF"},
      // Overlong two-, three- and four-byte forms, a surrogate, past U+10FFFF, a five-byte form, cut short.
      {"\xC0\xAF\xE6\x98\xAF", L"\uFFFD\uFFFD\u662F"}, {"\xE0\x9F\xBF", std::wstring(3, L'\uFFFD')},
      {"\xF0\x8F\xBF\xBF", std::wstring(4, L'\uFFFD')},    {"\xED\xA0\x80", std::wstring(3, L'\uFFFD')},
      {"\xF4\x90\x80\x80", std::wstring(4, L'\uFFFD')},    {"\xF8\x88\x80\x80\x80", std::wstring(5, L'\uFFFD')},
      {"a\xE6\x98", L"a\uFFFD\uFFFD"},
  };
  for (const auto& [bytes, text] : rows) {
    bool valid = true;
    EXPECT_EQ(FromUtf8(bytes, &valid), text) << bytes;
    EXPECT_EQ(valid, text.find(L'\uFFFD') == std::wstring::npos) << bytes;
    EXPECT_EQ(valid ? ToUtf8(text) : bytes, bytes);
  }
}

// Every character's fold, as 16-bit little-endian units, hashed. When the
// table changes on purpose, EveryCharacterFoldsAsWindowsComparesIt must pass
// under Wine first; then this digest is the new one.
TEST(NameFold, TheTableIsTheOneCheckedAgainstWindows) {
  std::vector<std::uint8_t> folds;
  for (std::uint32_t c = 0; c < 0x10000; ++c) {
    const auto fold = static_cast<std::uint16_t>(FoldChar(static_cast<wchar_t>(c)));
    folds.push_back(static_cast<std::uint8_t>(fold & 0xFF));
    folds.push_back(static_cast<std::uint8_t>(fold >> 8));
  }
  const auto hasher = os::NewSha256();
  hasher->Update(folds.data(), folds.size());
  std::string hex;
  for (const std::uint8_t byte : hasher->Finish()) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  EXPECT_EQ(hex, "1de7ad3f18b843489709032bf23f9d25e74dfb0bced9c0fa258392f54b09061f");
}

#ifdef _WIN32

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
#endif

}  // namespace
}  // namespace mirrolet::testing
