// A bundle's payload as both hosts read it: through one reader of the
// program's own file that the host opened when the run started, believed only
// when its digest is the program's seal, each file's bytes checked as they
// are staged. Host-neutral: the reading and hashing come from the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/bundle_format.h"
#include "platform/platform.h"

namespace mirrolet {

// A carried file's bytes, handed over to whoever writes them.
using ByteSink = std::function<bool(const std::uint8_t* bytes, std::size_t size)>;

// What hands over the bytes of a copy as it was written, for checking.
using ReadBack = std::function<bool(const ByteSink& into)>;

// A carried file as a stager writes it: its size, whether it could be run
// where it was packed, and its bytes, checked as they are handed over
// (`stream`). A host that can copy from `offset` of the program's file in
// the kernel may do so instead and have `check` hash the very bytes written,
// as its ReadBack reads them from the temporary; once they were found whole
// (`checked`), the same bytes need no check again.
struct CarriedFile {
  std::uint64_t size = 0;
  bool executable = false;
  std::uint64_t offset = 0;
  bool checked = false;
  std::function<bundle::Unpacked(const ByteSink& write)> stream;
  std::function<bundle::Unpacked(const ReadBack& written)> check;
};

class CarriedPayload {
 public:
  // Reads the directory of the payload in the program file `read` reads (of
  // `size` bytes) and checks it against `seal`, then reads the copy list's
  // bytes. The states as Platform::OpenPayload gives them: a seal without a
  // payload, or a payload without a seal or with another digest, is damaged.
  PayloadState Open(bundle::ReadAt read, std::uint64_t size, const std::optional<bundle::Digest>& seal,
                    bundle::HasherFactory hasher, CarriedUpdate& update);

  // The directory's entry of carried file `file`; null when there is none.
  const bundle::FileEntry* File(std::size_t file) const;

  // Carried file `file` for a stager; nothing when there is no such file.
  std::optional<CarriedFile> Source(std::size_t file);

  // Checks the copy of carried file `file` that `written` reads back against
  // the directory, and its padding in the program's file. kDone or kDamaged.
  bundle::Unpacked Check(std::size_t file, const ReadBack& written);

  // Hands carried file `file`'s bytes to `write`, checking them against the
  // directory unless they were checked whole before. kDone, kDamaged (the
  // bytes are not the directory's) or kWriteFailed (`write` said false).
  bundle::Unpacked Stream(std::size_t file, const ByteSink& write);

 private:
  bundle::ReadAt read_;
  bundle::HasherFactory hasher_;
  std::vector<bundle::FileEntry> files_;
  std::vector<bool> checked_;
};

}  // namespace mirrolet
