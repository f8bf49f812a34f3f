// check: where a destination leads, and what the run does not do for it:
// replace a placeholder in another case, keep products apart without one,
// stay in the product folder, make the folders it needs.
#include "base/copy_list_model.h"
#include "base/name_fold.h"
#include "pack/check_parts.h"
#include "pack/tree.h"

namespace mirrolet::pack {

namespace {

const std::wstring kPlaceholder = kAppPathPlaceholder;

// The placeholder in another case, which is not replaced, if `to` holds one.
std::optional<std::wstring> OtherCasePlaceholder(const std::wstring& to) {
  const std::wstring folded = FoldName(to);
  const std::wstring foldedPlaceholder = FoldName(kPlaceholder);
  for (std::size_t at = folded.find(foldedPlaceholder); at != std::wstring::npos;
       at = folded.find(foldedPlaceholder, at + 1)) {
    if (to.compare(at, kPlaceholder.size(), kPlaceholder) != 0) return to.substr(at, kPlaceholder.size());
  }
  return std::nullopt;
}

}  // namespace

std::optional<DestinationFinding> CheckDestination(std::int32_t number, const std::wstring& to,
                                                   std::set<std::wstring>& folders) {
  const std::wstring key = DestinationKey(number);
  if (to.empty() || to == kPlaceholder || to.back() == L'\\' || to.back() == L'/') {
    const std::wstring what = to.empty() ? L" is empty" : L" " + Quote(to) + L" names a folder, not a file";
    return DestinationFinding{Kind::kDestinationEmpty, key + what + L": the copy fails"};
  }
  if (const std::optional<std::wstring> other = OtherCasePlaceholder(to)) {
    return DestinationFinding{Kind::kLowerCasePlaceholder,
                              key + L" holds " + *other + L", which is not replaced: only " + kPlaceholder + L" in capitals is"};
  }
  const std::size_t at = to.find(kPlaceholder);
  if (at == std::wstring::npos) {
    return DestinationFinding{Kind::kNoPlaceholder,
                              key + L" " + Quote(to) + L" has no " + kPlaceholder + L": every product's pass writes that same place"};
  }
  const std::optional<std::wstring> inside = BelowFolder(std::wstring_view(to).substr(at + kPlaceholder.size()));
  if (!inside) return DestinationFinding{Kind::kLeavesProduct, key + L" " + Quote(to) + L" leaves the product folder"};
  const std::size_t slash = inside->rfind(L'\\');
  if (slash != std::wstring::npos && folders.insert(FoldName(inside->substr(0, slash))).second) {
    return DestinationFinding{Kind::kFolderNeeded, L"the product must already have the folder " +
                                                       Quote(inside->substr(0, slash)) + L": Mirrolet creates no folders"};
  }
  return std::nullopt;
}

}  // namespace mirrolet::pack
