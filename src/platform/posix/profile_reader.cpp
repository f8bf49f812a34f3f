#include "platform/posix/profile_reader.h"

#include <sys/stat.h>

#include <cstring>

#include "os/posix/regular_file.h"
#include "platform/posix/locale_text.h"

namespace mirrolet::posix {

const IniDocument* ProfileReader::Load(const std::string& fileName) {
  // The run reads one list key by key: the name resolved for the last read
  // is used again while it still names a file.
  struct stat now;
  std::string native;
  if (cached_ && cached_->name == fileName && ::stat(cached_->path.c_str(), &now) == 0) {
    native = cached_->path;
  } else {
    native = paths_.NativePath(LocaleToWide(fileName));
    if (::stat(native.c_str(), &now) != 0) return nullptr;
  }
  if (!S_ISREG(now.st_mode)) return nullptr;
  if (cached_ && cached_->path == native && cached_->stat.st_dev == now.st_dev &&
      cached_->stat.st_ino == now.st_ino && cached_->stat.st_size == now.st_size &&
      SameTime(cached_->stat.st_mtim, now.st_mtim) &&
      // The change time moves with every write, also when the modification time is put back.
      SameTime(cached_->stat.st_ctim, now.st_ctim)) {
    return &cached_->document;
  }
  cached_.reset();
  auto bytes = ReadSettingsFile(native);
  if (!bytes) return nullptr;
  // The bytes go before the parse, so the file is not held three times over.
  const std::wstring text = DecodeProfileBytes(*bytes, LocaleToWide);
  bytes.reset();
  cached_ = CachedProfile{fileName, native, now, IniDocument::Parse(text)};
  return &cached_->document;
}

std::uint32_t ProfileReader::ReadInt(const std::string& section, const std::string& key, int defaultValue,
                                     const std::string& fileName) {
  const IniDocument* document = Load(fileName);
  const auto raw = document ? document->Find(LocaleToWide(section), LocaleToWide(key)) : std::nullopt;
  const auto value = raw ? ProfileInt(*raw) : std::nullopt;
  return value.value_or(static_cast<std::uint32_t>(defaultValue));
}

std::uint32_t ProfileReader::ReadString(const std::string& section, const std::string& key,
                                        const std::string& defaultValue, char* buffer, std::uint32_t size,
                                        const std::string& fileName) {
  if (size == 0 || buffer == nullptr) return 0;
  const IniDocument* document = Load(fileName);
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
