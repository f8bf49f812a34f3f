// The stand-in's .reg reader on arbitrary bytes: any file parses, in time and
// memory linear in its size, and every key it reports can be looked up.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/posix/locale_text.h"
#include "platform/posix/reg_text.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto registry = mirrolet::posix::Registry::Parse(bytes, mirrolet::posix::LocaleToWide);
  // The lookups the updater makes, in both registry views.
  for (const wchar_t* key : {L"Software\\Varnholt\\Halvix", L"SOFTWARE\\WOW6432Node\\Varnholt\\Pruvex", L"", L"K"}) {
    if (const auto* value = registry.Find(key, L"WorkPath")) {
      if (!registry.HasKey(key)) __builtin_trap();  // a value lives in a key that exists
      if (value->IsText() && !value->bytes.empty()) __builtin_trap();
    }
  }
  return 0;
}
