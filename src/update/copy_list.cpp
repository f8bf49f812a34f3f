#include "update/copy_list.h"

#include <utility>

#include "settings/profile.h"

namespace mirrolet {

namespace {

constexpr wchar_t kSection[] = L"MAIN";

}  // namespace

CopyFailure::CopyFailure(std::int32_t failedEntry, std::int32_t entryCount, std::wstring from,
                         std::wstring to, HostError hostError)
    : std::runtime_error("file copy failed"),
      entry(failedEntry),
      count(entryCount),
      source(std::move(from)),
      destination(std::move(to)),
      error(std::move(hostError)) {}

std::wstring ExpandAppPath(const std::wstring& destination, const std::wstring& workPath) {
  const std::wstring_view placeholder = kAppPathPlaceholder;
  std::wstring expanded;
  std::size_t from = 0;
  for (std::size_t at = destination.find(placeholder); at != std::wstring::npos;
       at = destination.find(placeholder, from)) {
    expanded.append(destination, from, at - from).append(workPath);
    from = at + placeholder.size();
  }
  return expanded.append(destination, from);
}

std::wstring EntrySuffix(std::int32_t entry) {
  std::wstring digits = std::to_wstring(entry);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), L'0');
  return digits;
}

void ProcessCopyList(Platform& host, const std::wstring& workPath, const std::wstring& appFolder) {
  const std::wstring listPath = appFolder + kCopyListName;

  // The profile functions take ANSI text. A folder name the code page cannot
  // spell would make every read miss and the list look empty, and the run
  // would then report success for an update that never happened.
  HostError error;
  const std::wstring profilePath = host.AnsiSafePath(listPath, error);
  if (profilePath.empty()) throw CopyFailure(0, 0, listPath, {}, std::move(error));

  const std::int32_t count = ReadIniInt(host, kSection, L"SUM", 0, profilePath);
  // Counted in 64 bits so that a count of 2^31-1 cannot overflow the counter.
  for (std::int64_t next = 1; next <= count; ++next) {
    const auto entry = static_cast<std::int32_t>(next);
    const std::wstring suffix = EntrySuffix(entry);
    const std::wstring source = appFolder + ReadIniString(host, kSection, L"FILE" + suffix, L"", profilePath);
    const std::wstring destination =
        ExpandAppPath(ReadIniString(host, kSection, L"COPYTO" + suffix, L"", profilePath), workPath);
    if (!host.CopyFileReplacing(source, destination, error)) {
      throw CopyFailure(entry, count, source, destination, std::move(error));
    }
  }
}

}  // namespace mirrolet
