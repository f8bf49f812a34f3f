#include "base/ini_document.h"

#include "base/hex_digit.h"
#include "base/name_fold.h"
#include "base/utf8.h"

namespace mirrolet {

namespace {

// Text kept compactly: each wchar_t unit as the UTF-8 bytes of its value,
// surrogates and escaped bytes included, so that Unpack gives it back exactly.
// Short names and values then fit in a std::string without a heap block.
void PackInto(std::string& out, std::wstring_view text) {
  for (const wchar_t unit : text) AppendUtf8(out, static_cast<char32_t>(unit));
}

std::string Pack(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  PackInto(out, text);
  return out;
}

std::wstring Unpack(std::string_view bytes) {
  std::wstring out;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i++]);
    const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    std::uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 0; k < extra && i < bytes.size(); ++k) c = c << 6 | (static_cast<unsigned char>(bytes[i++]) & 0x3F);
    out += static_cast<wchar_t>(c);
  }
  return out;
}

bool IsProfileSpace(wchar_t c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20; }

std::wstring_view Trim(std::wstring_view text, bool (*isSpace)(wchar_t)) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool IsAsciiSpace(wchar_t c) { return c == L' '; }

}  // namespace

std::uint32_t IniDocument::HashOf(std::uint32_t section, std::string_view key) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>{}(key) ^ (section * 0x9E3779B9u));
}

std::size_t IniDocument::Probe(std::uint32_t section, std::string_view key, std::uint32_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    if (slots_[i] == 0) return i;
    const Entry& entry = entries_[slots_[i] - 1];
    if (entry.hash == hash && entry.section == section &&
        std::string_view(bytes_).substr(entry.at, entry.keySize) == key) {
      return i;
    }
  }
}

bool IniDocument::Add(std::uint32_t section, std::string_view key, std::wstring_view value) {
  // At most half the slots are taken, so that a probe ends soon.
  if ((entries_.size() + 1) * 2 > slots_.size()) {
    slots_.assign(slots_.empty() ? 16 : slots_.size() * 2, 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      std::size_t i = entries_[e].hash & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = static_cast<std::uint32_t>(e + 1);
    }
  }
  const std::uint32_t hash = HashOf(section, key);
  const std::size_t slot = Probe(section, key, hash);
  if (slots_[slot] != 0) return false;
  const auto at = static_cast<std::uint32_t>(bytes_.size());
  bytes_ += key;
  PackInto(bytes_, value);
  entries_.push_back({at, static_cast<std::uint32_t>(key.size()),
                      static_cast<std::uint32_t>(bytes_.size() - at - key.size()), section, hash});
  slots_[slot] = static_cast<std::uint32_t>(entries_.size());
  return true;
}

IniDocument IniDocument::Parse(std::wstring_view text, std::vector<IniLine>* lines) {
  IniDocument doc;
  std::optional<std::uint32_t> current;  // none before the first section, and in a repeated one
  int number = 0;
  int sectionLine = 0;
  bool afterCr = false;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of(L"\r\n");
    // The LF of a CR LF ends no line of its own.
    if (!(afterCr && end == 0 && text.front() == L'\n')) ++number;
    afterCr = end != std::wstring_view::npos && text[end] == L'\r';
    const std::wstring_view line = Trim(text.substr(0, end), IsProfileSpace);
    text.remove_prefix(end == std::wstring_view::npos ? text.size() : end + 1);

    if (line.empty() || line.front() == L';') continue;
    if (line.front() == L'[') {
      const std::wstring_view name = Trim(line.substr(1, line.find(L']') - 1), IsProfileSpace);
      // Only the first section of a name is ever searched.
      const auto index = static_cast<std::uint32_t>(doc.sections_.size());
      const bool added = doc.sections_.try_emplace(Pack(FoldName(name)), index).second;
      current = added ? std::optional(index) : std::nullopt;
      sectionLine = number;
      if (lines) lines->push_back({IniLine::Kind::kSection, number, std::wstring(name), {}, 0, added});
      continue;
    }
    const std::size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos) continue;
    const std::wstring_view key = Trim(line.substr(0, equals), IsProfileSpace);
    const std::wstring_view value = Trim(line.substr(equals + 1), IsProfileSpace);
    // try_emplace keeps the first of duplicate keys.
    const bool found = current && doc.Add(*current, Pack(FoldName(key)), value);
    if (lines) {
      lines->push_back({IniLine::Kind::kKey, number, std::wstring(key), std::wstring(value), sectionLine, found});
    }
  }
  doc.bytes_.shrink_to_fit();
  doc.entries_.shrink_to_fit();
  return doc;
}

