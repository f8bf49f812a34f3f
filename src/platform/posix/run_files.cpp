#include "platform/posix/run_files.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace mirrolet::posix {

namespace {

constexpr std::string_view kPrefix = ".mirrolet-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::string_view kLockSuffix = ".lock";

std::string RunPart(const RunId& run) {
  return std::string(kPrefix) + std::to_string(run.pid) + "-" + std::to_string(run.start);
}

// `count` dash-separated decimal numbers, exactly.
bool ReadNumbers(std::string_view text, unsigned long long* numbers, int count) {
  for (int i = 0; i < count; ++i) {
    const std::size_t end = i + 1 < count ? text.find('-') : text.size();
    if (end == std::string_view::npos) return false;
    const std::string_view digits = text.substr(0, end);
    if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    numbers[i] = std::strtoull(std::string(digits).c_str(), nullptr, 10);
    text.remove_prefix(i + 1 < count ? end + 1 : end);
  }
  return true;
}

}  // namespace

std::string TempName(const RunId& run, unsigned n) {
  return RunPart(run) + "-" + std::to_string(n) + std::string(kTempSuffix);
}

std::string LockName(const RunId& run) { return RunPart(run) + std::string(kLockSuffix); }

std::optional<RunId> RunFileOwner(std::string_view name) {
  if (!name.starts_with(kPrefix)) return std::nullopt;
  name.remove_prefix(kPrefix.size());
  unsigned long long numbers[3] = {};
  const bool temp = name.ends_with(kTempSuffix);
  if (!temp && !name.ends_with(kLockSuffix)) return std::nullopt;
  name.remove_suffix(temp ? kTempSuffix.size() : kLockSuffix.size());
  if (!ReadNumbers(name, numbers, temp ? 3 : 2)) return std::nullopt;
  return RunId{static_cast<long>(numbers[0]), numbers[1]};
}

std::optional<unsigned long long> ProcessStartTime(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  const std::size_t close = line.rfind(')');  // the command name may hold anything
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return std::nullopt;
}

}  // namespace mirrolet::posix
