#include "platform/win32/run_files.h"

#include <cwchar>
#include <vector>

#include "base/hex_digit.h"
#include "base/name_fold.h"
#include "os/win32/handles.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

constexpr std::wstring_view kPrefix = L"~mirrolet-";
constexpr std::wstring_view kSuffix = L".tmp";
constexpr std::size_t kPidDigits = 8, kStartDigits = 16, kNumberDigits = 8;
constexpr std::size_t kStartAt = kPidDigits + 1, kNumberAt = kStartAt + kStartDigits + 1;

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// When the process `process` started, in FILETIME ticks.
std::uint64_t StartTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  return GetProcessTimes(process, &created, &exited, &kernel, &user) ? Ticks(created) : 0;
}

// Whether the run `run` looks ended from here. A process we may not look at
// counts as still running.
bool Ended(const RunId& run) {
  const UniqueObject process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, run.pid));
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD exitCode = 0;
  const bool running = GetExitCodeProcess(process.get(), &exitCode) && exitCode == STILL_ACTIVE;
  return !running || StartTime(process.get()) != run.start;
}

std::optional<std::uint64_t> Hex(std::wstring_view digits) {
  std::uint64_t value = 0;
  for (const wchar_t c : digits) {
    const int digit = c >= L'A' && c <= L'F' ? -1 : HexDigit(c);  // the names are written in lower case
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<unsigned>(digit);
  }
  return value;
}

}  // namespace

RunId CurrentRun() { return {GetCurrentProcessId(), StartTime(GetCurrentProcess())}; }

std::wstring TempName(const RunId& run, unsigned n) {
  wchar_t name[64];
  std::swprintf(name, 64, L"~mirrolet-%08lx-%016llx-%08x.tmp", static_cast<unsigned long>(run.pid),
                static_cast<unsigned long long>(run.start), n);
  return name;
}

std::optional<RunId> TempOwner(std::wstring_view name) {
  if (name.size() != kPrefix.size() + kNumberAt + kNumberDigits + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix)) {
    return std::nullopt;
  }
  name.remove_prefix(kPrefix.size());
  const auto pid = Hex(name.substr(0, kPidDigits));
  const auto start = Hex(name.substr(kStartAt, kStartDigits));
  const auto n = Hex(name.substr(kNumberAt, kNumberDigits));
  if (!pid || !start || !n || name[kStartAt - 1] != L'-' || name[kNumberAt - 1] != L'-') return std::nullopt;
  return RunId{static_cast<DWORD>(*pid), *start};
}

void Leftovers::RemoveIn(const std::wstring& folder) {
  if (!cleaned_.insert(FoldName(folder)).second) return;
  WIN32_FIND_DATAW found;
  const UniqueFind search(FindFirstFileW(ChildPath(folder, L"~mirrolet-*.tmp").c_str(), &found));
  if (!search) return;
  std::vector<std::wstring> ended;
  do {
    const auto owner = TempOwner(found.cFileName);
    // Another run's file stays while that run goes on.
    if (!owner || *owner == own_ || !Ended(*owner)) continue;
    ended.push_back(ChildPath(folder, found.cFileName));
  } while (FindNextFileW(search.get(), &found));
  for (const std::wstring& path : ended) DeleteOwn(path);
}

void DeleteOwn(const std::wstring& path) {
  // Opened as itself: a link planted under a temporary's name goes as a
  // link, and nothing it points to is touched. A live run's temporary is
  // held without delete sharing, so this open fails and it stays.
  const UniqueFile file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILE_BASIC_INFO basic{};
  if (!file || !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic)) return;
  // A real folder under such a name is no file of ours.
  if ((basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY) return;
  if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO writable{};
    writable.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file.get(), FileBasicInfo, &writable, sizeof writable);
  }
  FILE_DISPOSITION_INFO gone{TRUE};
  SetFileInformationByHandle(file.get(), FileDispositionInfo, &gone, sizeof gone);
}

}  // namespace mirrolet::win32
