#include "platform/win32/stager.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "os/win32/whole_io.h"
#include "platform/win32/host_error.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

// Attributes a copy takes over from the file it copies.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A virus scanner or a search indexer opens a file that was just written for
// a few milliseconds to a second, and a rename or a replace that meets it
// fails with one of these. Each step tries again after these pauses, about
// two seconds in all, before it reports.
constexpr DWORD kHoldPauses[] = {20, 40, 80, 160, 300, 500, 900};

// What a redirector that does not do ReplaceFile answers (some NAS and VM
// shared folders): ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED,
// ERROR_INVALID_PARAMETER. Nothing has moved then.
bool NoReplaceFile(DWORD code) {
  return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_PARAMETER;
}

bool BriefHold(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_UNABLE_TO_REMOVE_REPLACED || code == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

DWORD LastErrorUnless(bool ok) { return ok ? ERROR_SUCCESS : GetLastError(); }

// Where the parts below the volume's root start in a "\\?\" path: after
// "\\?\C:\" or "\\?\UNC\server\share\"; 0 when there is no such root.
std::size_t PartsStart(const std::wstring& path) {
  std::size_t at = 4;
  int separators = 1;
  if (path.starts_with(L"\\\\?\\UNC\\")) {
    at = 8;
    separators = 2;
  }
  for (; separators > 0 && at < path.size(); ++at) {
    if (path[at] == L'\\') --separators;
  }
  return separators == 0 ? at : 0;
}

const SID* TrustedInstaller() {
  static PSID sid = [] {
    PSID made = nullptr;
    ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &made);
    return made;
  }();
  return static_cast<const SID*>(sid);
}

}  // namespace

LinkOwner OwnerOf(HANDLE handle) {
  PSID sid = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr, nullptr, &security) !=
      ERROR_SUCCESS) {
    return LinkOwner::kOther;
  }
  LinkOwner owner = LinkOwner::kOther;
  if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
      (TrustedInstaller() && EqualSid(sid, const_cast<SID*>(TrustedInstaller())))) {
    owner = LinkOwner::kSystem;
  } else {
    HANDLE token = nullptr;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
          EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid)) {
        owner = LinkOwner::kUser;
      }
      CloseHandle(token);
    }
  }
  LocalFree(security);
  return owner;
}

bool TokenElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return !known || elevation.TokenIsElevated != 0;
}

bool Stager::Trusted(LinkOwner owner) {
  return owner == LinkOwner::kSystem || (owner == LinkOwner::kUser && !calls_.Elevated());
}

bool Stager::Pin(const std::wstring& folder, HostError& error) {
  if (pinned_.contains(folder)) return true;
  std::vector<UniqueFile> parts;
  const std::size_t start = PartsStart(folder);
  for (std::size_t end = start; start != 0 && end < folder.size(); ++end) {
    end = std::min(folder.find(L'\\', end), folder.size());
    const std::wstring part = folder.substr(0, end);
    bool link = false;
    LinkOwner owner = LinkOwner::kOther;
    UniqueFile opened(calls_.OpenComponent(part.c_str(), link, owner));
    if (!opened) {
      const DWORD code = GetLastError();
      return Fail(error, code == ERROR_FILE_NOT_FOUND ? DWORD{ERROR_PATH_NOT_FOUND} : code);
    }
    if (link && !Trusted(owner)) {
      error = HostError(kErrorUntrustedLink, L"The way to the destination goes through a link this run does not follow.");
      error.link = part.starts_with(L"\\\\?\\") ? part.substr(4) : part;
      return false;
    }
    parts.push_back(std::move(opened));
  }
  pinned_.emplace(folder, std::move(parts));
  return true;
}

Stager::Stager() : run_(CurrentRun()), leftovers_(run_) {}

template <typename Attempt>
DWORD Stager::RideOutHolds(const Attempt& attempt) {
  DWORD code = attempt();
  for (const DWORD pause : kHoldPauses) {
    if (!BriefHold(code)) break;
    calls_.Pause(pause);
    code = attempt();
  }
  return code;
}

DWORD Stager::TryReplaceAccess(const std::wstring& path, std::size_t* id) {
  const UniqueFile file(calls_.OpenToReplace(path.c_str()));
  if (!file) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (id && GetFileInformationByHandle(file.get(), &info)) *id = IdentityOf(info);
  return ERROR_SUCCESS;
}

DWORD Stager::ReplaceAccess(const std::wstring& path, std::size_t* id) {
  return RideOutHolds([&] { return TryReplaceAccess(path, id); });
}

