// The profile reader on arbitrary bytes, with the lookups the updater makes
// and the stand-in's buffer filling, for the run's buffer and a small one:
// whatever the file, a read ends with a NUL within its count, and what the
// line listing says is found is what a lookup finds.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/locale_text.h"
#include "platform/posix/posix_platform.h"
#include "base/ini_document.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mirrolet;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<IniLine> lines;
  const IniDocument document = IniDocument::Parse(DecodeProfileBytes(bytes, posix::LocaleToWide), &lines);
  for (const IniLine& line : lines) {
    if (line.kind != IniLine::Kind::kKey || !line.found || line.section == 0) continue;
    for (const IniLine& header : lines) {
      if (header.number != line.section) continue;
      const auto value = document.Find(header.name, line.name);
      if (!value || *value != line.value) __builtin_trap();
    }
  }
  if (const auto sum = document.Find(L"MAIN", L"SUM")) ProfileInt(*sum);
  for (const wchar_t* key : {L"FILE001", L"COPYTO001"}) {
    const auto raw = document.Find(L"MAIN", key);
    const std::wstring value = raw ? ProfileValue(*raw) : ProfileDefault(L"");
    for (const std::uint32_t capacity : {4096u, 5u}) {
      std::string buffer(capacity, '#');
      const std::uint32_t n = posix::FillProfileBuffer(value, buffer.data(), capacity);
      // A character that does not fit is left out, not split: the count then
      // still says the buffer is full, with the NUL before it.
      if (n >= capacity || buffer.find('\0') > n) __builtin_trap();
    }
  }
  return 0;
}
