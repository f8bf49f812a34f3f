// The destinations staged in a pass, known however a later entry spells them.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_set>

namespace mirrolet::posix {

// Hashes only, so a long pass costs little memory: a collision costs no more
// than an early commit.
class DestinationKeys {
 public:
  // Remembers the destination `to` in the folder `folder`, replacing the file
  // `replaced` when there is one.
  void Remember(const std::string& to, const struct stat& folder, const std::optional<struct stat>& replaced);
  // Whether the native path `path` names a remembered destination.
  bool Contains(const std::string& path) const;
  bool Empty() const { return keys_.empty(); }
  void Clear() { keys_.clear(); }

 private:
  std::unordered_set<std::size_t> keys_;
};

}  // namespace mirrolet::posix
