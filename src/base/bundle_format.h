// The bundle: one program file that carries its update. The program (a PE
// MirroletV2.exe or the ELF stand-in) is followed by a payload, and nothing
// else but, on Windows, the certificate table a signature appends:
//
//   program image | payload | [certificate table]
//
// The payload, every integer little-endian, every part a multiple of 8 bytes
// long so that a signature pads nothing:
//
//   data       each file's bytes, in directory order, each padded with zero
//              bytes to a multiple of 8
//   directory  per file: u64 size, 32-byte SHA-256 of its bytes, u32 name
//              length, u32 flags (bit 0: the file could be run where it was
//              packed, which the Linux stand-in keeps; no other bit is set),
//              the name padded with zero bytes to a multiple of 8
//   trailer    64 bytes: u32 file count, u32 format version (1), u64
//              directory length, u64 payload length (data + directory +
//              trailer), the SHA-256 of the payload from its first byte up to
//              this field, then the 8 bytes "MRLTBNDL"
//
// Names are UTF-8, relative, "/" between parts, in strictly ascending byte
// order (so the same files always give the same bytes), and keep the rule of
// bundle_names.h: no part is empty, "." or "..", and none holds a control
// character or one of \ : * ? " < > |, ends with a dot or a space, names a
// device or is longer than 255 UTF-16 units; names are bounded in length and
// depth; no two are equal without regard to case, and no file is also a folder.
// The payload begins exactly where the program image ends (program_layout.h).
// Nothing in it depends on time or on the machine that wrote it.
//
// This code only parses and checks bytes: reading, writing and hashing come
// from the caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/bundle_names.h"
#include "base/program_layout.h"

namespace mirrolet::bundle {

using Digest = std::array<std::uint8_t, 32>;

// SHA-256, given by the system (src/os/*/sha256_*.cpp).
class Hasher {
 public:
  virtual ~Hasher() = default;
  virtual void Update(const std::uint8_t* bytes, std::size_t size) = 0;
  virtual Digest Finish() = 0;
};
using HasherFactory = std::function<std::unique_ptr<Hasher>()>;

inline constexpr std::size_t kTrailerSize = 64;
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr char kMagic[] = "MRLTBNDL";

struct FileEntry {
  std::string name;  // as stored: UTF-8, "/" between parts
  std::uint64_t size = 0;
  Digest digest{};
  bool executable = false;
};

// What a program file turned out to carry.
enum class Unpacked {
  kNone,         // nothing follows the program image: a plain program
  kDone,         // every file verified and written
  kDamaged,      // something follows, but it is no payload whose checksums hold
  kWriteFailed,  // the payload verified, but the sink refused a file
};

// Where the unpacked files go. Open creates the file `name` (and the folders
// it needs) new; a false from any call stops the unpacking with kWriteFailed.
class FileSink {
 public:
  virtual ~FileSink() = default;
  virtual bool Open(const FileEntry& entry) = 0;
  virtual bool Write(const std::uint8_t* bytes, std::size_t size) = 0;
  virtual bool Close() = 0;
};

// Looks for a payload in `layout`, checks its directory whole, then in one
// streaming pass writes each file to `sink` while checking its own SHA-256
// and the whole payload's. Anything but kDone means what `sink` got must be
// thrown away: a payload is trusted only once every hash matched. Memory use
// does not grow with the files' sizes.
// When the names break their rule, *refused says how (the result is kDamaged).
Unpacked Unpack(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& hasher, FileSink& sink,
                NameVerdict* refused = nullptr);

// Lists the files of a verified payload without writing them (for reports).
// Same result codes as Unpack; `visit` sees each entry in order.
Unpacked List(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& hasher,
              const std::function<void(const FileEntry&)>& visit, NameVerdict* refused = nullptr);

// Writes a payload through `sink` (its bytes in order); each call returns
// false when the sink failed. Names must be added in ascending byte order.
class PayloadWriter {
 public:
  using Sink = std::function<bool(const std::uint8_t* bytes, std::size_t size)>;
  PayloadWriter(const HasherFactory& hasher, Sink sink);

  // Adds a file whose bytes `read` gives (the count read, 0 at the end, -1 on
  // an error). False on a read error, a bad or unordered name, or a failed write.
  bool AddFile(const std::string& name, const std::function<long long(std::uint8_t*, std::size_t)>& read,
               bool executable = false);
  // The directory and the trailer; false when the names together break
  // their rule (nothing more is written) or the write failed.
  bool Finish();
  std::uint64_t Length() const { return written_; }

 private:
  bool Put(const std::uint8_t* bytes, std::size_t size);
  bool Pad();

  HasherFactory factory_;
  std::unique_ptr<Hasher> whole_;
  Sink sink_;
  std::string directory_;
  std::vector<std::string> names_;
  std::uint32_t count_ = 0;
  std::uint64_t written_ = 0;
};

}  // namespace mirrolet::bundle
