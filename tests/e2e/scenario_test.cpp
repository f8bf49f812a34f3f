// Whole runs of the updater from tests/e2e/scenarios.txt: the real program of
// this build (MirroletV2.exe under Wine, mirrolet on Linux), real files and
// registry, its boxes answered. Adding a scenario adds data, not code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>

#include "case_vocabulary.h"
#include "host_fixture.h"
#include "os/sha256.h"
#include "base/bundle_format.h"
#include "pack/bundle.h"
#include "pack/pack.h"
#include "update/copy_list.h"
#include "update/messages.h"

namespace mirrolet::testing {
namespace {

// The scenarios this host can run.
std::vector<Case> LoadScenarios() {
  std::vector<Case> scenarios = ReadCaseFile(CasePath("e2e/scenarios.txt"), kScenarios);
  std::erase_if(scenarios, [](const Case& scenario) {
    return std::any_of(scenario.lines.begin(), scenario.lines.end(),
                       [](const auto& step) { return step.first == "only" && step.second != HostName(); });
  });
  return scenarios;
}

std::uint64_t Load(const std::string& bytes, std::size_t at, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

// Writes `digest` into the seal of the program whose bytes are `bytes`.
void Seal(std::string& bytes, const bundle::Digest& digest) {
  const bundle::ReadAt read = [&bytes](std::uint64_t at, std::uint8_t* into, std::size_t size) {
    if (at > bytes.size() || size > bytes.size() - at) return false;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), size, into);
    return true;
  };
  const auto seal = bundle::FindSection(read, bytes.size(), HostName() == "windows", bundle::kSealSection);
  ASSERT_TRUE(seal && seal->size >= bundle::kSealSize);
  bytes.replace(seal->offset + bundle::kSealMagicSize, digest.size(), reinterpret_cast<const char*>(digest.data()),
                digest.size());
}

// The bundle `path` with the name `from` in its directory replaced by `to`
// and the trailer's digest made to match; its program's seal too when `seal`.
void Rename(const std::filesystem::path& path, const std::string& from, const std::string& to, bool seal) {
  ASSERT_EQ(from.size(), to.size());
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const std::size_t trailer = bytes.size() - 64, directory = trailer - Load(bytes, trailer + 8, 8);
  bool renamed = false;
  for (std::size_t at = directory; at < trailer;) {
    const std::size_t size = Load(bytes, at + 40, 4);
    if (bytes.compare(at + 48, size, from) == 0) renamed = (bytes.replace(at + 48, size, to), true);
    at += 48 + (size + 7) / 8 * 8;
  }
  ASSERT_TRUE(renamed) << from;
  const std::string_view view(bytes);
  const auto digest =
      bundle::PayloadDigest(os::NewSha256, view.substr(directory, trailer - directory), view.substr(trailer, 24));
  bytes.replace(trailer + 24, digest.size(), reinterpret_cast<const char*>(digest.data()), digest.size());
  if (seal) Seal(bytes, digest);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// update\PROGRAM as mirrolet-pack bundles the update folder it builds from
// `tree`, alone in its folder, then damaged as `damage` says: "flip" (the
// first byte of the first file), "rename OLD NEW": the file OLD
// named NEW (as long) and the payload's digest and the seal made to match, so
// only the name can be wrong, or "restamp OLD NEW": the same but the seal left
// as mirrolet-pack wrote it, a payload whole in itself but not the sealed one.
void MakeBundle(const Sandbox& sandbox, const std::wstring& tree, const std::wstring& update, const std::string& damage) {
  const std::filesystem::path packed = sandbox.Native(L"packed"), out = sandbox.Native(update) / ProgramUnderTest().filename();
  const unsigned codePage = HostName() == "windows" ? 950 : 65001;
  ASSERT_TRUE(pack::Build(sandbox.Native(tree), packed, {}, codePage).written);
  std::filesystem::create_directories(out.parent_path());
  std::filesystem::create_directories(sandbox.Native(L"tmp"));
  ASSERT_LT(pack::Bundle(packed, out, ProgramUnderTest(), codePage), 2);
  std::filesystem::remove_all(packed);
  const auto size = std::filesystem::file_size(out);
  std::fstream file(out, std::ios::binary | std::ios::in | std::ios::out);
  std::uint64_t length = 0;
  file.seekg(static_cast<std::streamoff>(size - 48));
  for (int i = 0; i < 8; ++i) length |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(file.get())) << (8 * i);
  if (damage == "flip") {
    file.seekg(static_cast<std::streamoff>(size - length));
    const char first = static_cast<char>(file.get());
    file.seekp(static_cast<std::streamoff>(size - length));
    file.put(static_cast<char>(first ^ 1));
  }
  file.close();
  const bool rename = damage.starts_with("rename "), restamp = damage.starts_with("restamp ");
  if (rename || restamp) Rename(out, Parts(damage, " ").at(1), Parts(damage, " ").at(2), rename);
  ASSERT_TRUE(damage.empty() || damage == "flip" || rename || restamp)
      << damage;
}

// update\PROGRAM carrying the files `names` of `tree` as its payload, written
// straight rather than by mirrolet-pack, which reads no tree past MAX_PATH on
// Windows.
void MakePayload(const Sandbox& sandbox, const std::wstring& tree, std::vector<std::string> names, const std::wstring& update) {
  const std::filesystem::path out = sandbox.Native(update) / ProgramUnderTest().filename();
  std::filesystem::create_directories(out.parent_path());
  std::filesystem::create_directories(sandbox.Native(L"tmp"));
  std::filesystem::copy_file(ProgramUnderTest(), out, std::filesystem::copy_options::overwrite_existing);
  std::ofstream stream(out, std::ios::binary | std::ios::app);
  bundle::PayloadWriter writer(os::NewSha256, [&](const std::uint8_t* bytes, std::size_t size) {
    return static_cast<bool>(stream.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size)));
  });
  for (std::string& name : names) std::replace(name.begin(), name.end(), '\\', '/');
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string content = sandbox.Read(tree + L"\\" + FromUtf8(name));
    ASSERT_TRUE(writer.AddFile(name, [&content](std::uint8_t* into, std::size_t size) -> long long {
      const std::size_t n = std::min(size, content.size());
      std::copy_n(content.begin(), n, into);
      content.erase(0, n);
      return static_cast<long long>(n);
    })) << name;
  }
  ASSERT_TRUE(writer.Finish());
  stream.close();
  // Sealed as mirrolet-pack seals it.
  std::ifstream in(out, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  Seal(bytes, writer.PayloadDigest());
  std::ofstream(out, std::ios::binary | std::ios::trunc) << bytes;
}

