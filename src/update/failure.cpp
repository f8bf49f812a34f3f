#include "update/failure.h"

#include <utility>

#include "base/utf8.h"
#include "update/messages.h"

namespace mirrolet {

UpdateFailure UpdateFailure::ListUnreadable(std::wstring listPath, HostError error) {
  return UpdateFailure(Kind::kListUnreadable, std::move(error), ListFailure{std::move(listPath)});
}

UpdateFailure UpdateFailure::AppFolderUnknown() {
  return UpdateFailure(Kind::kAppFolderUnknown, {kErrorGenFailure, kAppFolderUnknownText});
}

UpdateFailure UpdateFailure::OutOfMemory() {
  return UpdateFailure(Kind::kOutOfMemory, {kErrorNotEnoughMemory, kOutOfMemoryText});
}

UpdateFailure UpdateFailure::Internal(std::string_view what) {
  return UpdateFailure(Kind::kInternal, {kErrorGenFailure, FromUtf8(what)});
}

UpdateFailure UpdateFailure::PayloadUnwritable(std::wstring folder, HostError error) {
  return UpdateFailure(Kind::kPayloadUnwritable, std::move(error), PayloadFailure{std::move(folder)});
}

UpdateFailure UpdateFailure::Copy(std::int32_t entry, std::int32_t count, std::wstring source,
                                  std::wstring destination, CopyStep step, HostError error) {
  return UpdateFailure(Kind::kCopy, std::move(error),
                       CopyFailure{entry, count, std::move(source), std::move(destination), step});
}

}  // namespace mirrolet
