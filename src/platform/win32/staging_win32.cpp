// The Win32 host's copy. CopyFile writes over the destination in place, so a
// copy that fails half way would leave the product with a broken file.
// Instead the data goes to a hidden temporary beside the destination, which
// replaces it once the whole pass is staged and flushed. While staged, the
// temporary is held open without delete sharing: that is what tells another
// run (on another machine sharing the folder, too) it is no leftover.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <utility>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "base/name_fold.h"

namespace mirrolet::win32 {

namespace {

// Attributes a copy takes over from the file it copies.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// A move that fails for a moment (a scanner opening the file just then) is
// tried again this often before the copy gives up.
constexpr int kMoveAttempts = 3;

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// When the process `process` started, in FILETIME ticks.
std::uint64_t StartTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  return GetProcessTimes(process, &created, &exited, &kernel, &user) ? Ticks(created) : 0;
}

// A temporary file's name, "~mirrolet-PID-START-N.tmp" in fixed-width hex,
// with the process id and start time of the run that made it.
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

// Whether the process of the run that started at `start` as `pid` looks
// ended from here. A process we may not look at counts as still running.
bool ProcessEnded(DWORD pid, std::uint64_t start) {
  const UniqueFile process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.get()) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD exitCode = 0;
  const bool running = GetExitCodeProcess(process.get(), &exitCode) && exitCode == STILL_ACTIVE;
  return !running || StartTime(process.get()) != start;
}

// A file's identity on its volume, as a hash: equal for every name of one file.
std::size_t IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return std::hash<std::uint64_t>{}((std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) ^
                                    (std::uint64_t{info.dwVolumeSerialNumber} << 17));
}

// Opens `path` with the access a replace needs, sharing everything itself:
// ERROR_SUCCESS, or ERROR_SHARING_VIOLATION exactly when another handle (a
// program running it, or holding it without sharing) stands in the way.
// Fills `id` with the file's identity.
DWORD ReplaceAccess(const std::wstring& path, std::size_t* id = nullptr) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (id && GetFileInformationByHandle(file.get(), &info)) {
    *id = IdentityOf(info);
  }
  return ERROR_SUCCESS;
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

// The identity of an existing file or folder, or 0 when it cannot be opened.
std::size_t FileIdentity(const std::wstring& path, std::wstring_view name = {}) {
  const UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return 0;
  const std::size_t id = IdentityOf(info);
  return name.empty() ? id : id ^ (std::hash<std::wstring>{}(FoldName(name)) * 31);
}

// Deletes a file of ours, clearing only its read-only attribute first: a file
// that still cannot be deleted stays hidden.
void DeleteOwn(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  DeleteFileW(path.c_str());
}

std::wstring BaseOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

}  // namespace

Win32Platform::Win32Platform() : startTime_(StartTime(GetCurrentProcess())) {}

std::wstring Win32Platform::NewTempPath(const std::wstring& folder) {
  return (folder.ends_with(L'\\') ? folder : folder + L'\\') + TempName(GetCurrentProcessId(), startTime_, nextTemp_++);
}

bool Win32Platform::StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                              HostError& error) {
  // The checks up front keep CopyFile's failures failures, with its codes.
  const std::wstring from = ExtendedPath(source);
  const DWORD sourceAttributes = GetFileAttributesW(from.c_str());
  if (sourceAttributes == INVALID_FILE_ATTRIBUTES) return Fail(error, GetLastError(), true);
  if (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(error, ERROR_ACCESS_DENIED, true);

  if (destination.empty()) return Fail(error, ERROR_PATH_NOT_FOUND);
  const std::wstring to = ExtendedPath(destination);
  const DWORD attributes = GetFileAttributesW(to.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))) {
    return Fail(error, ERROR_ACCESS_DENIED);
  }

  const UniqueFile in(calls_.CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
  if (!in) return Fail(error, GetLastError(), true);  // 32: another program writes the source
  if (GetFileType(in.get()) != FILE_TYPE_DISK) return Fail(error, ERROR_ACCESS_DENIED, true);

  std::size_t replacedId = 0;
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // The access the replace will need. A program that holds the file without
    // sharing it, or the source itself (open above without write sharing),
    // makes this fail with 32 now rather than after the whole pass is staged.
    if (const DWORD code = ReplaceAccess(to, &replacedId); code != ERROR_SUCCESS) return Fail(error, code);
  }

  const std::wstring folder = FolderOf(to);
  RemoveLeftovers(folder);
  Staged staged;
  DWORD code = WriteTemporary(in.get(), folder, staged);
  if (code != ERROR_SUCCESS) return Fail(error, code, code == kErrorSourceChanged);

  stagedKeys_.insert(std::hash<std::wstring>{}(FoldName(to)));
  stagedKeys_.insert(FileIdentity(folder, BaseOf(to)));
  if (replacedId != 0) stagedKeys_.insert(replacedId);
  staged.target = to;
  staged.sourceAttributes = sourceAttributes;
  id = staged_.size();
  staged_.push_back(std::move(staged));
  ++uncommitted_;
  return true;
}

