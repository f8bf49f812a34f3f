// The Linux stand-in host: the same operations with their Windows meaning,
// on a terminal, a .reg file for a registry, and an INI reader of our own.
// It only composes its parts, each of which owns its own state.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "os/posix/unique_fd.h"
#include "platform/carried_payload.h"
#include "platform/platform.h"
#include "platform/posix/host_error.h"
#include "platform/posix/host_path.h"
#include "platform/posix/profile_reader.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/stager.h"

namespace mirrolet::posix {

class PosixPlatform : public Platform {
 public:
  // `registryFile` is the .reg export that stands in for the registry; a
  // missing or unreadable file is an empty registry.
  explicit PosixPlatform(std::string registryFile);

  // MIRROLET_REGISTRY, else /etc/mirrolet/registry.reg.
  static std::string RegistryFileFromEnvironment();

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
  void InjectFaults(std::function<int(const char* call)> faults) { stager_.InjectFaults(std::move(faults)); }

 private:
  PathResolver paths_;  // first: the parts below resolve through it
  RegistryFile registry_;
  ProfileReader profile_;
  Stager stager_;
  // The program's own file, opened when the run starts and read through this
  // one descriptor only: a running program's file cannot be written, and
  // /proc/self/exe is the file that was started, whatever is at its path now.
  UniqueFd self_;
  int selfError_ = 0;  // errno of the open, when it failed
  CarriedPayload payload_;
};

}  // namespace mirrolet::posix
