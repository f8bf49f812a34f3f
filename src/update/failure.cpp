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

UpdateFailure UpdateFailure::PayloadUnreadable(std::wstring bundle, HostError error) {
  return UpdateFailure(Kind::kPayloadUnreadable, std::move(error), PayloadFailure{std::move(bundle)});
}

UpdateFailure UpdateFailure::PayloadDamaged() {
  return UpdateFailure(Kind::kPayloadDamaged, {kErrorPayloadDamaged, L"The update does not match its checksums."});
}

UpdateFailure UpdateFailure::Copy(CopyFailure copy, HostError error) {
  return UpdateFailure(Kind::kCopy, std::move(error), std::move(copy));
}

}  // namespace mirrolet
