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

// Removes the folder `path` and all it holds, however deep: by "\\?\" paths,
// which reach past MAX_PATH, and with the folders still to go on a list of
// its own rather than the stack. Each folder is listed once, its files go at
// once and its folders are kept by name for later, so the work is linear in
// what it holds. A link or junction is removed, never followed.
void RemoveTree(const std::wstring& path) {
  struct Folder {
    std::size_t length;                 // of its path
    std::vector<std::wstring> folders;  // not yet removed
  };
  std::wstring at = ExtendedPath(path);
  std::vector<Folder> open;
  const auto enter = [&] {
    open.push_back({at.size(), {}});
    WIN32_FIND_DATAW found;
    const UniqueFind search(FindFirstFileExW((at + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                             nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!search) return;
    do {
      const std::wstring_view name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = at + L"\\" + found.cFileName;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(child.c_str(), found.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
      }
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(child.c_str());
      } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        RemoveDirectoryW(child.c_str());  // the link, not what it points at
      } else {
        open.back().folders.emplace_back(name);
      }
    } while (FindNextFileW(search.get(), &found));
  };
  enter();
  while (!open.empty()) {
    Folder& deepest = open.back();
    if (deepest.folders.empty()) {
      RemoveDirectoryW(at.c_str());
      open.pop_back();
      if (!open.empty()) at.resize(open.back().length);
      continue;
    }
    at += L"\\" + deepest.folders.back();
    deepest.folders.pop_back();
    enter();
  }
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
    files_ = ExtendedPath(folder_ + kFilesName);
    return true;
  }

  bool Open(const bundle::FileEntry& entry) override {
    if (!MakeFolder()) return false;
    // The checked parts go onto the folder's "\\?\" path as they stand; only
    // the folders the name before did not make are made, each once.
    const std::size_t folders = bundle::SharedFolders(previous_, entry.name);
    previous_ = entry.name;
    const std::wstring name = FromUtf8(entry.name);
    std::wstring path = files_;
    for (std::size_t start = 0, part = 0;; ++part) {
      const std::size_t slash = name.find(L'/', start);
      path += L'\\';
      path.append(name, start, slash == std::wstring::npos ? std::wstring::npos : slash - start);
      if (slash == std::wstring::npos) break;
      if (part >= folders && !CreateDirectoryW(path.c_str(), nullptr)) return Fail(error_, GetLastError());
      start = slash + 1;
    }
    file_.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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
  std::wstring files_;     // the folder of the update's files, as a "\\?\" path
  std::string previous_;   // the name of the file before, as stored
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
