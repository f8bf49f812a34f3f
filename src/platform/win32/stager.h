// The Win32 host's copy. CopyFile writes over the destination in place, so a
// copy that fails half way would leave the product with a broken file.
// Instead the data goes to a hidden temporary beside the destination, which
// replaces it once the whole pass is staged and flushed. While staged, the
// temporary is held open without delete sharing: that is what tells another
// run (on another machine sharing the folder, too) it is no leftover.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "os/win32/handles.h"
#include "platform/platform.h"
#include "platform/win32/destination_keys.h"
#include "platform/win32/run_files.h"
#include "platform/win32/win32_calls.h"

namespace mirrolet::win32 {

class Stager {
 public:
  Stager();

  bool Stage(const std::wstring& source, const std::wstring& destination, StageId& id, HostError& error);
  bool Flush(StageId& failed, HostError& error);
  bool Commit(StageId id, HostError& error);
  void Discard(StageId id);
  bool SyncCommitted(HostError& error);
  bool IsStagedDestination(const std::wstring& path) const { return keys_.Contains(path); }

  // `faults` is asked before each call of the copy by its name (see
  // Win32Calls) and makes it fail with the error code it returns, unless 0.
  void InjectFaults(std::function<DWORD(const char* call)> faults) { calls_.Inject(std::move(faults)); }

 private:
  struct Staged {
    std::wstring temp;    // empty once committed, discarded, or kept for the user
    std::wstring target;  // the destination, in its "\\?\" form
    UniqueFile file;      // the temporary, held open without delete sharing until committed
    DWORD sourceAttributes = 0;
    bool flushed = false;
  };
  std::wstring NewTempPath(const std::wstring& folder);
  // Writes the open source `in` to a new temporary in `folder`. Returns the error code.
  DWORD WriteTemporary(HANDLE in, const std::wstring& folder, Staged& staged);
  // Replaces an existing destination; may set error.keptAs. Returns the error code.
  DWORD Replace(Staged& staged, DWORD existing, HostError& error);
  bool MoveWithRetries(const std::wstring& from, const std::wstring& to);
  // Once nothing is staged, the pass's destinations go.
  void ForgetWhenIdle();

  RunId run_;
  Win32Calls calls_;
  Leftovers leftovers_;
  DestinationKeys keys_;
  unsigned nextTemp_ = 0;
  std::vector<Staged> staged_;
  std::size_t uncommitted_ = 0;
  std::vector<std::wstring> committed_;  // since the last sync
};

}  // namespace mirrolet::win32
