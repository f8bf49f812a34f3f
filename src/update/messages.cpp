#include "update/messages.h"

#include <algorithm>

#include "update/failure.h"

namespace mirrolet {

namespace {

constexpr std::size_t kHoldersNamed = 5;

bool NamesNoFile(const std::wstring& path) { return path.empty() || path.back() == L'\\' || path.back() == L'/'; }

bool IsAscii(const std::wstring& text) {
  return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; });
}

// The disk a folder lies on, as the user knows it: "C:", a share's
// "\\server\share", else the folder itself.
std::wstring DiskOf(const std::wstring& folder) {
  if (folder.size() >= 2 && folder[1] == L':') return folder.substr(0, 2);
  if (folder.starts_with(L"\\\\")) {
    const std::size_t server = folder.find(L'\\', 2);
    const std::size_t share = server == std::wstring::npos ? server : folder.find(L'\\', server + 1);
    return folder.substr(0, share);
  }
  return folder;
}

// The folder a file lies in, as the report names it: without the final "\".
std::wstring FolderText(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// A source as the list names it: what follows the program folder.
std::wstring ListedName(const std::wstring& source, const ReportContext& context) {
  const std::wstring& folder = context.programFolder;
  return !folder.empty() && source.starts_with(folder) ? source.substr(folder.size()) : source;
}

// A source as the user can find it: a bundle's file by the bundle and its
// name inside, since the private folder is gone when the report is read.
std::wstring SourceText(const std::wstring& source, const ReportContext& context) {
  if (context.bundle.empty() || context.programFolder.empty() || !source.starts_with(context.programFolder)) {
    return source;
  }
  return context.bundle + kInsideBundleText + ListedName(source, context);
}

std::wstring Advice(const UpdateFailure& failure, const ReportContext& context) {
  const CopyFailure* copy = failure.copy();
  const unsigned long code = failure.error.code;
  const bool missing = code == kErrorFileNotFound || code == kErrorPathNotFound;
  // An entry whose source or destination names no file (an empty key, the
  // product folder itself) is a fault of the update. Running as administrator
  // or looking for a missing folder would not help, so it gets no advice.
  if (copy && (NamesNoFile(copy->source) || NamesNoFile(copy->destination))) return {};
  if (FileInUse(code)) return kAdviceInUse;
  if (const PayloadFailure* payload = failure.payload()) {
    // The private folder of a payload is no folder of the product, nor a file
    // of the update: a missing one says nothing the user can act on.
    if (missing) return {};
    if ((code == kErrorHandleDiskFull || code == kErrorDiskFull) && !payload->folder.empty()) {
      return kAdviceTempDiskFullBefore + DiskOf(payload->folder) + kAdviceTempDiskFullAfter;
    }
  }
  // Once staged, the files a step works on are our own temporaries: one that
  // is missing was taken away, not left out of the update.
  if (copy && copy->step != CopyStep::kStage && missing) return kAdviceTemporaryGone;
  if (failure.error.readOnly) return kAdviceReadOnly;
  if (code == kErrorPathNotFound && !context.goneProductFolder.empty()) {
    return kAdviceProductGoneBefore + context.goneProductFolder + kAdviceProductGoneAfter;
  }
  // A name the list spells in Big5 reads as other characters in another code
  // page: getting the update again would never help.
  if (copy && code == kErrorFileNotFound && failure.error.aboutSource && context.foreignCodePage &&
      !IsAscii(ListedName(copy->source, context))) {
    return kAdviceCodePage;
  }
  if (code == kErrorAccessDenied && context.elevated) {
    // More rights cannot help: something refuses administrators too.
    const PayloadFailure* payload = failure.payload();
    const std::wstring blocked = copy ? FolderText(failure.error.aboutSource ? copy->source : copy->destination)
                                 : payload ? payload->folder
                                           : std::wstring();
    if (!blocked.empty()) return kAdviceBlockedBefore + blocked + kAdviceBlockedAfter;
  }
  if (code == kErrorAccessDenied && context.elevationDeclined) return kAdviceElevationDeclined;
  switch (code) {
    case kErrorFileNotFound: return kAdviceSourceMissing;
    case kErrorPathNotFound: return kAdviceFolderMissing;
    case kErrorAccessDenied: return kAdviceAccessDenied;
    case kErrorHandleDiskFull: case kErrorDiskFull: return kAdviceDiskFull;
    case kErrorNoUnicodeTranslation: return kAdviceUnspellable;
    case kErrorSourceChanged: return kAdviceSourceChanged;
    default: return {};
  }
}

// Which of the product's files are replaced: entries 1 to `replaced`.
std::wstring StateText(const CopyFailure& copy) {
  if (copy.replaced <= 0) return kNothingChangedText;
  std::wstring text = kReplacedBefore;
  if (copy.replaced > 1) text += kReplacedTo + std::to_wstring(copy.replaced) + L" ";
  text += kReplacedAfter;
  if (copy.replaced < copy.count) text += kUnchangedFrom + std::to_wstring(copy.replaced + 1) + kUnchangedAfter;
  else text += L"。";
  return text;
}

}  // namespace

bool FileInUse(unsigned long code) {
  return code == kErrorSharingViolation || code == kErrorLockViolation || code == kErrorUserMappedFile;
}

std::wstring CopyFailedText(const UpdateFailure& failure, const ReportContext& context) {
  std::wstring text = std::wstring(kCopyFailedHeader) + L"\n\n";
  if (!context.product.empty()) text += kProductLabel + context.product + L"\n";
  if (const ListFailure* list = failure.list()) {
    text += kListUnreadableLabel + list->list + L"\n";
  } else if (const PayloadFailure* payload = failure.payload(); payload && !payload->folder.empty()) {
    text += kPayloadUnwritableLabel + payload->folder + L"\n";
  } else if (const CopyFailure* copy = failure.copy()) {
    text += kEntryLabel + std::to_wstring(copy->entry) + kEntryOfText + std::to_wstring(copy->count) +
            kEntryEndText + L"\n" + kSourceLabel + SourceText(copy->source, context) + L"\n" + kDestinationLabel +
            (copy->destination.empty() ? kEmptyValueText : copy->destination) + L"\n" + kStateLabel +
            StateText(*copy) + L"\n";
  }
  text += kReasonLabel + (failure.error.code == kErrorSourceChanged ? std::wstring(kSourceChangedText)
                                                                    : failure.error.description);
  if (const std::wstring advice = Advice(failure, context); !advice.empty()) {
    text += std::wstring(L"\n") + kAdviceLabel + advice;
  }
  if (!failure.error.keptAs.empty()) text += L"\n" + (kDestinationLostText + failure.error.keptAs);
  if (!context.holders.empty()) {
    text += std::wstring(L"\n") + kHoldersLabel;
    for (std::size_t i = 0; i < context.holders.size() && i < kHoldersNamed; ++i) {
      if (i > 0) text += kListSeparator;
      text += context.holders[i].name + kPidOpen + std::to_wstring(context.holders[i].pid) + kPidClose;
    }
    if (context.holders.size() > kHoldersNamed) text += kMoreHoldersText;
  }
  return text;
}

}  // namespace mirrolet
