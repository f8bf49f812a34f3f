// The copy list "mirrolet.ini": which files an update brings and where each goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/copy_list_model.h"
#include "platform/platform.h"
#include "update/failure.h"

namespace mirrolet {

// Where a pass's files come from: the folder beside the program, or the
// update the program carries (a bundle), whose names the FILE values give.
struct UpdateSource {
  std::wstring appFolder;                  // ends with "\"; empty for a carried update
  const CarriedUpdate* carried = nullptr;  // the carried update, if any
};

// Copies every entry of the copy list, in order: <appFolder>mirrolet.ini and
// each source appFolder + FILEnnn, or the list and files `source` carries;
// each destination is COPYTOnnn with "$APPPATH$" expanded to `workPath`,
// which ends with "\". Throws UpdateFailure at the first copy that fails;
// entries before it stay copied. A carried file whose bytes are not the
// payload's throws a damaged-payload failure, with nothing of its pass copied.
void ProcessCopyList(Platform& host, const std::wstring& workPath, const UpdateSource& source);

// The destinations ProcessCopyList would write, read as it reads them, in
// order, up to the entry where it would stop without writing (one that names
// no source or no destination, or a destination too long for Windows).
// Empty when the list cannot be read at all.
std::vector<std::wstring> PlannedDestinations(Platform& host, const std::wstring& workPath,
                                              const UpdateSource& source);

}  // namespace mirrolet
