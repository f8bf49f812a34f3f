// The real Windows host. It only composes its parts, each of which owns its
// own state: the stager (the copy), the payload folder (a bundle's files),
// the elevation's calls, and the stateless calls of the registry, the profile
// functions, the code page, the boxes and the Restart Manager.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "os/win32/handles.h"
#include "platform/carried_payload.h"
#include "platform/platform.h"
#include "platform/win32/elevation.h"
#include "platform/win32/stager.h"

namespace mirrolet::win32 {

class Win32Platform final : public Platform {
 public:
  // Opens the program's own file, which a bundle is read through.
  Win32Platform();

  int ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) override;
  void EndProcess(unsigned exitCode) override;
  std::wstring ExecutableFolder() override;
  std::wstring FindFileName(const std::wstring& path) override;
  bool StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                 HostError& error) override;
  bool FlushStaged(StageId& failed, HostError& error) override;
  bool CommitStaged(StageId id, HostError& error) override;
  bool CheckReplaceable(StageId id, HostError& error) override;
  void DiscardStaged(StageId id) override;
  bool SyncCommitted(HostError& error) override;
  bool IsStagedDestination(const std::wstring& path) override;
  std::vector<FileHolder> FileHolders(const std::wstring& path) override;
  bool FolderExists(const std::wstring& path) override;
  std::wstring ExecutablePath() override;
  Elevation ElevateIfNeeded(const PlannedWrites& plan, unsigned& exitCode) override;
  bool ForeignCodePage() override;
  std::string ToAnsi(std::wstring_view text) override;
  std::wstring FromAnsi(std::string_view text) override;
  std::wstring AnsiSafePath(const std::wstring& path, HostError& error) override;
  long RegOpenKeyA(const std::string& subKey, HostKey* key) override;
  long RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                        std::uint8_t* data, std::uint32_t* size) override;
  long RegCloseKey(HostKey key) override;
  std::uint32_t GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                      int defaultValue, const std::string& fileName) override;
  std::uint32_t GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                         const std::string& defaultValue, char* buffer,
                                         std::uint32_t size, const std::string& fileName) override;
  PayloadState OpenPayload(CarriedUpdate& update, HostError& error) override;
  bool StageCarried(std::size_t file, const std::wstring& destination, StageId& id, HostError& error) override;

  // For tests: see Stager::InjectFaults.
  void InjectFaults(std::function<DWORD(const char* call)> faults) { stager_.InjectFaults(std::move(faults)); }
  // For tests: see Win32Calls::InjectLinks.
  void InjectLinks(std::function<std::optional<LinkOwner>(const std::wstring& path)> links, bool elevated) {
    stager_.InjectLinks(std::move(links), elevated);
  }
  void InjectFaults(std::function<DWORD(const Win32Call& call)> faults) { stager_.InjectFaults(std::move(faults)); }
  void InjectAttributes(std::function<DWORD(const wchar_t* path, DWORD found)> answer) {
    stager_.InjectAttributes(std::move(answer));
  }
  void InjectPause(std::function<void(DWORD ms)> pause) { stager_.InjectPause(std::move(pause)); }
  void InjectElevation(ElevationCalls calls) { elevation_ = std::move(calls); }

 private:
  Stager stager_;
  // The program's own file, opened when the run starts without write or
  // delete sharing and read through this handle only: nobody can change it,
  // or put another file at its path, while the run holds it.
  UniqueFile self_;
  DWORD selfError_ = ERROR_SUCCESS;  // why the open failed, when it did
  CarriedPayload payload_;
  ElevationCalls elevation_ = SystemElevationCalls();
};

}  // namespace mirrolet::win32
