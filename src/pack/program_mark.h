// Which program a file is: mirrolet-pack ships only Mirrolet as the updater.
// A PE says so in its version resource (InternalName and OriginalFilename,
// from res/version.h); the Linux program carries the same two names in an
// ELF section of its own, ".mirrolet".
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/bundle_format.h"

namespace mirrolet::pack {

inline constexpr char kMarkSection[] = ".mirrolet";

struct ProgramMark {
  bool found = false;  // a version resource, or the ELF section
  std::wstring internalName;
  std::wstring originalFilename;
  std::wstring version;  // FileVersion, or the ELF mark's third name
  bool IsMirrolet() const;
  // "MirroletV2.exe 1.00", or what was found instead, for messages.
  std::wstring Describe() const;
};

// Reads the mark of the program whose layout is `layout`. Never reads past
// `fileSize`, and no more than a bounded amount whatever the headers say.
ProgramMark ReadProgramMark(const bundle::ReadAt& read, std::uint64_t fileSize, bool pe);

// Why the file `program` (called `name` in the text) cannot ship as the
// updater: not a program, or not Mirrolet, naming what it found. Empty for Mirrolet.
std::wstring NotMirrolet(const std::filesystem::path& program, const std::wstring& name);

}  // namespace mirrolet::pack
