#include "os/win32/whole_io.h"

#include <vector>

namespace mirrolet::win32 {

namespace {

constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

DWORD Chunk(std::size_t size) { return static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer); }

}  // namespace

DWORD WriteAll(HANDLE file, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD put = 0;
    if (!WriteFile(file, bytes, Chunk(size), &put, nullptr)) return GetLastError();
    if (put == 0) return ERROR_WRITE_FAULT;  // would loop for ever
    bytes += put;
    size -= put;
  }
  return ERROR_SUCCESS;
}

DWORD ReadUpTo(HANDLE file, void* into, std::size_t size, std::size_t& got) {
  auto* bytes = static_cast<char*>(into);
  got = 0;
  while (got < size) {
    DWORD n = 0;
    if (!ReadFile(file, bytes + got, Chunk(size - got), &n, nullptr)) return GetLastError();
    if (n == 0) break;
    got += n;
  }
  return ERROR_SUCCESS;
}

bool ReadAllAt(HANDLE file, std::uint64_t offset, void* into, std::size_t size) {
  auto* bytes = static_cast<char*>(into);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(file, bytes, Chunk(size), &got, &at) || got == 0) return false;
    bytes += got;
    offset += got;
    size -= got;
  }
  return true;
}

DWORD CopyRest(HANDLE in, HANDLE out, std::uint64_t& copied) {
  std::vector<char> buffer(1 << 18);
  for (;;) {
    std::size_t got = 0;
    if (const DWORD code = ReadUpTo(in, buffer.data(), buffer.size(), got); code != ERROR_SUCCESS) return code;
    if (got == 0) return ERROR_SUCCESS;
    if (const DWORD code = WriteAll(out, buffer.data(), got); code != ERROR_SUCCESS) return code;
    copied += got;
  }
}

}  // namespace mirrolet::win32
