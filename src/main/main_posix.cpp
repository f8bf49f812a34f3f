// The Linux build: the updater on the stand-in host.
#include <clocale>

#include "platform/posix/posix_platform.h"
#include "update/update_run.h"

int main() {
  std::setlocale(LC_ALL, "");  // the locale plays the system ANSI code page
  mirrolet::posix::PosixPlatform host(mirrolet::posix::PosixPlatform::RegistryFileFromEnvironment());
  mirrolet::Main(host);
  return 0;  // not reached: Main always ends the process
}
