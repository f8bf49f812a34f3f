// The Linux build: the updater on the stand-in host.
#include <clocale>

#include "platform/posix/posix_platform.h"
#include "update/update_run.h"
#include "version.h"

// The names MirroletV2.exe carries in its version resource, in a section of
// their own: how mirrolet-pack tells this program from any other it is given.
[[gnu::used, gnu::section(".mirrolet")]] const char kProgramMark[] =
    MIRROLET_INTERNAL_NAME "\0" MIRROLET_ORIGINAL_FILENAME "\0" MIRROLET_VERSION_TEXT;

int main() {
  std::setlocale(LC_ALL, "");  // the locale plays the system ANSI code page
  mirrolet::posix::PosixPlatform host(mirrolet::posix::PosixPlatform::RegistryFileFromEnvironment());
  mirrolet::Main(host);
  return 0;  // not reached: Main always ends the process
}
