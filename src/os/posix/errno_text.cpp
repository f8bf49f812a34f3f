#include "os/posix/errno_text.h"

#include <cstring>
#include <cwchar>

#include "base/utf8.h"

namespace mirrolet::posix {

std::wstring ErrnoText(int error) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static string instead of filling buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  if (text == nullptr) text = "Unknown error";
  // The library writes its messages in the locale's own encoding, so they
  // decode; should one not, it still reads as UTF-8 with replacements.
  std::wstring out(std::strlen(text), L'\0');
  std::mbstate_t state{};
  const char* from = text;
  const std::size_t n = std::mbsrtowcs(out.data(), &from, out.size(), &state);
  if (n == static_cast<std::size_t>(-1)) return FromUtf8(text);
  out.resize(n);
  return out;
}

}  // namespace mirrolet::posix
