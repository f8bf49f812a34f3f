// The seal this program carries: the digest of the payload that
// mirrolet-pack bundled it with (see base/bundle_format.h), in a section of
// the program's own image. It is read from memory, as the loader mapped the
// program that was started (and whose signature the consent prompt checked),
// never from the program's file.
#pragma once

#include <optional>

#include "base/bundle_format.h"

namespace mirrolet {

// The digest the loaded program carries, or nothing when it carries none.
std::optional<bundle::Digest> CarriedSeal();

}  // namespace mirrolet
