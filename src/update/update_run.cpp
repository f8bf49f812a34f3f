#include "update/update_run.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "settings/work_path.h"
#include "update/copy_list.h"
#include "update/messages.h"

namespace mirrolet {

namespace {

std::wstring WithTrailingBackslash(std::wstring path) {
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path;
}

// Every end of a run that may have unpacked a payload: its folder goes first,
// whatever the outcome.
void Finish(Platform& host, unsigned status) {
  host.RemovePayload();
  host.EndProcess(status);
}

void ReportFailure(Platform& host, std::size_t product, const UpdateFailure& failure) {
  const std::wstring name = product < kProducts.size() ? kProducts[product].name : L"";
  std::vector<FileHolder> holders;
  if (const CopyFailure* copy = failure.copy(); copy && FileInUse(failure.error.code)) {
    const std::wstring& held = failure.error.aboutSource ? copy->source : copy->destination;
    if (!held.empty()) holders = host.FileHolders(held);
  }
  host.ShowMessageBox(CopyFailedText(name, failure, holders), kCopyFailedTitle, kMbOk | kMbIconError);
  Finish(host, kExitCopyFailed);
}

// The program folder of the passes: the folder a carried payload was unpacked
// into, else the program's own. Returns false when the run must stop, having
// reported why.
bool TakePayload(Platform& host, std::wstring& programFolder) {
  std::wstring unpacked;
  HostError error;
  switch (host.UnpackPayload(unpacked, error)) {
    case PayloadState::kNone:
      return true;
    case PayloadState::kUnpacked:
      programFolder = WithTrailingBackslash(unpacked);
      return true;
    case PayloadState::kDamaged:
      host.ShowMessageBox(kPayloadDamagedText, kCopyFailedTitle, kMbOk | kMbIconError);
      Finish(host, kExitCopyFailed);
      return false;
    case PayloadState::kFailed:
      break;
  }
  throw UpdateFailure::PayloadUnwritable(std::move(unpacked), std::move(error));
}

}  // namespace

std::wstring GetAppFolder(Platform& host) { return WithTrailingBackslash(host.ExecutableFolder()); }

bool RunProductPass(Platform& host, const std::wstring& workPath, const std::wstring& appFolder,
                    const CopyListRoutine& routine) {
  const std::wstring completed = WithTrailingBackslash(workPath);
  if (host.FindFileName(appFolder + kCopyListName).empty()) {
    host.ShowMessageBox(kListMissingText, kListMissingTitle, kMbOk | kMbIconWarning);
    return false;
  }
  routine(host, completed, appFolder);
  return true;
}

void Main(Platform& host, const CopyListRoutine& routine) {
  std::array<std::wstring, kProducts.size()> workPaths;
  std::size_t current = kProducts.size();  // the product whose pass runs, if any
  try {
    for (std::size_t i = 0; i < kProducts.size(); ++i) workPaths[i] = ReadWorkPath(host, kProducts[i].key);
    std::wstring appFolder = GetAppFolder(host);
    // Without its own folder the run would look for the list in the root of
    // the drive (or of the file system), which is never what was meant.
    if (appFolder == L"\\") {
      throw UpdateFailure::AppFolderUnknown();
    }

    // Copy only on an explicit Yes. A box that could not be shown (0) or was
    // dismissed some other way is not consent to overwrite product files.
    if (host.ShowMessageBox(kConfirmText, kConfirmTitle, kMbYesNo | kMbIconWarning) != kIdYes) {
      host.EndProcess(kExitDeclined);
      return;
    }

    // Only a run that will copy reads the payload: a declined run, or one
    // with no product, ends as fast as a plain program.
    const bool anyProduct = std::any_of(workPaths.begin(), workPaths.end(), [](const auto& path) { return !path.empty(); });
    if (anyProduct && !TakePayload(host, appFolder)) return;

    std::int16_t productFound = 0;
    bool everyListRead = true;
    for (current = 0; current < kProducts.size(); ++current) {
      if (workPaths[current].empty()) continue;
      everyListRead &= RunProductPass(host, workPaths[current], appFolder, routine);
      productFound = 1;
    }
    current = kProducts.size();

    if (productFound == 1) {
      host.ShowMessageBox(kDoneText, kDoneTitle, kMbOk | kMbIconInformation);
      Finish(host, everyListRead ? kExitDone : kExitListMissing);
    } else {
      host.ShowMessageBox(kNothingRegisteredText, kNothingRegisteredTitle, kMbOk | kMbIconWarning);
      Finish(host, kExitNothingFound);
    }
    return;
  } catch (const UpdateFailure& failure) {
    ReportFailure(host, current, failure);
  } catch (const std::bad_alloc&) {
    ReportFailure(host, current, UpdateFailure::OutOfMemory());
  } catch (const std::exception& unexpected) {
    // Whatever else goes wrong still reaches the user as a report.
    ReportFailure(host, current, UpdateFailure::Internal(unexpected.what()));
  }
}

void Main(Platform& host) { Main(host, ProcessCopyList); }

}  // namespace mirrolet
