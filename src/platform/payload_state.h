// How an unpacking's outcome reads to the run, the same on every host.
#pragma once

#include "base/bundle_format.h"
#include "platform/platform.h"

namespace mirrolet {

// The state UnpackPayload reports for `unpacked`. A payload with no file at
// all still needs its (empty) folder, so kDone asks `makeFolder` to make sure
// the folder is there; a false from it is a payload that could not be written.
template <typename MakeFolder>
PayloadState PayloadStateOf(bundle::Unpacked unpacked, MakeFolder&& makeFolder) {
  switch (unpacked) {
    case bundle::Unpacked::kNone: return PayloadState::kNone;
    case bundle::Unpacked::kDone: return makeFolder() ? PayloadState::kUnpacked : PayloadState::kFailed;
    case bundle::Unpacked::kDamaged: return PayloadState::kDamaged;
    case bundle::Unpacked::kWriteFailed: return PayloadState::kFailed;
  }
  return PayloadState::kDamaged;
}

}  // namespace mirrolet
