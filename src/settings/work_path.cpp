#include "settings/work_path.h"

#include <algorithm>
#include <vector>

namespace mirrolet {

namespace {

// Closes the key on every way out of ReadWorkPath.
class KeyCloser {
 public:
  KeyCloser(Platform& host, HostKey key) : host_(host), key_(key) {}
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;
  ~KeyCloser() { host_.RegCloseKey(key_); }

 private:
  Platform& host_;
  HostKey key_;
};

}  // namespace

std::wstring ReadWorkPath(Platform& host, const std::string& subKey) {
  HostKey key = 0;
  host.RegOpenKeyA(subKey, &key);  // the code is not needed: a 0 handle says it all
  if (key == 0) return {};
  KeyCloser closer(host, key);

  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (host.RegQueryValueExA(key, kWorkPathValue, &type, nullptr, &size) != kErrorSuccess) return {};
  if (type != kRegSz) return {};

  std::vector<std::uint8_t> buffer(size);
  if (host.RegQueryValueExA(key, kWorkPathValue, &type, buffer.data(), &size) != kErrorSuccess) {
    return {};
  }

  // A value stored without its terminator fills the buffer with no NUL at all;
  // then the whole buffer is the text rather than whatever lies past it.
  const auto end = std::find(buffer.begin(), buffer.begin() + std::min<std::size_t>(size, buffer.size()),
                             std::uint8_t{0});
  return host.FromAnsi(std::string(buffer.begin(), end));
}

}  // namespace mirrolet
