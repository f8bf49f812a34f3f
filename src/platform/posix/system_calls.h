// The system calls of the stand-in's copy, each through one thin wrapper, so
// that a test can make any one of them fail with the errno it would really
// give (see Stager::InjectFaults).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <utility>

#include "os/posix/unique_fd.h"

namespace mirrolet::posix {

class SystemCalls {
 public:
  // `faults` is asked before each call by its name and makes it fail with
  // the errno value it returns, unless that is 0.
  void Inject(std::function<int(const char* call)> faults) { faults_ = std::move(faults); }

  int open(const char* path, int flags, mode_t mode = 0) { return Fails("open") ? -1 : ::open(path, flags, mode); }
  ssize_t read(int fd, void* buffer, std::size_t size) { return Fails("read") ? -1 : ::read(fd, buffer, size); }
  ssize_t write(int fd, const void* buffer, std::size_t size) {
    return Fails("write") ? -1 : ::write(fd, buffer, size);
  }
  // From the file position of `in`, or from `*at` when it is given.
  ssize_t copy_file_range(int in, int out, std::size_t size, off_t* at = nullptr) {
    return Fails("copy_file_range") ? -1 : ::copy_file_range(in, at, out, nullptr, size, 0);
  }
  int fallocate(int fd, off_t size) { return Fails("fallocate") ? -1 : ::fallocate(fd, 0, 0, size); }
  int fchown(int fd, uid_t uid, gid_t gid) { return Fails("fchown") ? -1 : ::fchown(fd, uid, gid); }
  int fchmod(int fd, mode_t mode) { return Fails("fchmod") ? -1 : ::fchmod(fd, mode); }
  int futimens(int fd, const struct timespec times[2]) { return Fails("futimens") ? -1 : ::futimens(fd, times); }
  int syncfs(int fd) { return Fails("syncfs") ? -1 : ::syncfs(fd); }
  int fsync(int fd) { return Fails("fsync") ? -1 : ::fsync(fd); }
  int rename(const char* from, const char* to) { return Fails("rename") ? -1 : ::rename(from, to); }
  int unlink(const char* path) { return Fails("unlink") ? -1 : ::unlink(path); }
  DIR* opendir(const char* path) { return Fails("opendir") ? nullptr : ::opendir(path); }

 private:
  bool Fails(const char* call) {
    const int injected = faults_ ? faults_(call) : 0;
    if (injected != 0) errno = injected;
    return injected != 0;
  }
  std::function<int(const char*)> faults_;
};

}  // namespace mirrolet::posix
