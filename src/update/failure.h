// What stops a run: one failure type, made through named constructors, which
// the run's entry alone catches and turns into the failure report.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "platform/platform.h"

namespace mirrolet {

// The step of a copy that failed. The same Windows code can mean different
// things at different steps: a file missing while staging is the update's
// source, while flushing or committing it is our own temporary.
enum class CopyStep { kStage, kFlush, kCommit, kSync };

// What each kind of failure knows beyond the host's error.
struct ListFailure {
  std::wstring list;  // the copy list that exists but cannot be read
};
struct PayloadFailure {
  std::wstring folder;  // the private folder; empty when it could not be made
};
struct CopyFailure {
  std::int32_t entry = 0;  // 1-based
  std::int32_t count = 0;  // the list's "SUM"
  std::wstring source;
  std::wstring destination;
  CopyStep step = CopyStep::kStage;
};

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

  Kind kind() const { return kind_; }
  // The details of a kListUnreadable, kPayloadUnwritable or kCopy failure;
  // null for any other kind.
  const ListFailure* list() const { return std::get_if<ListFailure>(&details_); }
  const PayloadFailure* payload() const { return std::get_if<PayloadFailure>(&details_); }
  const CopyFailure* copy() const { return std::get_if<CopyFailure>(&details_); }

  HostError error;

 private:
  using Details = std::variant<std::monostate, ListFailure, PayloadFailure, CopyFailure>;
  UpdateFailure(Kind failureKind, HostError hostError, Details details = {})
      : error(std::move(hostError)), kind_(failureKind), details_(std::move(details)) {}

  Kind kind_;
  Details details_;
};

}  // namespace mirrolet
