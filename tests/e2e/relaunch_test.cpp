// The elevated run as Windows starts it. Under Wine every token is an
// administrator's, so no prompt comes and the updater never starts itself:
// the first row proves the host's own start, with the verb "runas", through
// Wine's ShellExecuteExW, and the decision is proven through the host's seam
// (tests/win32_host_test.cpp). On a real Windows with UAC on and a person at
// it (run-checks.cmd interactive), the second row starts the updater with a
// standard user's token for a product under C:\Program Files: it decides to
// ask, Windows prompts, the person answers, and the elevated run copies.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "box_driver.h"
#include "host_fixture.h"
#include "platform/win32/elevation.h"
#include "platform/win32/run_files.h"
#include "real_windows.h"

namespace mirrolet::testing {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

TEST(Relaunch, TheStartedRunAsksCopiesAndPassesItsStatusOn) {
  MIRROLET_NEEDS_MACHINE_REGISTRY();
  struct Row {
    const char* name;
    bool prompt;  // the updater itself asks, with Windows' prompt
  };
  for (const Row row : {Row{"the host's start", false}, Row{"a person answers Windows' prompt for the relaunch", true}}) {
    SCOPED_TRACE(row.name);
    std::optional<MachineFolder> machine;
    if (row.prompt) {
      if (!RealWindowsRow(row.name)) continue;
      if (!std::getenv("MIRROLET_CHECKS_INTERACTIVE")) {
        SkipRow(row.name, "no one is there to answer (run-checks.cmd interactive asks a person)");
        continue;
      }
      if (!ElevatedUnderUac()) {
        SkipRow(row.name, "needs the kit run as administrator with UAC on");
        continue;
      }
      if (machine.emplace(); machine->path().empty()) {
        SkipRow(row.name, "no folder under C:\\Program Files could be made");
        continue;
      }
      MessageBoxW(nullptr,
                  L"Windows will now ask whether MirroletV2.exe may make changes: answer Yes.\n"
                  L"Mirrolet's own boxes are answered for you.",
                  L"Mirrolet checks", MB_OK | MB_ICONINFORMATION);
    }
    Sandbox sandbox;
    const std::filesystem::path product = row.prompt ? std::filesystem::path(machine->path()) : sandbox.Native(L"Halvix");
    std::filesystem::create_directories(product);
    std::ofstream(product / "app.dll", std::ios::binary) << "old";
    sandbox.Write(L"update\\app.dll", "new");
    sandbox.Write(L"update\\mirrolet.ini", "[MAIN]\r\nSUM=1\r\nFILE001=app.dll\r\nCOPYTO001=$APPPATH$app.dll\r\n");
    SetRegistry(sandbox, {{"Halvix", "WorkPath", 1, product.wstring()}}, "Varnholt");
    const std::filesystem::path program = sandbox.Native(L"update") / ProgramUnderTest().filename();
    std::filesystem::copy_file(ProgramUnderTest(), program);

    std::atomic<bool> ended = false;
    DWORD started = ~0ul;
    unsigned exitCode = ~0u;
    // As the waiting run holds its own file, without write or delete sharing:
    // the started run must still start and read itself.
    const win32::UniqueFile own(CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(own);
    std::thread starter([&] {
      if (row.prompt) {
        const win32::UniqueObject run = StartAsStandardUser(program.wstring(), sandbox.HostPath(L"update"), started);
        if (run) exitCode = ExitStatus(run);
      } else {
        const win32::Launch launch{program.wstring(), sandbox.HostPath(L"update"), L"runas", win32::kLaunchMask};
        started = win32::SystemElevationCalls().start(launch, exitCode);
      }
      ended = true;
    });
    // The started run's boxes are the only ones another process shows here;
    // a person may take a while to answer Windows' prompt. While the host's
    // start runs, this one holds the mark that tells it it was relaunched.
    const win32::RunId run = win32::CurrentRun();
    bool marked = false;
    const e2e::Session session = e2e::AnswerBoxes([](DWORD id) { return id != GetCurrentProcessId(); },
                                                  [&] {
                                                    Sleep(10);
                                                    marked |= !ended && win32::HoldsRelaunchMark(run.pid, run.start);
                                                    return ended.load();
                                                  },
                                                  {IDYES, IDOK}, L"", row.prompt ? 300000 : 30000);
    starter.join();
    SCOPED_TRACE(e2e::Transcript(session));
    EXPECT_EQ(started, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(exitCode, 0u) << "the elevated run's status comes back";
    EXPECT_TRUE(marked || row.prompt) << "the host's start holds the relaunch mark";
    ASSERT_EQ(session.boxes.size(), 2u);
    EXPECT_EQ(session.boxes[0].buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(ReadFile(product / "app.dll"), "new");
    std::filesystem::remove(product / "app.dll");
  }
}

}  // namespace
}  // namespace mirrolet::testing
