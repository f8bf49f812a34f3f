// The host as the updater sees it: every operating-system service the program
// uses goes through this one interface. The real Windows host lives in
// win32/, a Linux stand-in with the same meaning in posix/, and the tests
// bring their own fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mirrolet {

// Standard message-box styles and answers, numerically as on Windows.
inline constexpr unsigned kMbOk = 0x00;
inline constexpr unsigned kMbYesNo = 0x04;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Registry value types and result codes, numerically as on Windows.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorMoreData = 234;

// Windows error codes that both hosts report, so that a failure reads the same.
inline constexpr unsigned long kErrorPathNotFound = 3;
inline constexpr unsigned long kErrorAccessDenied = 5;
inline constexpr unsigned long kErrorInvalidHandle = 6;
inline constexpr unsigned long kErrorNotEnoughMemory = 8;
inline constexpr unsigned long kErrorGenFailure = 31;
inline constexpr unsigned long kErrorSharingViolation = 32;
inline constexpr unsigned long kErrorLockViolation = 33;
inline constexpr unsigned long kErrorHandleDiskFull = 39;
inline constexpr unsigned long kErrorInvalidParameter = 87;
inline constexpr unsigned long kErrorDiskFull = 112;
inline constexpr unsigned long kErrorBadPathname = 161;
inline constexpr unsigned long kErrorFileTooLarge = 223;
inline constexpr unsigned long kErrorFilenameExcedRange = 206;
inline constexpr unsigned long kErrorNoAccess = 998;
inline constexpr unsigned long kErrorNoUnicodeTranslation = 1113;
inline constexpr unsigned long kErrorIoDevice = 1117;
inline constexpr unsigned long kErrorUserMappedFile = 1224;
inline constexpr unsigned long kErrorCantResolveFilename = 1921;
// Our own code, with the bit Windows leaves to applications (29) set: the
// source changed while it was copied, so what was copied is neither its old
// nor its new content.
inline constexpr unsigned long kErrorSourceChanged = 0x20000001;
// Our own code: a file the program carries is not what its payload's
// directory says, so the payload is damaged.
inline constexpr unsigned long kErrorPayloadDamaged = 0x20000002;
// Our own code: the way to a destination goes through a link that someone
// with fewer rights than the run could have made (HostError::link names it),
// which the run does not follow.
inline constexpr unsigned long kErrorUntrustedLink = 0x20000003;

// An opaque registry key handle. 0 means "no key".
using HostKey = std::uintptr_t;

// A staged copy, as the host numbers them.
using StageId = std::size_t;

// What a failed host operation reports: the Windows error code (the POSIX
// stand-in maps errno to the code Windows would give) and the host's own
// description of it, one line, never empty.
struct HostError {
  HostError() = default;
  HostError(unsigned long errorCode, std::wstring text, bool source = false)
      : code(errorCode), description(std::move(text)), aboutSource(source) {}

  unsigned long code = 0;
  std::wstring description;
  // The error is about the copy's source (held open by another program, say),
  // not about its destination.
  bool aboutSource = false;
  // The destination has the read-only attribute (on the stand-in: no write
  // bit), which stops administrators too.
  bool readOnly = false;
  // Set only when a replace lost the destination and could not put the new
  // copy in its place: the path where the new copy was kept instead.
  std::wstring keptAs;
  // With kErrorUntrustedLink: the link that was not followed, as the host names it.
  std::wstring link;
};

// A running process that holds a file open, as the report names it.
struct FileHolder {
  std::wstring name;  // the program's name, e.g. "halvix.exe"
  unsigned long pid = 0;
  bool operator==(const FileHolder&) const = default;
};

// What OpenPayload found at the end of the program's own file.
enum class PayloadState {
  kNone,        // nothing, and the program carries no seal: the update is the folder beside the program
  kReady,       // a payload whose directory is the one the program's seal names
  kDamaged,     // no whole payload, one the seal does not name, or a seal without a payload
  kUnreadable,  // the program's own file could not be read; `error` says why
};

