// check: which key the run reads a key it never reads comes nearest, so that
// a misspelling of one the list needs is told from a key of the vendor's own.
#include <algorithm>
#include <vector>

#include "base/copy_list_model.h"
#include "base/name_fold.h"
#include "pack/check_parts.h"

namespace mirrolet::pack {

namespace {

// The edits (insert, delete, replace, swap two neighbours) between `a` and
// the short `b`, without regard to case. Linear in the length of `a`.
std::size_t EditDistance(const std::wstring& a, const std::wstring& b) {
  std::vector<std::vector<std::size_t>> rows(3, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t j = 0; j <= b.size(); ++j) rows[1][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::vector<std::size_t>& row = rows[(i + 1) % 3];
    const std::vector<std::size_t>& up = rows[i % 3];
    const std::vector<std::size_t>& upUp = rows[(i + 2) % 3];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      row[j] = std::min({up[j] + 1, row[j - 1] + 1, up[j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) row[j] = std::min(row[j], upUp[j - 2] + 1);
    }
  }
  return rows[(a.size() + 1) % 3][b.size()];
}

}  // namespace

NearKey NearestKey(const std::wstring& name) {
  const std::wstring folded = FoldName(name);
  std::size_t digits = folded.size();
  while (digits > 0 && folded[digits - 1] >= L'0' && folded[digits - 1] <= L'9') --digits;
  std::int64_t number = 0;
  for (std::size_t i = digits; i < folded.size() && number <= INT32_MAX; ++i) number = number * 10 + (folded[i] - L'0');
  const auto entry = static_cast<std::int32_t>(number >= 1 && number <= INT32_MAX ? number : 1);
  NearKey best{kEntryCountKey, 0, false};
  std::size_t bestDistance = EditDistance(folded, FoldName(kEntryCountKey));
  for (const std::wstring& key : {SourceKey(entry), DestinationKey(entry)}) {
    const std::size_t distance = EditDistance(folded, FoldName(key));
    if (distance < bestDistance) best = {key, entry, false}, bestDistance = distance;
  }
  best.close = bestDistance <= (best.entry == 0 ? 1u : 2u);
  return best;
}

}  // namespace mirrolet::pack
