// Comparing names without regard to case, as Windows does: registry keys,
// profile sections and keys, file names. Windows folds with one fixed table,
// whatever the user's language, so this never asks the C library's locale
// (under a Turkish locale towlower turns "I" into a dotless "ı").
#pragma once

#include <string>
#include <string_view>

namespace mirrolet {

// `c` upper-cased by the fixed table: the one-to-one uppercase mapping of the
// Basic Multilingual Plane that Windows compares names with, pairs of letters
// that map to each other only. Characters outside it, non-ASCII letters whose
// uppercase is ASCII (dotless i, long s), the micro sign, final sigma and
// titlecase letters stay as they are.
wchar_t FoldChar(wchar_t c);

// `text` with every character folded; two names are equal without regard to
// case exactly when their folds are equal.
std::wstring FoldName(std::wstring_view text);

}  // namespace mirrolet
