// UTF-8 and wide text, the same on every host: names in a bundle, answers
// typed on a terminal in the C locale, a C++ library's messages.
#pragma once

#include <string>
#include <string_view>

namespace mirrolet {

// `bytes` read as UTF-8. Only the shortest form of a scalar value counts; any
// other byte becomes U+FFFD, one per byte, and clears *valid. On Windows a
// character past U+FFFF becomes a surrogate pair.
std::wstring FromUtf8(std::string_view bytes, bool* valid = nullptr);

// `text` as UTF-8; a surrogate pair (Windows) is one character, a lone
// surrogate is encoded as it stands.
std::string ToUtf8(std::wstring_view text);

// Appends the UTF-8 form of `c` (at most U+10FFFF; a surrogate is encoded as
// it stands) to `out`.
void AppendUtf8(std::string& out, char32_t c);

}  // namespace mirrolet
