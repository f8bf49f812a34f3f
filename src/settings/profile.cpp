#include "settings/profile.h"

#include <cstring>
#include <vector>

#include "base/copy_list_model.h"

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

ProfileBytes::ProfileBytes(Platform& host, std::string_view bytes)
    : host_(host), document_(IniDocument::Parse(DecodeProfileBytes(bytes, [&host](std::string_view text) {
        return host.FromAnsi(text);
      }))) {}

std::int32_t ProfileBytes::ReadInt(const std::wstring& section, const std::wstring& key, std::int32_t defaultValue) const {
  const auto raw = document_.Find(section, key);
  const auto value = raw ? ProfileInt(*raw) : std::nullopt;
  return static_cast<std::int32_t>(value.value_or(static_cast<std::uint32_t>(defaultValue)));
}

std::wstring ProfileBytes::ReadString(const std::wstring& section, const std::wstring& key,
                                      const std::wstring& defaultValue) const {
  const auto raw = document_.Find(section, key);
  std::wstring value = raw ? ProfileValue(*raw) : ProfileDefault(defaultValue);
  // Cut to what the profile functions' buffer holds, in the code page's bytes.
  CutToValueBuffer(value, [this](std::wstring_view text) { return host_.ToAnsi(text).size(); });
  return value;
}

}  // namespace mirrolet
