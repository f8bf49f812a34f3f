// The stand-in's .reg reader on its own: the cases of tests/data/reg_cases.txt.
#include <gtest/gtest.h>

#include "test_support.h"
#include "platform/posix/locale_text.h"
#include "platform/posix/reg_text.h"

namespace mirrolet::posix {
namespace {

using namespace mirrolet::testing;

// A value as the cases write it: its type, "unterminated" where no NUL was
// stored, then its text or its bytes.
std::string Describe(const RegValue* value) {
  if (value == nullptr) return "none";
  std::string out = std::to_string(value->type) + (value->terminated ? " " : " unterminated ");
  if (value->IsText()) return out + Utf8(value->text);
  for (std::size_t i = 0; i < value->bytes.size(); ++i) out += (i ? "," : "") + std::to_string(value->bytes[i]);
  return out;
}

TEST(RegFile, ReadsEveryCaseAsRegeditMeantIt) {
  for (const Case& test : ReadCases(CasePath("data/reg_cases.txt"))) {
    SCOPED_TRACE(test.name);
    Registry registry;
    for (const auto& [kind, line] : test.lines) {
      if (kind == "bytes" || kind == "utf16") {
        std::string bytes = kind == "bytes" ? Unescape(line) : "\xFF\xFE";
        for (const char c : kind == "utf16" ? Unescape(line) : "") bytes += std::string{c, '\0'};
        registry = Registry::Parse(bytes, LocaleToWide);
        continue;
      }
      const auto [where, expected] = Split(line, " = ");
      const auto [key, name] = Split(where, " | ");
      const std::wstring path = FromUtf8(Unescape(key));
      EXPECT_EQ(kind == "key" ? (registry.HasKey(path) ? "yes" : "no") : Describe(registry.Find(path, FromUtf8(name))),
                Unescape(expected))
          << where;
    }
  }
}

}  // namespace
}  // namespace mirrolet::posix
