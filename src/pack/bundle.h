// mirrolet-pack bundle: an update folder as one program file that carries its
// files (the format is base/bundle_format.h), and the check of such a file.
#pragma once

#include <filesystem>
#include <vector>

namespace mirrolet::pack {

// "bundle FOLDER OUT [--exe PATH] [--code-page N]", the arguments after the
// command's name. Prints to the console and returns the exit status: 0, or 1
// with warnings, when OUT was written; 2 when it was refused or failed.
int BundleCommand(const std::vector<std::filesystem::path>& arguments);

// "check BUNDLE": verifies the payload of the program file `bundle`, then
// prints the plan and the findings of the list inside it. Exit status as for
// a folder; 2 when the payload is missing or does not verify.
int CheckBundle(const std::filesystem::path& bundle, unsigned codePage);

}  // namespace mirrolet::pack
