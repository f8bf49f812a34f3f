#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <utility>
#include <vector>

#include "base/name_fold.h"

namespace mirrolet::win32 {

namespace {

bool Fail(HostError& error, DWORD code) {
  error.code = code;
  error.description = WindowsErrorText(code);
  return false;
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  std::wstring folder = path.substr(0, slash);
  if (folder.empty() || folder.back() == L':') folder += L'\\';  // a drive root keeps its "\"
  return folder;
}

// A file handle, closed when it goes.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Attributes a copy takes over from the file it copies.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// When the process `process` started, in FILETIME ticks.
std::uint64_t StartTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  return GetProcessTimes(process, &created, &exited, &kernel, &user) ? Ticks(created) : 0;
}

// A temporary file's name, "~mirrolet-PID-START-N.tmp" in fixed-width hex,
// with the process id and start time of the run that made it, so that a later
// run can tell a leftover of a run that has ended from the file of one still going.
std::wstring TempName(DWORD pid, std::uint64_t start, unsigned n) {
  wchar_t name[64];
  std::swprintf(name, 64, L"~mirrolet-%08lx-%016llx-%08x.tmp", static_cast<unsigned long>(pid),
                static_cast<unsigned long long>(start), n);
  return name;
}

// The run behind a temporary file's name, or nothing when the name is not
// exactly of that form.
std::optional<std::pair<DWORD, std::uint64_t>> TempOwner(std::wstring_view name) {
  constexpr std::wstring_view prefix = L"~mirrolet-";
  constexpr std::wstring_view suffix = L".tmp";
  // 8 + 1 + 16 + 1 + 8 hex digits and dashes between the prefix and suffix.
  if (name.size() != prefix.size() + 34 + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) {
    return std::nullopt;
  }
  name.remove_prefix(prefix.size());
  const auto hex = [&](std::size_t at, std::size_t digits) -> std::optional<std::uint64_t> {
    std::uint64_t value = 0;
    for (const wchar_t c : name.substr(at, digits)) {
      const int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
      if (digit < 0) return std::nullopt;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    return value;
  };
  const auto pid = hex(0, 8), start = hex(9, 16), n = hex(26, 8);
  if (!pid || !start || !n || name[8] != L'-' || name[25] != L'-') return std::nullopt;
  return std::make_pair(static_cast<DWORD>(*pid), *start);
}

// Whether the run that started at `start` as process `pid` has ended. A
// process we may not look at counts as still running.
bool RunEnded(DWORD pid, std::uint64_t start) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD exitCode = 0;
  const bool running = GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
  const bool same = StartTime(process) == start;
  CloseHandle(process);
  return !running || !same;
}

// Opens `path` with the access a replace needs, sharing everything itself:
// ERROR_SUCCESS, or ERROR_SHARING_VIOLATION exactly when another handle (a
// program running it, or holding it without sharing) stands in the way.
DWORD ReplaceAccess(const std::wstring& path) {
  const Handle file(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  return file ? ERROR_SUCCESS : GetLastError();
}

// The error to report when replacing `destination` failed with `code`.
// Windows refuses to rename over a file that another program holds with
// ERROR_ACCESS_DENIED (or, from ReplaceFile, ERROR_UNABLE_TO_REMOVE_REPLACED);
// that case becomes ERROR_SHARING_VIOLATION, so the report speaks of a file
// in use and not of missing rights.
DWORD ReplaceFailure(const std::wstring& destination, DWORD code) {
  if (code != ERROR_ACCESS_DENIED && code != ERROR_UNABLE_TO_REMOVE_REPLACED) return code;
  return ReplaceAccess(destination) == ERROR_SHARING_VIOLATION ? ERROR_SHARING_VIOLATION : code;
}

// Copies all of `in` to `out`. Returns ERROR_SUCCESS or the failure's code.
DWORD CopyData(HANDLE in, HANDLE out) {
  std::vector<char> buffer(1 << 18);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return GetLastError();
    if (got == 0) return ERROR_SUCCESS;
    for (DWORD done = 0; done < got;) {
      DWORD put = 0;
      if (!WriteFile(out, buffer.data() + done, got - done, &put, nullptr)) return GetLastError();
      done += put;
    }
  }
}

}  // namespace

std::wstring WindowsErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring description = length && text ? std::wstring(text, length) : std::wstring();
  if (text) LocalFree(text);
  // System messages end with "\r\n", which has no place inside a message box line.
  while (!description.empty() && (description.back() == L'\r' || description.back() == L'\n' ||
                                  description.back() == L' ')) {
    description.pop_back();
  }
  return description.empty() ? L"Windows error " + std::to_wstring(code) : description;
}

