// Every text the updater shows, spelled exactly as the user sees it.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

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
// The failure report: its first line, then one labelled line each for what
// failed, the reason, the advice and the programs holding the file.
inline constexpr wchar_t kCopyFailedHeader[] = L"複製檔案失敗，自動更新已中止！";
inline constexpr wchar_t kProductLabel[] = L"產品：";
inline constexpr wchar_t kListUnreadableLabel[] = L"無法讀取複製清單：";
inline constexpr wchar_t kPayloadUnreadableLabel[] = L"無法讀取更新檔：";
inline constexpr wchar_t kEntryLabel[] = L"項目：第 ";  // "項目：第 2 項，共 3 項"
inline constexpr wchar_t kEntryOfText[] = L" 項，共 ";
inline constexpr wchar_t kEntryEndText[] = L" 項";
inline constexpr wchar_t kSourceLabel[] = L"來源：";
inline constexpr wchar_t kDestinationLabel[] = L"目的地：";
inline constexpr wchar_t kEmptyValueText[] = L"（空白）";
inline constexpr wchar_t kReasonLabel[] = L"原因：";
inline constexpr wchar_t kAdviceLabel[] = L"建議：";
inline constexpr wchar_t kHoldersLabel[] = L"使用中的程式：";
inline constexpr wchar_t kListSeparator[] = L"，";
inline constexpr wchar_t kPidOpen[] = L"（PID ";  // "Halvix.exe（PID 42）"
inline constexpr wchar_t kPidClose[] = L"）";
inline constexpr wchar_t kMoreHoldersText[] = L"等";  // after the fifth
// Which of the product's files the failed pass replaced: "狀態：已更新第 1 至 3 項，第 4 項起都沒有變更。"
inline constexpr wchar_t kStateLabel[] = L"狀態：";
inline constexpr wchar_t kNothingChangedText[] = L"此產品的檔案都沒有變更。";
inline constexpr wchar_t kReplacedBefore[] = L"已更新第 1 ";  // then "項" or "至 N 項"
inline constexpr wchar_t kReplacedTo[] = L"至 ";
inline constexpr wchar_t kReplacedAfter[] = L"項";
inline constexpr wchar_t kUnchangedFrom[] = L"，第 ";  // "，第 4 項起都沒有變更。"
inline constexpr wchar_t kUnchangedAfter[] = L" 項起都沒有變更。";
// A file carried in a bundle, as its source: "C:\Downloads\MirroletV2.exe 內的 a.dll".
inline constexpr wchar_t kInsideBundleText[] = L" 內的 ";
// Reasons the failure report gives when no host operation failed.
inline constexpr wchar_t kAppFolderUnknownText[] = L"無法取得本程式所在的資料夾。";
inline constexpr wchar_t kOutOfMemoryText[] = L"記憶體不足。";
inline constexpr wchar_t kSourceChangedText[] = L"來源檔案在複製時被改變。";  // kErrorSourceChanged
// kErrorUntrustedLink: "目的地的路徑經過一個連結（C:\Halvix\Data），…"
inline constexpr wchar_t kUntrustedLinkBefore[] = L"目的地的路徑經過一個連結（";
inline constexpr wchar_t kUntrustedLinkAfter[] = L"），它可能是權限較低的使用者建立的，本程式不會跟隨它。";

// The failure report's advice line, chosen by the Windows error code of the
// failed operation.
inline constexpr wchar_t kAdviceAccessDenied[] =  // 5
    L"請在本程式上按右鍵，選擇「以系統管理員身分執行」，再更新一次。";
inline constexpr wchar_t kAdviceInUse[] = L"請先關閉正在使用此檔案的程式，再更新一次。";  // 32, 33, 1224
inline constexpr wchar_t kAdviceFolderMissing[] =  // 3
    L"此產品的安裝資料夾中沒有這個資料夾，這份更新可能不適用於此版本。";
inline constexpr wchar_t kAdviceSourceMissing[] = L"更新資料夾中缺少這個檔案，請重新取得完整的更新檔案。";  // 2
inline constexpr wchar_t kAdviceDiskFull[] = L"磁碟空間不足，請騰出空間後再更新一次。";  // 39, 112
inline constexpr wchar_t kAdviceUnspellable[] =  // 1113
    L"請將更新資料夾移到較簡單的路徑（例如 C:\\Update）後再執行。";
