// Where a program file's own bytes end: a 64-bit PE (MirroletV2.exe) or a
// little-endian ELF64 (the Linux stand-in), read from its headers, and the
// checksum a PE's optional header holds. A bundle's payload begins exactly
// where the program image ends (see bundle_format.h).
//
// This code only parses bytes: reading comes from the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace mirrolet::bundle {

// Reads exactly `size` bytes at `offset` of the program file; false when it
// cannot (an error, or the file ends first).
using ReadAt = std::function<bool(std::uint64_t offset, std::uint8_t* into, std::size_t size)>;

// Where things are in a program file.
struct ProgramLayout {
  bool pe = false;                     // else ELF
  std::uint64_t imageEnd = 0;          // the end of the program's own bytes
  std::uint64_t payloadEnd = 0;        // the certificate table's start, else the file's end
  std::uint64_t certificateSize = 0;   // 0 when the file is not signed
  std::uint64_t securityEntry = 0;     // PE: file offset of the security directory entry
  std::uint64_t checksumField = 0;     // PE: file offset of the optional header's checksum
};

// The layout of a 64-bit PE or a little-endian ELF64 file of `fileSize`
// bytes, or nothing when it is neither or its headers point outside it.
std::optional<ProgramLayout> ReadProgramLayout(const ReadAt& read, std::uint64_t fileSize);

// Where a section's bytes lie in the file.
struct FileRange {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// The section named `name` (a PE's names hold at most 8 bytes) of a 64-bit
// PE (`pe`) or an ELF64 file of `fileSize` bytes: the bytes the file holds of
// it, or nothing when there is no such section, it takes no bytes of the
// file, or the headers point outside the file. Reads a bounded amount.
std::optional<FileRange> FindSection(const ReadAt& read, std::uint64_t fileSize, bool pe, std::string_view name);

// The checksum a PE file's optional header holds for the whole file of
// `size` bytes (its own field counted as zero): what signing tools write and
// check, so that taking a bundle's signature off gives back the bundle.
std::optional<std::uint32_t> PeChecksum(const ReadAt& read, std::uint64_t size, std::uint64_t checksumField);

}  // namespace mirrolet::bundle
