// Whole runs of the Linux build: a .reg file for a registry, answers typed
// at the prompt, the boxes read back from standard error.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"
#include "host_fixture.h"
#include "platform/posix/terminal_box.h"

namespace mirrolet::testing {

std::filesystem::path ProgramUnderTest() { return PROGRAM_UNDER_TEST; }

std::string SystemCodePage(const std::wstring& text) { return Utf8(text); }

// The locale's files, built once into a folder of our own.
std::string BuildLocale(const std::string& locale) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "mirrolet-test-locales";
  const std::size_t dot = locale.find('.');
  if (locale.starts_with("C.") || std::filesystem::exists(folder / locale / "LC_CTYPE")) return folder;
  std::filesystem::create_directories(folder);
  const std::string command = "localedef -i " + locale.substr(0, dot) + " -f " + locale.substr(dot + 1) + " " +
                              (folder / locale).string() + " 2>/dev/null";
  if (std::system(command.c_str()) != 0 && !std::filesystem::exists(folder / locale / "LC_CTYPE")) {
    ADD_FAILURE() << "localedef could not build " << locale;
  }
  return folder;
}

long MakeSpecial(const std::string& kind, const std::filesystem::path& path) {
  std::filesystem::create_directories(path.parent_path());
  if (kind == "fifo") return ::mkfifo(path.c_str(), 0644), 0;
  std::filesystem::copy_file("/bin/sleep", path);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl(path.c_str(), "sleep", "60", nullptr);
    ::_exit(127);
  }
  // Running once /proc says it runs that file.
  for (int i = 0; i < 500 && std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/exe") != path; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return child;
}

bool MakeLink(const std::filesystem::path& link, const std::filesystem::path& target, long owner) {
  std::filesystem::create_directories(link.parent_path());
  std::filesystem::create_directory_symlink(target, link);
  if (owner < 0) return true;
  return ::geteuid() == 0 && ::lchown(link.c_str(), static_cast<uid_t>(owner), static_cast<gid_t>(-1)) == 0;
}

void StopSpecial(long pid) {
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
}

namespace {

// The boxes as the stand-in prints them: "[title]", the text, then the OK
// prompt or one Yes/No prompt per question.
std::vector<RunBox> ReadBoxes(const std::string& printed) {
  std::vector<RunBox> boxes;
  std::istringstream in(printed);
  bool inText = false;
  const std::string_view yesNo = posix::kYesNoPrompt;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(posix::kOkPrompt) || line.starts_with(yesNo)) {
      inText = false;
      if (!boxes.empty() && line.starts_with(yesNo)) {
        boxes.back().yesNo = true;
        for (std::size_t at = 0; (at = line.find(yesNo, at)) != std::string::npos; at += yesNo.size()) {
          ++boxes.back().prompts;
        }
      }
    } else if (!inText && line.size() > 2 && line.front() == '[' && line.back() == ']') {
      boxes.push_back({FromUtf8(line.substr(1, line.size() - 2)), L"", false, 0});
      inText = true;
    } else if (inText) {
      boxes.back().text += (boxes.back().text.empty() ? L"" : L"\n") + FromUtf8(line);
    }
  }
  return boxes;
}

}  // namespace

RunResult RunProgram(const std::filesystem::path& program, const Sandbox& sandbox,
                     const std::vector<std::string>& answers, const std::string& locale,
                     const std::function<void()>& whileAsked) {
  std::string typed;
  for (const std::string& answer : answers) {
    if (answer != "ok") typed += (answer == "yes" ? "y" : answer == "no" ? "n" : answer) + "\n";
  }
  // With something to do while the first box waits, the answers go through a
  // FIFO, written once the box is on the terminal.
  if (whileAsked) {
    ::mkfifo(sandbox.Native(L"typed.txt").c_str(), 0600);
  } else {
    sandbox.Write(L"typed.txt", typed);
  }
  const auto quoted = [](const std::filesystem::path& path) { return "'" + path.string() + "' "; };
  // A program that hangs is killed: that is a failure, not a wait.
  const std::string command = "cd " + quoted(program.parent_path()) + "&& MIRROLET_REGISTRY=" +
                              quoted(sandbox.Native(L"registry.reg")) + "TMPDIR=" + quoted(sandbox.Native(L"tmp")) +
                              "LC_ALL=" + locale +
                              (locale.starts_with("C.") ? " " : " LOCPATH=" + quoted(BuildLocale(locale))) +
                              "timeout -s KILL 60 " + quoted(program) + "<" + quoted(sandbox.Native(L"typed.txt")) +
                              "2>" + quoted(sandbox.Native(L"printed.txt"));
  int status = 0;
  if (whileAsked) {
    std::thread run([&] { status = std::system(command.c_str()); });
    const int fifo = ::open(sandbox.Native(L"typed.txt").c_str(), O_WRONLY);  // once the program's stdin is open
    for (int waited = 0; waited < 3000 && sandbox.Read(L"printed.txt").find("[") == std::string::npos; ++waited) {
      ::usleep(10000);
    }
    whileAsked();
    if (fifo >= 0) {
      [[maybe_unused]] const ssize_t written = ::write(fifo, typed.data(), typed.size());
      ::close(fifo);
    }
    run.join();
  } else {
    status = std::system(command.c_str());
  }
  const std::string printed = sandbox.Read(L"printed.txt");
  RunResult result;
  result.finished = WIFEXITED(status) && WEXITSTATUS(status) < 124;  // 124 and up: timeout's own
  result.exitCode = WIFEXITED(status) ? static_cast<unsigned long>(WEXITSTATUS(status)) : ~0ul;
  result.boxes = ReadBoxes(printed);
  result.transcript = FromUtf8(printed);
  return result;
}

}  // namespace mirrolet::testing
