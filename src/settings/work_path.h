// Where each product is installed, as its installer recorded it.
#pragma once

#include <array>
#include <string>

#include "platform/platform.h"

namespace mirrolet {

// The products the run updates, in the order it treats them, each with its
// registry key under HKEY_LOCAL_MACHINE.
struct Product {
  const wchar_t* name;
  const char* key;
};
inline constexpr std::array<Product, 2> kProducts{{
    {L"Halvix", "Software\\Varnholt\\Halvix"},
    {L"Pruvex", "Software\\Varnholt\\Pruvex"},
}};
inline constexpr char kWorkPathValue[] = "WorkPath";

// Reads the REG_SZ value "WorkPath" of HKEY_LOCAL_MACHINE\<subKey>. Returns it
// exactly as stored, cut at its first NUL, or empty text when the key or value
// is missing, of another type (REG_EXPAND_SZ included), unreadable, or changed
// between the size query and the read. Never reports an error. The key is
// closed before returning whenever it was opened.
std::wstring ReadWorkPath(Platform& host, const std::string& subKey);

}  // namespace mirrolet
