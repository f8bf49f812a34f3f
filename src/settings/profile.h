// One value at a time from a profile (INI) file, through the host's profile
// functions. Nothing is cached here: every read is one host call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/ini_document.h"
#include "platform/platform.h"

namespace mirrolet {

// Longest value ReadIniString returns, in ANSI bytes, plus its NUL.
inline constexpr std::uint32_t kIniStringBufferSize = 4096;

// The key's value as a signed 32-bit integer (the host's reading, wrapped),
// or `defaultValue` when the file, section or key is missing.
std::int32_t ReadIniInt(Platform& host, const std::wstring& section, const std::wstring& key,
                        std::int32_t defaultValue, const std::wstring& fileName);

// The key's value, cut to its first 4095 ANSI bytes, or `defaultValue` when the
// file, section or key is missing. `fileName` must be a full path.
std::wstring ReadIniString(Platform& host, const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue, const std::wstring& fileName);

// A profile given as bytes (the copy list a bundle carries), read as the
// host's profile functions read a file: decoded in the host's code page (or
// as UTF-16LE after its mark), each value cut as ReadIniString's buffer cuts
// it, the integer read as GetPrivateProfileIntA reads it.
class ProfileBytes {
 public:
  ProfileBytes(Platform& host, std::string_view bytes);
  std::int32_t ReadInt(const std::wstring& section, const std::wstring& key, std::int32_t defaultValue) const;
  std::wstring ReadString(const std::wstring& section, const std::wstring& key, const std::wstring& defaultValue) const;

 private:
  Platform& host_;
  IniDocument document_;
};

}  // namespace mirrolet
