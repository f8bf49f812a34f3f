// The copy list "mirrolet.ini": which files an update brings and where each goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/copy_list_model.h"
#include "platform/platform.h"
#include "update/failure.h"

namespace mirrolet {

// Copies every entry of <appFolder>mirrolet.ini, in order, each source being
// appFolder + FILEnnn and each destination COPYTOnnn with "$APPPATH$" expanded
// to `workPath`. `workPath` and `appFolder` end with "\". Throws UpdateFailure
// at the first copy that fails; entries before it stay copied.
void ProcessCopyList(Platform& host, const std::wstring& workPath, const std::wstring& appFolder);

// The destinations ProcessCopyList would write, read as it reads them, in
// order, up to the entry where it would stop without writing (one that names
// no source or no destination, or a destination too long for Windows).
// Empty when the list cannot be read at all.
std::vector<std::wstring> PlannedDestinations(Platform& host, const std::wstring& workPath,
                                              const std::wstring& appFolder);

}  // namespace mirrolet
