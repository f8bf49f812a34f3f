// The stand-in's side of a bundle: its own file is /proc/self/exe, the
// private folder a new one under $TMPDIR (else /tmp) with mode 0700, locked
// for as long as the run goes.
#pragma once

#include <string>

#include "os/posix/unique_fd.h"
#include "platform/platform.h"

namespace mirrolet::posix {

class PayloadFolder {
 public:
  // The host's UnpackPayload and RemovePayload.
  PayloadState Unpack(std::wstring& folder, HostError& error);
  void Remove();

 private:
  std::string folder_;  // the private folder of an unpacked payload, while the run goes
  UniqueFd lock_;       // held for as long as the run goes
};

}  // namespace mirrolet::posix
