#include "platform/win32/relative_tree.h"

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// NtCreateFile is the one call that opens a name relative to a folder's
// handle. ntdll is in every process; its functions are looked up rather than
// imported, so the program's imports stay the documented Win32 DLLs.
struct Ntdll {
  decltype(&::NtCreateFile) createFile = nullptr;
  decltype(&::RtlNtStatusToDosError) errorOf = nullptr;
};

template <typename F>
F NtdllFunction(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)));
}

const Ntdll& Nt() {
  static const Ntdll nt{NtdllFunction<decltype(&::NtCreateFile)>("NtCreateFile"),
                        NtdllFunction<decltype(&::RtlNtStatusToDosError)>("RtlNtStatusToDosError")};
  return nt;
}

// `name` inside `parent` (or, with no parent, the whole NT path `name`),
// opened for synchronous I/O; the NT options and disposition as NtCreateFile
// takes them. Names compare without regard to case, as the Win32 calls do.
UniqueObject Open(HANDLE parent, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, DWORD& error) {
  const Ntdll& nt = Nt();
  if (nt.createFile == nullptr || nt.errorOf == nullptr) {
    error = ERROR_PROC_NOT_FOUND;
    return {};
  }
  if (name.size() > 0x7FFF) {  // UNICODE_STRING counts bytes in 16 bits
    error = ERROR_FILENAME_EXCED_RANGE;
    return {};
  }
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING text{bytes, bytes, const_cast<wchar_t*>(name.data())};
  OBJECT_ATTRIBUTES object;  // by field: mingw's has padding fields of its own
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = nt.createFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                        disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    error = nt.errorOf(status);
    return {};
  }
  return UniqueObject(handle);
}

// The access that making things inside a folder, and listing it, takes.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE;

// Marks the open `file` (a file, a link or an empty folder) to go when its
// last handle closes. A read-only one refuses that, so the attribute goes
// first; 0 in FILE_BASIC_INFO means "unchanged", hence NORMAL for none.
void MarkForDeletion(HANDLE file) {
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    const DWORD rest = basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
    FILE_BASIC_INFO cleared{};
    cleared.FileAttributes = rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &cleared, sizeof cleared);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

bool IsLink(HANDLE file) {
  FILE_BASIC_INFO basic{};
  return !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
         (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

struct Listed {
  std::wstring name;
  DWORD attributes;
};

// What the open `folder` holds, but "." and "..". `buffer` is reused from
// one folder to the next.
std::vector<Listed> ListFolder(HANDLE folder, std::vector<std::uint64_t>& buffer) {
  std::vector<Listed> listed;
  const auto size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
  for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
       GetFileInformationByHandleEx(folder, kind, buffer.data(), size); kind = FileIdBothDirectoryInfo) {
    const auto* at = reinterpret_cast<const std::uint8_t*>(buffer.data());
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") listed.push_back({std::wstring(name), info->FileAttributes});
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
  return listed;
}

// The NT name of `path`: "\\?\C:\…" and "\\?\UNC\…" are "\??\C:\…" and "\??\UNC\…".
std::wstring NtPath(const std::wstring& path) { return L"\\??\\" + ExtendedPath(path).substr(4); }

}  // namespace

UniqueObject OpenFolder(const std::wstring& path, DWORD& error) {
  return Open(nullptr, NtPath(path), kFolderAccess, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, error);
}

UniqueObject MakeFolderIn(HANDLE parent, std::wstring_view name, DWORD& error) {
  return Open(parent, name, kFolderAccess, kShareAll, FILE_CREATE, FILE_DIRECTORY_FILE, error);
}

UniqueObject MakeFileIn(HANDLE parent, std::wstring_view name, DWORD& error) {
  return Open(parent, name, GENERIC_WRITE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, error);
}

void RemoveTree(const std::wstring& path) {
  struct Folder {
    UniqueObject handle;
    std::vector<std::wstring> folders;  // not yet removed
  };
  constexpr ACCESS_MASK kRemove = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  std::vector<Folder> open;
  std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));
  DWORD error = ERROR_SUCCESS;
  // Lists the folder: its files and links go at once, its folders wait.
  const auto enter = [&](UniqueObject folder) {
    if (!folder) return;
    if (IsLink(folder.get())) {
      MarkForDeletion(folder.get());
      return;
    }
    Folder entered{std::move(folder), {}};
    for (Listed& child : ListFolder(entered.handle.get(), buffer)) {
      if ((child.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (child.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        entered.folders.push_back(std::move(child.name));
      } else if (const UniqueObject file = Open(entered.handle.get(), child.name, kRemove, kShareAll, FILE_OPEN,
                                                FILE_OPEN_REPARSE_POINT, error)) {
        MarkForDeletion(file.get());
      }
    }
    open.push_back(std::move(entered));
  };
  enter(Open(nullptr, NtPath(path), kRemove | FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
             error));
  while (!open.empty()) {
    Folder& deepest = open.back();
    if (deepest.folders.empty()) {
      MarkForDeletion(deepest.handle.get());
      open.pop_back();  // its handle closes, and the folder goes
      continue;
    }
    const std::wstring name = std::move(deepest.folders.back());
    deepest.folders.pop_back();
    enter(Open(deepest.handle.get(), name, kRemove | FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN,
               FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, error));
  }
}

}  // namespace mirrolet::win32
