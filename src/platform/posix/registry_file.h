// The stand-in's registry: a .reg export, read on first use, and the keys the
// run has open in it, with the Windows meaning of the registry functions.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/posix/reg_text.h"

namespace mirrolet::posix {

class RegistryFile {
 public:
  // A missing or unreadable `path` is an empty registry.
  explicit RegistryFile(std::string path) : path_(std::move(path)) {}

  // RegOpenKeyA, RegQueryValueExA and RegCloseKey on HKEY_LOCAL_MACHINE.
  long OpenKey(const std::string& subKey, HostKey* key);
  long QueryValue(HostKey key, const std::string& valueName, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size);
  long CloseKey(HostKey key);

 private:
  const Registry& Loaded();

  std::string path_;
  std::optional<Registry> registry_;
  std::map<HostKey, std::wstring> openKeys_;
  HostKey nextKey_ = 1;
};

}  // namespace mirrolet::posix
