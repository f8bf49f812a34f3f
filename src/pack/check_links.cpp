// check and build: what leads out of the folder or tree, so that nothing
// ships from elsewhere without a word, and nothing of the system's own ever.
#include "pack/check_parts.h"

namespace mirrolet::pack {

Finding EscapeFinding(const std::wstring& name, Escape escape, const std::wstring& target, std::wstring_view root) {
  if (escape == Escape::kSystem) {
    return {Kind::kSystemFile, 0,
            Quote(name) + L" leads into the system's own files (" + Quote(target) +
                L"), which describe this machine, not the product: they never ship, whatever is allowed",
            L""};
  }
  return {Kind::kLinkOutside, 0,
          Quote(name) + L" is a link to " + Quote(target) + L", outside " + std::wstring(root) +
              L": what it points to would ship (--allow link-outside where that is meant)",
          L""};
}

}  // namespace mirrolet::pack
