// mirrolet-pack on Windows: the system's own code page tables, the file
// attributes, files read and copied, wide names, and the console.
#include <windows.h>

#include <shellapi.h>

#include <initializer_list>
#include <string_view>
#include <system_error>

#include "base/name_fold.h"
#include "os/win32/error_text.h"
#include "os/win32/handles.h"
#include "os/win32/whole_io.h"
#include "pack/pack_host.h"

namespace mirrolet::pack {

using win32::UniqueFile;
using win32::WindowsErrorText;

namespace {

int Size(std::size_t size) { return static_cast<int>(size); }

// Opens `path` for reading, sharing everything.
UniqueFile OpenForReading(const std::filesystem::path& path) {
  return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A file on a disk, not a console, a pipe or a device. A folder does not open
// at all without FILE_FLAG_BACKUP_SEMANTICS.
bool Regular(const UniqueFile& file) { return file && GetFileType(file.get()) == FILE_TYPE_DISK; }

// The path of the open file or folder, every link and junction on the way
// resolved, as `flags` ask; empty when it has no such name.
std::wstring FinalPath(HANDLE file, DWORD flags) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), flags);
    if (n == 0) return {};
    if (n < path.size()) return path.substr(0, n);
    path.resize(n);  // too small: `n` is the size it needs
  }
}

// "\\?\C:\x" as "C:\x", "\\?\UNC\server\share\x" as "\\server\share\x".
std::wstring WithoutLongPrefix(const std::wstring& path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (path.starts_with(L"\\\\?\\")) return path.substr(4);
  return path;
}

// The real path of `path`: its file or folder opened (a folder takes
// FILE_FLAG_BACKUP_SEMANTICS, and no access is asked, so no right is needed)
// and named by the system. `system` says it has no name with a drive letter
// or a share: a device, or a volume only the system names (a shadow copy).
std::wstring OpenedPath(const std::filesystem::path& path, bool& system) {
  const UniqueFile file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  system = false;
  if (!file) return {};
  const std::wstring dos = FinalPath(file.get(), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (!dos.empty()) return WithoutLongPrefix(dos);
  system = true;
  const std::wstring nt = FinalPath(file.get(), FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
  return nt.empty() ? path.wstring() : nt;
}

// Under Wine, a drive is a Linux folder (Z: is "/" there), and Linux's own
// files are as near as any: whether `path` lies among them.
bool LinuxSystemPath(const std::wstring& path) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  static const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
  if (unix == nullptr) return false;
  const std::string_view onLinux(unix);
  bool system = false;
  for (const std::string_view folder : {"/proc", "/sys", "/dev"}) {
    system = system ||
             (onLinux.starts_with(folder) && (onLinux.size() == folder.size() || onLinux[folder.size()] == '/'));
  }
  HeapFree(GetProcessHeap(), 0, unix);
  return system;
}

}  // namespace

std::filesystem::path RealPath(const std::filesystem::path& root) {
  bool system = false;
  return OpenedPath(root, system);
}

Place Locate(const std::filesystem::path& path, const std::filesystem::path& folderReal) {
  // A symbolic link or a junction is told by where it leads: the system's
  // name for what opens differs from the folder's and the entry's own. That
  // also holds for a link FindFirstFile shows without its reparse attribute
  // (Wine shows Linux's links so), and leaves out reparse points that are no
  // links (deduplicated or cloud files).
  Place place;
  place.real = folderReal / path.filename();
  const std::wstring opened = OpenedPath(path, place.system);
  if (opened.empty()) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      place.link = true;  // leads nowhere
      place.real.clear();
    }
  } else if (place.system || FoldName(opened) != FoldName(place.real.wstring())) {
    place.link = true;
    place.real = opened;
  }
  // Linux's /proc and the like lie in a drive's root folder, or behind a link.
  const bool rootFolder = folderReal == folderReal.root_path();
  if (!place.system && (place.link || rootFolder)) place.system = LinuxSystemPath(place.real.wstring());
  return place;
}

bool WithinFolder(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const std::wstring inner = FoldName(path.wstring());
  std::wstring outer = FoldName(folder.wstring());
  if (!outer.empty() && outer.back() != L'\\') outer += L'\\';
  return inner.starts_with(outer) || inner + L'\\' == outer;
}

