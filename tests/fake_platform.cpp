#include "fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <ostream>

namespace mirrolet::testing {

std::string Utf8(std::wstring_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<char32_t>(text[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {  // a UTF-16 pair (Windows)
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[++i]) - 0xDC00);
    }
    const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    constexpr char32_t kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
    for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  return out;
}

std::wstring FromUtf8(std::string_view text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k) c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += 1 + extra;
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

std::vector<Case> ReadCases(const std::string& file) {
  std::ifstream in(file);
  std::vector<Case> cases;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("== ")) {
      cases.push_back({line.substr(3), {}});
    } else if (!line.empty() && line[0] != '#' && !cases.empty()) {
      auto [key, value] = Split(line, ":");
      if (value.starts_with(' ')) value.erase(0, 1);
      auto& lines = cases.back().lines;
      const auto like = std::find_if(cases.begin(), cases.end() - 1, [&](const Case& c) { return c.name == value; });
      if (key != "like") {
        lines.emplace_back(key, value);
      } else if (like != cases.end() - 1) {
        lines.insert(lines.end(), like->lines.begin(), like->lines.end());
      } else {
        ADD_FAILURE() << file << ": no earlier case " << value;
      }
    }
  }
  if (cases.empty()) ADD_FAILURE() << "no cases in " << file;
  return cases;
}

void PrintTo(const Case& test, std::ostream* out) { *out << test.name; }

std::pair<std::string, std::string> Split(const std::string& text, const std::string& by) {
  const std::size_t at = text.find(by);
  return at == std::string::npos ? std::pair{text, std::string()} : std::pair{text.substr(0, at), text.substr(at + by.size())};
}

std::vector<std::string> Parts(const std::string& text, const std::string& by) {
  std::vector<std::string> parts;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(by, at), text.size());
    if (end > at) parts.push_back(text.substr(at, end - at));
    at = end + by.size();
  }
  return parts;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
    }
  }
  return out;
}

int FakePlatform::ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  boxes.push_back({title, text, style});
  calls.push_back("box " + Utf8(title));
  if (answers.empty()) return kIdOk;
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}

std::wstring FakePlatform::FindFileName(const std::wstring& path) {
  calls.push_back("find " + Utf8(path));
  return files.contains(path) ? path.substr(path.find_last_of(L'\\') + 1) : std::wstring();
}

bool FakePlatform::StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                             HostError& error) {
  calls.push_back("stage " + Utf8(source) + " -> " + Utf8(destination));
  if (failingCopies.contains(destination) || destination.empty()) {
    error = copyError;
    return false;
  }
  id = staged_.size();
  staged_.emplace_back(source, destination);
  committed_.push_back(false);
  return true;
}

bool FakePlatform::FlushStaged(StageId& failed, HostError& error) {
  calls.push_back("flush");
  for (StageId id = 0; id < staged_.size(); ++id) {
    if (!committed_[id] && failingFlushes.contains(staged_[id].second)) {
      failed = id;
      error = {2, L"The system cannot find the file specified."};
      return false;
    }
  }
  return true;
}

bool FakePlatform::CommitStaged(StageId id, HostError& error) {
  const auto& [source, destination] = staged_.at(id);
  calls.push_back("commit " + Utf8(destination));
  if (failingCommits.contains(destination)) {
    error = {32, L"The process cannot access the file because it is being used by another process."};
    return false;
  }
  copies.emplace_back(source, destination);
  committed_[id] = true;
  return true;
}

void FakePlatform::DiscardStaged(StageId id) {
  calls.push_back("discard " + Utf8(staged_.at(id).second));
  committed_[id] = true;
}

// Paths are full already; only "." and ".." need resolving.
bool FakePlatform::IsStagedDestination(const std::wstring& path) {
  const auto key = [](const std::wstring& full) {
    std::vector<std::wstring> parts;
    for (std::size_t start = 0; start <= full.size();) {
      const std::size_t end = std::min(full.find(L'\\', start), full.size());
      const std::wstring part = full.substr(start, end - start);
      if (part == L"..") {
        if (!parts.empty()) parts.pop_back();
      } else if (part != L".") {
        parts.push_back(part);
      }
      start = end + 1;
    }
    std::wstring joined;
    for (const std::wstring& part : parts) joined += part + L"\\";
    return joined;
  };
  for (StageId id = 0; id < staged_.size(); ++id) {
    if (!committed_[id] && key(staged_[id].second) == key(path)) return true;
  }
  return false;
}

bool FakePlatform::SyncCommitted(HostError&) {
  calls.push_back("sync");
  return true;
}

// The fake's code page is Latin-1 widened: one byte per character, so the
// logic's conversions are visible without a locale.
std::string FakePlatform::ToAnsi(std::wstring_view text) {
  std::string out;
  for (const wchar_t c : text) out += c < 0x100 ? static_cast<char>(c) : '?';
  return out;
}

std::wstring FakePlatform::FromAnsi(std::string_view text) {
  std::wstring out;
  for (const char c : text) out += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

std::wstring FakePlatform::AnsiSafePath(const std::wstring& path, HostError& error) {
  if (!unspellable.contains(path)) return path;
  error = {1113, L"No mapping for the Unicode character exists in the target multi-byte code page."};
  return {};
}

long FakePlatform::RegOpenKeyA(const std::string& subKey, HostKey* key) {
  calls.push_back("open " + subKey);
  if (!registry.contains(subKey)) {
    *key = 0;
    return kErrorFileNotFound;
  }
  openedKeys_.push_back(subKey);
  *key = openedKeys_.size();
  ++openKeys;
  return kErrorSuccess;
}

long FakePlatform::RegQueryValueExA(HostKey key, const std::string& valueName, std::uint32_t* type,
                                    std::uint8_t* data, std::uint32_t* size) {
  calls.push_back(data ? "query-data " + valueName : "query-size " + valueName);
  auto& values = registry.at(openedKeys_.at(key - 1));
  const auto found = values.find(valueName);
  if (found == values.end()) return kErrorFileNotFound;
  *type = found->second.type;
  const auto needed = static_cast<std::uint32_t>(found->second.data.size());
  if (data && *size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data) std::memcpy(data, found->second.data.data(), needed);
  *size = needed;
  if (!data && found->second.grows) found->second.data.insert(0, "\\");
  return kErrorSuccess;
}

long FakePlatform::RegCloseKey(HostKey key) {
  calls.push_back("close " + openedKeys_.at(key - 1));
  --openKeys;
  return kErrorSuccess;
}

std::uint32_t FakePlatform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                  int defaultValue, const std::string& fileName) {
  calls.push_back("int " + key);
  const auto file = profiles.find(fileName);
  if (file == profiles.end() || !file->second.contains(section + "|" + key)) {
    return static_cast<std::uint32_t>(defaultValue);
  }
  return static_cast<std::uint32_t>(std::stoull(file->second.at(section + "|" + key)));
}

std::uint32_t FakePlatform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                     const std::string& defaultValue, char* buffer,
                                                     std::uint32_t size, const std::string& fileName) {
  calls.push_back("string " + key);
  const auto file = profiles.find(fileName);
  std::string value = defaultValue;
  if (file != profiles.end() && file->second.contains(section + "|" + key)) {
    value = file->second.at(section + "|" + key);
  }
  value.resize(std::min<std::size_t>(value.size(), size - 1));
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  return static_cast<std::uint32_t>(value.size());
}

}  // namespace mirrolet::testing
