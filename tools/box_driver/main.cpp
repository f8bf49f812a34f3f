// box_driver PROGRAM FOLDER [--capture STEM] [--timeout SECONDS] [yes|no|ok]...
// Runs PROGRAM in FOLDER, answers its boxes in order, prints the transcript
// in UTF-8 and exits with the program's exit status.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "box_driver.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: box_driver PROGRAM FOLDER [--capture STEM] [--timeout SECONDS] [yes|no|ok]...\n", stderr);
    return 2;
  }
  std::wstring capture;
  unsigned timeoutMs = 30000;  // without progress
  std::vector<int> answers;
  for (int i = 3; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--capture" && i + 1 < argc) {
      capture = argv[++i];
    } else if (arg == L"--timeout" && i + 1 < argc) {
      timeoutMs = static_cast<unsigned>(std::wcstoul(argv[++i], nullptr, 10) * 1000);
    } else {
      answers.push_back(arg == L"yes" ? IDYES : arg == L"no" ? IDNO : IDOK);
    }
  }
  const auto session = mirrolet::e2e::RunAndAnswer(argv[1], argv[2], answers, capture, timeoutMs);
  const std::wstring text = mirrolet::e2e::Transcript(session);
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  return session.timedOut ? 3 : static_cast<int>(session.exitCode);
}
