#include "platform/posix/locale_text.h"

#include <langinfo.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "base/utf8.h"

namespace mirrolet::posix {

namespace {

// Bytes that are no character of the locale travel as lone low surrogates,
// U+DC00 + byte, so that converting back gives the very same bytes.
constexpr wchar_t kEscapeBase = 0xDC00;

bool LocaleIsAscii() {
  const char* codeset = nl_langinfo(CODESET);
  return std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "ASCII") == 0;
}

}  // namespace

bool LocaleReadsLists() {
  const std::string_view codeset = nl_langinfo(CODESET);
  return codeset == "UTF-8" || codeset.starts_with("BIG5");
}

bool IsEscapedByte(wchar_t c) { return c >= kEscapeBase && c <= kEscapeBase + 0xFF; }

std::string WideToLocale(std::wstring_view text, bool* lossless) {
  if (lossless) *lossless = true;
  std::string out;
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (const wchar_t c : text) {
    if (IsEscapedByte(c)) {
      out += static_cast<char>(c - kEscapeBase);
      continue;
    }
    const std::size_t n = std::wcrtomb(bytes, c, &state);
    if (n == static_cast<std::size_t>(-1)) {
      out += '?';
      state = std::mbstate_t{};
      if (lossless) *lossless = false;
    } else {
      out.append(bytes, n);
    }
  }
  return out;
}

std::wstring LocaleToWide(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());  // never more characters than bytes; no copy while growing
  std::mbstate_t state{};
  char back[MB_LEN_MAX];
  for (std::size_t i = 0; i < bytes.size();) {
    wchar_t c = 0;
    const std::size_t n = std::mbrtowc(&c, bytes.data() + i, bytes.size() - i, &state);
    if (n == 0) {  // a NUL, which is one byte
      out += L'\0';
      ++i;
      continue;
    }
    // A character counts only when it encodes back to the same bytes: Big5
    // A2CC decodes to U+5341, which encodes as A451, a different file name.
    std::mbstate_t encode{};
    // glibc's UTF-8 also takes the old five- and six-byte forms, and gives code
    // points past U+10FFFF: those are no characters either.
    const bool valid = n != static_cast<std::size_t>(-1) && n != static_cast<std::size_t>(-2) &&
                       static_cast<std::uint32_t>(c) <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF) &&
                       std::wcrtomb(back, c, &encode) == n && std::memcmp(back, bytes.data() + i, n) == 0;
    if (valid) {
      out += c;
      i += n;
    } else {
      out += static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(bytes[i]));
      state = std::mbstate_t{};
      ++i;
    }
  }
  return out;
}

std::string ForTerminal(std::wstring_view text) {
  if (!LocaleIsAscii()) return WideToLocale(text);
  std::wstring shown(text);
  for (wchar_t& c : shown) {
    if (IsEscapedByte(c)) c = L'\uFFFD';
  }
  return ToUtf8(shown);
}

std::wstring FromTerminal(std::string_view bytes) {
  return LocaleIsAscii() ? FromUtf8(bytes) : LocaleToWide(bytes);
}

}  // namespace mirrolet::posix