DWORD Stager::ReplaceFailure(const std::wstring& destination, DWORD code) {
  // Windows refuses to rename over a file that another program holds with
  // ERROR_ACCESS_DENIED (or, from ReplaceFile, ERROR_UNABLE_TO_REMOVE_REPLACED);
  // that case becomes ERROR_SHARING_VIOLATION, so the report speaks of a file
  // in use and not of missing rights.
  if (code != ERROR_ACCESS_DENIED && code != ERROR_UNABLE_TO_REMOVE_REPLACED) return code;
  // The step itself has waited out brief holds already: one look tells.
  return TryReplaceAccess(destination) == ERROR_SHARING_VIOLATION ? ERROR_SHARING_VIOLATION : code;
}

std::wstring Stager::NewTempPath(const std::wstring& folder) {
  return ChildPath(folder, TempName(run_, nextTemp_++));
}

bool Stager::CheckDestination(const std::wstring& to, DWORD& attributes, HostError& error) {
  attributes = calls_.GetFileAttributesW(to.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))) {
    error.readOnly = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == FILE_ATTRIBUTE_READONLY;
    return Fail(error, ERROR_ACCESS_DENIED);
  }
  return true;
}

bool Stager::Stage(const std::wstring& source, const std::wstring& destination, StageId& id,
                              HostError& error) {
  // The checks up front keep CopyFile's failures failures, with its codes.
  const std::wstring from = ExtendedPath(source);
  const DWORD sourceAttributes = calls_.GetFileAttributesW(from.c_str());
  if (sourceAttributes == INVALID_FILE_ATTRIBUTES) return Fail(error, GetLastError(), true);
  if (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(error, ERROR_ACCESS_DENIED, true);

  if (destination.empty()) return Fail(error, ERROR_PATH_NOT_FOUND);
  const std::wstring to = ExtendedPath(destination);
  DWORD attributes = 0;
  if (!Pin(FolderOf(to), error) || !CheckDestination(to, attributes, error)) return false;

  UniqueFile in;
  const DWORD opened = RideOutHolds([&] {
    in.reset(calls_.CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN));
    return LastErrorUnless(static_cast<bool>(in));
  });
  if (opened != ERROR_SUCCESS) return Fail(error, opened, true);  // 32: another program writes the source
  if (GetFileType(in.get()) != FILE_TYPE_DISK) return Fail(error, ERROR_ACCESS_DENIED, true);

  const HANDLE source_ = in.get();
  return StageInto(to, attributes, sourceAttributes, [source_](HANDLE out) {
    LARGE_INTEGER size{};
    FILETIME written{}, after{};
    std::uint64_t copied = 0;
    DWORD code = GetFileSizeEx(source_, &size) && GetFileTime(source_, nullptr, nullptr, &written)
                     ? CopyRest(source_, out, copied)
                     : GetLastError();
    // A source that another program truncated, extended or rewrote meanwhile
    // would land as neither its old nor its new self: the copy fails instead.
    LARGE_INTEGER sizeAfter{};
    if (code == ERROR_SUCCESS &&
        (copied != static_cast<std::uint64_t>(size.QuadPart) || !GetFileSizeEx(source_, &sizeAfter) ||
         sizeAfter.QuadPart != size.QuadPart || !GetFileTime(source_, nullptr, nullptr, &after) ||
         Ticks(after) != Ticks(written))) {
      code = kErrorSourceChanged;
    }
    if (code == ERROR_SUCCESS && !SetFileTime(out, nullptr, nullptr, &written)) code = GetLastError();
    return code;
  }, id, error);
}

bool Stager::StageCarried(const CarriedFile& source, const std::wstring& destination, StageId& id, HostError& error) {
  if (destination.empty()) return Fail(error, ERROR_PATH_NOT_FOUND);
  const std::wstring to = ExtendedPath(destination);
  DWORD attributes = 0;
  if (!Pin(FolderOf(to), error) || !CheckDestination(to, attributes, error)) return false;
  // A carried file is new as it is written, with the archive attribute a
  // file of the folder would have had (never an empty mask, which a move
  // would read as "leave the temporary's hidden attribute").
  return StageInto(to, attributes, FILE_ATTRIBUTE_ARCHIVE, [&source](HANDLE out) {
    DWORD code = ERROR_SUCCESS;
    const bundle::Unpacked streamed = source.stream([&](const std::uint8_t* bytes, std::size_t size) {
      code = WriteAll(out, bytes, size);
      return code == ERROR_SUCCESS;
    });
    if (streamed == bundle::Unpacked::kDamaged) return kErrorPayloadDamaged;
    return streamed == bundle::Unpacked::kDone ? DWORD{ERROR_SUCCESS} : code != ERROR_SUCCESS ? code : DWORD{ERROR_WRITE_FAULT};
  }, id, error);
}

