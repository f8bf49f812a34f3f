#include "update/messages.h"

#include "update/failure.h"

namespace mirrolet {

namespace {

constexpr std::size_t kHoldersNamed = 5;

bool NamesNoFile(const std::wstring& path) { return path.empty() || path.back() == L'\\' || path.back() == L'/'; }

const wchar_t* Advice(const UpdateFailure& failure) {
  const CopyFailure* copy = failure.copy();
  const bool missing = failure.error.code == kErrorFileNotFound || failure.error.code == kErrorPathNotFound;
  // An entry whose source or destination names no file (an empty key, the
  // product folder itself) is a fault of the update. Running as administrator
  // or looking for a missing folder would not help, so it gets no advice.
  if (copy && (NamesNoFile(copy->source) || NamesNoFile(copy->destination))) return nullptr;
  if (FileInUse(failure.error.code)) return kAdviceInUse;
  // The private folder of a payload is no folder of the product, nor a file
  // of the update: a missing one says nothing the user can act on.
  if (failure.payload() && missing) return nullptr;
  // Once staged, the files a step works on are our own temporaries: one that
  // is missing was taken away, not left out of the update.
  if (copy && copy->step != CopyStep::kStage && missing) return kAdviceTemporaryGone;
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
  std::wstring text = std::wstring(kCopyFailedHeader) + L"\n\n";
  if (!product.empty()) text += kProductLabel + product + L"\n";
  if (const ListFailure* list = failure.list()) {
    text += kListUnreadableLabel + list->list + L"\n";
  } else if (const PayloadFailure* payload = failure.payload(); payload && !payload->folder.empty()) {
    text += kPayloadUnwritableLabel + payload->folder + L"\n";
  } else if (const CopyFailure* copy = failure.copy()) {
    text += kEntryLabel + std::to_wstring(copy->entry) + kEntryOfText + std::to_wstring(copy->count) +
            kEntryEndText + L"\n" + kSourceLabel + copy->source + L"\n" + kDestinationLabel +
            (copy->destination.empty() ? kEmptyValueText : copy->destination) + L"\n";
  }
  text += kReasonLabel + (failure.error.code == kErrorSourceChanged ? std::wstring(kSourceChangedText)
                                                                    : failure.error.description);
  if (const wchar_t* advice = Advice(failure)) text += std::wstring(L"\n") + kAdviceLabel + advice;
  if (!failure.error.keptAs.empty()) text += L"\n" + (kDestinationLostText + failure.error.keptAs);
  if (!holders.empty()) {
    text += std::wstring(L"\n") + kHoldersLabel;
    for (std::size_t i = 0; i < holders.size() && i < kHoldersNamed; ++i) {
      if (i > 0) text += kListSeparator;
      text += holders[i].name + kPidOpen + std::to_wstring(holders[i].pid) + kPidClose;
    }
    if (holders.size() > kHoldersNamed) text += kMoreHoldersText;
  }
  return text;
}

}  // namespace mirrolet
