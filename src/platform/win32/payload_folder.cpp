#include "platform/win32/payload_folder.h"

#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <string>

#include "base/bundle_format.h"
#include "base/utf8.h"
#include "os/sha256.h"
#include "os/win32/whole_io.h"
#include "platform/payload_state.h"
#include "platform/win32/host_error.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

constexpr wchar_t kFolderPrefix[] = L"mirrolet-bundle-";
// Inside the private folder: the lock its run holds open, and the update's
// files beside it, so that no file of the update can take the lock's name.
constexpr wchar_t kLockName[] = L"\\lock";
constexpr wchar_t kFilesName[] = L"\\update";

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
    std::error_code ignored;
    std::filesystem::remove_all(ExtendedPath(folder), ignored);
  } while (FindNextFileW(search.get(), &found));
}

// Writes the files into the private folder, made when the first file comes.
class FolderSink final : public bundle::FileSink {
 public:
  FolderSink(std::wstring& folder, UniqueFile& lock, HostError& error) : folder_(folder), lock_(lock), error_(error) {}

  bool MakeFolder() {
    if (!folder_.empty()) return true;
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
    if (!CreateDirectoryW((folder_ + kFilesName).c_str(), nullptr)) return Fail(error_, GetLastError());
    return true;
  }

  bool Open(const bundle::FileEntry& entry) override {
    if (!MakeFolder()) return false;
    std::wstring name = FromUtf8(entry.name);
    for (wchar_t& c : name) c = c == L'/' ? L'\\' : c;
    const std::wstring files = folder_ + kFilesName + L"\\";
    for (std::size_t slash = name.find(L'\\'); slash != std::wstring::npos; slash = name.find(L'\\', slash + 1)) {
      if (!CreateDirectoryW(ExtendedPath(files + name.substr(0, slash)).c_str(), nullptr) &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        return Fail(error_, GetLastError());
      }
    }
    file_.reset(CreateFileW(ExtendedPath(files + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file_ || Fail(error_, GetLastError());
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
  UniqueFile file_;
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
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(ExtendedPath(folder_), ignored);
  }
  folder_.clear();
}

}  // namespace mirrolet::win32
