#include "settings/profile.h"

#include <cstring>
#include <vector>

namespace mirrolet {

std::int32_t ReadIniInt(Platform& host, const std::wstring& section, const std::wstring& key,
                        std::int32_t defaultValue, const std::wstring& fileName) {
  const std::uint32_t value = host.GetPrivateProfileIntA(host.ToAnsi(section), host.ToAnsi(key),
                                                         defaultValue, host.ToAnsi(fileName));
  return static_cast<std::int32_t>(value);  // modulo 2^32, as the host means it
}

std::wstring ReadIniString(Platform& host, const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue, const std::wstring& fileName) {
  std::vector<char> buffer(kIniStringBufferSize, '\0');
  host.GetPrivateProfileStringA(host.ToAnsi(section), host.ToAnsi(key), host.ToAnsi(defaultValue),
                                buffer.data(), kIniStringBufferSize, host.ToAnsi(fileName));
  // The host ends what it writes with a NUL inside the buffer, and the buffer
  // started all NUL, so the text is always terminated within it.
  return host.FromAnsi(std::string(buffer.data(), strnlen(buffer.data(), buffer.size())));
}

}  // namespace mirrolet
