#include "update/failure.h"

#include <utility>

#include "base/utf8.h"
#include "update/messages.h"

namespace mirrolet {

UpdateFailure UpdateFailure::ListUnreadable(std::wstring listPath, HostError error) {
  UpdateFailure failure(Kind::kListUnreadable, std::move(error));
  failure.source = std::move(listPath);
  return failure;
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
  UpdateFailure failure(Kind::kPayloadUnwritable, std::move(error));
  failure.destination = std::move(folder);
  return failure;
}

UpdateFailure UpdateFailure::Copy(std::int32_t entry, std::int32_t count, std::wstring source,
                                  std::wstring destination, CopyStep step, HostError error) {
  UpdateFailure failure(Kind::kCopy, std::move(error));
  failure.entry = entry;
  failure.count = count;
  failure.source = std::move(source);
  failure.destination = std::move(destination);
  failure.step = step;
  return failure;
}

}  // namespace mirrolet
