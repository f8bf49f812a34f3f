// The resources MirroletV2.exe carries, read back the way Windows reads them.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "program_under_test.h"
#include "version.h"

namespace mirrolet::e2e {
namespace {

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

TEST(Resources, VersionInformationReadsBackExactly) {
  const std::wstring program = ProgramUnderTest();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ((std::vector<DWORD>{fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                                fixed->dwProductVersionLS}),
            (std::vector<DWORD>{0x00010000u, 0, 0x00010000u, 0}));
  WORD* translation = nullptr;  // Traditional Chinese (Taiwan), UTF-16
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ((std::pair<int, int>{translation[0], translation[1]}), (std::pair<int, int>{0x0404, 1200}));

  // The strings, and none of the other usual ones (nullptr).
  const std::pair<const wchar_t*, const wchar_t*> strings[] = {
      {L"CompanyName", L"Varnholt"},    {L"ProductName", L"Mirrolet"},      {L"FileVersion", L"1.00"},
      {L"ProductVersion", L"1.00"},     {L"InternalName", L"MirroletV2"},   {L"OriginalFilename", L"MirroletV2.exe"},
      {L"FileDescription", nullptr},    {L"LegalCopyright", nullptr},       {L"LegalTrademarks", nullptr},
      {L"Comments", nullptr},           {L"PrivateBuild", nullptr},         {L"SpecialBuild", nullptr}};
  for (const auto& [name, expected] : strings) {
    wchar_t* value = nullptr;
    const bool found = VerQueryValueW(block.data(), (std::wstring(L"\\StringFileInfo\\040404B0\\") + name).c_str(),
                                      reinterpret_cast<void**>(&value), &length);
    EXPECT_EQ(found ? std::wstring(value) : L"<none>", expected ? expected : L"<none>") << name;
  }
  // The same strings as the code's version header.
  EXPECT_EQ(Widen(MIRROLET_COMPANY_NAME), strings[0].second);
  EXPECT_EQ(Widen(MIRROLET_ORIGINAL_FILENAME), strings[5].second);
}

BOOL CALLBACK CollectType(HMODULE, LPWSTR type, LONG_PTR param) {
  if (IS_INTRESOURCE(type)) reinterpret_cast<std::set<ULONG_PTR>*>(param)->insert(reinterpret_cast<ULONG_PTR>(type));
  return TRUE;
}

// The embedded manifest keeps an external one out and changes nothing else:
// as invoker, and no dependency (comctl32 6 would restyle the boxes).
TEST(Resources, AnIconInTwoSizesAndAManifestThatOnlyRunsAsInvoker) {
  const HMODULE module = LoadLibraryExW(ProgramUnderTest().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  std::set<ULONG_PTR> types;
  EnumResourceTypesW(module, CollectType, reinterpret_cast<LONG_PTR>(&types));
  EXPECT_EQ(types, (std::set<ULONG_PTR>{3 /*RT_ICON*/, 14 /*RT_GROUP_ICON*/, 16 /*RT_VERSION*/, 24 /*RT_MANIFEST*/}));
  const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(module, found))),
                             SizeofResource(module, found));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  for (const char* absent : {"<dependency", "requireAdministrator", "highestAvailable", "dpiAware", "<file"}) {
    EXPECT_EQ(manifest.find(absent), std::string::npos) << absent;
  }

  const HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
  ASSERT_NE(group, nullptr);
  const auto* directory = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
#pragma pack(push, 2)
  struct Entry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
  };
#pragma pack(pop)
  const WORD count = reinterpret_cast<const WORD*>(directory)[2];
  ASSERT_EQ(count, 2);
  std::set<int> sizes;
  for (WORD i = 0; i < count; ++i) {
    const auto* entry = reinterpret_cast<const Entry*>(directory + 6 + i * sizeof(Entry));
    sizes.insert(entry->width);
    EXPECT_EQ(entry->width, entry->height);
    EXPECT_EQ(entry->colors, 16);
    EXPECT_EQ(entry->bitCount, 4);
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 32}));
  FreeLibrary(module);
}

}  // namespace
}  // namespace mirrolet::e2e
