// One whole update run: find the products, ask, copy, report, end.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"
#include "update/copy_list.h"

namespace mirrolet {

// How the process ends.
enum ExitStatus : unsigned {
  kExitDone = 0,           // the Done box, and every pass read its copy list
  kExitDeclined = 1,       // the user did not answer Yes
  kExitNothingFound = 2,   // neither product is registered
  kExitListMissing = 3,    // the Done box, but some pass found no copy list
  kExitCopyFailed = 4,     // a copy failed; the failure report was shown
};

// What a pass runs when the copy list is present: (host, completed work path,
// where the files come from). May throw UpdateFailure.
using CopyListRoutine = std::function<void(Platform&, const std::wstring& workPath, const UpdateSource& source)>;

// The executable's folder, ending with "\".
std::wstring GetAppFolder(Platform& host);

// One product's pass. Returns whether the copy list was found (and processed).
// An UpdateFailure from `routine` passes through.
bool RunProductPass(Platform& host, const std::wstring& workPath, const UpdateSource& source,
                    const CopyListRoutine& routine);

// The whole program: ends the process through `host` with an ExitStatus.
void Main(Platform& host, const CopyListRoutine& routine);
void Main(Platform& host);

}  // namespace mirrolet
