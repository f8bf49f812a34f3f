// The copy list "mirrolet.ini": which files an update brings and where each goes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "update/failure.h"

namespace mirrolet {

inline constexpr wchar_t kCopyListName[] = L"mirrolet.ini";
inline constexpr wchar_t kAppPathPlaceholder[] = L"$APPPATH$";

// `destination` with every exact, case-sensitive "$APPPATH$" replaced by
// `workPath`, scanning left to right without overlaps or rescanning.
std::wstring ExpandAppPath(const std::wstring& destination, const std::wstring& workPath);

// The entry suffix: `entry` in decimal, zero-padded to at least three digits.
std::wstring EntrySuffix(std::int32_t entry);

// Copies every entry of <appFolder>mirrolet.ini, in order, each source being
// appFolder + FILEnnn and each destination COPYTOnnn with "$APPPATH$" expanded
// to `workPath`. `workPath` and `appFolder` end with "\". Throws UpdateFailure
// at the first copy that fails; entries before it stay copied.
void ProcessCopyList(Platform& host, const std::wstring& workPath, const std::wstring& appFolder);

}  // namespace mirrolet