class ScenarioTest : public ::testing::TestWithParam<Case> {};

TEST_P(ScenarioTest, Runs) {
  MIRROLET_NEEDS_MACHINE_REGISTRY();
  if (std::any_of(GetParam().lines.begin(), GetParam().lines.end(), [](const auto& line) {
        return std::any_of(line.second.begin(), line.second.end(), [](char c) { return c & 0x80; });
      })) {
    MIRROLET_NEEDS_CHINESE_CODE_PAGE();
  }
  Sandbox sandbox;
  std::wstring update = L"update";
  // "\r\n" is a line end; any other "\" is a path's.
  std::map<std::string, std::string> variables{{"$SANDBOX", Utf8(sandbox.HostPath(L""))}, {"\\r\\n", "\r\n"}};
  if (variables["$SANDBOX"].ends_with('\\') || variables["$SANDBOX"].ends_with('/')) variables["$SANDBOX"].pop_back();
  for (int i = 0; i < 12; ++i) variables["$LONG"] += "\\a-rather-long-folder-name";
  const auto expand = [&](std::string text) {
    for (const auto& [name, value] : variables) {
      for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size())) {
        text.replace(at, name.size(), value);
      }
    }
    return Repeated(text);
  };

  std::vector<RegEntry> products;
  bool registered = false;  // the first "register" line replaces Halvix, the default
  BoxScript script;
  std::vector<std::pair<std::string, std::string>> checks;  // check, argument
  std::unique_ptr<HeldOpen> held;
  std::function<void()> whileAsked;
  std::string locale = "C.UTF-8";
  long running = 0;
  int asked = 0;
  unsigned long exitCode = 0;
  const auto productRegistered = [&](const Registration& product) {
    EXPECT_FALSE(product.path) << "a scenario's products are the sandbox's folders";
    const std::wstring folder = FromUtf8(product.product);
    std::filesystem::create_directories(sandbox.Native(folder));
    products.push_back({product.product, "WorkPath", 1, sandbox.HostPath(folder) + (product.slash ? L"\\" : L""), true,
                        product.view32});
  };
  for (const auto& [directive, raw] : GetParam().lines) {
    const std::string argument = expand(raw);
    const auto [left, right] = Split(argument, " = ");
    if (script.Take(directive, raw)) {
      continue;
    } else if (directive == "update") {
      update = FromUtf8(argument);
    } else if (directive == "register") {
      registered = true;
      if (const auto product = ParseRegistration(argument)) productRegistered(*product);
    } else if (directive == "folder") {
      std::filesystem::create_directories(sandbox.Native(FromUtf8(argument)));
    } else if (directive == "file") {
      sandbox.Write(FromUtf8(left), right);
    } else if (directive == "list" || directive == "entries") {
      const std::string text = directive == "list" ? argument : EntriesListText(argument);
      sandbox.Write(update + L"\\mirrolet.ini", SystemCodePage(FromUtf8(text)));
    } else if (directive == "hidden") {
      SetHidden(sandbox.Native(FromUtf8(argument)));
    } else if (directive == "hold") {
      held = std::make_unique<HeldOpen>(sandbox.Native(FromUtf8(argument)));
    } else if (directive == "running" || directive == "fifo") {
      running = MakeSpecial(directive, sandbox.Native(FromUtf8(argument)));
      variables["$PID"] = std::to_string(running);
    } else if (directive == "link") {
      const auto [target, owner] = Split(right, " owner ");
      if (!MakeLink(sandbox.Native(FromUtf8(left)), sandbox.Native(FromUtf8(target)), owner.empty() ? -1 : std::stol(owner))) {
        GTEST_SKIP() << "a link of another user: only root can make one";
      }
    } else if (directive == "pack") {
      // The update folder as mirrolet-pack builds it from a product-shaped tree.
      const unsigned codePage = HostName() == "windows" ? 950 : 65001;
      const pack::BuildResult built = pack::Build(sandbox.Native(FromUtf8(left)), sandbox.Native(update), ProgramUnderTest(), codePage);
      ASSERT_TRUE(built.written) << Utf8(pack::FormatReport(built.report));
      std::string found;
      for (const pack::Finding& finding : built.report.findings) found += Utf8(pack::KindName(finding.kind)) + " ";
      EXPECT_EQ(found, right + " ") << Utf8(pack::FormatReport(built.report));
      for (const pack::PlanEntry& entry : built.report.plan) {
        // Every file lands where the plan says, holding what the tree held.
        const std::string source = sandbox.Read(FromUtf8(left) + L"\\" + entry.source);
        checks.emplace_back("after", Utf8(ExpandAppPath(entry.destination, L"Halvix\\")) + " = " + source);
      }
    } else if (directive == "bundle") {
      const auto [tree, damage] = Split(argument, " = ");
      MakeBundle(sandbox, FromUtf8(tree), update, damage);
    } else if (directive == "swap") {
      // While the confirmation waits, the program is renamed away (Windows
      // allows that for a running program, unless a handle without delete
      // sharing is open) and a bundle of other files put at its path.
      MakeBundle(sandbox, FromUtf8(argument), L"swapped", "");
      whileAsked = [&sandbox, update] {
        const std::filesystem::path program = sandbox.Native(update) / ProgramUnderTest().filename();
        std::error_code error;
        std::filesystem::rename(program, sandbox.Native(L"renamed"), error);
        if (!error) std::filesystem::copy_file(sandbox.Native(L"swapped") / ProgramUnderTest().filename(), program, error);
      };
    } else if (directive == "planted") {
#ifdef MIRROLET_PLANTED_DLL
      // uxtheme.dll beside the program, and an external manifest that names
      // it as a file of the program's assembly; loaded natively, as Windows would.
      std::filesystem::create_directories(sandbox.Native(update));
      std::filesystem::copy_file(CasePath("planted/uxtheme.dll"), sandbox.Native(update) / "uxtheme.dll");
      sandbox.Write(update + L"\\MirroletV2.exe.manifest",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
                    "  <assemblyIdentity type=\"win32\" name=\"MirroletV2\" version=\"1.0.0.0\"/>\r\n"
                    "  <file name=\"uxtheme.dll\"/>\r\n</assembly>\r\n");
#endif
    } else if (directive == "payload") {
      MakePayload(sandbox, FromUtf8(left), Parts(right, " "), update);
    } else if (directive == "locale") {
      locale = argument;
    } else if (directive == "asked") {
      asked = std::stoi(argument);
    } else if (directive == "exit") {
      exitCode = std::stoul(argument);
    } else if (directive == "after" || directive == "gone" || directive == "only-files") {
      checks.emplace_back(directive, raw);
    }
  }
  if (!registered) productRegistered({"Halvix", std::nullopt});
  SetRegistry(sandbox, products, "Varnholt");

  std::filesystem::create_directories(sandbox.Native(update));
  const std::filesystem::path program = sandbox.Native(update) / ProgramUnderTest().filename();
  std::filesystem::copy_file(ProgramUnderTest(), program, std::filesystem::copy_options::skip_existing);
  const RunResult run = RunProgram(program, sandbox, script.answers, locale, whileAsked);
  held.reset();
  if (running) StopSpecial(running);
  variables["$UPDATE\\"] = Utf8(sandbox.HostPath(update) + L"\\");  // the program folder as the program names it

  SCOPED_TRACE(Utf8(run.transcript));
  ASSERT_TRUE(run.finished) << "the program did not end";
  std::vector<ShownBox> shown;
  for (const RunBox& box : run.boxes) shown.push_back({box.title, box.text, box.yesNo, std::nullopt});
  ExpectBoxes(shown, script, expand);
  EXPECT_TRUE(asked == 0 || run.boxes.front().prompts == asked) << "asked " << run.boxes.front().prompts << " times";
  EXPECT_EQ(run.exitCode, exitCode);
  for (const auto& [kind, raw] : checks) {
    const auto [path, text] = Split(expand(raw) + (raw.ends_with(" =") ? " " : ""), " = ");  // "FOLDER =": empty
    std::vector<std::wstring> names;
    for (const std::string& name : Parts(text, " ")) names.push_back(FromUtf8(name));
    if (kind == "only-files") {
      EXPECT_EQ(sandbox.List(FromUtf8(path)), names) << path;
    } else {
      EXPECT_EQ(sandbox.Read(FromUtf8(path)), kind == "gone" ? "<missing>" : text) << path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Scenario, ScenarioTest, ::testing::ValuesIn(LoadScenarios()), CaseName);

}  // namespace
}  // namespace mirrolet::testing
