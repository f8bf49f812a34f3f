// The stand-in's .reg reader on its own: what a hand-written or exported file means.
#include <gtest/gtest.h>

#include "platform/posix/locale_text.h"
#include "platform/posix/reg_text.h"

namespace mirrolet::posix {
namespace {

Registry ParseAnsi(const std::string& text) { return Registry::Parse(text, LocaleToWide); }

TEST(RegFile, ReadsRegedit4TextWithEscapesAndAnyCase) {
  const Registry registry = ParseAnsi(
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Varnholt\\Halvix]\r\n"
      "\"WorkPath\"=\"C:\\\\Program Files\\\\Halvix\\\\\"\r\n"
      "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
      "@=\"default\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Gone\"=-\r\n"
      "this line means nothing\r\n"
      "[HKEY_CURRENT_USER\\Software\\Varnholt\\Pruvex]\r\n"
      "\"WorkPath\"=\"C:\\\\User\"\r\n");
  const RegValue* path = registry.Find(L"SOFTWARE\\varnholt\\HALVIX", L"workpath");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(path->type, 1u);
  EXPECT_EQ(path->text, L"C:\\Program Files\\Halvix\\");
  EXPECT_TRUE(path->terminated);
  EXPECT_EQ(registry.Find(L"Software\\Varnholt\\Halvix", L"Quoted")->text, L"say \"hi\"");
  EXPECT_EQ(registry.Find(L"Software\\Varnholt\\Halvix", L"")->text, L"default");
  EXPECT_EQ(registry.Find(L"Software\\Varnholt\\Halvix", L"Count")->bytes, (std::vector<std::uint8_t>{42, 0, 0, 0}));
  EXPECT_EQ(registry.Find(L"Software\\Varnholt\\Halvix", L"Gone"), nullptr);
  EXPECT_TRUE(registry.HasKey(L"Software\\Varnholt"));  // parents exist too
  EXPECT_FALSE(registry.HasKey(L"Software\\Varnholt\\Pruvex"));  // only HKEY_LOCAL_MACHINE counts
}

TEST(RegFile, HexStringsAreRawBytesInTheFilesOwnEncoding) {
  // REGEDIT4: ANSI bytes. hex(2) is REG_EXPAND_SZ, wrapped over two lines.
  const Registry ansi = ParseAnsi(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n"
      "\"Expand\"=hex(2):25,41,25,\\\n  00\n"
      "\"Nul\"=hex(1):61,00,62,00\n"
      "\"Bare\"=hex(1):61,62\n"
      "\"Broken\"=hex(1):6g\n");
  EXPECT_EQ(ansi.Find(L"K", L"Expand")->type, 2u);
  EXPECT_EQ(ansi.Find(L"K", L"Expand")->text, L"%A%");
  EXPECT_EQ(ansi.Find(L"K", L"Nul")->text, std::wstring(L"a\0b", 3));
  EXPECT_FALSE(ansi.Find(L"K", L"Bare")->terminated);
  EXPECT_EQ(ansi.Find(L"K", L"Broken"), nullptr);

  // Version 5.00: UTF-16LE throughout, string bytes included.
  std::string utf16 = "\xFF\xFE";
  for (const char c : std::string("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
                                  "\"Path\"=hex(1):2d,4e,87,65,00,00\r\n")) {
    utf16 += c;
    utf16 += '\0';
  }
  const Registry unicode = Registry::Parse(utf16, LocaleToWide);
  const RegValue* path = unicode.Find(L"K", L"Path");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(path->text, L"中文");
  EXPECT_TRUE(path->terminated);
}

}  // namespace
}  // namespace mirrolet::posix
