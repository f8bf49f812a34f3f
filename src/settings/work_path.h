// Where each product is installed, as its installer recorded it.
#pragma once

#include <string>

#include "platform/platform.h"

namespace mirrolet {

// Registry locations under HKEY_LOCAL_MACHINE, in the order the run treats them.
inline constexpr char kHalvixKey[] = "Software\\Varnholt\\Halvix";
inline constexpr char kPruvexKey[] = "Software\\Varnholt\\Pruvex";
inline constexpr char kWorkPathValue[] = "WorkPath";

// Reads the REG_SZ value "WorkPath" of HKEY_LOCAL_MACHINE\<subKey>. Returns it
// exactly as stored, cut at its first NUL, or empty text when the key or value
// is missing, of another type (REG_EXPAND_SZ included), unreadable, or changed
// between the size query and the read. Never reports an error. The key is
// closed before returning whenever it was opened.
std::wstring ReadWorkPath(Platform& host, const std::string& subKey);

}  // namespace mirrolet
