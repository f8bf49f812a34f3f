#include "update/messages.h"

#include "update/failure.h"

namespace mirrolet {

namespace {

constexpr std::size_t kHoldersNamed = 5;

bool NamesNoFile(const std::wstring& path) { return path.empty() || path.back() == L'\\' || path.back() == L'/'; }

const wchar_t* Advice(const UpdateFailure& failure) {
  const bool copy = failure.kind == UpdateFailure::Kind::kCopy;
  // An entry whose source or destination names no file (an empty key, the
  // product folder itself) is a fault of the update. Running as administrator
  // or looking for a missing folder would not help, so it gets no advice.
  if (copy && (NamesNoFile(failure.source) || NamesNoFile(failure.destination))) return nullptr;
  if (FileInUse(failure.error.code)) return kAdviceInUse;
  // The private folder of a payload is no folder of the product, nor a file
  // of the update: a missing one says nothing the user can act on.
  if (failure.kind == UpdateFailure::Kind::kPayloadUnwritable &&
      (failure.error.code == kErrorFileNotFound || failure.error.code == kErrorPathNotFound)) {
    return nullptr;
  }
  // Once staged, the files a step works on are our own temporaries: one that
  // is missing was taken away, not left out of the update.
  if (copy && failure.step != CopyStep::kStage &&
      (failure.error.code == kErrorFileNotFound || failure.error.code == kErrorPathNotFound)) {
    return kAdviceTemporaryGone;
  }
  switch (failure.error.code) {
    case kErrorFileNotFound: return kAdviceSourceMissing;
    case kErrorPathNotFound: return kAdviceFolderMissing;
    case kErrorAccessDenied: return kAdviceAccessDenied;
    case kErrorHandleDiskFull: case kErrorDiskFull: return kAdviceDiskFull;
    case kErrorNoUnicodeTranslation: return kAdviceUnspellable;
    case kErrorSourceChanged: return kAdviceSourceChanged;
    default: return nullptr;
  }
}

}  // namespace

bool FileInUse(unsigned long code) {
  return code == kErrorSharingViolation || code == kErrorLockViolation || code == kErrorUserMappedFile;
}

std::wstring CopyFailedText(const std::wstring& product, const UpdateFailure& failure,
                            const std::vector<FileHolder>& holders) {
  std::wstring text = L"複製檔案失敗，自動更新已中止！\n\n";
  if (!product.empty()) text += L"產品：" + product + L"\n";
  if (failure.kind == UpdateFailure::Kind::kListUnreadable) {
    text += L"無法讀取複製清單：" + failure.source + L"\n";
  } else if (failure.kind == UpdateFailure::Kind::kPayloadUnwritable && !failure.destination.empty()) {
    text += L"無法寫入暫存資料夾：" + failure.destination + L"\n";
  } else if (failure.kind == UpdateFailure::Kind::kCopy) {
    text += L"項目：第 " + std::to_wstring(failure.entry) + L" 項，共 " + std::to_wstring(failure.count) +
            L" 項\n來源：" + failure.source + L"\n目的地：" +
            (failure.destination.empty() ? L"（空白）" : failure.destination) + L"\n";
  }
  text += L"原因：" + (failure.error.code == kErrorSourceChanged ? std::wstring(kSourceChangedText)
                                                                 : failure.error.description);
  if (const wchar_t* advice = Advice(failure)) text += std::wstring(L"\n建議：") + advice;
  if (!failure.error.keptAs.empty()) text += L"\n" + (kDestinationLostText + failure.error.keptAs);
  if (!holders.empty()) {
    text += L"\n使用中的程式：";
    for (std::size_t i = 0; i < holders.size() && i < kHoldersNamed; ++i) {
      if (i > 0) text += L"，";
      text += holders[i].name + L"（PID " + std::to_wstring(holders[i].pid) + L"）";
    }
    if (holders.size() > kHoldersNamed) text += L"等";
  }
  return text;
}

}  // namespace mirrolet
