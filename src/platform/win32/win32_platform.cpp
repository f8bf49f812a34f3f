#include "platform/win32/win32_platform.h"

#include <windows.h>

#include "base/copy_list_model.h"
#include "os/sha256.h"
#include "os/win32/handles.h"
#include "os/win32/whole_io.h"
#include "platform/seal.h"
#include "platform/win32/host_error.h"
#include "platform/win32/ansi_text.h"
#include "platform/win32/file_holders.h"
#include "platform/win32/win32_paths.h"

namespace mirrolet::win32 {

Win32Platform::Win32Platform()
    : self_(CreateFileW(ExtendedPath(OwnPath()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr)),
      selfError_(self_ ? ERROR_SUCCESS : GetLastError()) {}

int Win32Platform::ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  return MessageBoxW(nullptr, text.c_str(), title.c_str(), style);
}

void Win32Platform::EndProcess(unsigned exitCode) { ExitProcess(exitCode); }

std::wstring Win32Platform::ExecutableFolder() {
  const std::wstring path = OwnPath();
  return path.empty() ? std::wstring() : FolderOf(path);
}

std::wstring Win32Platform::FindFileName(const std::wstring& path) {
  if (path.empty()) return {};
  WIN32_FIND_DATAW found;
  if (!UniqueFind(FindFirstFileW(ExtendedPath(path).c_str(), &found))) return {};
  // Attribute mask 0: hidden, system and folder entries do not count.
  if (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY)) {
    return {};
  }
  return found.cFileName;
}

bool Win32Platform::StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                              HostError& error) {
  return stager_.Stage(source, destination, id, error);
}

bool Win32Platform::FlushStaged(StageId& failed, HostError& error) { return stager_.Flush(failed, error); }

bool Win32Platform::CommitStaged(StageId id, HostError& error) { return stager_.Commit(id, error); }

bool Win32Platform::CheckReplaceable(StageId id, HostError& error) { return stager_.CheckReplaceable(id, error); }

void Win32Platform::DiscardStaged(StageId id) { stager_.Discard(id); }

bool Win32Platform::SyncCommitted(HostError& error) { return stager_.SyncCommitted(error); }

bool Win32Platform::IsStagedDestination(const std::wstring& path) { return stager_.IsStagedDestination(path); }

std::vector<FileHolder> Win32Platform::FileHolders(const std::wstring& path) { return FileHoldersOf(path); }

bool Win32Platform::FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(ExtendedPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring Win32Platform::ExecutablePath() { return OwnPath(); }

Elevation Win32Platform::ElevateIfNeeded(const PlannedWrites& plan, unsigned& exitCode) {
  return win32::ElevateIfNeeded(elevation_, plan, exitCode);
}

bool Win32Platform::ForeignCodePage() { return GetACP() != kListCodePage; }

std::string Win32Platform::ToAnsi(std::wstring_view text) { return win32::ToAnsi(text); }

std::wstring Win32Platform::FromAnsi(std::string_view text) { return win32::FromAnsi(text); }

std::wstring Win32Platform::AnsiSafePath(const std::wstring& path, HostError& error) {
  return win32::AnsiSafePath(path, error);
}

long Win32Platform::RegOpenKeyA(const std::string& subKey, HostKey* key) {
  HKEY opened = nullptr;
  LONG result = ::RegOpenKeyA(HKEY_LOCAL_MACHINE, subKey.c_str(), &opened);
  if (opened == nullptr) {
    // This build is 64-bit and sees the 64-bit view; a product set up by a
    // 32-bit installer is registered in the 32-bit view instead.
    result = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &opened);
    if (result != ERROR_SUCCESS) opened = nullptr;
  }
  *key = reinterpret_cast<HostKey>(opened);
  return result;
}

long Win32Platform::RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* size) {
  DWORD storedType = 0;
  DWORD bytes = size ? *size : 0;
  const LONG result = ::RegQueryValueExA(reinterpret_cast<HKEY>(key), valueName.c_str(), nullptr, &storedType,
                                         data, size ? &bytes : nullptr);
  if (type) *type = storedType;
  if (size) *size = bytes;
  return result;
}

long Win32Platform::RegCloseKey(HostKey key) { return ::RegCloseKey(reinterpret_cast<HKEY>(key)); }

std::uint32_t Win32Platform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                   int defaultValue, const std::string& fileName) {
  return ::GetPrivateProfileIntA(section.c_str(), key.c_str(), defaultValue, fileName.c_str());
}

std::uint32_t Win32Platform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                      const std::string& defaultValue, char* buffer,
                                                      std::uint32_t size, const std::string& fileName) {
  return ::GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, size,
                                    fileName.c_str());
}

PayloadState Win32Platform::OpenPayload(CarriedUpdate& update, HostError& error) {
  const std::optional<bundle::Digest> seal = CarriedSeal();
  LARGE_INTEGER size{};
  if (!self_ || !GetFileSizeEx(self_.get(), &size)) {
    // A program without a seal needs nothing of its own file.
    if (!seal) return PayloadState::kNone;
    Fail(error, self_ ? GetLastError() : selfError_);
    return PayloadState::kUnreadable;
  }
  // The layout stops at the certificate table of a signed file: nothing in
  // or after it is read.
  const HANDLE file = self_.get();
  const bundle::ReadAt read = [file](std::uint64_t offset, std::uint8_t* into, std::size_t count) {
    return ReadAllAt(file, offset, into, count);
  };
  return payload_.Open(read, static_cast<std::uint64_t>(size.QuadPart), seal, os::NewSha256, update);
}

bool Win32Platform::StageCarried(std::size_t file, const std::wstring& destination, StageId& id, HostError& error) {
  const std::optional<CarriedFile> source = payload_.Source(file);
  if (!source) return Fail(error, ERROR_FILE_NOT_FOUND, true);
  return stager_.StageCarried(*source, destination, id, error);
}

}  // namespace mirrolet::win32
