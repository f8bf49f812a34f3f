// What every suite shares: UTF-8 for readable messages and test data, and the
// reader of the case files under tests/ (tests/data/*.txt, tests/e2e/scenarios.txt).
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/utf8.h"

namespace mirrolet::testing {

// Wide text as UTF-8, for readable messages and data files; back with the
// program's own FromUtf8 (base/utf8.h).
std::string Utf8(std::wstring_view text);
using mirrolet::FromUtf8;

// A data file of cases: "== NAME" starts a case, "KEY: VALUE" lines follow (a
// bare "KEY" has an empty value), and "like: NAME" stands for the lines of an
// earlier case, but for its "box" and "report" lines where the case has its
// own. Blank lines and lines starting with "#" are skipped. The directives
// are in tests/case_vocabulary.h.
struct Case {
  std::string name;
  std::vector<std::pair<std::string, std::string>> lines;  // key, value, in file order
};
std::vector<Case> ReadCases(const std::filesystem::path& file);
// A case file, by its path below tests/ ("data/ini_cases.txt"), read from
// beside the test program: the build copies the case files there, and the
// check kit ships them there, so a suite never needs the source tree.
std::filesystem::path CasePath(const std::string& relative);
inline void PrintTo(const Case& test, std::ostream* out) { *out << test.name; }
// Names a parameterised test after its case.
inline std::string CaseName(const ::testing::TestParamInfo<Case>& param) { return param.param.name; }

// "A = B" split at the first `by`; B is empty where there is none.
std::pair<std::string, std::string> Split(const std::string& text, const std::string& by);
// The non-empty parts of `text` between the `by`s.
std::vector<std::string> Parts(const std::string& text, const std::string& by);
// C escapes: \r \n \t \xHH \0, and any other escaped character as itself.
std::string Unescape(const std::string& text);
// Each "{N C}" in `text` as N times the character C: values of thousands of bytes.
std::string Repeated(std::string text);

}  // namespace mirrolet::testing
