// The copy list "mirrolet.ini": which files an update brings and where each goes.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "base/copy_list_model.h"
#include "platform/platform.h"

namespace mirrolet {

// Thrown when a listed file cannot be copied, or the copy list itself cannot
// be read. Only the run's entry catches it.
struct CopyFailure : std::runtime_error {
  CopyFailure(std::int32_t failedEntry, std::int32_t entryCount, std::wstring from, std::wstring to,
              HostError hostError);

  std::int32_t entry;  // 1-based; 0 when the copy list could not be read at all
  std::int32_t count;  // the list's "SUM"
  std::wstring source;
  std::wstring destination;
  HostError error;
};

// Copies every entry of <appFolder>mirrolet.ini, in order, each source being
// appFolder + FILEnnn and each destination COPYTOnnn with "$APPPATH$" expanded
// to `workPath`. `workPath` and `appFolder` end with "\". Throws CopyFailure at
// the first copy that fails; entries before it stay copied.
void ProcessCopyList(Platform& host, const std::wstring& workPath, const std::wstring& appFolder);

}  // namespace mirrolet