DWORD Win32Platform::WriteTemporary(HANDLE in, const std::wstring& folder, Staged& staged) {
  DWORD code = ERROR_FILE_EXISTS;
  // Held open, sharing nothing, until it is committed or discarded.
  for (unsigned attempt = 0; !staged.file && attempt < 100 && (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS);
       ++attempt) {
    staged.temp = NewTempPath(folder);
    staged.file.reset(calls_.CreateFileW(staged.temp.c_str(), GENERIC_WRITE, 0, CREATE_NEW,
                                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                             FILE_FLAG_SEQUENTIAL_SCAN));
    if (!staged.file) code = GetLastError();
  }
  if (!staged.file) return code;

  LARGE_INTEGER size{};
  FILETIME written{}, after{};
  std::uint64_t copied = 0;
  code = GetFileSizeEx(in, &size) && GetFileTime(in, nullptr, nullptr, &written) ? CopyData(in, staged.file.get(), copied)
                                                                                 : GetLastError();
  // A source that another program truncated, extended or rewrote meanwhile
  // would land as neither its old nor its new self: the copy fails instead.
  LARGE_INTEGER sizeAfter{};
  if (code == ERROR_SUCCESS &&
      (copied != static_cast<std::uint64_t>(size.QuadPart) || !GetFileSizeEx(in, &sizeAfter) ||
       sizeAfter.QuadPart != size.QuadPart || !GetFileTime(in, nullptr, nullptr, &after) ||
       Ticks(after) != Ticks(written))) {
    code = kErrorSourceChanged;
  }
  if (code == ERROR_SUCCESS && !SetFileTime(staged.file.get(), nullptr, nullptr, &written)) code = GetLastError();
  if (code != ERROR_SUCCESS) {
    staged.file.reset();
    DeleteOwn(staged.temp);
  }
  return code;
}

DWORD Win32Platform::CopyData(HANDLE in, HANDLE out, std::uint64_t& copied) {
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
    copied += got;
  }
}

bool Win32Platform::FlushStaged(StageId& failed, HostError& error) {
  for (StageId id = 0; id < staged_.size(); ++id) {
    Staged& staged = staged_[id];
    if (staged.flushed || !staged.file) continue;
    if (!calls_.FlushFileBuffers(staged.file.get())) {
      failed = id;
      return Fail(error, GetLastError());
    }
    staged.flushed = true;
  }
  return true;
}

bool Win32Platform::CommitStaged(StageId id, HostError& error) {
  Staged& staged = staged_.at(id);
  staged.file.reset();  // a rename needs the temporary closed
  const DWORD existing = GetFileAttributesW(staged.target.c_str());
  DWORD code = ERROR_SUCCESS;
  if (existing == INVALID_FILE_ATTRIBUTES) {
    // A move keeps the temporary's attributes: give it the source's, as a copy would.
    SetFileAttributesW(staged.temp.c_str(), staged.sourceAttributes & kCopiedAttributes);
    if (!calls_.MoveFileExW(staged.temp.c_str(), staged.target.c_str(), MOVEFILE_WRITE_THROUGH)) {
      code = ReplaceFailure(staged.target, GetLastError());
    }
  } else {
    code = Replace(staged, existing, error);
  }
  if (code != ERROR_SUCCESS) {
    if (!staged.temp.empty()) SetFileAttributesW(staged.temp.c_str(), FILE_ATTRIBUTE_HIDDEN);
    return Fail(error, code);
  }
  committed_.push_back(staged.target);
  staged = Staged{};
  --uncommitted_;
  return true;
}

