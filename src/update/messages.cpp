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
// name inside.
std::wstring SourceText(const std::wstring& source, const ReportContext& context) {
  if (context.bundle.empty()) return source;
  return context.bundle + kInsideBundleText + source;
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
  // The program's own file that cannot be read is no folder of the product,
  // nor a file of the update: getting it again is all that can help.
  if (failure.payload()) return kAdvicePayloadUnreadable;
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
    // A bundle's own file is no folder to name.
    const bool carried = failure.error.aboutSource && !context.bundle.empty();
    const std::wstring blocked =
        copy && !carried ? FolderText(failure.error.aboutSource ? copy->source : copy->destination) : std::wstring();
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
    case kErrorUntrustedLink: return kAdviceUntrustedLink;
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
  } else if (const PayloadFailure* payload = failure.payload()) {
    text += kPayloadUnreadableLabel + payload->bundle + L"\n";
  } else if (const CopyFailure* copy = failure.copy()) {
    text += kEntryLabel + std::to_wstring(copy->entry) + kEntryOfText + std::to_wstring(copy->count) +
            kEntryEndText + L"\n" + kSourceLabel + SourceText(copy->source, context) + L"\n" + kDestinationLabel +
            (copy->destination.empty() ? kEmptyValueText : copy->destination) + L"\n" + kStateLabel +
            StateText(*copy) + L"\n";
  }
  if (failure.error.code == kErrorSourceChanged) {
    text += kReasonLabel + std::wstring(kSourceChangedText);
  } else if (failure.error.code == kErrorUntrustedLink) {
    text += kReasonLabel + (kUntrustedLinkBefore + failure.error.link + kUntrustedLinkAfter);
  } else {
    text += kReasonLabel + failure.error.description;
  }
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
