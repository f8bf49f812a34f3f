#include "platform/posix/reg_text.h"

#include <cstdint>

#include "base/hex_digit.h"
#include "base/ini_document.h"
#include "base/name_fold.h"
#include "platform/posix/locale_text.h"

namespace mirrolet::posix {

namespace {

constexpr std::wstring_view kRoot = L"HKEY_LOCAL_MACHINE";  // as folded

std::wstring_view TrimBlanks(std::wstring_view text) {
  while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) text.remove_suffix(1);
  return text;
}

// Reads a "quoted" string with \\ and \" escapes from the front of `text`,
// leaving `text` after the closing quote. Returns false when it is malformed.
bool TakeQuoted(std::wstring_view& text, std::wstring& out) {
  if (text.empty() || text.front() != L'"') return false;
  out.clear();
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == L'"') {
      text.remove_prefix(i + 1);
      return true;
    }
    if (text[i] == L'\\' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return false;
}

std::optional<std::uint32_t> ParseHexNumber(std::wstring_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (const wchar_t c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

// "aa,bb,..." as bytes.
std::optional<std::vector<std::uint8_t>> ParseHexList(std::wstring_view text) {
  std::vector<std::uint8_t> bytes;
  text = TrimBlanks(text);
  while (!text.empty()) {
    const std::size_t comma = text.find(L',');
    const std::wstring_view item = TrimBlanks(text.substr(0, comma));
    const auto value = item.size() <= 2 ? ParseHexNumber(item) : std::nullopt;
    if (!value) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*value));
    text.remove_prefix(comma == std::wstring_view::npos ? text.size() : comma + 1);
  }
  return bytes;
}

// The data after "=" of a value line, or nothing when it is not understood
// (including "-", which deletes a value on import).
std::optional<RegValue> ParseData(std::wstring_view data, bool utf16,
                                  const std::function<std::wstring(std::string_view)>& fromAnsi) {
  RegValue value;
  if (!data.empty() && data.front() == L'"') {
    value.type = kRegSz;
    if (!TakeQuoted(data, value.text) || !TrimBlanks(data).empty()) return std::nullopt;
    return value;
  }
  if (data.starts_with(L"dword:")) {
    const auto number = ParseHexNumber(data.substr(6));
    if (!number) return std::nullopt;
    value.type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8) value.bytes.push_back(static_cast<std::uint8_t>(*number >> shift));
    return value;
  }
  if (!data.starts_with(L"hex")) return std::nullopt;
  data.remove_prefix(3);
  value.type = kRegBinary;  // plain "hex:"
  if (data.starts_with(L"(")) {
    const std::size_t close = data.find(L')');
    const auto type = close == std::wstring_view::npos ? std::nullopt : ParseHexNumber(data.substr(1, close - 1));
    if (!type) return std::nullopt;
    value.type = *type;
    data.remove_prefix(close + 1);
  }
  if (!data.starts_with(L":")) return std::nullopt;
  auto bytes = ParseHexList(data.substr(1));
  if (!bytes) return std::nullopt;
  if (!value.IsText()) {
    value.bytes = std::move(*bytes);
    return value;
  }
  const std::string_view raw(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  value.text = utf16 ? DecodeUtf16Le(raw) : fromAnsi(raw);
  value.terminated = !value.text.empty() && value.text.back() == L'\0';
  if (value.terminated) value.text.pop_back();
  return value;
}

}  // namespace

Registry Registry::Parse(std::string_view bytes,
                         const std::function<std::wstring(std::string_view)>& fromAnsi) {
  const bool utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  const std::wstring text = utf16 ? DecodeUtf16Le(bytes.substr(2)) : fromAnsi(bytes);

  Registry registry;
  constexpr std::size_t kNoKey = SIZE_MAX;
  std::size_t current = kNoKey;  // the key being filled, if kept
  std::wstring line;
  std::wstring_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find(L'\n');
    const std::wstring_view piece = rest.substr(0, end);
    rest.remove_prefix(end == std::wstring_view::npos ? rest.size() : end + 1);
    // Long hex lists are wrapped: a line ending in "\" goes on in the next one.
    line += TrimBlanks(piece.ends_with(L'\r') ? piece.substr(0, piece.size() - 1) : piece);
    if (!line.empty() && line.back() == L'\\' && line.front() != L'[' && !rest.empty()) {
      line.pop_back();
      continue;
    }
    const std::wstring_view whole = TrimBlanks(line);

    if (whole.starts_with(L'[') && whole.ends_with(L']')) {
      const std::wstring path = FoldName(whole.substr(1, whole.size() - 2));
      const std::wstring_view view = path;
      current = kNoKey;
      if (view.substr(0, view.find(L'\\')) == kRoot) {
        std::wstring_view sub = view.size() > kRoot.size() ? view.substr(kRoot.size() + 1) : std::wstring_view{};
        while (sub.ends_with(L'\\')) sub.remove_suffix(1);
        current = registry.AddKey(sub);
      }
    } else if (current != kNoKey && (whole.starts_with(L'"') || whole.starts_with(L'@'))) {
      std::wstring name;
      std::wstring_view after = whole;
      bool named = true;
      if (after.starts_with(L'@')) {
        after.remove_prefix(1);
      } else {
        named = TakeQuoted(after, name);
      }
      after = TrimBlanks(after);
      if (named && after.starts_with(L'=')) {
        if (auto value = ParseData(TrimBlanks(after.substr(1)), utf16, fromAnsi)) {
          registry.keys_[current].values[FoldName(name)] = std::move(*value);
        }
      }
    }
    line.clear();
  }
  return registry;
}

std::size_t Registry::AddKey(std::wstring_view path) {
  // One node per part, so a key however deep costs what its text costs.
  std::size_t node = 0;
  for (std::wstring_view rest = path; !rest.empty();) {
    const std::size_t slash = rest.find(L'\\');
    const auto [child, added] = keys_[node].children.try_emplace(std::wstring(rest.substr(0, slash)), keys_.size());
    if (added) keys_.emplace_back();
    node = child->second;
    rest.remove_prefix(slash == std::wstring_view::npos ? rest.size() : slash + 1);
  }
  return node;
}

std::optional<std::size_t> Registry::Lookup(std::wstring_view path) const {
  const std::wstring folded = FoldName(path);
  std::size_t node = 0;
  for (std::wstring_view rest = folded; !rest.empty();) {
    const std::size_t slash = rest.find(L'\\');
    const auto& children = keys_[node].children;
    const auto child = children.find(std::wstring(rest.substr(0, slash)));
    if (child == children.end()) return std::nullopt;
    node = child->second;
    rest.remove_prefix(slash == std::wstring_view::npos ? rest.size() : slash + 1);
  }
  return node;
}

bool Registry::HasKey(std::wstring_view path) const { return Lookup(path).has_value(); }

const RegValue* Registry::Find(std::wstring_view path, std::wstring_view valueName) const {
  const auto key = Lookup(path);
  if (!key) return nullptr;
  const auto& values = keys_[*key].values;
  const auto value = values.find(FoldName(valueName));
  return value == values.end() ? nullptr : &value->second;
}

}  // namespace mirrolet::posix