std::optional<std::wstring> IniDocument::Find(std::wstring_view section, std::wstring_view key) const {
  const auto s = sections_.find(Pack(FoldName(Trim(section, IsAsciiSpace))));
  if (s == sections_.end() || slots_.empty()) return std::nullopt;
  const std::string folded = Pack(FoldName(Trim(key, IsAsciiSpace)));
  const std::uint32_t slot = slots_[Probe(s->second, folded, HashOf(s->second, folded))];
  if (slot == 0) return std::nullopt;
  const Entry& entry = entries_[slot - 1];
  return Unpack(std::string_view(bytes_).substr(entry.at + entry.keySize, entry.valueSize));
}

std::wstring DecodeProfileBytes(std::string_view bytes,
                                const std::function<std::wstring(std::string_view)>& fromAnsi) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    return DecodeUtf16Le(bytes.substr(2));
  }
  return fromAnsi(bytes);
}

std::wstring DecodeUtf16Le(std::string_view bytes) {
  std::wstring out;
  const auto unit = [&](std::size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                 static_cast<unsigned char>(bytes[i + 1]) << 8);
  };
  const std::size_t end = bytes.size() & ~std::size_t{1};
  for (std::size_t i = 0; i < end; i += 2) {
    const char16_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 2 < end && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
      if constexpr (sizeof(wchar_t) == 2) {
        out += static_cast<wchar_t>(u);
        out += static_cast<wchar_t>(unit(i + 2));
      } else {
        out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (unit(i + 2) - 0xDC00));
      }
      i += 2;
    } else if (u >= 0xD800 && u < 0xE000) {
      out += L'\uFFFD';
    } else {
      out += static_cast<wchar_t>(u);
    }
  }
  return out;
}

std::wstring ProfileValue(std::wstring_view raw) {
  raw = raw.substr(0, raw.find(L'\0'));
  if (raw.size() >= 2 && (raw.front() == L'"' || raw.front() == L'\'') && raw.back() == raw.front()) {
    raw = raw.substr(1, raw.size() - 2);
  }
  return std::wstring(raw);
}

std::wstring ProfileDefault(std::wstring_view text) {
  while (!text.empty() && text.back() == L' ') text.remove_suffix(1);
  return std::wstring(text);
}

std::uint32_t ParseProfileInt(std::wstring_view value) {
  std::size_t i = 0;
  while (i < value.size() && value[i] <= L' ') ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == L'+' || value[i] == L'-')) negative = value[i++] == L'-';

  std::uint32_t base = 10;
  if (i + 1 < value.size() && value[i] == L'0') {
    const wchar_t prefix = value[i + 1];
    base = prefix == L'x' ? 16 : prefix == L'o' ? 8 : prefix == L'b' ? 2 : 10;
    if (base != 10) i += 2;
  }

  std::uint32_t result = 0;
  for (; i < value.size(); ++i) {
    const int digit = HexDigit(value[i]);
    if (digit < 0 || static_cast<std::uint32_t>(digit) >= base) break;
    result = result * base + static_cast<std::uint32_t>(digit);  // unsigned: wraps modulo 2^32
  }
  return negative ? 0u - result : result;
}

std::wstring ProfileIntText(std::wstring_view raw) { return ProfileValue(raw).substr(0, 29); }

std::optional<std::uint32_t> ProfileInt(std::wstring_view raw) {
  const std::wstring text = ProfileIntText(raw);
  if (text.empty()) return std::nullopt;
  return ParseProfileInt(text);
}

}  // namespace mirrolet
