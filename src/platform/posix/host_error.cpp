#include "platform/posix/host_error.h"

#include <cerrno>

#include "os/posix/errno_text.h"

namespace mirrolet::posix {

unsigned long WindowsCode(int error) {
  switch (error) {
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES: case EPERM: case EISDIR: case EROFS: return kErrorAccessDenied;
    case ETXTBSY: case EBUSY: case EWOULDBLOCK: return kErrorSharingViolation;
    case ENOSPC: case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case ENOMEM: return kErrorNotEnoughMemory;
    case ELOOP: return kErrorCantResolveFilename;  // what Windows gives for a loop of links
    case EIO: return kErrorIoDevice;
    default: return kErrorGenFailure;
  }
}

bool Fail(HostError& error, unsigned long code, int errnoValue) {
  error.code = code;
  error.description = ErrnoText(errnoValue);
  return false;
}

}  // namespace mirrolet::posix
