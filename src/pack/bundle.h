// mirrolet-pack bundle: an update folder as one program file that carries its
// files (the format is base/bundle_format.h), and the check of such a file.
#pragma once

#include <filesystem>
#include <vector>

#include "pack/pack.h"

namespace mirrolet::pack {

// Checks the update folder `folder` as read in `codePage` and writes `out`:
// `program` (empty: the folder's MirroletV2.exe) followed by the payload.
// Prints to the console and returns the exit status: 0, or 1 with warnings,
// when OUT was written; 2 when it was refused or failed.
ExitCode Bundle(const std::filesystem::path& folder, const std::filesystem::path& out, std::filesystem::path program,
                unsigned codePage, const PackOptions& options = {});

// "check BUNDLE": verifies the payload of the program file `bundle`, then
// prints the plan and the findings of the list inside it. Exit status as for
// a folder; 2 when the payload is missing or does not verify.
ExitCode CheckBundle(const std::filesystem::path& bundle, unsigned codePage, const PackOptions& options = {});

}  // namespace mirrolet::pack