ReadResult ReadListBytes(const std::filesystem::path& path, std::string& bytes) {
  const UniqueFile file = OpenForReading(path);
  LARGE_INTEGER size{};
  if (!file) return ReadResult::kUnreadable;
  if (!Regular(file)) return ReadResult::kNotRegular;
  if (!GetFileSizeEx(file.get(), &size)) return ReadResult::kUnreadable;
  if (size.QuadPart > kMaxListBytes) return ReadResult::kTooLarge;
  bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t got = 0;
  if (win32::ReadUpTo(file.get(), bytes.data(), bytes.size(), got) != ERROR_SUCCESS) return ReadResult::kUnreadable;
  bytes.resize(got);
  return ReadResult::kRead;
}

bool CopyRegularFile(const std::filesystem::path& from, const std::filesystem::path& to, std::wstring& why) {
  {
    const UniqueFile file = OpenForReading(from);
    if (!Regular(file)) {
      why = file ? L"is not a regular file" : L"cannot be read: " + WindowsErrorText(GetLastError());
      return false;
    }
  }
  if (!CopyFileW(from.c_str(), to.c_str(), TRUE)) {
    why = L"cannot be copied: " + WindowsErrorText(GetLastError());
    return false;
  }
  return true;
}

std::wstring ErrnoReason(int code) {
  if (code == 0) return L"an unknown error";
  const std::string text = std::generic_category().message(code);
  return std::wstring(text.begin(), text.end());
}

bool RenameIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                     std::wstring& why) {
  DWORD failed = ERROR_SUCCESS;
  {
    const UniqueFile file(CreateFileW(from.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !FlushFileBuffers(file.get())) failed = GetLastError();
  }
  const DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH;
  if (failed == ERROR_SUCCESS && !MoveFileExW(from.c_str(), to.c_str(), flags)) failed = GetLastError();
  if (failed != ERROR_SUCCESS) why = WindowsErrorText(failed);
  return failed == ERROR_SUCCESS;
}

bool CodePageKnown(unsigned codePage) {
  // Some code pages exist but take no MB_ERR_INVALID_CHARS; they cannot be checked.
  wchar_t c = 0;
  return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, "a", 1, &c, 1) == 1;
}

bool DecodeCodePage(std::string_view bytes, unsigned codePage, std::wstring& text) {
  text.clear();
  if (bytes.empty()) return true;
  int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), Size(bytes.size()), nullptr, 0);
  const bool valid = n > 0;
  // Decoded again without the flag, the text is what the profile functions would read.
  const DWORD flags = valid ? MB_ERR_INVALID_CHARS : 0;
  if (!valid) n = MultiByteToWideChar(codePage, 0, bytes.data(), Size(bytes.size()), nullptr, 0);
  text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  if (n > 0) MultiByteToWideChar(codePage, flags, bytes.data(), Size(bytes.size()), text.data(), n);
  return valid;
}

bool EncodeCodePage(std::wstring_view text, unsigned codePage, std::string& bytes) {
  bytes.clear();
  if (text.empty()) return true;
  // UTF-8 takes neither the best-fit flag nor a default character.
  const bool utf8 = codePage == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  BOOL* usedDefault = utf8 ? nullptr : &defaulted;
  const int n = WideCharToMultiByte(codePage, flags, text.data(), Size(text.size()), nullptr, 0, nullptr, usedDefault);
  if (n <= 0) {
    bytes.assign(text.size(), '?');
    return false;
  }
  bytes.resize(static_cast<std::size_t>(n));
  WideCharToMultiByte(codePage, flags, text.data(), Size(text.size()), bytes.data(), n, nullptr, usedDefault);
  std::wstring back;
  return !defaulted && DecodeCodePage(bytes, codePage, back) && back == text;
}

bool Executable(const std::filesystem::path&) { return false; }

bool HiddenOrSystem(const std::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

bool NameText(const std::filesystem::path& name, std::wstring& text) {
  text = name.native();
  return true;
}

std::filesystem::path NamePath(std::wstring_view text) { return std::filesystem::path(std::wstring(text)); }

std::vector<std::filesystem::path> Arguments(int, char**) {
  // The wide command line: the narrow argv has lost what the ANSI code page cannot spell.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::filesystem::path> arguments;
  for (int i = 1; wide != nullptr && i < count; ++i) arguments.emplace_back(wide[i]);
  LocalFree(wide);
  return arguments;
}

bool SlashHelp(std::wstring_view word) { return word == L"/?"; }

bool ErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void Write(bool toError, std::wstring_view text) {
  const HANDLE out = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  // Into a file or a pipe: UTF-8, the same bytes the Linux build writes.
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), Size(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), Size(text.size()), bytes.data(), n, nullptr, nullptr);
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace mirrolet::pack
