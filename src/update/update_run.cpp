#include "update/update_run.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
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

// What a run has learnt that the failure report may need.
struct RunState {
  std::array<std::wstring, kProducts.size()> workPaths;
  std::size_t current = kProducts.size();  // the product whose pass runs, if any
  std::wstring programFolder;
  std::optional<PayloadState> payload;  // once the program's own file was read
  HostError payloadError;
  CarriedUpdate carried;  // the update the program carries, when `bundle` is set
  std::wstring bundle;    // the program's own file, when it carries the update
  bool elevationDeclined = false;
  bool elevated = false;  // the run has administrator rights
};

void ReportFailure(Platform& host, const RunState& run, const UpdateFailure& failure) {
  if (failure.kind() == UpdateFailure::Kind::kPayloadDamaged) {
    host.ShowMessageBox(kPayloadDamagedText, kCopyFailedTitle, kMbOk | kMbIconError);
    host.EndProcess(kExitCopyFailed);
    return;
  }
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
  // A carried file's source is its name inside the bundle.
  if (run.bundle.empty()) context.programFolder = run.programFolder;
  context.bundle = run.bundle;
  host.ShowMessageBox(CopyFailedText(failure, context), kCopyFailedTitle, kMbOk | kMbIconError);
  host.EndProcess(kExitCopyFailed);
}

// What the passes will write: each product's destinations from the list
// beside the program, else (a bundle, whose list is read only after the
// question) each product's folder, which will take new files.
// What the program carries, read once, whoever asks first.
PayloadState OpenPayload(Platform& host, RunState& run) {
  if (!run.payload) {
    run.payload = host.OpenPayload(run.carried, run.payloadError);
    if (run.payload == PayloadState::kReady) run.bundle = host.ExecutablePath();
  }
  return *run.payload;
}

UpdateSource SourceOf(const RunState& run) {
  if (run.bundle.empty()) return {run.programFolder};
  return {L"", &run.carried};
}

// What the passes will write: each product's destinations from the list the
// update brings (a bundle's own, checked), else, for a bundle that will not
// be copied from or a folder without a list, each product's folder, which
// would take new files.
std::vector<std::wstring> PassWrites(Platform& host, RunState& run) {
  const PayloadState payload = OpenPayload(host, run);
  const bool listed = payload == PayloadState::kReady ? run.carried.list.has_value()
                      : payload == PayloadState::kNone ? !host.FindFileName(run.programFolder + kCopyListName).empty()
                                                       : false;
  std::vector<std::wstring> writes;
  for (const std::wstring& path : run.workPaths) {
    if (path.empty()) continue;
    const std::wstring workPath = WithTrailingBackslash(path);
    if (!listed) {
      writes.push_back(workPath);
      continue;
    }
    std::vector<std::wstring> destinations = PlannedDestinations(host, workPath, SourceOf(run));
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

// Where the passes' files come from: the update the program carries, else
// the program's folder. Throws UpdateFailure when the run must stop.
void TakePayload(Platform& host, RunState& run) {
  switch (OpenPayload(host, run)) {
    case PayloadState::kNone:
    case PayloadState::kReady:
      return;
    case PayloadState::kDamaged:
      throw UpdateFailure::PayloadDamaged();
    case PayloadState::kUnreadable:
      break;
  }
  throw UpdateFailure::PayloadUnreadable(host.ExecutablePath(), run.payloadError);
}

}  // namespace

std::wstring GetAppFolder(Platform& host) { return WithTrailingBackslash(host.ExecutableFolder()); }

bool RunProductPass(Platform& host, const std::wstring& workPath, const UpdateSource& source,
                    const CopyListRoutine& routine) {
  const std::wstring completed = WithTrailingBackslash(workPath);
  const bool found =
      source.carried ? source.carried->list.has_value() : !host.FindFileName(source.appFolder + kCopyListName).empty();
  if (!found) {
    host.ShowMessageBox(kListMissingText, kListMissingTitle, kMbOk | kMbIconWarning);
    return false;
  }
  routine(host, completed, source);
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
    if (anyProduct) TakePayload(host, run);
    const UpdateSource source = SourceOf(run);

    std::int16_t productFound = 0;
    bool everyListRead = true;
    for (run.current = 0; run.current < kProducts.size(); ++run.current) {
      if (paths[run.current].empty()) continue;
      everyListRead &= RunProductPass(host, paths[run.current], source, routine);
      productFound = 1;
    }
    run.current = kProducts.size();

    if (productFound == 1) {
      host.ShowMessageBox(kDoneText, kDoneTitle, kMbOk | kMbIconInformation);
      host.EndProcess(everyListRead ? kExitDone : kExitListMissing);
    } else {
      host.ShowMessageBox(kNothingRegisteredText, kNothingRegisteredTitle, kMbOk | kMbIconWarning);
      host.EndProcess(kExitNothingFound);
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
