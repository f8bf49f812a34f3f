// The destinations staged in a pass, known however a later entry spells them:
// by their text, by the identity of the file they replace, and by their
// folder's identity with their name (a short name, a junction, a mapped drive).
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <unordered_set>

namespace mirrolet::win32 {

// A file's identity on its volume, as a hash: equal for every name of one file.
std::size_t IdentityOf(const BY_HANDLE_FILE_INFORMATION& info);

// Hashes only, so a long pass costs little memory: a collision costs no more
// than an early commit.
class DestinationKeys {
 public:
  // Remembers the destination `to` (in its "\\?\" form), replacing the file
  // with identity `replaced` (0 when there is none).
  void Remember(const std::wstring& to, std::size_t replaced);
  // Whether `path` names a remembered destination.
  bool Contains(const std::wstring& path) const;
  void Clear() { keys_.clear(); }

 private:
  std::unordered_set<std::size_t> keys_;
};

}  // namespace mirrolet::win32
