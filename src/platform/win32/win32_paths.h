// Paths as the Win32 host spells them.
#pragma once

#include <windows.h>

#include <string>

namespace mirrolet::win32 {

// Calls a Win32 function that fills a buffer of a given size and returns the
// length it wrote, or the size it needs when the buffer was too small (or, for
// some, the buffer's size when it cut the text short): grows the buffer until
// the text fits. Empty text when `fill` fails (returns 0).
template <typename Fill>
std::wstring GrowToFit(Fill fill, DWORD initial = MAX_PATH) {
  std::wstring text(initial, L'\0');
  for (;;) {
    const DWORD n = fill(text.data(), static_cast<DWORD>(text.size()));
    if (n == 0) return {};
    if (n < text.size()) {
      text.resize(n);
      return text;
    }
    text.resize(n > text.size() ? n : text.size() * 2);
  }
}

// The folder of `path`; a drive root keeps its "\".
std::wstring FolderOf(const std::wstring& path);

// The last part of `path`.
std::wstring BaseOf(const std::wstring& path);

// `folder` and `name` joined by one "\".
std::wstring ChildPath(const std::wstring& folder, const std::wstring& name);

// `path` made absolute (against the current folder) in the "\\?\" form, so
// that paths longer than MAX_PATH work with the wide file functions.
std::wstring ExtendedPath(const std::wstring& path);

// `path` made absolute, without the "\\?\" form, for the calls that do not
// take it and for the user's eyes.
std::wstring PlainPath(const std::wstring& path);

// The program's own file.
std::wstring OwnPath();

}  // namespace mirrolet::win32