DWORD Win32Platform::Replace(Staged& staged, DWORD existing, HostError& error) {
  // ReplaceFile keeps what the old file was: its security, creation time,
  // streams and short name. Windows keeps its attributes too; Wine keeps the
  // replacement's, so the temporary takes them on first. The old file goes to
  // a backup name of this run, so that no failure part way can lose it.
  SetFileAttributesW(staged.temp.c_str(), existing & kCopiedAttributes);
  const std::wstring backup = NewTempPath(FolderOf(staged.target));
  if (calls_.ReplaceFileW(staged.target.c_str(), staged.temp.c_str(), backup.c_str())) {
    DeleteOwn(backup);
    return ERROR_SUCCESS;
  }
  const DWORD code = GetLastError();
  // ERROR_UNABLE_TO_MOVE_REPLACEMENT: both files kept their names, the
  // destination is as it was. _2: the old file is under the backup name and
  // the destination is missing: the old file goes back, else the new one goes
  // in, else the new one is kept where the report says.
  if (code != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) return ReplaceFailure(staged.target, code);
  if (MoveWithRetries(backup, staged.target)) return code;
  if (MoveWithRetries(staged.temp, staged.target)) {
    DeleteOwn(backup);
    return ERROR_SUCCESS;
  }
  // Nothing could be moved: the new copy stays, visible, under a name no
  // later run takes for a leftover.
  const std::wstring kept = staged.target + L".new";
  SetFileAttributesW(staged.temp.c_str(), existing & kCopiedAttributes & ~FILE_ATTRIBUTE_HIDDEN);
  error.keptAs = calls_.MoveFileExW(staged.temp.c_str(), kept.c_str(), 0) ? kept : staged.temp;
  if (error.keptAs.starts_with(L"\\\\?\\")) error.keptAs.erase(0, 4);
  staged.temp.clear();  // never discarded
  return code;
}

bool Win32Platform::MoveWithRetries(const std::wstring& from, const std::wstring& to) {
  for (int attempt = 0; attempt < kMoveAttempts; ++attempt) {
    if (attempt > 0) Sleep(50 * attempt);
    if (calls_.MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  }
  return false;
}

void Win32Platform::DiscardStaged(StageId id) {
  Staged& staged = staged_.at(id);
  staged.file.reset();
  if (!staged.temp.empty()) DeleteOwn(staged.temp);
  if (!staged.target.empty()) --uncommitted_;
  staged = Staged{};
  if (uncommitted_ == 0) stagedKeys_.clear();
}

bool Win32Platform::SyncCommitted(HostError& error) {
  // NTFS logs a rename, and the renames ReplaceFile makes, in its journal but
  // writes the journal out lazily: a power cut soon after the done box could
  // still undo them (MOVEFILE_WRITE_THROUGH only covers a move made as a copy
  // and delete). Flushing a file makes NTFS write its journal out up to that
  // file's last change, so flushing each committed destination makes its
  // rename durable. A file this user may not open for writing (a read-only
  // file of the update) is left to the journal.
  bool ok = true;
  for (const std::wstring& target : committed_) {
    const UniqueFile file(calls_.CreateFileW(target.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL));
    if (file && !calls_.FlushFileBuffers(file.get()) && ok) ok = Fail(error, GetLastError());
  }
  committed_.clear();
  if (uncommitted_ == 0) stagedKeys_.clear();
  return ok;
}

bool Win32Platform::IsStagedDestination(const std::wstring& path) {
  if (stagedKeys_.empty()) return false;
  const std::wstring full = ExtendedPath(path);
  if (stagedKeys_.contains(std::hash<std::wstring>{}(FoldName(full)))) return true;
  // The same file by another name: a short name, a junction, a mapped drive.
  const std::size_t file = FileIdentity(full);
  if (file != 0 && stagedKeys_.contains(file)) return true;
  const std::size_t entry = FileIdentity(FolderOf(full), BaseOf(full));
  return entry != 0 && stagedKeys_.contains(entry);
}

void Win32Platform::RemoveLeftovers(const std::wstring& folder) {
  if (!cleanedFolders_.insert(FoldName(folder)).second) return;
  const std::wstring base = folder.ends_with(L'\\') ? folder : folder + L'\\';
  WIN32_FIND_DATAW found;
  const UniqueFind search(FindFirstFileW((base + L"~mirrolet-*.tmp").c_str(), &found));
  if (!search) return;
  std::vector<std::wstring> ended;
  do {
    const auto owner = TempOwner(found.cFileName);
    if (!owner || (owner->first == GetCurrentProcessId() && owner->second == startTime_)) continue;
    // Another run's file stays while that run goes on.
    if (!ProcessEnded(owner->first, owner->second)) continue;
    ended.push_back(base + found.cFileName);
  } while (FindNextFileW(search.get(), &found));
  // A live run holds its temporaries open without delete sharing, so the
  // delete of one that only looks ended (another machine's) fails.
  for (const std::wstring& path : ended) DeleteOwn(path);
}

}  // namespace mirrolet::win32
