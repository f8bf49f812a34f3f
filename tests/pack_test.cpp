// mirrolet-pack on crafted update folders: each row is a folder and the
// findings (kind and line) that checking it under code page 950 must give.
// The same rows run on the Linux build (iconv) and on the Windows build
// under Wine (MultiByteToWideChar), so both builds read lists alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>

#include "fake_platform.h"
#include "host_fixture.h"
#include "pack/pack.h"
#include "pack/pack_host.h"

namespace mirrolet::testing {
namespace {

using pack::Kind;
using Expected = std::vector<std::pair<Kind, int>>;

constexpr unsigned kNoProgram = 1, kHiddenList = 2;

struct Row {
  const char* name;
  std::optional<std::string> list;  // mirrolet.ini's bytes; none: no list
  std::vector<std::wstring> files;  // beside it; a name ending in "\" is a folder
  Expected expected;
  int status;
  unsigned flags = 0;
  std::vector<std::wstring> sources = {};  // the plan's sources, where the row checks them
};

// Writes a file below the sandbox, or makes a folder when `relative` ends with "\".
// Names go through the tool's own conversion: on Linux, std::filesystem
// converts wide names only under a UTF-8 C++ locale.
void Put(const Sandbox& sandbox, std::wstring relative, const std::string& bytes = "data") {
  std::replace(relative.begin(), relative.end(), L'\\', L'/');
  const std::filesystem::path path = sandbox.root() / pack::NamePath(relative);
  std::filesystem::create_directories(relative.back() == L'/' ? path : path.parent_path());
  if (relative.back() != L'/') std::ofstream(path, std::ios::binary) << bytes;
}

// A list of one entry, a.dll, with `copyTo` as its destination.
std::string One(const std::string& copyTo) { return "[MAIN]\nSUM=1\nFILE001=a.dll\nCOPYTO001=" + copyTo + "\n"; }

std::vector<Row> Rows() {
  using namespace std::string_literals;
  const std::string big5 = "\xBB\xA1\xA9\xFA.txt";  // 說明.txt
  return {
      {"a clean Big5 list", "[MAIN]\r\nSUM=2\r\nFILE001=a.dll\r\nCOPYTO001=$APPPATH$a.dll\r\nFILE002=" + big5 +
       "\r\nCOPYTO002=$APPPATH$" + big5 + "\r\n", {L"a.dll", L"說明.txt"}, {}, 0, 0, {L"a.dll", L"說明.txt"}},
      {"no list", std::nullopt, {}, {{Kind::kNoList, 0}}, 2},
      {"a folder named like the list", std::nullopt, {L"Mirrolet.ini\\"}, {{Kind::kListNotFound, 0}}, 2},
      {"a hidden list", One("$APPPATH$a.dll"), {L"a.dll"}, {{Kind::kListNotFound, 0}}, 2, kHiddenList},
      {"a UTF-8 byte order mark hides [MAIN]", "\xEF\xBB\xBF" + One("$APPPATH$a.dll"), {L"a.dll"},
       {{Kind::kListEncoding, 1}}, 2},
      {"UTF-16 big-endian", "\xFE\xFF\0[\0M\0A\0I\0N\0]\0\n\0S\0U\0M\0=\0\x30"s, {}, {{Kind::kListEncoding, 1}}, 2},
      {"no [MAIN]", "[MIAN]\nSUM=1\n", {}, {{Kind::kNoMainSection, 0}}, 2},
      {"a UTF-8 list of Chinese names",
       "[MAIN]\r\nSUM=2\r\nFILE001=說明.txt\r\nCOPYTO001=$APPPATH$說明.txt\r\nFILE002=更新.dll\r\nCOPYTO002=$APPPATH$更新.dll\r\n",
       {L"說明.txt", L"更新.dll"},
       {{Kind::kNotInCodePage, 3}, {Kind::kSourceMissing, 3}, {Kind::kNotInCodePage, 4}, {Kind::kNotInCodePage, 5},
        {Kind::kSourceMissing, 5}, {Kind::kNotInCodePage, 6}, {Kind::kUnusedFile, 0}, {Kind::kUnusedFile, 0}}, 2},
      {"a gap, and SUM past the last entry",
       "[MAIN]\nSUM=5\nFILE001=a.dll\nCOPYTO001=$APPPATH$a.dll\nFILE003=a.dll\nCOPYTO003=$APPPATH$b.dll\n",
       {L"a.dll"}, {{Kind::kEntryMissing, 2}, {Kind::kEntryMissing, 2}}, 2},
      {"an empty FILE key", "[MAIN]\nSUM=1\nFILE001=\nCOPYTO001=$APPPATH$a.dll\n", {}, {{Kind::kEntryMissing, 3}}, 2},
      {"sources missing, a folder, or outside",
       "[MAIN]\nSUM=3\nFILE001=gone.dll\nCOPYTO001=$APPPATH$a\nFILE002=Sub\nCOPYTO002=$APPPATH$b\n"
       "FILE003=..\\a.dll\nCOPYTO003=$APPPATH$c\n",
       {L"sub\\"}, {{Kind::kSourceMissing, 3}, {Kind::kSourceMissing, 5}, {Kind::kSourceMissing, 7}}, 2},
      {"a source matched without regard to case", One("$APPPATH$a.dll"), {L"A.DLL"}, {}, 0},
      {"an empty destination, and the placeholder alone",
       "[MAIN]\nSUM=2\nFILE001=a.dll\nCOPYTO001=\nFILE002=a.dll\nCOPYTO002=$APPPATH$\n", {L"a.dll"},
       {{Kind::kDestinationEmpty, 4}, {Kind::kDestinationEmpty, 6}}, 2},
      {"bytes code page 950 lacks", One("$APPPATH$\xA4\x30.dll"), {L"a.dll"}, {{Kind::kNotInCodePage, 4}}, 2},
      {"a value cut at 4095 bytes", One("$APPPATH$" + std::string(5000, 'x')), {L"a.dll"},
       {{Kind::kValueTooLong, 4}}, 2},
      {"SUM absent", "[MAIN]\n", {}, {{Kind::kSumNotPositive, 1}}, 1},
      {"SUM negative", "[MAIN]\nSUM=-1\n", {}, {{Kind::kSumNotPositive, 2}}, 1},
      {"keys past SUM or misnumbered are never read",
       One("$APPPATH$a.dll") + "FILE002=b.dll\nFILE2=b.dll\n", {L"a.dll", L"b.dll"},
       {{Kind::kUnreadKey, 5}, {Kind::kUnreadKey, 6}, {Kind::kUnusedFile, 0}}, 1},
      {"a duplicate key, and a second [MAIN]", One("$APPPATH$a.dll") + "FILE001=b.dll\n[main]\nFILE001=c.dll\n",
       {L"a.dll"}, {{Kind::kDuplicateKey, 5}, {Kind::kUnreadKey, 7}}, 1},
      {"a lower-case placeholder", One("$apppath$a.dll"), {L"a.dll"}, {{Kind::kLowerCasePlaceholder, 4}}, 1},
      {"no placeholder", One("C:\\Shared\\a.dll"), {L"a.dll"}, {{Kind::kNoPlaceholder, 4}}, 1},
      {"a destination leaving the product", One("$APPPATH$Data\\..\\..\\a.dll"), {L"a.dll"},
       {{Kind::kLeavesProduct, 4}}, 1},
      {"a folder the product must have, named once",
       "[MAIN]\nSUM=2\nFILE001=a.dll\nCOPYTO001=$APPPATH$Data\\a.dll\nFILE002=a.dll\nCOPYTO002=$APPPATH$data/b.dll\n",
       {L"a.dll"}, {{Kind::kFolderNeeded, 4}}, 1},
      {"a file no entry copies, and no program", One("$APPPATH$a.dll"), {L"a.dll", L"Docs\\extra.dat"},
       {{Kind::kUnusedFile, 0}, {Kind::kNoProgram, 0}}, 1, kNoProgram},
  };
}

TEST(PackCheck, FindsEveryFaultWithItsLine) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    Sandbox sandbox;
    Put(sandbox, L"update\\");
    if (!(row.flags & kNoProgram)) Put(sandbox, L"update\\MirroletV2.exe");
    for (const std::wstring& file : row.files) Put(sandbox, L"update\\" + file);
    if (row.list) Put(sandbox, L"update\\mirrolet.ini", *row.list);
    if (row.flags & kHiddenList) SetHidden(sandbox.Native(L"update\\mirrolet.ini"));

