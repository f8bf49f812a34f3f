// One value at a time from a profile (INI) file, through the host's profile
// functions. Nothing is cached here: every read is one host call.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace mirrolet
