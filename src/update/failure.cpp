#include "update/failure.h"

#include <utility>

#include "update/messages.h"

namespace mirrolet {

UpdateFailure UpdateFailure::ListUnreadable(std::wstring listPath, HostError error) {
  UpdateFailure failure(Kind::kListUnreadable, std::move(error));
  failure.source = std::move(listPath);
  return failure;
}

UpdateFailure UpdateFailure::AppFolderUnknown() {
  return UpdateFailure(Kind::kAppFolderUnknown, {kErrorGenFailure, kAppFolderUnknownText});
}

UpdateFailure UpdateFailure::OutOfMemory() {
  return UpdateFailure(Kind::kOutOfMemory, {kErrorNotEnoughMemory, kOutOfMemoryText});
}

UpdateFailure UpdateFailure::Internal(std::string_view what) {
  return UpdateFailure(Kind::kInternal, {kErrorGenFailure, DecodeUtf8(what)});
}

UpdateFailure UpdateFailure::PayloadUnwritable(std::wstring folder, HostError error) {
  UpdateFailure failure(Kind::kPayloadUnwritable, std::move(error));
  failure.destination = std::move(folder);
  return failure;
}

UpdateFailure UpdateFailure::Copy(std::int32_t entry, std::int32_t count, std::wstring source,
                                  std::wstring destination, CopyStep step, HostError error) {
  UpdateFailure failure(Kind::kCopy, std::move(error));
  failure.entry = entry;
  failure.count = count;
  failure.source = std::move(source);
  failure.destination = std::move(destination);
  failure.step = step;
  return failure;
}

std::wstring DecodeUtf8(std::string_view bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const int trail = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
                    : lead >= 0xF0 && lead < 0xF5                   ? 3
                                                                    : -1;
    char32_t c = trail == 0 ? lead : trail == 1 ? lead & 0x1F : trail == 2 ? lead & 0x0F : lead & 0x07;
    bool ok = trail >= 0 && i + static_cast<std::size_t>(trail) < bytes.size();
    for (int k = 1; ok && k <= trail; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
      ok = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are no characters.
    ok = ok && !(trail == 2 && c < 0x800) && !(trail == 3 && (c < 0x10000 || c > 0x10FFFF)) &&
         !(c >= 0xD800 && c <= 0xDFFF);
    if (!ok) {
      text += L'\uFFFD';
      ++i;
      continue;
    }
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0x10000) {
        text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        c = 0xDC00 + ((c - 0x10000) & 0x3FF);
      }
    }
    text += static_cast<wchar_t>(c);
    i += static_cast<std::size_t>(trail) + 1;
  }
  return text;
}

}  // namespace mirrolet
