#include "update/update_run.h"

#include <array>
#include <cstdint>
#include <vector>

#include "settings/work_path.h"
#include "update/copy_list.h"
#include "update/messages.h"

namespace mirrolet {

namespace {

struct Product {
  const wchar_t* name;
  const char* key;
};

constexpr std::array<Product, 2> kProducts{{{L"Halvix", kHalvixKey}, {L"Pruvex", kPruvexKey}}};

std::wstring WithTrailingBackslash(std::wstring path) {
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path;
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
  for (std::size_t i = 0; i < kProducts.size(); ++i) workPaths[i] = ReadWorkPath(host, kProducts[i].key);
  const std::wstring appFolder = GetAppFolder(host);

  // Copy only on an explicit Yes. A box that could not be shown (0) or was
  // dismissed some other way is not consent to overwrite product files.
  if (host.ShowMessageBox(kConfirmText, kConfirmTitle, kMbYesNo | kMbIconWarning) != kIdYes) {
    host.EndProcess(kExitDeclined);
    return;
  }

  std::int16_t productFound = 0;
  bool everyListRead = true;
  std::size_t current = 0;
  try {
    for (current = 0; current < kProducts.size(); ++current) {
      if (workPaths[current].empty()) continue;
      everyListRead &= RunProductPass(host, workPaths[current], appFolder, routine);
      productFound = 1;
    }
  } catch (const CopyFailure& failure) {
    std::vector<FileHolder> holders;
    if (FileInUse(failure.error.code) && !failure.destination.empty()) {
      holders = host.FileHolders(failure.destination);
    }
    host.ShowMessageBox(CopyFailedText(kProducts[current].name, failure, holders), kCopyFailedTitle,
                        kMbOk | kMbIconError);
    host.EndProcess(kExitCopyFailed);
    return;
  }

  if (productFound == 1) {
    host.ShowMessageBox(kDoneText, kDoneTitle, kMbOk | kMbIconInformation);
    host.EndProcess(everyListRead ? kExitDone : kExitListMissing);
  } else {
    host.ShowMessageBox(kNothingRegisteredText, kNothingRegisteredTitle, kMbOk | kMbIconWarning);
    host.EndProcess(kExitNothingFound);
  }
}

void Main(Platform& host) { Main(host, ProcessCopyList); }

}  // namespace mirrolet
