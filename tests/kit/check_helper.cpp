// The check kit's helper, a program of its own beside the test programs:
//   check_helper hold PATH MS      holds PATH open, sharing nothing, for MS ms:
//                                  another process's hold, for the suites
//   check_helper decide FOLDER...  the updater's decision about administrator
//                                  rights for these product folders with this
//                                  process's token, as exit status 10 + the
//                                  Elevation (10: not needed, 11: it asks);
//                                  nothing is started
//   check_helper summary RESULTS SUITE=STATUS...
//                                  writes RESULTS\summary.txt from each suite's
//                                  JUnit file RESULTS\SUITE.xml and the exit
//                                  status it ended with; exits 1 when any
//                                  test failed or any suite has no results
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/elevation.h"
#include "platform/win32/win32_platform.h"

namespace {

int Hold(const wchar_t* path, const wchar_t* ms) {
  // The test looks, through handles of its own, for when the hold begins.
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int tries = 0; file == INVALID_HANDLE_VALUE && tries < 5000; ++tries) {
    file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SHARING_VIOLATION) return 1;
    if (file == INVALID_HANDLE_VALUE) Sleep(1);
  }
  if (file == INVALID_HANDLE_VALUE) return 1;
  Sleep(static_cast<DWORD>(std::wcstoul(ms, nullptr, 10)));
  CloseHandle(file);
  return 0;
}

int Decide(int count, wchar_t** folders) {
  std::vector<std::wstring> workPaths;
  for (int i = 0; i < count; ++i) workPaths.push_back(std::wstring(folders[i]) + L"\\");  // as a work path ends
  const mirrolet::win32::ElevationCalls system = mirrolet::win32::SystemElevationCalls();
  mirrolet::win32::Win32Platform host;
  host.InjectElevation({system.elevated, system.relaunched, system.granted, system.realPath, [] {},
                        [](const mirrolet::win32::Launch&, unsigned& exitCode) -> DWORD {
                          exitCode = 0;
                          return ERROR_SUCCESS;
                        }});
  unsigned exitCode = 0;
  return 10 + static_cast<int>(host.ElevateIfNeeded([&] { return workPaths; }, exitCode));
}

// --- the summary ---

std::string Narrow(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::string Unescape(std::string text) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&#x0A;", " "}, {"&#x0D;", ""}, {"&amp;", "&"}};
  for (const auto& [entity, character] : entities) {
    for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, std::string(entity).size(), character);
    }
  }
  return text;
}

// The value of `name="..."` in the tag that `tag` holds.
std::string Attribute(const std::string& tag, const std::string& name) {
  const std::size_t at = tag.find(" " + name + "=\"");
  if (at == std::string::npos) return "";
  const std::size_t begin = at + name.size() + 3;
  return Unescape(tag.substr(begin, tag.find('"', begin) - begin));
}

struct Suite {
  bool read = false;
  int passed = 0, failed = 0, skipped = 0;
  std::vector<std::string> failures, skips, rows;
};

// GoogleTest's JUnit file: <testcase ...> elements, each with its <failure>s,
// a <skipped> and the rows it recorded as <property> elements.
Suite Read(const std::wstring& file) {
  Suite suite;
  std::ifstream in(std::filesystem::path(file), std::ios::binary);
  if (!in) return suite;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const std::string xml = bytes.str();
  suite.read = xml.find("<testsuites") != std::string::npos;
  for (std::size_t at = xml.find("<testcase "); at != std::string::npos; at = xml.find("<testcase ", at + 1)) {
    const std::string tag = xml.substr(at, xml.find('>', at) - at);
    const std::size_t end = tag.ends_with("/") ? at : xml.find("</testcase>", at);
    const std::string body = xml.substr(at, end - at);
    const std::string name = Attribute(tag, "classname") + "." + Attribute(tag, "name");
    if (body.find("<failure") != std::string::npos) {
      ++suite.failed;
      suite.failures.push_back(name);
    } else if (Attribute(tag, "result") == "skipped") {
      ++suite.skipped;
      const std::size_t skip = body.find("<skipped");
      const std::string message = skip == std::string::npos ? "" : Attribute(body.substr(skip, body.find('>', skip) - skip), "message");
      suite.skips.push_back(name + (message.empty() ? "" : ": " + message.substr(0, message.find('\n'))));
    } else {
      ++suite.passed;
    }
    for (std::size_t p = body.find("<property "); p != std::string::npos; p = body.find("<property ", p + 1)) {
      const std::string property = body.substr(p, body.find("/>", p) - p);
      const std::string key = Attribute(property, "name");
      if (key.starts_with("real Windows: ")) {
        suite.rows.push_back(Attribute(property, "value") + " | " + name + " | " + key.substr(14));
      }
    }
  }
  return suite;
}

