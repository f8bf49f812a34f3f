// SHA-256 from the system: OpenSSL's libcrypto on Linux (sha256_posix.cpp),
// CryptoAPI in advapi32 on Windows (sha256_win32.cpp). CMake picks one.
#pragma once

#include <memory>

#include "base/bundle_format.h"

namespace mirrolet::os {

// A new SHA-256 computation. Throws std::runtime_error when the system has
// no SHA-256 at all, which no supported system lacks.
std::unique_ptr<bundle::Hasher> NewSha256();

}  // namespace mirrolet::os
