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
//   trailer    64 bytes: u32 file count, u32 format version (2), u64
//              directory length, u64 payload length (data + directory +
//              trailer), the SHA-256 of the directory and of the trailer up to
//              this field (the payload's digest), then the 8 bytes "MRLTBNDL"
//
// The payload's digest pins every file's size, name and SHA-256, so each
// byte of the data needs hashing once, as it is read for its file; padding
// is zero. Version 1 bundles (mirrolet-pack check still reads them) hashed
// the whole payload from its first byte instead.
//
// The program of a bundle carries the payload's digest in its own image (the
// seal, below), which the loader maps and a signature covers: the run trusts
// a payload only when its digest is the one in its own memory, whatever file
// it is read from.
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
inline constexpr std::uint32_t kFormatVersion = 2;     // what is written, and all a run reads
inline constexpr std::uint32_t kWholeHashVersion = 1;  // read by mirrolet-pack check only
inline constexpr char kMagic[] = "MRLTBNDL";

// The seal: a section of the program's own, 8 bytes kSealMagic then the
// payload's digest, all zero for a program that carries no payload.
// mirrolet-pack writes the digest into the file; the run reads it from its
// memory. PE section names hold at most 8 bytes.
inline constexpr char kSealSection[] = ".mrlseal";
inline constexpr char kSealMagic[] = "MRLTSEAL";
inline constexpr std::size_t kSealMagicSize = 8;
inline constexpr std::size_t kSealSize = kSealMagicSize + 32;

struct FileEntry {
  std::string name;  // as stored: UTF-8, "/" between parts
  std::uint64_t size = 0;
  Digest digest{};
  bool executable = false;
  std::uint64_t offset = 0;  // where its bytes start in the program file
};

// A payload's directory, read whole and checked against the trailer's digest.
struct Directory {
  std::uint32_t version = 0;
  Digest digest{};  // the payload's digest, as the trailer holds it
  std::vector<FileEntry> files;
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

// Looks for a payload in `layout` and reads its directory whole: kNone when
// nothing follows the program image; kDamaged when what follows is
// malformed, of another version than `version` (0 takes either), its names
// break their rule (*refused says how) or its digest does not hold (for
// version 1, over every byte); else kDone, and `directory` is filled. A
// version 2 file's own bytes are still to be checked, as StreamFile reads them.
Unpacked ReadDirectory(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& hasher,
                       Directory& directory, NameVerdict* refused = nullptr, std::uint32_t version = kFormatVersion);

// Reads file `entry`'s bytes in bounded chunks and hands each to `write`,
// checking its padding and, unless `hasher` is empty (a file whose bytes
// were checked before, in a file that cannot change), its SHA-256. kDone;
// kDamaged when a read fails or a check does not hold; kWriteFailed when
// `write` returned false. What `write` got is trusted only on kDone.
Unpacked StreamFile(const ReadAt& read, const FileEntry& entry, const HasherFactory& hasher,
                    const std::function<bool(const std::uint8_t*, std::size_t)>& write);

// Whether the padding after file `entry`'s bytes, which no hash covers, is
// zero, as every writer leaves it (so the same files always mean the same bytes).
bool PaddingIsZero(const ReadAt& read, const FileEntry& entry);

// Looks for a payload of either version, checks its directory, then writes
// each file to `sink`, checking each hash as it goes. Anything but kDone
// means what `sink` got must be thrown away. Memory use does not grow with
// the files' sizes. When given, `directory` gets what was read.
Unpacked Unpack(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& hasher, FileSink& sink,
                NameVerdict* refused = nullptr, Directory* directory = nullptr);

// Lists the files of a payload of either version, every byte checked,
// without writing them (for reports). Same result codes as Unpack; `visit`
// sees each entry in order.
Unpacked List(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& hasher,
              const std::function<void(const FileEntry&)>& visit, NameVerdict* refused = nullptr);

// The payload's digest that a version 2 payload ending in `trailer` pins, for
// writers and tests: the SHA-256 of `directory` and the trailer's first 24 bytes.
Digest PayloadDigest(const HasherFactory& hasher, std::string_view directory, std::string_view trailerHead);

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
  // The payload's digest, once Finish succeeded: what the program's seal holds.
  const Digest& PayloadDigest() const { return digest_; }

 private:
  bool Put(const std::uint8_t* bytes, std::size_t size);
  bool Pad();

  HasherFactory factory_;
  Sink sink_;
  Digest digest_{};
  std::string directory_;
  std::vector<std::string> names_;
  std::uint32_t count_ = 0;
  std::uint64_t written_ = 0;
};

}  // namespace mirrolet::bundle
