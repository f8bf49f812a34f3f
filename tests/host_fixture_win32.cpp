// The host contract fixtures on Windows (and Wine).
#include <windows.h>

#include <cwchar>

#include "host_fixture.h"
#include "platform/win32/win32_platform.h"

namespace mirrolet::testing {

namespace {

// Every test writes below its own key or Varnholt's, and leaves neither behind.
void ClearRegistry() {
  for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS | view, &software) != 0) continue;
    for (const char* root : {"MirroletTest", "Varnholt"}) RegDeleteTreeA(software, root);
    RegCloseKey(software);
  }
}
struct ClearedAtExit {
  ~ClearedAtExit() { ClearRegistry(); }
} clearedAtExit;

// Deletes what `folder` ("\\?\" form) holds, then the folder itself.
DWORD RemoveFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  DWORD error = ERROR_SUCCESS;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (const DWORD inner = RemoveFolder(path)) error = inner;
      } else if (!DeleteFileW(path.c_str())) {
        error = GetLastError();
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  if (!RemoveDirectoryW(folder.c_str()) && error == ERROR_SUCCESS) error = GetLastError();
  return error;
}

}  // namespace

std::string RemoveTree(const std::filesystem::path& root) {
  // The "\\?\" form reaches folders deeper than MAX_PATH.
  const DWORD error = RemoveFolder(L"\\\\?\\" + std::filesystem::absolute(root).wstring());
  return error == ERROR_SUCCESS ? std::string() : "Windows error " + std::to_string(error);
}

bool ChineseCodePage() { return GetACP() == 950; }

bool MachineRegistryWritable() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\MirroletTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

void SetRegistry(const Sandbox&, const std::vector<RegEntry>& entries, const std::string& root) {
  ClearRegistry();
  for (const RegEntry& entry : entries) {
    HKEY key = nullptr;
    const REGSAM view = entry.only32BitView ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("Software\\" + root + "\\" + entry.subKey).c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    // RegSetValueExW quietly counts a terminator that follows the data, so an
    // unterminated value needs a non-NUL character after it.
    std::wstring data = entry.text + (entry.terminated ? std::wstring(1, L'\0') : std::wstring(L"X"));
    const DWORD bytes = static_cast<DWORD>((entry.text.size() + (entry.terminated ? 1 : 0)) * sizeof(wchar_t));
    const std::wstring name(entry.name.begin(), entry.name.end());
    RegSetValueExW(key, name.c_str(), 0, entry.type, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
    RegCloseKey(key);
  }
}

std::unique_ptr<Platform> MakeHost(const Sandbox& sandbox, const std::vector<RegEntry>& entries) {
  SetRegistry(sandbox, entries, "MirroletTest");
  return std::make_unique<win32::Win32Platform>();
}

void AddAttribute(const std::filesystem::path& path, DWORD attribute) {
  SetFileAttributesW(path.c_str(), GetFileAttributesW(path.c_str()) | attribute);
}
void SetHidden(const std::filesystem::path& path) { AddAttribute(path, FILE_ATTRIBUTE_HIDDEN); }
void SetSystem(const std::filesystem::path& path) { AddAttribute(path, FILE_ATTRIBUTE_SYSTEM); }
void SetReadOnly(const std::filesystem::path& path) { AddAttribute(path, FILE_ATTRIBUTE_READONLY); }


HeldOpen::HeldOpen(const std::filesystem::path& path)
    : handle_(reinterpret_cast<std::intptr_t>(
          CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))) {}

HeldOpen::~HeldOpen() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

std::wstring LeftoverName(bool runEnded) {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const unsigned long long start =
      runEnded ? 1 : (static_cast<unsigned long long>(created.dwHighDateTime) << 32 | created.dwLowDateTime);
  wchar_t name[64];
  std::swprintf(name, 64, L"~mirrolet-%08lx-%016llx-%08x.tmp", GetCurrentProcessId(), start, 7u);
  return name;
}

std::vector<std::wstring> LeaveLiveLeftover(const Sandbox& sandbox, const std::wstring& folder,
                                            std::unique_ptr<HeldOpen>& hold) {
  wchar_t name[64];
  std::swprintf(name, 64, L"~mirrolet-%08lx-%016llx-%08x.tmp", GetCurrentProcessId(), 2ull, 7u);
  sandbox.Write(folder + L"\\" + name, "left");
  hold = std::make_unique<HeldOpen>(sandbox.Native(folder + L"\\" + name));
  return {name};
}

namespace {

// Starts a Linux program under Wine, which runs one given its DOS name. Its
// process handle is signalled at once, not when it ends: the caller waits
// for what it does.
void RunLinux(const std::string& program, const std::vector<std::string>& arguments) {
  using ToDos = wchar_t*(CDECL*)(const char*);
  const auto toDos = reinterpret_cast<ToDos>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
  if (toDos == nullptr) return;
  wchar_t* dos = toDos(program.c_str());
  if (dos == nullptr) return;
  std::wstring line = L"\"" + std::wstring(dos) + L"\"";
  HeapFree(GetProcessHeap(), 0, dos);
  for (const std::string& argument : arguments) line += L" \"" + std::wstring(argument.begin(), argument.end()) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

// The Linux path of `path` under Wine.
std::string UnixPath(const std::filesystem::path& path) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* unix = toUnix ? toUnix(std::filesystem::absolute(path).c_str()) : nullptr;
  const std::string text = unix ? unix : "";
  HeapFree(GetProcessHeap(), 0, unix);
  return text;
}

// Whether `path` exists (or, with `exists` false, is gone) within ten seconds.
bool Waited(const std::filesystem::path& path, bool exists) {
  for (int i = 0; i < 1000; ++i) {
    if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists) return true;
    Sleep(10);
  }
  return false;
}

}  // namespace

bool MakeLink(const std::filesystem::path& link, const std::string& target) {
  if (RunningUnderWine()) {
    RunLinux("/bin/ln", {"-s", target, UnixPath(link)});
  } else {
    std::wstring windows(target.begin(), target.end());
    for (wchar_t& c : windows) c = c == L'/' ? L'\\' : c;
    const std::filesystem::path resolved = link.parent_path() / windows;
    const DWORD folder = std::filesystem::is_directory(resolved) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    CreateSymbolicLinkW(link.c_str(), windows.c_str(), folder | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  }
  return Waited(link, true);
}

void RemoveLink(const std::filesystem::path& link) {
  if (RunningUnderWine()) {
    RunLinux("/bin/rm", {"-f", UnixPath(link)});
    Waited(link, false);
  } else if (!RemoveDirectoryW(link.c_str())) {
    DeleteFileW(link.c_str());
  }
}

std::filesystem::path CasePath(const std::string& relative) {
  std::wstring self(MAX_PATH, L'\0');
  while (GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())) >= self.size()) {
    self.resize(self.size() * 2);
  }
  return std::filesystem::path(self.c_str()).parent_path() / relative;
}

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace mirrolet::testing