std::wstring ExtendedPath(const std::wstring& path) {
  if (path.empty()) return {};
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return path;
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

Win32Platform::Win32Platform() : startTime_(StartTime(GetCurrentProcess())) {}

int Win32Platform::ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  return MessageBoxW(nullptr, text.c_str(), title.c_str(), style);
}

void Win32Platform::EndProcess(unsigned exitCode) { ExitProcess(exitCode); }

std::wstring Win32Platform::ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return FolderOf(path);
    }
    path.resize(path.size() * 2);  // cut short: try a bigger buffer
  }
}

std::wstring Win32Platform::FindFileName(const std::wstring& path) {
  if (path.empty()) return {};
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(ExtendedPath(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {};
  FindClose(search);
  // Attribute mask 0: hidden, system and folder entries do not count.
  if (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY)) {
    return {};
  }
  return found.cFileName;
}

bool Win32Platform::StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                              HostError& error) {
  // CopyFile writes over the destination in place, so a copy that fails half
  // way would leave the product with a broken file. Instead the data goes to a
  // hidden temporary file beside the destination, which replaces it once the
  // whole pass is staged and flushed. The checks up front keep CopyFile's
  // failures failures, with its codes.
  const std::wstring from = ExtendedPath(source);
  const DWORD sourceAttributes = GetFileAttributesW(from.c_str());
  if (sourceAttributes == INVALID_FILE_ATTRIBUTES) return Fail(error, GetLastError());
  if (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(error, ERROR_ACCESS_DENIED);

  if (destination.empty()) return Fail(error, ERROR_PATH_NOT_FOUND);
  const std::wstring to = ExtendedPath(destination);
  const DWORD attributes = GetFileAttributesW(to.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))) {
    return Fail(error, ERROR_ACCESS_DENIED);
  }

  const Handle in(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in) return Fail(error, GetLastError());
  if (GetFileType(in.get()) != FILE_TYPE_DISK) return Fail(error, ERROR_ACCESS_DENIED);

  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // The access the replace will need. A program that holds the file without
    // sharing it, or the source itself (open above without write sharing),
    // makes this fail with 32 now rather than after the whole pass is staged.
    if (const DWORD code = ReplaceAccess(to); code != ERROR_SUCCESS) return Fail(error, code);
  }

  const std::wstring folder = FolderOf(to);
  RemoveLeftovers(folder);
  std::wstring temp;
  Handle out;
  DWORD code = ERROR_FILE_EXISTS;
  for (unsigned attempt = 0; !out && attempt < 100 && (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS);
       ++attempt) {
    temp = (folder.ends_with(L'\\') ? folder : folder + L'\\') + TempName(GetCurrentProcessId(), startTime_, nextTemp_++);
    out = Handle(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_FLAG_SEQUENTIAL_SCAN,
                             nullptr));
    if (!out) code = GetLastError();
  }
  if (!out) return Fail(error, code);

  code = CopyData(in.get(), out.get());
  FILETIME written;
  if (code == ERROR_SUCCESS && GetFileTime(in.get(), nullptr, nullptr, &written) &&
      !SetFileTime(out.get(), nullptr, nullptr, &written)) {
    code = GetLastError();
  }
  out = Handle();
  if (code != ERROR_SUCCESS) {
    DeleteFileW(temp.c_str());
    return Fail(error, code);
  }
  id = staged_.size();
  staged_.push_back({std::move(temp), to, sourceAttributes, false});
  return true;
}

bool Win32Platform::FlushStaged(HostError& error) {
  for (Staged& staged : staged_) {
    if (staged.flushed || staged.temp.empty()) continue;
    const Handle file(CreateFileW(staged.temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !FlushFileBuffers(file.get())) return Fail(error, GetLastError());
    staged.flushed = true;
  }
  return true;
}

bool Win32Platform::CommitStaged(StageId id, HostError& error) {
  Staged& staged = staged_.at(id);
  const DWORD existing = GetFileAttributesW(staged.target.c_str());
  if (existing == INVALID_FILE_ATTRIBUTES) {
    // A move keeps the temporary's attributes: give it the source's, as a copy would.
    SetFileAttributesW(staged.temp.c_str(), staged.sourceAttributes & kCopiedAttributes);
    if (!MoveFileExW(staged.temp.c_str(), staged.target.c_str(), MOVEFILE_WRITE_THROUGH)) {
      const DWORD code = ReplaceFailure(staged.target, GetLastError());
      SetFileAttributesW(staged.temp.c_str(), FILE_ATTRIBUTE_HIDDEN);
      return Fail(error, code);
    }
  } else {
    // ReplaceFile keeps what the old file was: its security, creation time,
    // streams and short name. Windows keeps its attributes too; Wine keeps the
    // replacement's, so the temporary takes them on first.
    SetFileAttributesW(staged.temp.c_str(), existing & kCopiedAttributes);
    if (!ReplaceFileW(staged.target.c_str(), staged.temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                      nullptr)) {
      DWORD code = GetLastError();
      if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
        // The old file is gone and the new one kept its temporary name: it
        // must still land, or the product would lose the file.
        if (MoveFileExW(staged.temp.c_str(), staged.target.c_str(), MOVEFILE_WRITE_THROUGH)) return Committed(staged);
        code = GetLastError();
      } else {
        code = ReplaceFailure(staged.target, code);  // a held file reads as in use, which the user can act on
      }
      SetFileAttributesW(staged.temp.c_str(), FILE_ATTRIBUTE_HIDDEN);
      return Fail(error, code);
    }
  }
  return Committed(staged);
}

