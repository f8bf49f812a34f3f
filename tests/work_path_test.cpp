// Reading a product's work path through the fake registry.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "settings/work_path.h"

namespace mirrolet {
namespace {

using testing::FakePlatform;

// The real hosts are held to the common cases (tests/host_contract_test.cpp);
// these are the odd values a registry may hold, and the key is closed after each.
TEST(ReadWorkPath, OddValuesGiveTheTextBeforeAnyNulOrNothing) {
  struct Row {
    const char* name;
    std::uint32_t type;
    std::string stored;
    std::wstring expected;
  };
  using namespace std::string_literals;
  const Row rows[] = {
      {"trailing backslash kept", kRegSz, "C:\\Halvix\\\0"s, L"C:\\Halvix\\"},
      {"no terminator", kRegSz, "C:\\Bare"s, L"C:\\Bare"},
      {"zero bytes", kRegSz, ""s, L""},
      {"expandable text counts as absent", kRegExpandSz, "C:\\Halvix\0"s, L""},
      {"a number counts as absent", kRegDword, "\1\0\0\0"s, L""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakePlatform host;
    host.registry["Software\\Varnholt\\Halvix"]["WorkPath"] = {row.type, row.stored};
    EXPECT_EQ(ReadWorkPath(host, kProducts[0].key), row.expected);
    EXPECT_EQ(host.openKeys, 0) << "key left open";
  }
}

TEST(ReadWorkPath, MissingKeyOrValueGivesEmptyTextAndClosesWhatItOpened) {
  FakePlatform host;
  host.registry["Software\\Varnholt\\Pruvex"]["Other"] = {kRegSz, std::string("x\0", 2)};
  EXPECT_EQ(ReadWorkPath(host, kProducts[0].key), L"");
  EXPECT_EQ(ReadWorkPath(host, kProducts[1].key), L"");
  EXPECT_EQ(host.openKeys, 0);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"open Software\\Varnholt\\Halvix", "open Software\\Varnholt\\Pruvex",
                                                  "query-size WorkPath", "close Software\\Varnholt\\Pruvex"}));
}

}  // namespace
}  // namespace mirrolet
