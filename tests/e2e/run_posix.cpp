// Whole runs of the Linux build: a .reg file for a registry, answers typed
// at the prompt, the boxes read back from standard error.
#include <fcntl.h>
#include <poll.h>
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

#include "fake_platform.h"
#include "host_fixture.h"

namespace mirrolet::testing {

std::filesystem::path ProgramUnderTest() { return PROGRAM_UNDER_TEST; }

std::string HostName() { return "linux"; }

void RegisterProduct(const Sandbox& sandbox, const std::wstring& product, const std::wstring& workPath, bool view32) {
  std::string path;  // backslashes and quotes escaped, as regedit writes them
  for (const char c : Utf8(workPath)) path += c == '\\' || c == '"' ? std::string{'\\', c} : std::string{c};
  std::ofstream(sandbox.Native(L"registry.reg"), std::ios::app)
      << "[HKEY_LOCAL_MACHINE\\Software\\" << (view32 ? "WOW6432Node\\" : "") << "Varnholt\\" << Utf8(product)
      << "]\n\"WorkPath\"=\"" << path << "\"\n\n";
}

void ClearProducts(const Sandbox& sandbox) { sandbox.Write(L"registry.reg", "REGEDIT4\n\n"); }

std::string SystemCodePage(const std::wstring& text, const std::string&) { return Utf8(text); }

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
  if (kind == "device") return std::filesystem::create_symlink("/dev/zero", path), 0;
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

void StopSpecial(long pid) {
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
}

namespace {

// The boxes as the stand-in prints them: "[title]", the text, then "[確定]" or
// one "[是(Y)/否(N)] " prompt per question.
std::vector<RunBox> ReadBoxes(const std::string& printed) {
  std::vector<RunBox> boxes;
  std::istringstream in(printed);
  bool inText = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("[確定]") || line.starts_with("[是(Y)/否(N)]")) {
      inText = false;
      if (!boxes.empty() && line.starts_with("[是")) {
        boxes.back().yesNo = true;
        for (std::size_t at = line.find("是(Y)"); at != std::string::npos; at = line.find("是(Y)", at + 1)) {
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
                     const std::vector<std::string>& answers, const std::string& locale) {
  std::string typed;
  for (const std::string& answer : answers) {
    if (answer != "ok") typed += (answer == "yes" ? "y" : answer == "no" ? "n" : answer) + "\n";
  }
  const std::string registry = sandbox.Native(L"registry.reg").string();
  const std::string temp = sandbox.Native(L"tmp").string();
  const std::string locales = BuildLocale(locale);
  int input[2], output[2];
  if (::pipe(input) != 0 || ::pipe(output) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(input[0], STDIN_FILENO);
    ::dup2(output[1], STDERR_FILENO);
    ::close(input[1]);
    ::close(output[0]);
    ::setenv("MIRROLET_REGISTRY", registry.c_str(), 1);
    ::setenv("TMPDIR", temp.c_str(), 1);
    ::setenv("LC_ALL", locale.c_str(), 1);
    if (!locale.starts_with("C.")) ::setenv("LOCPATH", locales.c_str(), 1);
    if (::chdir(program.parent_path().c_str()) == 0) ::execl(program.c_str(), program.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(output[1]);
  ::signal(SIGPIPE, SIG_IGN);  // a program that ends before reading every answer
  [[maybe_unused]] const ssize_t written = ::write(input[1], typed.data(), typed.size());
  ::close(input[1]);

  RunResult result;
  std::string printed;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  pollfd fd{output[0], POLLIN, 0};
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline && ::poll(&fd, 1, 100) >= 0) {
    if (fd.revents == 0) continue;
    const ssize_t n = ::read(output[0], buffer, sizeof buffer);
    if (n <= 0) break;
    printed.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(output[0]);
  int status = 0;
  pid_t ended = 0;
  while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (ended == 0) {
    ::kill(child, SIGKILL);  // it hangs: that is a failure, not a wait
    ::waitpid(child, &status, 0);
  }
  result.finished = ended != 0 && WIFEXITED(status);
  result.exitCode = WIFEXITED(status) ? static_cast<unsigned long>(WEXITSTATUS(status)) : ~0ul;
  result.boxes = ReadBoxes(printed);
  result.transcript = FromUtf8(printed);
  return result;
}

}  // namespace mirrolet::testing
