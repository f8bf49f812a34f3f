// The temporaries a run of the Win32 host leaves beside a destination while it
// copies: hidden files "~mirrolet-PID-START-N.tmp" in fixed-width hex, named
// after the process id and start time of the run that made them. A live run
// holds each of its temporaries open without delete sharing, so deleting one
// that only looks ended (another machine's) fails.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace mirrolet::win32 {

struct RunId {
  DWORD pid = 0;
  std::uint64_t start = 0;  // the process's creation time, in FILETIME ticks
  auto operator<=>(const RunId&) const = default;
};

// This process's run.
RunId CurrentRun();

std::wstring TempName(const RunId& run, unsigned n);

// The run behind a temporary's name, or nothing when the name is not exactly
// of that form.
std::optional<RunId> TempOwner(std::wstring_view name);

// Removes what ended runs left in a folder, once per folder.
class Leftovers {
 public:
  explicit Leftovers(RunId own) : own_(own) {}
  void RemoveIn(const std::wstring& folder);

 private:
  RunId own_;
  std::set<std::wstring> cleaned_;  // folded names
};

// Deletes a file of ours, clearing only its read-only attribute first: a file
// that still cannot be deleted stays hidden.
void DeleteOwn(const std::wstring& path);

}  // namespace mirrolet::win32
