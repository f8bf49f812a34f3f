// The Linux stand-in host: the same operations with their Windows meaning,
// on a terminal, a .reg file for a registry, and an INI reader of our own.
#pragma once

#include <sys/stat.h>

#include <map>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/posix/host_path.h"
#include "platform/posix/ini_text.h"
#include "platform/posix/reg_text.h"

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
  bool CopyFileReplacing(const std::wstring& source, const std::wstring& destination,
                         HostError& error) override;
  std::vector<FileHolder> FileHolders(const std::wstring& path) override;  // file_holders.cpp
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

  // Open registry handles, for tests that check every key gets closed.
  std::size_t OpenKeyCount() const { return openKeys_.size(); }

 private:
  const Registry& LoadedRegistry();
  // The parsed profile file, or nullptr when it cannot be read. The last
  // file is kept while its identity, size and modification time stay the same.
  const IniDocument* LoadProfile(const std::string& fileName);

  PathResolver paths_;
  std::string registryFile_;
  std::optional<Registry> registry_;
  std::map<HostKey, std::wstring> openKeys_;
  HostKey nextKey_ = 1;

  struct CachedProfile {
    std::string path;
    struct stat stat {};
    IniDocument document;
  };
  std::optional<CachedProfile> profile_;
};

}  // namespace mirrolet::posix
