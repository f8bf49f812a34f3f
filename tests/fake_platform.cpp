#include "fake_platform.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "base/name_fold.h"
#include "test_support.h"

namespace mirrolet::testing {

int FakePlatform::ShowMessageBox(const std::wstring& text, const std::wstring& title, unsigned style) {
  boxes.push_back({title, text, style});
  calls.push_back({"box", Utf8(title)});
  if (answers.empty()) return kIdOk;
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}

// Names match without regard to case, as on every host; the fake holds plain,
// visible files only.
std::wstring FakePlatform::FindFileName(const std::wstring& path) {
  calls.push_back({"find", Utf8(path)});
  const auto same = [&](const std::wstring& file) { return FoldName(file) == FoldName(path); };
  const auto found = std::find_if(files.begin(), files.end(), same);
  return found == files.end() ? std::wstring() : found->substr(found->find_last_of(L"\\/") + 1);
}

bool FakePlatform::StageCopy(const std::wstring& source, const std::wstring& destination, StageId& id,
                             HostError& error) {
  calls.push_back({"stage", Utf8(source), Utf8(destination)});
  // What the path alone tells, as every host answers it, in the hosts' order:
  // a path that names a folder (what an empty key leaves), no destination.
  const auto folder = [](const std::wstring& path) { return path.ends_with(L'\\') || path.ends_with(L'/'); };
  if (folder(source)) {
    error = {kErrorAccessDenied, L"Access is denied.", true};
    return false;
  }
  if (destination.empty()) {
    error = {kErrorPathNotFound, L"The system cannot find the path specified."};
    return false;
  }
  if (folder(destination)) {
    error = {kErrorAccessDenied, L"Access is denied."};
    return false;
  }
  if (failingCopies.contains(destination)) {
    error = copyError;
    return false;
  }
  id = staged_.size();
  staged_.emplace_back(source, destination);
  committed_.push_back(false);
  return true;
}

bool FakePlatform::FlushStaged(StageId& failed, HostError& error) {
  calls.push_back({"flush"});
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
  calls.push_back({"commit", Utf8(destination)});
  if (failingCommits.contains(destination)) {
    error = {32, L"The process cannot access the file because it is being used by another process."};
    return false;
  }
  copies.emplace_back(source, destination);
  committed_[id] = true;
  return true;
}

bool FakePlatform::CheckReplaceable(StageId id, HostError& error) {
  const std::wstring& destination = staged_.at(id).second;
  calls.push_back({"check", Utf8(destination)});
  if (failingCommits.contains(destination)) {  // what fails the commit, met first; not "in use"
    error = copyError;
    return false;
  }
  if (!inUse.contains(destination)) return true;
  error = {32, L"The process cannot access the file because it is being used by another process."};
  return false;
}

Elevation FakePlatform::ElevateIfNeeded(const PlannedWrites& plan, unsigned& exitCode) {
  Call call{"elevate"};
  // As the real hosts: only a host that could start a run reads the plan.
  const std::vector<std::wstring> planned = mayElevate ? plan() : std::vector<std::wstring>{};
  for (const std::wstring& path : planned) call.subject += (call.subject.empty() ? "" : " ") + Utf8(path);
  calls.push_back(call);
  exitCode = elevatedExit;
  return elevation;
}

void FakePlatform::DiscardStaged(StageId id) {
  calls.push_back({"discard", Utf8(staged_.at(id).second)});
  committed_[id] = true;
}

// Paths are full already: only "." and ".." are resolved, and the case folded.
bool FakePlatform::IsStagedDestination(const std::wstring& path) {
  const auto key = [](const std::wstring& full) {
    std::string slashed = Utf8(FoldName(full));
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    return std::filesystem::path(slashed).lexically_normal();
  };
  for (StageId id = 0; id < staged_.size(); ++id) {
    if (!committed_[id] && key(staged_[id].second) == key(path)) return true;
  }
  return false;
}

bool FakePlatform::SyncCommitted(HostError&) {
  calls.push_back({"sync"});
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
  calls.push_back({"open", subKey});
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
  calls.push_back({"close", openedKeys_.at(key - 1)});
  --openKeys;
  return kErrorSuccess;
}

std::uint32_t FakePlatform::GetPrivateProfileIntA(const std::string& section, const std::string& key,
                                                  int defaultValue, const std::string& fileName) {
  calls.push_back({"int", key});
  const auto file = profiles.find(fileName);
  if (file == profiles.end() || !file->second.contains(section + "|" + key)) {
    return static_cast<std::uint32_t>(defaultValue);
  }
  return static_cast<std::uint32_t>(std::stoull(file->second.at(section + "|" + key)));
}

std::uint32_t FakePlatform::GetPrivateProfileStringA(const std::string& section, const std::string& key,
                                                     const std::string& defaultValue, char* buffer,
                                                     std::uint32_t size, const std::string& fileName) {
  calls.push_back({"string", key});
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
