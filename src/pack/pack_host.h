// What mirrolet-pack needs from the system it runs on: text in a chosen
// Windows code page (never the machine's own), the attributes that hide a file
// from the updater's search, reading and copying files that may be anything
// a folder can hold, file names as text, the command line and the console. pack_host_posix.cpp and pack_host_win32.cpp implement it; CMake picks one.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "os/file_bounds.h"

namespace mirrolet::pack {

// Whether Windows code page `codePage` can be used on this machine.
bool CodePageKnown(unsigned codePage);

// `bytes` in code page `codePage` as wide text. Returns false when some bytes
// are no character of the code page; `text` then holds a replacement for them.
bool DecodeCodePage(std::string_view bytes, unsigned codePage, std::wstring& text);

// `text` in code page `codePage`. Returns false when a character has no exact
// code there (no best fit, and it must decode back to the same text); `bytes`
// then holds "?" for it.
bool EncodeCodePage(std::wstring_view text, unsigned codePage, std::string& bytes);

// Whether the file has the hidden or system attribute, which keeps the
// updater's search for its copy list from finding it.
bool HiddenOrSystem(const std::filesystem::path& path);

// Whether the file at `path` may be run: an execute bit on Linux; on Windows
// no file is marked so (what runs there goes by its name).
bool Executable(const std::filesystem::path& path);

// The largest copy list read: the stand-in's bound, the very same constant.
inline constexpr long long kMaxListBytes = os::kMaxSettingsFileSize;

enum class ReadResult { kRead, kNotRegular, kTooLarge, kUnreadable };

// The bytes of the regular file `path` (a link to one is fine) of at most
// kMaxListBytes. Never blocks on a FIFO and never reads a device.
ReadResult ReadListBytes(const std::filesystem::path& path, std::string& bytes);

// Copies the regular file `from` (a link to one is fine) to the new file `to`,
// without blocking on a FIFO put in its place. Returns false, with the
// reason in `why`, when it cannot.
bool CopyRegularFile(const std::filesystem::path& from, const std::filesystem::path& to, std::wstring& why);

// What the C library's error `code` (errno, which file streams leave set)
// says, for "cannot write X: ..." and "cannot read X: ...".
std::wstring ErrnoReason(int code);

// Moves the finished file `from` into place at `to` on the same volume, its
// bytes flushed to the disk first. With `replace` false it fails when `to`
// exists, even when it appeared a moment ago. Returns false, with the
// system's reason in `why`, when it cannot.
bool RenameIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                     std::wstring& why);

// Where a thing found in a folder really is, every link on the way followed
// (on Windows, junctions too).
struct Place {
  std::filesystem::path real;  // its real path; empty when a link on the way leads nowhere
  bool link = false;           // a link (or a junction) leads there: `real` is not the folder's and the name
  // Among the system's own files, or reached through them: /proc, /sys, /dev
  // (on Windows a device, or a volume with no drive letter or share name;
  // under Wine also what lies there on Linux). `real` is then where the
  // way entered them, with the rest of the way unresolved.
  bool system = false;
};

// The real path of the folder `root`, links followed; empty when it has none.
std::filesystem::path RealPath(const std::filesystem::path& root);

// Where `path`, found in the folder whose real path is `folderReal`, really
// is. Costs one look at `path` unless it is a link; a link costs a look at
// each part of the way it leads.
Place Locate(const std::filesystem::path& path, const std::filesystem::path& folderReal);

// Whether the real path `path` is `folder` or lies below it, as this system
// compares names.
bool WithinFolder(const std::filesystem::path& path, const std::filesystem::path& folder);

// A file name or path as text. Returns false when it is not text (on Linux:
// not UTF-8); `text` then holds U+FFFD for the bytes that are not.
bool NameText(const std::filesystem::path& name, std::wstring& text);
std::filesystem::path NamePath(std::wstring_view text);

// The program's arguments, without its own name.
std::vector<std::filesystem::path> Arguments(int argc, char** argv);

// Whether `word` asks for help the way Windows programs are asked ("/?");
// never on Linux, where it could be a path.
bool SlashHelp(std::wstring_view word);

// Whether standard error is a terminal (a console on Windows), where a
// progress line may be shown and rewritten.
bool ErrorIsTerminal();

// Writes `text` to standard output, or to standard error.
void Write(bool toError, std::wstring_view text);

}  // namespace mirrolet::pack
