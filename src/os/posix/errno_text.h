// What an errno value says, for the stand-in's reports and mirrolet-pack's messages.
#pragma once

#include <string>

namespace mirrolet::posix {

// The C library's description of errno value `error`, in the language and
// encoding of the current locale, decoded to wide text.
std::wstring ErrnoText(int error);

}  // namespace mirrolet::posix