// A bundle's update, once its directory holds: its copy list and the names
// of the files it carries.
struct CarriedUpdate {
  std::optional<std::string> list;  // the copy list's bytes, checked; none when it carries no list
  std::vector<std::wstring> names;  // "/" between parts; an index here is a file for StageCarried
};

// What ElevateIfNeeded did.
enum class Elevation {
  kElevated,    // this run has administrator rights already
  kNotNeeded,   // the rights are there, this run was itself started to get them, or the host has no elevation
  kRelaunched,  // an elevated run of the program ran to its end; its exit status is given
  kDeclined,    // the user declined the prompt for administrator rights
  kFailed,      // the elevated run could not be started
};

// What a run will write, for deciding whether it needs administrator rights:
// each destination file in list order, or, where the files are not known
// yet, a folder (ending with "\") that will take new files.
using PlannedWrites = std::function<std::vector<std::wstring>()>;

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // Shows a modal box and returns the answer (kIdYes, kIdNo, kIdOk, ...).
  // Returns 0 when the box could not be shown at all.
  virtual int ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) = 0;

  // Ends the process with `exitCode`. The real hosts never return; a fake
  // may, so callers return right after calling it.
  virtual void EndProcess(unsigned exitCode) = 0;

  // Full path of the folder holding the running executable, with or without
  // a final "\" (a drive root keeps its "\"); empty text when it cannot be
  // told.
  virtual std::wstring ExecutableFolder() = 0;

  // Looks for exactly `path` (no wildcards). Names compare without regard to
  // case. Returns the entry's name as stored, or empty text when there is no
  // such entry or it is hidden, system or a folder.
  virtual std::wstring FindFileName(const std::wstring& path) = 0;

  // Copying goes in three steps, so that a pass can make all its files
  // durable at once: stage each copy beside its destination, flush what is
  // staged, then commit the staged copies one by one, in order.

  // Copies `source` to a new hidden temporary file in the folder of
  // `destination` and returns its handle in `id`; the destination itself is
  // not touched yet. Fails (false, `error` filled, nothing left behind) where
  // the copy could not be made: the source is missing, a folder or not a
  // plain file; the destination's folder is missing; the destination is
  // empty, a folder, read-only, hidden, not writable by this user, in use, or
  // the source itself; the disk is full; ...
  virtual bool StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                         HostError& error) = 0;

  // Makes the data of every staged copy durable, so that no commit can put an
  // empty or partly written file in place after a power cut. Works in staging
  // order; on failure `failed` is the first copy whose data may not be
  // durable, and every copy staged before it is.
  virtual bool FlushStaged(StageId& failed, HostError& error) = 0;

  // Puts staged copy `id` in place of its destination in one step, keeping
  // what an existing destination was (owner, permissions, attributes); a new
  // destination gets the source's permissions, never the temporary's hidden
  // state. On failure the destination is exactly as it was and the staged
  // copy is still there, for DiscardStaged; or, where Windows lost the old
  // file part way and nothing could bring either back, the new copy is kept
  // under the name `error.keptAs` says.
  virtual bool CommitStaged(StageId id, HostError& error) = 0;

  // Whether staged copy `id` could replace its destination now: fails, as
  // CommitStaged would, with the in-use error when another program holds an
  // existing destination (a running program, a file open without sharing),
  // and may fail with another error the commit would meet too. Changes
  // nothing; a destination that does not exist passes.
  virtual bool CheckReplaceable(StageId id, HostError& error) = 0;

  // Removes the temporary file of a staged copy that will not be committed.
  virtual void DiscardStaged(StageId id) = 0;

  // Makes the commits since the last call durable (the folders' entries).
  virtual bool SyncCommitted(HostError& error) = 0;

  // Whether `path` is the destination of a copy staged and not yet committed:
  // by its text (made absolute, "." and ".." resolved, without regard to
  // case), or as the same file reached another way (a link, a short name, a
  // second mount).
  virtual bool IsStagedDestination(const std::wstring& path) = 0;

  // One copy, staged, flushed and committed: `destination` becomes a copy of
  // `source` in one step, or stays exactly as it was.
  bool CopyFileReplacing(const std::wstring& source, const std::wstring& destination, HostError& error) {
    StageId id = 0, unflushed = 0;
    if (!StageCopy(source, destination, id, error)) return false;
    if (FlushStaged(unflushed, error) && CommitStaged(id, error)) return SyncCommitted(error);
    DiscardStaged(id);
    return false;
  }

  // The other processes that hold `path` open (or, on the stand-in, mapped),
  // for telling the user which program to close. Empty when none does or the
  // host cannot tell; never fails otherwise.
  virtual std::vector<FileHolder> FileHolders(const std::wstring& path) = 0;

  // Whether `path` names an existing folder.
  virtual bool FolderExists(const std::wstring& path) = 0;

  // The full path of the running executable; empty text when it cannot be told.
  virtual std::wstring ExecutablePath() = 0;

  // When this process may not write what `plan` gives (create the temporary
  // beside each destination, replace each existing one) and its token is not
  // elevated: starts the program's own file again with administrator rights
  // (the system asks the user), in the current folder and without
  // parameters, waits for it and gives its exit status in `exitCode`. Asks
  // `plan` only where it could start one, so that a host without elevation,
  // an elevated run and a run started by this very step read no list. Never
  // starts more than one, and a run it started never starts another.
  virtual Elevation ElevateIfNeeded(const PlannedWrites& plan, unsigned& exitCode) = 0;

  // Whether the system reads the copy list in another code page than updates
  // are made for (kListCodePage), so that a name outside ASCII reads as other
  // characters.
  virtual bool ForeignCodePage() = 0;

  // Wide text to the system ANSI code page and back. Characters the code page
  // lacks become the host's best fit (often "?").
  virtual std::string ToAnsi(std::wstring_view text) = 0;
  virtual std::wstring FromAnsi(std::string_view text) = 0;

  // A spelling of the existing file `path` that survives ToAnsi unchanged, for
  // handing to the ANSI profile functions: the path itself when it converts
  // losslessly, else (on Windows) its short 8.3 form. Returns empty text and
  // fills `error` when there is none, or when the profile functions could not
  // read the file at all (the stand-in's size bound).
  virtual std::wstring AnsiSafePath(const std::wstring& path, HostError& error) = 0;

  // Registry, under HKEY_LOCAL_MACHINE, with the meaning of the Windows
  // functions of the same names. RegOpenKeyA sets *key to 0 when the key
  // cannot be opened; a key missing from the 64-bit view is also looked for
  // in the 32-bit view (WOW6432Node), where 32-bit installers register.
  // Sizes are in ANSI bytes.
  virtual long RegOpenKeyA(const std::string& subKey, HostKey* key) = 0;
  virtual long RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                                std::uint8_t* data, std::uint32_t* size) = 0;
  virtual long RegCloseKey(HostKey key) = 0;

  // Profile (INI) files, with the meaning of the Windows functions of the
  // same names. `fileName` is always a full path.
  virtual std::uint32_t GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                              int defaultValue, const std::string& fileName) = 0;
  virtual std::uint32_t GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                 const std::string& defaultValue, char* buffer,
                                                 std::uint32_t size, const std::string& fileName) = 0;

  // The update the program carries at the end of its own file (the format is
  // base/bundle_format.h; on Windows the file ends where a signature's
  // certificate table starts), read through the one handle to the program's
  // file that the host opened when the run started, never again by its path.
  // Its directory counts only when its digest is the seal the loaded program
  // carries in memory (platform/seal.h), whatever file lies at the program's
  // path by now; the copy list's bytes are read and checked too. Every other
  // file is checked as StageCarried reads it. Writes nothing.
  virtual PayloadState OpenPayload(CarriedUpdate& update, HostError& error) = 0;

  // Stages carried file `file` (an index into CarriedUpdate::names) as
  // StageCopy stages a file of the update folder: its bytes go from the
  // program's file straight into the temporary, and their SHA-256, taken of
  // the very bytes written, must be the directory's, else it fails with
  // kErrorPayloadDamaged and leaves nothing behind. Only after OpenPayload
  // gave kReady.
  virtual bool StageCarried(std::size_t file, const std::wstring& destination, StageId& id, HostError& error) = 0;
};

}  // namespace mirrolet
