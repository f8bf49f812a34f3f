// What stops a run: one failure type, made through named constructors, which
// the run's entry alone catches and turns into the failure report.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace mirrolet {

// The step of a copy that failed. The same Windows code can mean different
// things at different steps: a file missing while staging is the update's
// source, while flushing or committing it is our own temporary.
enum class CopyStep { kStage, kFlush, kCommit, kSync };

class UpdateFailure : public std::exception {
 public:
  enum class Kind { kListUnreadable, kAppFolderUnknown, kOutOfMemory, kInternal, kPayloadUnwritable, kCopy };

  // The copy list at `listPath` exists but cannot be read (its path has no
  // spelling in the code page, it is past the size bound, ...).
  static UpdateFailure ListUnreadable(std::wstring listPath, HostError error);
  // The host could not tell where the program is.
  static UpdateFailure AppFolderUnknown();
  static UpdateFailure OutOfMemory();
  // Anything else that went wrong; `what` is a C++ library's message, read as UTF-8.
  static UpdateFailure Internal(std::string_view what);
  // The update's carried files verified but could not be written to the
  // private folder `folder` (empty when it could not be made).
  static UpdateFailure PayloadUnwritable(std::wstring folder, HostError error);
  // Entry `entry` of `count` could not be copied from `source` to `destination`.
  static UpdateFailure Copy(std::int32_t entry, std::int32_t count, std::wstring source, std::wstring destination,
                            CopyStep step, HostError error);

  const char* what() const noexcept override { return "update failed"; }

  Kind kind;
  std::int32_t entry = 0;  // 1-based, for kCopy
  std::int32_t count = 0;  // the list's "SUM", for kCopy
  std::wstring source;       // the copy's source, or the unreadable list
  std::wstring destination;  // the copy's destination, or the payload's private folder
  CopyStep step = CopyStep::kStage;
  HostError error;

 private:
  UpdateFailure(Kind failureKind, HostError hostError) : kind(failureKind), error(std::move(hostError)) {}
};

}  // namespace mirrolet
