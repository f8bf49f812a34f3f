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
  std::wstring bundle;  // the program's own file, which carries the update
};
struct CopyFailure {
  std::int32_t entry = 0;  // 1-based
  std::int32_t count = 0;  // the list's "SUM"
  std::wstring source;
  std::wstring destination;
  CopyStep step = CopyStep::kStage;
  // How many of the product's files are replaced: entries 1 to this one
  // (entries are copied in list order), none after it.
  std::int32_t replaced = 0;
};

class UpdateFailure : public std::exception {
 public:
  enum class Kind { kListUnreadable, kAppFolderUnknown, kOutOfMemory, kInternal, kPayloadUnreadable, kPayloadDamaged, kCopy };

  // The copy list at `listPath` exists but cannot be read (its path has no
  // spelling in the code page, it is past the size bound, ...).
  static UpdateFailure ListUnreadable(std::wstring listPath, HostError error);
  // The host could not tell where the program is.
  static UpdateFailure AppFolderUnknown();
  static UpdateFailure OutOfMemory();
  // Anything else that went wrong; `what` is a C++ library's message, read as UTF-8.
  static UpdateFailure Internal(std::string_view what);
  // The program's own file `bundle`, which carries the update, could not be read.
  static UpdateFailure PayloadUnreadable(std::wstring bundle, HostError error);
  // The update the program carries is not the one it was sealed with, or
  // not whole: the damaged report, which names no entry.
  static UpdateFailure PayloadDamaged();
  // An entry could not be copied.
  static UpdateFailure Copy(CopyFailure copy, HostError error);

  const char* what() const noexcept override { return "update failed"; }

  Kind kind() const { return kind_; }
  // The details of a kListUnreadable, kPayloadUnreadable or kCopy failure;
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
