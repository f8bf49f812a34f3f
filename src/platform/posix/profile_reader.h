// The stand-in's profile functions: our own INI reader over the file's bytes,
// with the Windows meaning of GetPrivateProfileIntA and GetPrivateProfileStringA.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/ini_document.h"
#include "platform/posix/host_path.h"

namespace mirrolet::posix {

// What GetPrivateProfileStringA writes for `value` into a buffer of `size`
// bytes (at least 1): its ANSI bytes, never a character split, then a NUL.
// Returns the count the profile function returns.
std::uint32_t FillProfileBuffer(std::wstring_view value, char* buffer, std::uint32_t size);

class ProfileReader {
 public:
  // File names are resolved through `paths`, which must outlive the reader.
  explicit ProfileReader(PathResolver& paths) : paths_(paths) {}

  std::uint32_t ReadInt(const std::string& section, const std::string& key, int defaultValue,
                        const std::string& fileName);
  std::uint32_t ReadString(const std::string& section, const std::string& key, const std::string& defaultValue,
                           char* buffer, std::uint32_t size, const std::string& fileName);

 private:
  // The parsed profile file, or nullptr when it cannot be read. The last
  // file is kept while its identity, size and modification time stay the same.
  const IniDocument* Load(const std::string& fileName);

  struct CachedProfile {
    std::string name;  // as the run gave it
    std::string path;  // as it resolved
    struct stat stat {};
    IniDocument document;
  };
  PathResolver& paths_;
  std::optional<CachedProfile> cached_;
};

}  // namespace mirrolet::posix