inline constexpr wchar_t kAdviceSourceChanged[] =  // kErrorSourceChanged
    L"請確認沒有其他程式正在寫入更新資料夾，再更新一次。";
inline constexpr wchar_t kAdviceUntrustedLink[] =  // kErrorUntrustedLink
    L"請確認產品資料夾中的這個連結是否應該存在；若不應存在，請將它刪除後再更新一次。";
inline constexpr wchar_t kAdviceTemporaryGone[] =  // 2 or 3 after staging: our own temporary vanished
    L"更新中的暫存檔被其他程式移除了，請確認防毒軟體沒有攔截更新，再更新一次。";
inline constexpr wchar_t kAdviceReadOnly[] =  // 5 for a destination with the read-only attribute
    L"目的地的檔案設為唯讀，連系統管理員也無法取代它，請洽詢此更新的提供者。";
inline constexpr wchar_t kAdviceElevationDeclined[] =  // 5 after the user declined administrator rights
    L"這次更新需要系統管理員權限，但權限要求被拒絕了；請再執行一次，並在 Windows 詢問時選擇「是」。";
// 5 in a run that has administrator rights: security software (an antivirus,
// Controlled folder access) or a policy blocked the folder, "…（C:\Program Files\Halvix）…"
inline constexpr wchar_t kAdviceBlockedBefore[] = L"本程式已有系統管理員權限，仍無法寫入（";
inline constexpr wchar_t kAdviceBlockedAfter[] =
    L"）：可能是防毒軟體或「受控制資料夾存取」等安全性軟體封鎖了這個資料夾；請在安全性軟體中允許本程式，再更新一次。";
// 3 when the product's registered folder itself is gone: "…（C:\Halvix）已不存在…"
inline constexpr wchar_t kAdviceProductGoneBefore[] = L"此產品的安裝資料夾（";
inline constexpr wchar_t kAdviceProductGoneAfter[] = L"）已不存在，請重新安裝此產品，或將它解除安裝。";
// Any failure to read the program's own file, which carries the update.
inline constexpr wchar_t kAdvicePayloadUnreadable[] = L"請重新下載完整的更新檔，再更新一次。";
// 2 for a source whose name is not ASCII, on a system whose code page is not the list's.
inline constexpr wchar_t kAdviceCodePage[] =
    L"這份更新是為繁體中文版 Windows 製作的，檔名的讀法取決於「非 Unicode 程式的語言」設定；"
    L"請將它設為「中文（繁體，台灣）」後再更新一次。";

// Where a replace lost the old file and could not put the new one in its
// place, the report says so and where the new copy was kept.
inline constexpr wchar_t kDestinationLostText[] = L"注意：目的地的檔案已不在原處，新版本保留為：";

// The failure report for an update file whose payload does not verify.
inline constexpr wchar_t kPayloadDamagedText[] =
    L"更新檔已損毀，自動更新已中止！\n\n原因：更新檔的內容與其檢查碼不符。\n建議：請重新下載完整的更新檔，再更新一次。";

class UpdateFailure;

// Whether Windows error `code` says that another program has the file open.
bool FileInUse(unsigned long code);

// What the run knows around a failure, beyond the failure itself.
struct ReportContext {
  std::wstring product = {};             // the product whose pass failed; empty outside a pass
  std::vector<FileHolder> holders = {};  // who holds the file the error is about; five are named
  std::wstring goneProductFolder = {};   // the product's registered folder, when it no longer exists
  bool elevationDeclined = false;        // the user declined to give the run administrator rights
  bool elevated = false;                 // the run has administrator rights
  bool foreignCodePage = false;          // the list is read in another code page than kListCodePage
  std::wstring programFolder = {};       // the folder the list's names are in, ending with "\"; empty for a bundle
  std::wstring bundle = {};              // the program's own file, when it carries the update
};

// The failure report's text for `failure`.
std::wstring CopyFailedText(const UpdateFailure& failure, const ReportContext& context);

}  // namespace mirrolet
