// Text conversions of the Linux stand-in. Its "system ANSI code page" is the
// C library's locale, as set by setlocale(LC_ALL, "") at start.
#pragma once

#include <string>
#include <string_view>

namespace mirrolet::posix {

// Whether `c` is a byte escaped by LocaleToWide rather than a character.
bool IsEscapedByte(wchar_t c);

// Wide text to the locale's multibyte encoding. A character the encoding
// cannot express becomes "?" and clears *lossless. Embedded NULs are kept;
// escaped bytes (see LocaleToWide) become those bytes again.
std::string WideToLocale(std::wstring_view text, bool* lossless = nullptr);

// The locale's multibyte encoding to wide text. A byte that starts no valid
// character, or one whose character does not encode back to the same bytes,
// becomes the lone surrogate U+DC00 + byte, which WideToLocale turns
// back into that byte: names that are not text still name the same file.
// Embedded NULs are kept.
std::wstring LocaleToWide(std::string_view bytes);

// Whether the locale's encoding is one copy lists are made in: Big5 (any of
// its variants) or UTF-8.
bool LocaleReadsLists();

// Text for the terminal: the locale's encoding, or UTF-8 when the locale is
// plain ASCII (the "C" locale of a bare shell), so Chinese still shows.
std::string ForTerminal(std::wstring_view text);
std::wstring FromTerminal(std::string_view bytes);

}  // namespace mirrolet::posix
