// The Win32 host's copy. CopyFile writes over the destination in place, so a
// copy that fails half way would leave the product with a broken file.
// Instead the data goes to a hidden temporary beside the destination, which
// replaces it once the whole pass is staged and flushed. While staged, the
// temporary is held open without delete sharing: that is what tells another
// run (on another machine sharing the folder, too) it is no leftover.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "os/win32/handles.h"
#include "platform/carried_payload.h"
#include "platform/platform.h"
#include "platform/win32/destination_keys.h"
#include "platform/win32/run_files.h"
#include "platform/win32/win32_calls.h"

namespace mirrolet::win32 {

class Stager {
 public:
  Stager();

  bool Stage(const std::wstring& source, const std::wstring& destination, StageId& id, HostError& error);
  bool StageCarried(const CarriedFile& source, const std::wstring& destination, StageId& id, HostError& error);
  bool Flush(StageId& failed, HostError& error);
  bool Commit(StageId id, HostError& error);
  bool CheckReplaceable(StageId id, HostError& error);
  void Discard(StageId id);
  bool SyncCommitted(HostError& error);
  bool IsStagedDestination(const std::wstring& path) const { return keys_.Contains(path); }

  // `faults` is asked before each call of the copy by its name (see
  // Win32Calls) and makes it fail with the error code it returns, unless 0.
  void InjectFaults(std::function<DWORD(const char* call)> faults) { calls_.Inject(std::move(faults)); }
  void InjectFaults(std::function<DWORD(const Win32Call& call)> faults) { calls_.Inject(std::move(faults)); }
  void InjectAttributes(std::function<DWORD(const wchar_t* path, DWORD found)> answer) {
    calls_.InjectAttributes(std::move(answer));
  }
  void InjectPause(std::function<void(DWORD ms)> pause) { calls_.InjectPause(std::move(pause)); }
  void InjectLinks(std::function<std::optional<LinkOwner>(const std::wstring& path)> links, bool elevated) {
    calls_.InjectLinks(std::move(links), elevated);
  }

 private:
  struct Staged {
    std::wstring temp;    // empty once committed, discarded, or kept for the user
    std::wstring target;  // the destination, in its "\\?\" form
    UniqueFile file;      // the temporary, held open without delete sharing until committed
    DWORD sourceAttributes = 0;
    bool flushed = false;
    bool existed = false;  // the destination, when staged
  };
  std::wstring NewTempPath(const std::wstring& folder);
  // Checks the destination `to` as CopyFile would; `attributes` are its own.
  bool CheckDestination(const std::wstring& to, DWORD& attributes, HostError& error);
  // The staging both kinds of source share, once both are checked: the
  // access a replace will need, then the temporary, filled by `fill`
  // (which returns the error code).
  bool StageInto(const std::wstring& to, DWORD attributes, DWORD sourceAttributes,
                 const std::function<DWORD(HANDLE out)>& fill, StageId& id, HostError& error);
  // Makes a new temporary in `folder`, held open, and fills it. Returns the error code.
  DWORD WriteTemporary(const std::function<DWORD(HANDLE out)>& fill, const std::wstring& folder, Staged& staged);
  // Replaces an existing destination; may set error.keptAs. Returns the error code.
  DWORD Replace(Staged& staged, DWORD existing, HostError& error);
  // Returns the error code of the last try.
  DWORD MoveWithRetries(const std::wstring& from, const std::wstring& to, DWORD flags = MOVEFILE_WRITE_THROUGH);
  // Deletes the old file left under the backup name; one that stays is hidden.
  void RemoveBackup(const std::wstring& backup);
  // Runs `attempt` (which returns a Win32 error code) again while it meets a
  // brief hold, with growing pauses. Returns the last code.
  template <typename Attempt>
  DWORD RideOutHolds(const Attempt& attempt);
  // Opens `path` with the access a replace needs: ERROR_SUCCESS, or the error
  // (ERROR_SHARING_VIOLATION when another program holds it). Fills `id` with
  // the file's identity.
  DWORD ReplaceAccess(const std::wstring& path, std::size_t* id = nullptr);
  DWORD TryReplaceAccess(const std::wstring& path, std::size_t* id = nullptr);  // once, without waiting
  // The error to report when replacing `destination` failed with `code`.
  DWORD ReplaceFailure(const std::wstring& destination, DWORD code);
  // Once nothing is staged, the pass's destinations go, and its folders once
  // their commits are synced.
  void ForgetWhenIdle();
  // Opens every part of `folder`'s path below its volume's root, as itself,
  // and holds them for the pass, so that the path-based calls that follow
  // go through the objects checked here. A link the run does not trust
  // fails with kErrorUntrustedLink, naming it in `error.link`.
  bool Pin(const std::wstring& folder, HostError& error);
  // Whether the run follows a link owned by `owner`: an elevated run only
  // one an administrator, SYSTEM or TrustedInstaller made; else its user's too.
  bool Trusted(LinkOwner owner);

  RunId run_;
  Win32Calls calls_;
  Leftovers leftovers_;
  DestinationKeys keys_;
  unsigned nextTemp_ = 0;
  std::vector<Staged> staged_;
  std::size_t uncommitted_ = 0;
  struct Committed {
    std::wstring target;
    DWORD attributes = 0;  // set once flushed (a read-only new file), else 0
  };
  std::vector<Committed> committed_;  // since the last sync
  std::map<std::wstring, std::vector<UniqueFile>> pinned_;  // by folder: its parts, held
};

}  // namespace mirrolet::win32
