// The elevated run as Windows starts it: the host's own start, with the verb
// "runas", through Wine's ShellExecuteExW. Under Wine every token is an
// administrator's, so no prompt comes and the updater never starts itself;
// the start is proven here, the decision through the host's seam
// (tests/win32_host_test.cpp), and the prompt only on a real Windows.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

#include "box_driver.h"
#include "host_fixture.h"
#include "platform/win32/elevation.h"
#include "platform/win32/run_files.h"

namespace mirrolet::testing {
namespace {

TEST(Relaunch, TheStartedRunAsksCopiesAndPassesItsStatusOn) {
  Sandbox sandbox;
  sandbox.Write(L"Halvix\\app.dll", "old");
  sandbox.Write(L"update\\app.dll", "new");
  sandbox.Write(L"update\\mirrolet.ini", "[MAIN]\r\nSUM=1\r\nFILE001=app.dll\r\nCOPYTO001=$APPPATH$app.dll\r\n");
  SetRegistry(sandbox, {{"Halvix", "WorkPath", 1, sandbox.HostPath(L"Halvix")}}, "Varnholt");
  const std::filesystem::path program = sandbox.Native(L"update") / ProgramUnderTest().filename();
  std::filesystem::copy_file(ProgramUnderTest(), program);

  std::atomic<bool> ended = false;
  DWORD started = ~0ul;
  unsigned exitCode = ~0u;
  std::thread starter([&] {
    const win32::Launch launch{program.wstring(), sandbox.HostPath(L"update"), L"runas", win32::kLaunchMask};
    started = win32::SystemElevationCalls().start(launch, exitCode);
    ended = true;
  });
  // The started run's boxes are the only ones another process shows here.
  // While it runs, this one holds the mark that tells it it was relaunched.
  const win32::RunId run = win32::CurrentRun();
  bool marked = false;
  const e2e::Session session = e2e::AnswerBoxes([](DWORD id) { return id != GetCurrentProcessId(); },
                                                [&] {
                                                  Sleep(10);
                                                  marked |= !ended && win32::HoldsRelaunchMark(run.pid, run.start);
                                                  return ended.load();
                                                },
                                                {IDYES, IDOK});
  starter.join();
  SCOPED_TRACE(e2e::Transcript(session));
  EXPECT_EQ(started, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(exitCode, 0u) << "the elevated run's status comes back";
  EXPECT_TRUE(marked);
  ASSERT_EQ(session.boxes.size(), 2u);
  EXPECT_EQ(session.boxes[0].buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(sandbox.Read(L"Halvix\\app.dll"), "new");
}

}  // namespace
}  // namespace mirrolet::testing
