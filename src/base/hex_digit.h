// The value of one hexadecimal digit, the same in every reader.
#pragma once

namespace mirrolet {

// 0 to 15 for "0"-"9", "a"-"f" and "A"-"F"; -1 for anything else.
constexpr int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

}  // namespace mirrolet
