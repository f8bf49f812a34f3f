// check: how the list's bytes read, as the profile functions read them, and
// what hides the list section from them.
#include <algorithm>

#include "base/copy_list_model.h"
#include "base/name_fold.h"
#include "pack/check_parts.h"
#include "pack/pack_host.h"

namespace mirrolet::pack {

namespace {

// Line by line, numbered as the reader numbers them. No lead or trail byte
// of a Windows code page is CR or LF, so the split is safe.
std::wstring DecodeByLine(std::string_view ansi, unsigned codePage, std::set<int>& badLines) {
  std::wstring text;
  int number = 0;
  bool afterCr = false;
  while (!ansi.empty()) {
    const std::size_t end = ansi.find_first_of("\r\n");
    if (!(afterCr && end == 0 && ansi.front() == '\n')) ++number;
    afterCr = end != std::string_view::npos && ansi[end] == '\r';
    const std::size_t take = end == std::string_view::npos ? ansi.size() : end + 1;
    std::wstring line;
    if (!DecodeCodePage(ansi.substr(0, take), codePage, line)) badLines.insert(number);
    text += line;
    ansi.remove_prefix(take);
  }
  return text;
}

// The line of the list section header the run reads in `text`, or 0.
int MainLineOf(const std::wstring& text) {
  std::vector<IniLine> lines;
  IniDocument::Parse(text, &lines);
  return MainLine(lines);
}

}  // namespace

DecodedList Decode(std::string_view bytes, unsigned codePage) {
  DecodedList list;
  list.utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  list.text = DecodeProfileBytes(bytes, [&](std::string_view ansi) {
    std::wstring text;
    return DecodeCodePage(ansi, codePage, text) ? text : DecodeByLine(ansi, codePage, list.badLines);
  });
  return list;
}

bool IsListSection(const IniLine& line) {
  return line.kind == IniLine::Kind::kSection && FoldName(line.name) == FoldName(kCopyListSection);
}

int MainLine(const std::vector<IniLine>& lines) {
  for (const IniLine& line : lines) {
    if (IsListSection(line) && line.found) return line.number;
  }
  return 0;
}

std::wstring HiddenMain(std::string_view bytes) {
  const std::wstring section = L"[" + std::wstring(kCopyListSection) + L"]";
  std::wstring text;
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    DecodeCodePage(bytes.substr(3), kUtf8CodePage, text);
    if (MainLineOf(text)) return L"the list starts with a UTF-8 byte order mark, which Windows reads as part of line 1: " + section + L" is lost";
  }
  std::string swapped(bytes.substr(bytes.substr(0, 2) == "\xFE\xFF" ? 2 : 0));
  for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  if (bytes.substr(0, 2) == "\xFE\xFF" && MainLineOf(DecodeUtf16Le(swapped))) {
    return L"the list is UTF-16 big-endian, which Windows does not read";
  }
  if (bytes.find('\0') != std::string_view::npos && (MainLineOf(DecodeUtf16Le(bytes)) || MainLineOf(DecodeUtf16Le(swapped)))) {
    return L"the list is UTF-16 without its byte order mark, which Windows reads as the code page";
  }
  return {};
}

bool LooksLikeUtf8(std::string_view bytes) {
  std::wstring ignored;
  return std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; }) &&
         DecodeCodePage(bytes, kUtf8CodePage, ignored);
}

}  // namespace mirrolet::pack
