// Every text the updater shows, spelled exactly as the user sees it.
#pragma once

#include <string>

namespace mirrolet {

inline constexpr wchar_t kConfirmTitle[] = L"自動更新";
inline constexpr wchar_t kConfirmText[] =
    L"請記得將程式關閉以後再進行更新！否則將無法自動更新完成！開始進行自動更新？";

inline constexpr wchar_t kListMissingTitle[] = L"自動更新失敗";
inline constexpr wchar_t kListMissingText[] = L"遺失檔案 - mirrolet.ini！無法進行自動更新";

inline constexpr wchar_t kDoneTitle[] = L"自動更新完成";
inline constexpr wchar_t kDoneText[] = L"複製完成！";

inline constexpr wchar_t kNothingRegisteredTitle[] = L"自動更新失敗";
inline constexpr wchar_t kNothingRegisteredText[] = L"找不到登錄資訊！自動更新失敗！";

inline constexpr wchar_t kCopyFailedTitle[] = L"自動更新失敗";
// Reasons the failure report gives when no host operation failed.
inline constexpr wchar_t kAppFolderUnknownText[] = L"無法取得本程式所在的資料夾。";
inline constexpr wchar_t kOutOfMemoryText[] = L"記憶體不足。";

struct CopyFailure;

// The failure report's text for `failure` during the pass of `product`.
std::wstring CopyFailedText(const std::wstring& product, const CopyFailure& failure);

}  // namespace mirrolet
