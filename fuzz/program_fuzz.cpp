// A program file from arbitrary bytes: its layout (PE or ELF headers) and
// the mark mirrolet-pack reads to tell Mirrolet from any other program (a
// PE's version resource, the ELF section) never crash, loop or read outside
// the file, whatever its offsets say.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/program_layout.h"
#include "pack/program_mark.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mirrolet;
  const bundle::ReadAt read = [&](std::uint64_t at, std::uint8_t* into, std::size_t n) {
    if (at > size || n > size - at) return false;
    if (n > 0) std::memcpy(into, data + at, n);
    return true;
  };
  const auto layout = bundle::ReadProgramLayout(read, size);
  if (layout) {
    if (layout->imageEnd > size || layout->payloadEnd > size) __builtin_trap();
    const pack::ProgramMark mark = pack::ReadProgramMark(read, size, layout->pe);
    (void)mark.Describe();
  }
  return 0;
}
