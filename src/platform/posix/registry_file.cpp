#include "platform/posix/registry_file.h"

#include <cstring>

#include "base/name_fold.h"
#include "os/posix/regular_file.h"
#include "platform/posix/locale_text.h"

namespace mirrolet::posix {

const Registry& RegistryFile::Loaded() {
  if (!registry_) {
    const auto bytes = ReadSettingsFile(path_);
    registry_ = Registry::Parse(bytes.value_or(std::string()), LocaleToWide);
  }
  return *registry_;
}

long RegistryFile::OpenKey(const std::string& subKey, HostKey* key) {
  if (key == nullptr) return kErrorInvalidParameter;
  *key = 0;
  std::wstring path = LocaleToWide(subKey);
  if (path.starts_with(L'\\')) return kErrorBadPathname;
  while (path.ends_with(L'\\')) path.pop_back();

  const Registry& registry = Loaded();
  if (!registry.HasKey(path)) {
    // A 64-bit process sees the 64-bit view; a product set up by a 32-bit
    // installer is found in the 32-bit one, as the Windows host does.
    const std::wstring software = L"SOFTWARE\\";  // as folded
    if (!FoldName(path).starts_with(software)) return kErrorFileNotFound;
    path.insert(software.size(), L"WOW6432Node\\");
    if (!registry.HasKey(path)) return kErrorFileNotFound;
  }
  *key = nextKey_++;
  openKeys_[*key] = path;
  return kErrorSuccess;
}

long RegistryFile::QueryValue(HostKey key, const std::string& valueName, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* size) {
  const auto open = openKeys_.find(key);
  if (open == openKeys_.end()) return kErrorInvalidHandle;
  const RegValue* value = Loaded().Find(open->second, LocaleToWide(valueName));
  if (value == nullptr) {
    if (type) *type = 0;
    if (data == nullptr && size) *size = 0;
    return kErrorFileNotFound;
  }
  if (type) *type = value->type;

  std::string bytes;
  if (value->IsText()) {
    bytes = WideToLocale(value->text);
    if (value->terminated) bytes += '\0';
  } else {
    bytes.assign(value->bytes.begin(), value->bytes.end());
  }
  const auto needed = static_cast<std::uint32_t>(bytes.size());
  if (data == nullptr) {
    if (size) *size = needed;
    return kErrorSuccess;
  }
  if (size == nullptr) return kErrorNoAccess;  // as Windows answers a missing size
  if (*size < needed) {
    *size = needed;
    return kErrorMoreData;  // and the buffer stays as it was
  }
  std::memcpy(data, bytes.data(), bytes.size());
  // Text stored without a terminator gets one when there is room; it is not counted.
  if (value->IsText() && !value->terminated && *size > needed) data[needed] = 0;
  *size = needed;
  return kErrorSuccess;
}

long RegistryFile::CloseKey(HostKey key) {
  return openKeys_.erase(key) ? kErrorSuccess : static_cast<long>(kErrorInvalidHandle);
}

}  // namespace mirrolet::posix
