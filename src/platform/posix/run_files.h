// The files a run of the stand-in leaves beside a destination while it
// copies: hidden temporaries ".mirrolet-PID-START-N.tmp" and one lock file
// ".mirrolet-PID-START.lock" per folder, which the run holds locked (flock)
// for as long as it has temporaries there. PID and START (the process's
// start time in clock ticks after boot) name the run.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace mirrolet::posix {

struct RunId {
  long pid = 0;
  unsigned long long start = 0;
  auto operator<=>(const RunId&) const = default;
};

std::string TempName(const RunId& run, unsigned n);
std::string LockName(const RunId& run);

// The run behind a temporary's or a lock file's name, or nothing when the
// name is not exactly of either form.
std::optional<RunId> RunFileOwner(std::string_view name);

// When process `pid` started, in clock ticks after boot (field 22 of
// /proc/PID/stat), or nothing when this process cannot see such a process.
std::optional<unsigned long long> ProcessStartTime(long pid);

}  // namespace mirrolet::posix