    const pack::Report report = pack::Check(sandbox.Native(L"update"), 950);
    Expected found;
    for (const pack::Finding& finding : report.findings) found.emplace_back(finding.kind, finding.line);
    Expected expected = row.expected;
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected) << Utf8(pack::FormatReport(report));
    EXPECT_EQ(report.ExitStatus(), row.status);
    std::vector<std::wstring> sources;
    for (const pack::PlanEntry& entry : report.plan) sources.push_back(entry.source);
    if (!row.sources.empty()) {
      EXPECT_EQ(sources, row.sources);
    }
  }
}

TEST(PackBuild, RefusesEveryOffenderAndLeavesNothingBehind) {
  struct BuildRow {
    const char* name;
    std::vector<std::wstring> tree;
    bool outHoldsAFile;
    std::size_t refusals;
    bool linuxOnly = false;  // such trees cannot exist on Windows
  };
  const BuildRow rows[] = {
      {"names 950 cannot spell", {L"a.dll", L"ก.txt", L"Docs\\é.txt"}, false, 2},
      {"names differing only in case, or Windows cannot hold", {L"a.dll", L"A.dll", L"b.txt."}, false, 2, true},
      {"an output folder that is not empty", {L"a.dll"}, true, 1},
      {"an empty tree", {}, false, 1},
  };
  for (const BuildRow& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.linuxOnly && std::filesystem::path::preferred_separator == L'\\') continue;
    Sandbox sandbox;
    Put(sandbox, L"tree\\");
    for (const std::wstring& file : row.tree) Put(sandbox, L"tree\\" + file);
    if (row.outHoldsAFile) Put(sandbox, L"out\\old.txt");
    const pack::BuildResult result = pack::Build(sandbox.Native(L"tree"), sandbox.Native(L"out"), {}, 950);
    EXPECT_EQ(result.refused.size(), row.refusals);
    EXPECT_FALSE(result.written);
    EXPECT_EQ(result.ExitStatus(), 2);
    const std::vector<std::wstring> left = {L"out", L"tree"};
    EXPECT_EQ(sandbox.List(), std::vector<std::wstring>(left.begin() + (row.outHoldsAFile ? 0 : 1), left.end()));
  }
}

}  // namespace
}  // namespace mirrolet::testing
