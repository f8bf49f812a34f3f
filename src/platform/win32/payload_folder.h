// The Windows side of a bundle: the exe's own file up to its certificate
// table, unpacked into a new private folder in the user's temporary folder.
#pragma once

#include <string>

#include "os/win32/handles.h"
#include "platform/platform.h"

namespace mirrolet::win32 {

class PayloadFolder {
 public:
  // Unpacks the payload of the program's own file, if it has one, and sets
  // `files` to the folder that holds its files.
  PayloadState Unpack(std::wstring& files, HostError& error);
  // Removes the private folder, whatever it holds.
  void Remove();

 private:
  std::wstring folder_;  // the private folder, while the run goes
  UniqueFile lock_;      // its lock file, held open without delete sharing
};

}  // namespace mirrolet::win32
