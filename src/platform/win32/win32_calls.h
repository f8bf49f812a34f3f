// The calls of the Win32 host's copy, each through one thin wrapper, so that
// a test can make any one of them fail as Windows would fail it (see
// Win32Platform::InjectFaults).
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace mirrolet::win32 {

// Who owns a link: Administrators, SYSTEM or TrustedInstaller; this
// process's user; anyone else.
enum class LinkOwner { kSystem, kUser, kOther };

// The owner of the object `handle` (opened with READ_CONTROL), as a LinkOwner.
LinkOwner OwnerOf(HANDLE handle);
// Whether this process's token is elevated; one that cannot tell counts as elevated.
bool TokenElevated();
// One call as a test sees it: its name, the path it works on (none for a
// flush) and the access, flags or attributes it hands to Windows.
struct Win32Call {
  const char* name;
  const wchar_t* path;
  DWORD value;
};

class Win32Calls {
 public:
  // `faults` is asked before each call and makes it fail with the Win32
  // error code it returns, unless that is 0.
  void Inject(std::function<DWORD(const Win32Call& call)> faults) { faults_ = std::move(faults); }
  void Inject(std::function<DWORD(const char* call)> faults) {
    faults_ = [faults = std::move(faults)](const Win32Call& call) { return faults(call.name); };
  }
  // `answer` gives what GetFileAttributesW answers for a path that exists, in
  // place of what the disk says (a file from a CD: read-only and nothing else).
  void InjectAttributes(std::function<DWORD(const wchar_t* path, DWORD found)> answer) {
    attributes_ = std::move(answer);
  }
  // `pause` stands in for Sleep, so that a test need not wait out a retry.
  void InjectPause(std::function<void(DWORD ms)> pause) { pause_ = std::move(pause); }

  void Pause(DWORD ms) {
    if (pause_) {
      pause_(ms);
    } else {
      ::Sleep(ms);
    }
  }

  // For tests: `links` names the parts of a path that are links and whose
  // (nothing: as Windows says), and `elevated` whether the run is.
  void InjectLinks(std::function<std::optional<LinkOwner>(const std::wstring& path)> links, bool elevated) {
    links_ = std::move(links);
    elevated_ = elevated;
  }
  bool Elevated() {
    if (!elevated_) elevated_ = TokenElevated();
    return *elevated_;
  }

  // Opens one part of a path as itself, a junction or symbolic link not
  // followed, sharing read and write but not delete: while it is held no one
  // can rename, remove or replace it. `link` says whether it is a link (a
  // name-surrogate reparse point), `owner` then whose.
  HANDLE OpenComponent(const wchar_t* path, bool& link, LinkOwner& owner) {
    if (Fails({"OpenComponent", path, 0})) return INVALID_HANDLE_VALUE;
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    bool owned = true;
    HANDLE part = ::CreateFileW(path, FILE_READ_ATTRIBUTES | READ_CONTROL, kShare, nullptr, OPEN_EXISTING, kFlags, nullptr);
    if (part == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      // A folder whose security this user may not read is still walked; a
      // link there has an owner we cannot tell, so it is not followed.
      owned = false;
      part = ::CreateFileW(path, FILE_READ_ATTRIBUTES, kShare, nullptr, OPEN_EXISTING, kFlags, nullptr);
    }
    if (part == INVALID_HANDLE_VALUE) return part;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    link = GetFileInformationByHandleEx(part, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(tag.ReparseTag);
    owner = link && owned ? OwnerOf(part) : LinkOwner::kOther;
    if (links_) {
      if (const auto faked = links_(path)) {
        link = true;
        owner = *faked;
      }
    }
    return part;
  }

  DWORD GetFileAttributesW(const wchar_t* path) {
    const DWORD found = ::GetFileAttributesW(path);
    return attributes_ && found != INVALID_FILE_ATTRIBUTES ? attributes_(path, found) : found;
  }
  // An empty mask means "leave them as they are" to the file system, so a
  // temporary would stay hidden: no attributes at all is FILE_ATTRIBUTE_NORMAL.
  BOOL SetFileAttributesW(const wchar_t* path, DWORD attributes) {
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
    return Fails({"SetFileAttributesW", path, attributes}) ? FALSE : ::SetFileAttributesW(path, attributes);
  }
  HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    return Fails({"CreateFileW", path, access})
               ? INVALID_HANDLE_VALUE
               : ::CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
  }
  // Opens an existing file with the access a replace needs, sharing
  // everything itself: fails with ERROR_SHARING_VIOLATION exactly when
  // another handle (a program running it, or holding it without sharing)
  // stands in the way.
  HANDLE OpenToReplace(const wchar_t* path) {
    return Fails({"OpenToReplace", path, GENERIC_WRITE | DELETE})
               ? INVALID_HANDLE_VALUE
               : ::CreateFileW(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  BOOL FlushFileBuffers(HANDLE file) {
    return Fails({"FlushFileBuffers", nullptr, 0}) ? FALSE : ::FlushFileBuffers(file);
  }
  BOOL MoveFileExW(const wchar_t* from, const wchar_t* to, DWORD flags) {
    return Fails({"MoveFileExW", from, flags}) ? FALSE : ::MoveFileExW(from, to, flags);
  }
  BOOL DeleteFileW(const wchar_t* path) { return Fails({"DeleteFileW", path, 0}) ? FALSE : ::DeleteFileW(path); }
  // An injected ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 leaves the files as
  // Windows does: the replaced file moved to the backup name, the replacement
  // still under its own.
  BOOL ReplaceFileW(const wchar_t* replaced, const wchar_t* replacement, const wchar_t* backup) {
    const DWORD injected = faults_ ? faults_({"ReplaceFileW", replaced, 0}) : 0;
    if (injected == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) ::MoveFileExW(replaced, backup, 0);
    if (injected != 0) {
      SetLastError(injected);
      return FALSE;
    }
    return ::ReplaceFileW(replaced, replacement, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
  }

 private:
  bool Fails(const Win32Call& call) {
    const DWORD injected = faults_ ? faults_(call) : 0;
    if (injected != 0) SetLastError(injected);
    return injected != 0;
  }
  std::function<DWORD(const Win32Call&)> faults_;
  std::function<DWORD(const wchar_t*, DWORD)> attributes_;
  std::function<void(DWORD)> pause_;
  std::function<std::optional<LinkOwner>(const std::wstring&)> links_;
  std::optional<bool> elevated_;
};

}  // namespace mirrolet::win32
