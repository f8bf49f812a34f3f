// The placeholder expansion on arbitrary text: every "$APPPATH$" of the
// destination, and only those, becomes the work path.
#include <cstddef>
#include <cstdint>
#include <string>

#include "update/copy_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte splits the input into the destination and the work path.
  if (size == 0) return 0;
  const std::size_t split = std::min<std::size_t>(data[0], size - 1);
  const std::wstring destination(data + 1, data + 1 + split);
  const std::wstring workPath(data + 1 + split, data + size);
  const std::wstring expanded = mirrolet::ExpandAppPath(destination, workPath);

  std::size_t placeholders = 0;
  for (std::size_t at = destination.find(L"$APPPATH$"); at != std::wstring::npos;
       at = destination.find(L"$APPPATH$", at + 9)) {
    ++placeholders;
  }
  if (expanded.size() != destination.size() + placeholders * workPath.size() - placeholders * 9) __builtin_trap();
  if (placeholders == 0 && expanded != destination) __builtin_trap();
  return 0;
}
