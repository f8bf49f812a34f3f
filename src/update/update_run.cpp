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

// What a run has learnt that the failure report may need.
struct RunState {
  std::array<std::wstring, kProducts.size()> workPaths;
  std::size_t current = kProducts.size();  // the product whose pass runs, if any
  std::wstring programFolder;
  std::wstring bundle;  // the program's own file, when the program folder is its unpacked payload
  bool elevationDeclined = false;
  bool elevated = false;  // the run has administrator rights
};

void ReportFailure(Platform& host, const RunState& run, const UpdateFailure& failure) {
  ReportContext context;
  const bool inPass = run.current < kProducts.size();
  if (inPass) context.product = kProducts[run.current].name;
  const CopyFailure* copy = failure.copy();
  if (copy && FileInUse(failure.error.code)) {
    const std::wstring& held = failure.error.aboutSource ? copy->source : copy->destination;
    if (!held.empty()) context.holders = host.FileHolders(held);
  }
  // A folder missing from the product's own, or the product's folder itself gone.
  if (copy && inPass && failure.error.code == kErrorPathNotFound && !failure.error.aboutSource &&
      !host.FolderExists(run.workPaths[run.current])) {
    context.goneProductFolder = run.workPaths[run.current];
  }
  context.elevationDeclined = run.elevationDeclined;
  context.elevated = run.elevated;
  context.foreignCodePage = host.ForeignCodePage();
  context.programFolder = run.programFolder;
  context.bundle = run.bundle;
  host.ShowMessageBox(CopyFailedText(failure, context), kCopyFailedTitle, kMbOk | kMbIconError);
  Finish(host, kExitCopyFailed);
}

// What the passes will write: each product's destinations from the list
// beside the program, else (a bundle, whose list is read only after the
// question) each product's folder, which will take new files.
std::vector<std::wstring> PassWrites(Platform& host, const RunState& run) {
  const bool listed = !host.FindFileName(run.programFolder + kCopyListName).empty();
  std::vector<std::wstring> writes;
  for (const std::wstring& path : run.workPaths) {
    if (path.empty()) continue;
    const std::wstring workPath = WithTrailingBackslash(path);
    if (!listed) {
      writes.push_back(workPath);
      continue;
    }
    std::vector<std::wstring> destinations = PlannedDestinations(host, workPath, run.programFolder);
    writes.insert(writes.end(), std::make_move_iterator(destinations.begin()),
                  std::make_move_iterator(destinations.end()));
  }
  return writes;
}

// Asks for administrator rights where what the passes will write needs
// them. Returns false when an elevated run did the whole update and this one
// has ended with its status.
bool HandOverToElevatedRun(Platform& host, RunState& run) {
  const auto& paths = run.workPaths;
  if (std::all_of(paths.begin(), paths.end(), [](const auto& path) { return path.empty(); })) return true;
  unsigned status = 0;
  switch (host.ElevateIfNeeded([&] { return PassWrites(host, run); }, status)) {
    case Elevation::kElevated:
      run.elevated = true;
      return true;
    case Elevation::kRelaunched:
      host.EndProcess(status);
      return false;
    case Elevation::kDeclined:
      run.elevationDeclined = true;
      return true;
    case Elevation::kNotNeeded:
    case Elevation::kFailed:
      return true;
  }
  return true;
}

// The program folder of the passes: the folder a carried payload was unpacked
// into, else the program's own. Returns false when the run must stop, having
// reported why.
bool TakePayload(Platform& host, RunState& run) {
  std::wstring unpacked;
  HostError error;
  switch (host.UnpackPayload(unpacked, error)) {
    case PayloadState::kNone:
      return true;
    case PayloadState::kUnpacked:
      run.programFolder = WithTrailingBackslash(unpacked);
      run.bundle = host.ExecutablePath();
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
  RunState run;
  try {
    for (std::size_t i = 0; i < kProducts.size(); ++i) run.workPaths[i] = ReadWorkPath(host, kProducts[i].key);
    run.programFolder = GetAppFolder(host);
    // Without its own folder the run would look for the list in the root of
    // the drive (or of the file system), which is never what was meant.
    if (run.programFolder == L"\\") {
      throw UpdateFailure::AppFolderUnknown();
    }

    // Before anything is asked, and before a bundle is read: the elevated
    // run, if one is needed, asks and reads instead of this one.
    if (!HandOverToElevatedRun(host, run)) return;

    // Copy only on an explicit Yes. A box that could not be shown (0) or was
    // dismissed some other way is not consent to overwrite product files.
    if (host.ShowMessageBox(kConfirmText, kConfirmTitle, kMbYesNo | kMbIconWarning) != kIdYes) {
      host.EndProcess(kExitDeclined);
      return;
    }

    // Only a run that will copy reads the payload: a declined run, or one
    // with no product, ends as fast as a plain program.
    const auto& paths = run.workPaths;
    const bool anyProduct = std::any_of(paths.begin(), paths.end(), [](const auto& path) { return !path.empty(); });
    if (anyProduct && !TakePayload(host, run)) return;

    std::int16_t productFound = 0;
    bool everyListRead = true;
    for (run.current = 0; run.current < kProducts.size(); ++run.current) {
      if (paths[run.current].empty()) continue;
      everyListRead &= RunProductPass(host, paths[run.current], run.programFolder, routine);
      productFound = 1;
    }
    run.current = kProducts.size();

    if (productFound == 1) {
      host.ShowMessageBox(kDoneText, kDoneTitle, kMbOk | kMbIconInformation);
      Finish(host, everyListRead ? kExitDone : kExitListMissing);
    } else {
      host.ShowMessageBox(kNothingRegisteredText, kNothingRegisteredTitle, kMbOk | kMbIconWarning);
      Finish(host, kExitNothingFound);
    }
    return;
  } catch (const UpdateFailure& failure) {
    ReportFailure(host, run, failure);
  } catch (const std::bad_alloc&) {
    ReportFailure(host, run, UpdateFailure::OutOfMemory());
  } catch (const std::exception& unexpected) {
    // Whatever else goes wrong still reaches the user as a report.
    ReportFailure(host, run, UpdateFailure::Internal(unexpected.what()));
  }
}

void Main(Platform& host) { Main(host, ProcessCopyList); }

}  // namespace mirrolet