std::string Machine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using WineVersion = const char*(__cdecl*)();
  if (const auto wine = reinterpret_cast<WineVersion>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "wine_get_version")))) {
    return std::string("Wine ") + wine() + " (not a real Windows: what only a real Windows answers is not shown)";
  }
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (const auto get = reinterpret_cast<GetVersion>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")))) {
    get(&version);
  }
  HANDLE opened = nullptr;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
    GetTokenInformation(opened, TokenElevationType, &type, sizeof type, &size);
    GetTokenInformation(opened, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(opened);
  }
  const char* user = !elevation.TokenIsElevated          ? "not elevated (a standard user, or UAC's filtered token)"
                     : type == TokenElevationTypeFull    ? "elevated, with UAC on"
                                                         : "an administrator without UAC (UAC off, or the built-in account)";
  return "Windows " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + " build " +
         std::to_string(version.dwBuildNumber) + ", " + user;
}

int Summary(const std::wstring& results, int count, wchar_t** suites) {
  std::ostringstream out;
  out << "Mirrolet checks on " << Machine() << "\n\n";
  int passed = 0, failed = 0, skipped = 0;
  std::vector<std::string> failures, skips, rows;
  for (int i = 0; i < count; ++i) {
    const std::wstring argument = suites[i];
    const std::wstring name = argument.substr(0, argument.find(L'='));
    const int status = argument.find(L'=') == std::wstring::npos ? 0 : std::wcstol(argument.c_str() + name.size() + 1, nullptr, 10);
    Suite suite = Read(results + L"\\" + name + L".xml");
    if (!suite.read) {
      ++suite.failed;
      suite.failures.push_back(Narrow(name) + ": no results (the program did not run to its end)");
    } else if (status != 0 && suite.failed == 0) {
      ++suite.failed;
      suite.failures.push_back(Narrow(name) + ": exit status " + std::to_string(status) + " though no test failed");
    }
    out << Narrow(name) << ": " << suite.passed << " passed, " << suite.failed << " failed, " << suite.skipped
        << " skipped\n";
    passed += suite.passed, failed += suite.failed, skipped += suite.skipped;
    failures.insert(failures.end(), suite.failures.begin(), suite.failures.end());
    skips.insert(skips.end(), suite.skips.begin(), suite.skips.end());
    rows.insert(rows.end(), suite.rows.begin(), suite.rows.end());
  }
  out << "all: " << passed << " passed, " << failed << " failed, " << skipped << " skipped\n";
  const auto list = [&](const char* title, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    out << "\n" << title << "\n";
    for (const std::string& line : lines) out << "  " << line << "\n";
  };
  list("failed:", failures);
  list("skipped:", skips);
  list("rows only a real Windows answers (ran | real Windows only | skipped: why), with their test:", rows);
  const std::string text = out.str();
  std::ofstream(std::filesystem::path(results + L"\\summary.txt"), std::ios::binary) << text;
  std::fwrite(text.data(), 1, text.size(), stdout);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"hold" && argc == 4) return Hold(argv[2], argv[3]);
  if (command == L"decide" && argc > 2) return Decide(argc - 2, argv + 2);
  if (command == L"summary" && argc > 2) return Summary(argv[2], argc - 3, argv + 3);
  std::fputs("usage: check_helper hold PATH MS | decide FOLDER... | summary RESULTS SUITE=STATUS...\n", stderr);
  return 2;
}
