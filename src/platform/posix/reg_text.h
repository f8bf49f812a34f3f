// The stand-in's registry: HKEY_LOCAL_MACHINE as read from a Windows .reg
// export. Pure: text in, values out. The host reads the file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace mirrolet::posix {

struct RegValue {
  std::uint32_t type = 0;
  // String types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ): the text, which may
  // hold NULs, and whether a terminating NUL was stored after it.
  std::wstring text;
  bool terminated = true;
  // Every other type: the stored bytes.
  std::vector<std::uint8_t> bytes;

  bool IsText() const { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }
};

class Registry {
 public:
  // Reads a .reg export: "REGEDIT4" text in the ANSI code page (decoded by
  // `fromAnsi`), or "Windows Registry Editor Version 5.00" in UTF-16LE with
  // its FF FE mark. Only [HKEY_LOCAL_MACHINE\...] keys are kept. Values:
  // "text" (REG_SZ, with \\ and \" escapes), dword:, hex: and hex(n): lists,
  // continued over lines ending in "\". Lines it does not understand are skipped.
  static Registry Parse(std::string_view bytes,
                        const std::function<std::wstring(std::string_view)>& fromAnsi);

  // Key paths are relative to HKEY_LOCAL_MACHINE, parts separated by "\",
  // compared without regard to case. The empty path is the root itself.
  bool HasKey(std::wstring_view path) const;
  const RegValue* Find(std::wstring_view path, std::wstring_view valueName) const;

 private:
  struct Key {
    std::unordered_map<std::wstring, std::size_t> children;  // folded part -> index in keys_
    std::map<std::wstring, RegValue> values;                 // folded name -> value
  };
  // The key at folded `path`, made with every key above it when missing.
  std::size_t AddKey(std::wstring_view path);
  std::optional<std::size_t> Lookup(std::wstring_view path) const;
  std::vector<Key> keys_{1};  // keys_[0] is HKEY_LOCAL_MACHINE itself
};

}  // namespace mirrolet::posix
