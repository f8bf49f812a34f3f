// Bounds that the updater and mirrolet-pack must agree on, the same on every host.
#pragma once

namespace mirrolet::os {

// The largest registry or copy-list file read, far above any real one (a list
// of 10,000 entries is under 1 MiB). The stand-in reads a larger file as
// unreadable; mirrolet-pack warns about a list past it.
inline constexpr long long kMaxSettingsFileSize = 16ll << 20;

}  // namespace mirrolet::os
