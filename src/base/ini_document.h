// Profile (INI) files as the Windows profile functions read them. Pure: bytes
// or text in, values out. Reading the file, and the code page its bytes are
// in, are the caller's: the Linux stand-in decodes with its locale, the
// packing tool with the code page of the machines an update ships to.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mirrolet {

// One section header or key line of a profile file, for tools that explain a
// file line by line. Lines are numbered from 1 as an editor counts them: CR LF,
// a lone CR and a lone LF each end one line.
struct IniLine {
  enum class Kind { kSection, kKey };
  Kind kind;
  int number;
  std::wstring name;   // the section's or key's name, trimmed, as written
  std::wstring value;  // a key's raw value, trimmed
  int section;         // a key's section header line, 0 for a key before any section
  // A section: the first of its name, the one lookups search. A key: the one
  // lookups find (the first of its name, in such a section).
  bool found;
};

class IniDocument {
 public:
  // Parses decoded text. Lines end at any run of CR/LF. Lines are trimmed of
  // TAB, LF, VT, FF, CR, ^Z and space. "[name" runs to the first "]" (or the
  // line's end); a line starting with ";" is a comment; lines before the first
  // section and lines without "=" are ignored; a key is the trimmed text
  // before the first "=", its value the trimmed text after it. When `lines`
  // is given, every section header and key line is appended to it.
  static IniDocument Parse(std::wstring_view text, std::vector<IniLine>* lines = nullptr);

  // The raw value of `key` in the first section named `section` (both compared
  // without regard to case, after trimming spaces off the arguments), taking
  // the first of duplicate keys, or nothing when there is none.
  std::optional<std::wstring> Find(std::wstring_view section, std::wstring_view key) const;

 private:
  // Folded section name -> the number of the first section of that name;
  // for each key that lookups find, its folded name and then its value in
  // one buffer of compact UTF-8 (see Pack), reached through one
  // open-addressed table of (section, folded key), so that each lookup costs
  // the same however long the file is and a list of 10,000 entries stays
  // small (about 50 bytes a key).
  struct Entry {
    std::uint32_t at;  // in bytes_
    std::uint32_t keySize;
    std::uint32_t valueSize;
    std::uint32_t section;
    std::uint32_t hash;
  };
  static std::uint32_t HashOf(std::uint32_t section, std::string_view key);
  // The slot that holds (section, key), or the free slot where it would go.
  std::size_t Probe(std::uint32_t section, std::string_view key, std::uint32_t hash) const;
  // Adds the key unless the section has it already. Returns whether it did.
  bool Add(std::uint32_t section, std::string_view key, std::wstring_view value);

  std::unordered_map<std::string, std::uint32_t> sections_;
  std::string bytes_;
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // an entry's index + 1, or 0 for a free slot
};

// The file's bytes as text: UTF-16LE when it starts with the FF FE mark,
// otherwise `fromAnsi` of the bytes (a UTF-8 mark is not special, as on Windows).
std::wstring DecodeProfileBytes(std::string_view bytes,
                                const std::function<std::wstring(std::string_view)>& fromAnsi);

// UTF-16LE bytes (without BOM) to wide text; an odd trailing byte is dropped
// and an unpaired surrogate becomes U+FFFD.
std::wstring DecodeUtf16Le(std::string_view bytes);

// A found value as the profile functions return it: cut at an embedded NUL,
// then one pair of matching outer quotes (" or ') removed.
std::wstring ProfileValue(std::wstring_view raw);

// A default as the profile functions return it: trailing spaces removed.
std::wstring ProfileDefault(std::wstring_view text);

// The profile integer reading of a value: leading blanks, an optional sign,
// then decimal digits ("0x", "0o", "0b" select another base), wrapping modulo
// 2^32 and stopping at the first non-digit. "12abc" is 12, "abc" is 0.
std::uint32_t ParseProfileInt(std::wstring_view value);

// What GetPrivateProfileIntA reads of a found raw value: Windows copies it
// into a 30-character buffer, so only its first 29 characters count
// (ProfileIntText), and an empty value gives the default (nothing here).
std::wstring ProfileIntText(std::wstring_view raw);
std::optional<std::uint32_t> ProfileInt(std::wstring_view raw);

}  // namespace mirrolet