bool Win32Platform::Committed(Staged& staged) {
  staged = Staged{};
  return true;
}

void Win32Platform::DiscardStaged(StageId id) {
  Staged& staged = staged_.at(id);
  if (!staged.temp.empty()) {
    SetFileAttributesW(staged.temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(staged.temp.c_str());
  }
  staged = Staged{};
}

// Moves are made with MOVEFILE_WRITE_THROUGH and NTFS journals the folder
// entries of a replace, so there is nothing left to sync.
bool Win32Platform::SyncCommitted(HostError&) { return true; }

std::wstring Win32Platform::PathKey(const std::wstring& path) {
  std::wstring key = ExtendedPath(path);
  std::replace(key.begin(), key.end(), L'/', L'\\');
  return FoldName(key);
}

void Win32Platform::RemoveLeftovers(const std::wstring& folder) {
  if (!cleanedFolders_.insert(FoldName(folder)).second) return;
  const std::wstring base = folder.ends_with(L'\\') ? folder : folder + L'\\';
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((base + L"~mirrolet-*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> ended;
  do {
    const auto owner = TempOwner(found.cFileName);
    if (!owner || (owner->first == GetCurrentProcessId() && owner->second == startTime_)) continue;
    // Another run's file stays while that run goes on.
    if (!RunEnded(owner->first, owner->second)) continue;
    ended.push_back(base + found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const std::wstring& path : ended) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  }
}

std::string Win32Platform::ToAnsi(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, ansi.data(), n, nullptr, nullptr);
  return ansi;
}

std::wstring Win32Platform::FromAnsi(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), n);
  return wide;
}

std::wstring Win32Platform::AnsiSafePath(const std::wstring& path, HostError& error) {
  // A round trip tells whether the code page keeps every character; best-fit
  // mapping (é to e) would otherwise name a different file.
  if (FromAnsi(ToAnsi(path)) == path) return path;
  std::wstring shortPath(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (n == 0) break;
    if (n < shortPath.size()) {
      shortPath.resize(n);
      if (FromAnsi(ToAnsi(shortPath)) == shortPath) return shortPath;
      break;
    }
    shortPath.resize(n);
  }
  Fail(error, ERROR_NO_UNICODE_TRANSLATION);
  return {};
}

long Win32Platform::RegOpenKeyA(const std::string& subKey, HostKey* key) {
  HKEY opened = nullptr;
  LONG result = ::RegOpenKeyA(HKEY_LOCAL_MACHINE, subKey.c_str(), &opened);
  if (opened == nullptr) {
    // This build is 64-bit and sees the 64-bit view; a product set up by a
    // 32-bit installer is registered in the 32-bit view instead.
    result = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &opened);
    if (result != ERROR_SUCCESS) opened = nullptr;
  }
  *key = reinterpret_cast<HostKey>(opened);
  return result;
}

long Win32Platform::RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size) {
  DWORD storedType = 0;
  DWORD bytes = size ? *size : 0;
  const LONG result = ::RegQueryValueExA(reinterpret_cast<HKEY>(key), valueName.c_str(), nullptr, &storedType,
                                         data, size ? &bytes : nullptr);
  if (type) *type = storedType;
  if (size) *size = bytes;
  return result;
}

long Win32Platform::RegCloseKey(HostKey key) { return ::RegCloseKey(reinterpret_cast<HKEY>(key)); }

std::uint32_t Win32Platform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                   int defaultValue, const std::string& fileName) {
  return ::GetPrivateProfileIntA(section.c_str(), key.c_str(), defaultValue, fileName.c_str());
}

std::uint32_t Win32Platform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                      const std::string& defaultValue, char* buffer,
                                                      std::uint32_t size, const std::string& fileName) {
  return ::GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, size,
                                    fileName.c_str());
}

}  // namespace mirrolet::win32
