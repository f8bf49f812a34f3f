// The stand-in's profile functions: our own INI reader over the file's bytes,
// with the Windows meaning of GetPrivateProfileIntA and GetPrivateProfileStringA.
#include <sys/stat.h>

#include <cstring>

#include "os/posix/regular_file.h"
#include "platform/posix/locale_text.h"
#include "platform/posix/posix_platform.h"

namespace mirrolet::posix {

const IniDocument* PosixPlatform::LoadProfile(const std::string& fileName) {
  // The run reads one list key by key: the name resolved for the last read
  // is used again while it still names a file.
  struct stat now;
  std::string native;
  if (profile_ && profile_->name == fileName && ::stat(profile_->path.c_str(), &now) == 0) {
    native = profile_->path;
  } else {
    native = paths_.NativePath(LocaleToWide(fileName));
    if (::stat(native.c_str(), &now) != 0) return nullptr;
  }
  if (!S_ISREG(now.st_mode)) return nullptr;
  if (profile_ && profile_->path == native && profile_->stat.st_dev == now.st_dev &&
      profile_->stat.st_ino == now.st_ino && profile_->stat.st_size == now.st_size &&
      profile_->stat.st_mtim.tv_sec == now.st_mtim.tv_sec && profile_->stat.st_mtim.tv_nsec == now.st_mtim.tv_nsec &&
      // The change time moves with every write, also when the modification time is put back.
      profile_->stat.st_ctim.tv_sec == now.st_ctim.tv_sec && profile_->stat.st_ctim.tv_nsec == now.st_ctim.tv_nsec) {
    return &profile_->document;
  }
  profile_.reset();
  auto bytes = ReadSettingsFile(native);
  if (!bytes) return nullptr;
  // The bytes go before the parse, so the file is not held three times over.
  const std::wstring text = DecodeProfileBytes(*bytes, LocaleToWide);
  bytes.reset();
  profile_ = CachedProfile{fileName, native, now, IniDocument::Parse(text)};
  return &profile_->document;
}

std::uint32_t PosixPlatform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                   int defaultValue, const std::string& fileName) {
  const IniDocument* document = LoadProfile(fileName);
  const auto raw = document ? document->Find(LocaleToWide(section), LocaleToWide(key)) : std::nullopt;
  const auto value = raw ? ProfileInt(*raw) : std::nullopt;
  return value.value_or(static_cast<std::uint32_t>(defaultValue));
}

std::uint32_t PosixPlatform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                      const std::string& defaultValue, char* buffer,
                                                      std::uint32_t size, const std::string& fileName) {
  if (size == 0 || buffer == nullptr) return 0;
  const IniDocument* document = LoadProfile(fileName);
  const auto raw = document ? document->Find(LocaleToWide(section), LocaleToWide(key)) : std::nullopt;
  const std::wstring value = raw ? ProfileValue(*raw) : ProfileDefault(LocaleToWide(defaultValue));

  return FillProfileBuffer(value, buffer, size);
}

std::uint32_t FillProfileBuffer(std::wstring_view value, char* buffer, std::uint32_t size) {
  // Whole characters only: a double-byte character that does not fit is left
  // out rather than split, and the count then says the buffer was filled.
  std::uint32_t written = 0;
  for (const wchar_t c : value) {
    const std::string bytes = WideToLocale(std::wstring_view(&c, 1));
    if (written + bytes.size() > size - 1) {
      buffer[written] = '\0';
      return size - 1;
    }
    std::memcpy(buffer + written, bytes.data(), bytes.size());
    written += static_cast<std::uint32_t>(bytes.size());
  }
  buffer[written] = '\0';
  return written;
}

}  // namespace mirrolet::posix
