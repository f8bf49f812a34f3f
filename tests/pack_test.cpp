// mirrolet-pack on the crafted folders of tests/data/pack_cases.txt: each case
// is an update folder and the findings (kind and line) that checking it under
// code page 950 must give, or a tree that building from must refuse.
#include <gtest/gtest.h>

#ifdef _WIN32
#include "e2e/program_under_test.h"
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <fstream>
#include <map>

#include "base/bundle_format.h"
#include "case_vocabulary.h"
#include "host_fixture.h"
#include "pack/pack.h"
#include "pack/program_mark.h"

namespace mirrolet::testing {
namespace {

// Writes a file below the sandbox, or makes a folder when `relative` ends with "\".
void Put(const Sandbox& sandbox, const std::string& relative, const std::string& bytes = "data") {
  if (!relative.ends_with('\\')) return sandbox.Write(FromUtf8(relative), bytes);
  std::filesystem::create_directories(sandbox.Native(FromUtf8(relative)));
}

// The links a row made, removed as the host must remove them before the sandbox goes.
struct Links {
  std::vector<std::filesystem::path> made;
  ~Links() {
    for (auto link = made.rbegin(); link != made.rend(); ++link) RemoveLink(*link);
  }
};

// Makes what `fifo:`, `link:`, `beside:` and `list-size:` ask for in `folder`
// of the sandbox. Returns false when this host cannot make a link.
bool PutSpecial(const Sandbox& sandbox, const std::string& folder, std::map<std::string, std::string>& row,
                Links& links) {
#ifndef _WIN32  // Windows has no FIFOs: such rows are for Linux only
  for (const std::string& name : Parts(row["fifo"], " ")) {
    EXPECT_EQ(::mkfifo(sandbox.Native(FromUtf8(folder + "\\" + name)).c_str(), 0644), 0);
  }
#endif
  for (const std::string& file : Parts(row["beside"], " ")) Put(sandbox, file, "outside");
  for (const std::string& link : Parts(row["link"], " ")) {
    const std::size_t arrow = link.find("->");
    const std::filesystem::path path = sandbox.Native(FromUtf8(folder + "\\" + link.substr(0, arrow)));
    if (!MakeLink(path, link.substr(arrow + 2))) return false;
    links.made.push_back(path);
  }
  if (row.contains("list-size")) {
    std::filesystem::resize_file(sandbox.Native(FromUtf8(folder + "\\mirrolet.ini")), std::stoull(row["list-size"]));
  }
  return true;
}

// The findings as `finds:` lists them, sorted.
std::vector<std::string> Findings(const pack::Report& report) {
  std::vector<std::string> found;
  for (const pack::Finding& finding : report.findings) {
    found.push_back(Utf8(pack::KindName(finding.kind)) + ":" + std::to_string(finding.line));
  }
  std::sort(found.begin(), found.end());
  return found;
}

// The updater built beside the tests: what build --exe ships.
std::filesystem::path Updater() {
#ifdef _WIN32
  return e2e::ProgramUnderTest();
#else
  return PROGRAM_UNDER_TEST;
#endif
}

// What `allow:` and `strict` ask of the row.
pack::Policy RowPolicy(std::map<std::string, std::string>& row) {
  pack::Policy policy{{}, row.contains("strict")};
  for (const pack::Kind kind : pack::AllKinds()) {
    for (const std::string& name : Parts(row["allow"], ",")) {
      if (name == Utf8(pack::KindName(kind))) policy.allowed.insert(kind);
    }
  }
  return policy;
}

TEST(PackCases, CheckFindsEveryFaultWithItsLineAndBuildRefusesEveryOffender) {
  for (const Case& test : ReadCaseFile(CasePath("data/pack_cases.txt"), kPackCases)) {
    SCOPED_TRACE(test.name);
    std::map<std::string, std::string> row{{"exit", "0"}};
    for (const auto& [key, value] : test.lines) row[key] = value;
    if (row.contains("only") && row["only"] != HostName()) continue;
    const pack::Policy policy = RowPolicy(row);
    const bool findsGiven = row.contains("finds");
    std::vector<std::string> expected = Parts(row["finds"], " ");
    std::sort(expected.begin(), expected.end());
    Sandbox sandbox;
    Links links;
    if (row.contains("tree")) {
      Put(sandbox, "tree\\");
      for (const std::string& file : Parts(row["tree"], " ")) Put(sandbox, "tree\\" + file);
      if (row.contains("out-holds-a-file")) Put(sandbox, "out\\old.txt");
      if (!PutSpecial(sandbox, "tree", row, links)) continue;  // this host makes no links
      const std::filesystem::path program = row.contains("exe") ? Updater() : std::filesystem::path();
      pack::PackOptions options{policy, false, {}, false};
      for (const std::string& pattern : Parts(row["exclude"], " ")) options.excludes.push_back(FromUtf8(pattern));
      const pack::BuildResult result = pack::Build(sandbox.Native(L"tree"), sandbox.Native(L"out"), program, 950, options);
      std::vector<std::string> leftOut;
      for (const std::wstring& name : result.leftOut) leftOut.push_back(Utf8(name));
      EXPECT_EQ(leftOut, Parts(row["left-out"], " "));
      std::string refusals;
      for (const std::wstring& refusal : result.refused) refusals += Utf8(refusal) + "\n";
      EXPECT_EQ(result.refused.size(), std::stoul(row["refusals"])) << refusals;
      if (findsGiven) {
        EXPECT_EQ(Findings(result.report), expected) << Utf8(pack::FormatReport(result.report));
      }
      if (row.contains("shipped")) {
        std::vector<std::string> sources;
        for (const pack::PlanEntry& entry : result.report.plan) sources.push_back(Utf8(entry.source));
        EXPECT_TRUE(result.written);
        EXPECT_EQ(sources, Parts(row["shipped"], " "));
        EXPECT_EQ(result.ExitStatus(), std::stoi(row["exit"])) << Utf8(pack::FormatReport(result.report));
        continue;
      }
      EXPECT_FALSE(result.written);
      EXPECT_EQ(result.ExitStatus(), 2);
      std::vector<std::wstring> left = {L"tree"};
      if (row.contains("out-holds-a-file")) left.push_back(L"out");
      for (const std::string& file : Parts(row["beside"], " ")) left.push_back(FromUtf8(file));
      std::sort(left.begin(), left.end());
      EXPECT_EQ(sandbox.List(), left);
      continue;
    }
    Put(sandbox, "update\\");
    if (!row.contains("no-program")) Put(sandbox, "update\\MirroletV2.exe");
    for (const std::string& file : Parts(row["files"], " ")) Put(sandbox, "update\\" + file);
    const bool hasList = row.contains("list");
    const std::string list = Repeated(Unescape(row["list"]));
    if (hasList) Put(sandbox, "update\\mirrolet.ini", list);
    if (row.contains("hidden-list")) SetHidden(sandbox.Native(L"update\\mirrolet.ini"));
    if (!PutSpecial(sandbox, "update", row, links)) continue;  // this host makes no links

    const pack::Report report = pack::Check(sandbox.Native(L"update"), {950, pack::kProgramName, policy, true});
    std::vector<std::string> sources;
    EXPECT_EQ(Findings(report), expected) << Utf8(pack::FormatReport(report));
    EXPECT_EQ(report.ExitStatus(), std::stoi(row["exit"]));
    // An empty source is written "".
    for (const pack::PlanEntry& entry : report.plan) sources.push_back(entry.source.empty() ? "\"\"" : Utf8(entry.source));
    if (row["sources"] != "?") {
      EXPECT_EQ(sources, Parts(Repeated(row["sources"]), " "));
    }
  }
}

// The updater this build makes carries its names and version where
// mirrolet-pack looks for them; damage of every kind is fuzz/program_fuzz.cpp's.
TEST(ProgramMark, TheUpdaterCarriesItsNames) {
  std::ifstream in(Updater(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());
  const auto read = [&bytes](std::uint64_t at, std::uint8_t* into, std::size_t n) {
    if (at > bytes.size() || n > bytes.size() - at) return false;
    std::copy_n(bytes.data() + at, n, reinterpret_cast<char*>(into));
    return true;
  };
  const pack::ProgramMark mark = pack::ReadProgramMark(read, bytes.size(), bytes.rfind("MZ", 0) == 0);
  EXPECT_TRUE(mark.IsMirrolet()) << Utf8(mark.Describe());
  EXPECT_EQ(mark.version, L"1.00");
}

}  // namespace
}  // namespace mirrolet::testing
