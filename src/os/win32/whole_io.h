// Whole-buffer reads and writes on a Windows file handle, again after a short
// transfer, for the Win32 host and mirrolet-pack alike. One call moves at
// most 1 GiB, so a size never overflows a DWORD.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace mirrolet::win32 {

// Writes all `size` bytes at `data` to `file`. Returns ERROR_SUCCESS, or the
// error of the write that failed (ERROR_WRITE_FAULT for one that wrote
// nothing without saying why).
DWORD WriteAll(HANDLE file, const void* data, std::size_t size);

// Reads from `file` until `size` bytes are in `into` or the file ends, and
// sets `got`. Returns ERROR_SUCCESS or the error of the read that failed.
DWORD ReadUpTo(HANDLE file, void* into, std::size_t size, std::size_t& got);

// Reads exactly `size` bytes at `offset` of `file`. False when the file ends
// first or a read fails.
bool ReadAllAt(HANDLE file, std::uint64_t offset, void* into, std::size_t size);

// Copies what is left of `in` to `out` through a buffer, adding the bytes to
// `copied`. Returns ERROR_SUCCESS or the error of the call that failed.
DWORD CopyRest(HANDLE in, HANDLE out, std::uint64_t& copied);

}  // namespace mirrolet::win32