bool Stager::StageInto(const std::wstring& to, DWORD attributes, DWORD sourceAttributes,
                       const std::function<DWORD(HANDLE out)>& fill, StageId& id, HostError& error) {
  std::size_t replacedId = 0;
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // The access the replace will need. A program that holds the file without
    // sharing it, or the source itself (open above without write sharing),
    // makes this fail with 32 now rather than after the whole pass is staged.
    if (const DWORD code = ReplaceAccess(to, &replacedId); code != ERROR_SUCCESS) return Fail(error, code);
  }

  const std::wstring folder = FolderOf(to);
  leftovers_.RemoveIn(folder);
  Staged staged;
  DWORD code = WriteTemporary(fill, folder, staged);
  if (code != ERROR_SUCCESS) {
    return Fail(error, code, code == kErrorSourceChanged || code == kErrorPayloadDamaged);
  }

  keys_.Remember(to, replacedId);
  staged.target = to;
  staged.sourceAttributes = sourceAttributes;
  staged.existed = attributes != INVALID_FILE_ATTRIBUTES;
  id = staged_.size();
  staged_.push_back(std::move(staged));
  ++uncommitted_;
  return true;
}

bool Stager::CheckReplaceable(StageId id, HostError& error) {
  const Staged& staged = staged_.at(id);
  // A destination that was new when staged has nothing of ours in use.
  if (staged.target.empty() || !staged.existed ||
      calls_.GetFileAttributesW(staged.target.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  const DWORD code = ReplaceAccess(staged.target);
  return code == ERROR_SUCCESS || code == ERROR_FILE_NOT_FOUND || Fail(error, code);
}

DWORD Stager::WriteTemporary(const std::function<DWORD(HANDLE out)>& fill, const std::wstring& folder, Staged& staged) {
  DWORD code = ERROR_FILE_EXISTS;
  // Held open, sharing nothing, until it is committed or discarded.
  for (unsigned attempt = 0; !staged.file && attempt < 100 && (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS);
       ++attempt) {
    staged.temp = NewTempPath(folder);
    code = RideOutHolds([&] {
      staged.file.reset(calls_.CreateFileW(staged.temp.c_str(), GENERIC_WRITE, 0, CREATE_NEW,
                                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                               FILE_FLAG_SEQUENTIAL_SCAN));
      return LastErrorUnless(static_cast<bool>(staged.file));
    });
  }
  if (!staged.file) return code;
  code = fill(staged.file.get());
  if (code != ERROR_SUCCESS) {
    staged.file.reset();
    DeleteOwn(staged.temp);
  }
  return code;
}

bool Stager::Flush(StageId& failed, HostError& error) {
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

bool Stager::Commit(StageId id, HostError& error) {
  Staged& staged = staged_.at(id);
  staged.file.reset();  // a rename needs the temporary closed
  const DWORD existing = calls_.GetFileAttributesW(staged.target.c_str());
  DWORD code = ERROR_SUCCESS;
  DWORD later = 0;
  if (existing == INVALID_FILE_ATTRIBUTES) {
    // A move keeps the temporary's attributes: give it the source's, as a copy
    // would. Read-only waits until the file is flushed after the commit,
    // which opens it for writing (an update from a CD is all read-only).
    const DWORD attributes = staged.sourceAttributes & kCopiedAttributes;
    calls_.SetFileAttributesW(staged.temp.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_READONLY) later = attributes;
    code = MoveWithRetries(staged.temp, staged.target);
    if (code != ERROR_SUCCESS) code = ReplaceFailure(staged.target, code);
  } else {
    code = Replace(staged, existing, error);
  }
  if (code != ERROR_SUCCESS) {
    if (!staged.temp.empty()) calls_.SetFileAttributesW(staged.temp.c_str(), FILE_ATTRIBUTE_HIDDEN);
    return Fail(error, code);
  }
  committed_.push_back({staged.target, later});
  staged = Staged{};
  --uncommitted_;
  return true;
}

DWORD Stager::Replace(Staged& staged, DWORD existing, HostError& error) {
  // ReplaceFile keeps what the old file was: its security, creation time,
  // streams and short name. Windows keeps its attributes too; Wine keeps the
  // replacement's, so the temporary takes them on first. The old file goes to
  // a backup name of this run, so that no failure part way can lose it.
  calls_.SetFileAttributesW(staged.temp.c_str(), existing & kCopiedAttributes);
  const std::wstring backup = NewTempPath(FolderOf(staged.target));
  const DWORD code = RideOutHolds([&] {
    return LastErrorUnless(calls_.ReplaceFileW(staged.target.c_str(), staged.temp.c_str(), backup.c_str()));
  });
  if (code == ERROR_SUCCESS) {
    RemoveBackup(backup);
    return ERROR_SUCCESS;
  }
  if (NoReplaceFile(code)) {
    // A rename over the old file keeps it until the new one is in place. The
    // new one keeps the old one's attributes only; its security, creation
    // time and streams are those of a new file in the folder.
    const DWORD moved = MoveWithRetries(staged.temp, staged.target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    return moved == ERROR_SUCCESS ? moved : ReplaceFailure(staged.target, moved);
  }
  // ERROR_UNABLE_TO_MOVE_REPLACEMENT: both files kept their names, the
  // destination is as it was. _2: the old file is under the backup name and
  // the destination is missing: the old file goes back, else the new one goes
  // in, else the new one is kept where the report says.
  if (code != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) return ReplaceFailure(staged.target, code);
  if (MoveWithRetries(backup, staged.target) == ERROR_SUCCESS) return code;
  if (MoveWithRetries(staged.temp, staged.target) == ERROR_SUCCESS) {
    RemoveBackup(backup);
    return ERROR_SUCCESS;
  }
  // Nothing could be moved: the new copy stays, visible, under a name no
  // later run takes for a leftover.
  const std::wstring kept = staged.target + L".new";
  calls_.SetFileAttributesW(staged.temp.c_str(), existing & kCopiedAttributes & ~FILE_ATTRIBUTE_HIDDEN);
  error.keptAs = calls_.MoveFileExW(staged.temp.c_str(), kept.c_str(), 0) ? kept : staged.temp;
  if (error.keptAs.starts_with(L"\\\\?\\")) error.keptAs.erase(0, 4);
  staged.temp.clear();  // never discarded
  return code;
}

DWORD Stager::MoveWithRetries(const std::wstring& from, const std::wstring& to, DWORD flags) {
  return RideOutHolds([&] { return LastErrorUnless(calls_.MoveFileExW(from.c_str(), to.c_str(), flags)); });
}

void Stager::RemoveBackup(const std::wstring& backup) {
  // The old file keeps its own attributes under the backup name. A scanner
  // that still looks at it is waited out; if it stays, it stays out of sight,
  // under a name the next run removes once this one has ended.
  if (calls_.DeleteFileW(backup.c_str())) return;
  calls_.SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  RideOutHolds([&] { return LastErrorUnless(calls_.DeleteFileW(backup.c_str())); });
}

void Stager::Discard(StageId id) {
  Staged& staged = staged_.at(id);
  staged.file.reset();
  if (!staged.temp.empty()) DeleteOwn(staged.temp);
  if (!staged.target.empty()) --uncommitted_;
  staged = Staged{};
  ForgetWhenIdle();
}

bool Stager::SyncCommitted(HostError& error) {
  // NTFS logs a rename, and the renames ReplaceFile makes, in its journal but
  // writes the journal out lazily: a power cut soon after the done box could
  // still undo them (MOVEFILE_WRITE_THROUGH only covers a move made as a copy
  // and delete). Flushing a file makes NTFS write its journal out up to that
  // file's last change, so flushing each committed destination makes its
  // rename durable. A file this user may not open for writing (a read-only
  // file of the update) is left to the journal.
  bool ok = true;
  for (const Committed& committed : committed_) {
    const wchar_t* target = committed.target.c_str();
    UniqueFile file;
    RideOutHolds([&] {
      file.reset(calls_.CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
      return LastErrorUnless(static_cast<bool>(file));
    });
    if (file && !calls_.FlushFileBuffers(file.get()) && ok) ok = Fail(error, GetLastError());
    file.reset();
    if (committed.attributes != 0) calls_.SetFileAttributesW(target, committed.attributes);
  }
  committed_.clear();
  ForgetWhenIdle();
  return ok;
}

void Stager::ForgetWhenIdle() {
  if (uncommitted_ != 0) return;
  keys_.Clear();
  if (committed_.empty()) pinned_.clear();
}

}  // namespace mirrolet::win32
