#include "platform/win32/payload_folder.h"

#include <windows.h>

#include <cwchar>
#include <string_view>
#include <vector>
#include <string>

#include "base/bundle_format.h"
#include "base/utf8.h"
#include "os/sha256.h"
#include "os/win32/whole_io.h"
#include "platform/payload_state.h"
#include "platform/win32/host_error.h"
#include "platform/win32/relative_tree.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

constexpr wchar_t kFolderPrefix[] = L"mirrolet-bundle-";
// Inside the private folder: the lock its run holds open, and the update's
// files beside it, so that no file of the update can take the lock's name.
constexpr wchar_t kLockName[] = L"\\lock";
constexpr wchar_t kFilesName[] = L"\\update";
constexpr std::wstring_view kFilesPart = L"update";

std::wstring TempFolder() {
  std::wstring path(MAX_PATH + 1, L'\0');
  const DWORD n = GetTempPathW(static_cast<DWORD>(path.size()), path.data());
  path.resize(n < path.size() ? n : 0);
  return path;  // ends with "\"
}

// Removes the private folders of runs that have ended. A run holds its
// folder's lock file open without delete sharing for as long as it goes, and
// Windows closes the handle however the run ends: a lock file we can open for
// deleting proves that run is over. A process id alone proves nothing, since
// ids are reused. A folder without a lock file may belong to a run that is
// just starting, so it stays.
void RemoveEndedRuns(const std::wstring& temp) {
  WIN32_FIND_DATAW found;
  const UniqueFind search(FindFirstFileW((temp + kFolderPrefix + L"*").c_str(), &found));
  if (!search) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      continue;
    }
    const std::wstring folder = temp + found.cFileName;
    if (!UniqueFile(CreateFileW((folder + kLockName).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr))) {
      continue;
    }
    RemoveTree(folder);
  } while (FindNextFileW(search.get(), &found));
}

// Writes the files into the private folder, made when the first file comes.
class FolderSink final : public bundle::FileSink {
 public:
  FolderSink(std::wstring& folder, UniqueFile& lock, HostError& error) : folder_(folder), lock_(lock), error_(error) {}

  bool MakeFolder() {
    if (!folder_.empty()) return !folders_.empty();  // made, or failed, before
    const std::wstring temp = TempFolder();
    if (temp.empty()) return Fail(error_, GetLastError());
    // A name that no folder has: CreateDirectory fails on one that exists, so
    // a folder is never reused, whoever made it.
    std::wstring folder;
    for (unsigned attempt = 0; folder.empty(); ++attempt) {
      wchar_t name[64];
      std::swprintf(name, 64, L"%08lx-%016llx-%u", GetCurrentProcessId(), GetTickCount64(), attempt);
      const std::wstring candidate = temp + kFolderPrefix + name;  // as the failure report shows it
      if (CreateDirectoryW(ExtendedPath(candidate).c_str(), nullptr)) {
        folder = candidate;
      } else if (GetLastError() != ERROR_ALREADY_EXISTS || attempt == 100) {
        return Fail(error_, GetLastError());
      }
    }
    folder_ = folder;
    lock_.reset(CreateFileW((folder_ + kLockName).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!lock_) return Fail(error_, GetLastError());
    DWORD code = ERROR_SUCCESS;
    const UniqueObject top = OpenFolder(folder_, code);
    UniqueObject files = top ? MakeFolderIn(top.get(), kFilesPart, code) : UniqueObject();
    if (!files) return Fail(error_, code);
    folders_.push_back(std::move(files));
    return true;
  }

  bool Open(const bundle::FileEntry& entry) override {
    if (!MakeFolder()) return false;
    // Each part is made inside the folder above it, through the handles kept
    // open for the folders of the name before: only the folders that name did
    // not make are made, each once, and no step walks the whole path.
    const std::size_t shared = bundle::SharedFolders(previous_, entry.name);
    previous_ = entry.name;
    while (folders_.size() > shared + 1) folders_.pop_back();
    const std::wstring name = FromUtf8(entry.name);
    const std::wstring_view parts = name;
    DWORD code = ERROR_SUCCESS;
    std::size_t start = 0;
    for (std::size_t part = 0, slash; (slash = parts.find(L'/', start)) != std::wstring_view::npos; ++part) {
      if (part >= shared) {
        UniqueObject folder = MakeFolderIn(folders_.back().get(), parts.substr(start, slash - start), code);
        if (!folder) return Fail(error_, code);
        folders_.push_back(std::move(folder));
      }
      start = slash + 1;
    }
    file_ = MakeFileIn(folders_.back().get(), parts.substr(start), code);
    return file_ || Fail(error_, code);
  }

  bool Write(const std::uint8_t* bytes, std::size_t size) override {
    const DWORD code = WriteAll(file_.get(), bytes, size);
    return code == ERROR_SUCCESS || Fail(error_, code);
  }

  bool Close() override { return CloseHandle(file_.release()) || Fail(error_, GetLastError()); }

 private:
  std::wstring& folder_;
  UniqueFile& lock_;
  HostError& error_;
  UniqueObject file_;
  // Open while the files go in: the folder of the update's files, then each
  // folder of the file before, outermost first.
  std::vector<UniqueObject> folders_;
  std::string previous_;  // the name of the file before, as stored
};

}  // namespace

PayloadState PayloadFolder::Unpack(std::wstring& files, HostError& error) {
  const UniqueFile file(CreateFileW(ExtendedPath(OwnPath()).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER size{};
  if (!file) return PayloadState::kNone;
  const bundle::ReadAt read = [self = file.get()](std::uint64_t offset, std::uint8_t* into, std::size_t count) {
    return ReadAllAt(self, offset, into, count);
  };
  // The layout stops at the certificate table of a signed file: nothing in
  // or after it is read.
  const auto layout = GetFileSizeEx(file.get(), &size) ? bundle::ReadProgramLayout(read, static_cast<std::uint64_t>(size.QuadPart))
                                                 : std::nullopt;
  PayloadState state = PayloadState::kNone;
  if (layout && layout->payloadEnd != layout->imageEnd) {
    const std::wstring temp = TempFolder();
    if (!temp.empty()) RemoveEndedRuns(temp);
    FolderSink sink(folder_, lock_, error);
    state = PayloadStateOf(bundle::Unpack(read, *layout, os::NewSha256, sink), [&] { return sink.MakeFolder(); });
  }
  if (state == PayloadState::kUnpacked) {
    files = folder_ + kFilesName;
  } else {
    Remove();
  }
  return state;
}

void PayloadFolder::Remove() {
  // The lock goes first: a file held open without delete sharing cannot be
  // deleted, not even by the run that holds it.
  lock_.reset();
  if (!folder_.empty()) RemoveTree(folder_);
  folder_.clear();
}

}  // namespace mirrolet::win32
