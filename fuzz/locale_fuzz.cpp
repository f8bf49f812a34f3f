// The stand-in's code page conversion on arbitrary bytes: whatever the bytes,
// converting to wide text and back gives the very same bytes, so a name that
// is not text still names the same file.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/locale_text.h"
#include "base/ini_document.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mirrolet::posix;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::wstring wide = LocaleToWide(bytes);
  bool lossless = false;
  if (WideToLocale(wide, &lossless) != bytes || !lossless) __builtin_trap();
  for (const wchar_t c : wide) {
    // Characters, or bytes escaped as U+DC00 + byte; never past U+10FFFF.
    const auto code = static_cast<std::uint32_t>(c);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF && (code & 0xFF00) != 0xDC00)) __builtin_trap();
  }
  for (const wchar_t c : mirrolet::DecodeUtf16Le(bytes)) {
    if (c >= 0xD800 && c <= 0xDFFF) __builtin_trap();  // an unpaired surrogate becomes U+FFFD
  }
  ForTerminal(wide);
  return 0;
}
