// mirrolet-pack: makes update folders and checks them before they ship,
// reading the copy list exactly as MirroletV2.exe will read it on a Windows
// whose ANSI code page is the one given, whatever machine the tool runs on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mirrolet::pack {

inline constexpr unsigned kDefaultCodePage = 950;
inline constexpr wchar_t kProgramName[] = L"MirroletV2.exe";

// What a finding is about. Whether it is an error or a warning, and the tag
// printed with it, are in one table (KindName, IsError).
enum class Kind {
  // Errors: the customer's run fails, or reports success while copying nothing.
  kNoList,             // no mirrolet.ini
  kListNotFound,       // hidden, system, a folder, not a regular file, too large or unreadable
  kListEncoding,       // a byte order mark or an encoding that hides [MAIN]
  kNoMainSection,      // no [MAIN] section
  kEntryMissing,       // a FILE key absent or empty: a gap, or "SUM" past the last entry
  kSourceMissing,      // a source that is missing, a folder, not a regular file, or outside the update folder
  kDestinationEmpty,   // an empty destination, the placeholder alone, or a folder
  kNotInCodePage,      // bytes that are no character of the code page
  kValueTooLong,       // a value cut at 4095 bytes
  // Warnings.
  kSumNotPositive,         // "SUM" absent, zero or negative: nothing is copied, yet the run says done
  kUnreadKey,              // an entry key the run never reads: past "SUM", misnumbered, in a second [MAIN]
  kDuplicateKey,           // a key repeated in [MAIN]: the first one wins
  kLowerCasePlaceholder,   // "$apppath$" in another case, which is not replaced
  kNoPlaceholder,          // a destination without "$APPPATH$": the same place for every product
  kLeavesProduct,          // a destination whose ".." leaves the product folder
  kFolderNeeded,           // a folder the product must already have: Mirrolet creates none
  kUnusedFile,             // a file in the folder that no entry copies
  kNoProgram,              // no MirroletV2.exe beside the list
};

// Whether a finding of this kind is an error (else it is a warning).
bool IsError(Kind kind);
// The tag printed with each finding, such as "entry-missing".
const wchar_t* KindName(Kind kind);

struct Finding {
  Kind kind;
  int line;  // of mirrolet.ini; 0 for the folder as a whole
  std::wstring text;
};

// One entry of the list as the run reads it.
struct PlanEntry {
  std::int32_t number;
  int line;                  // of its FILE key, or of its COPYTO key when FILE is absent
  std::wstring source;       // FILEnnn, relative to the update folder
  std::wstring destination;  // COPYTOnnn, with "$APPPATH$" as written
};

struct Report {
  unsigned codePage = kDefaultCodePage;
  bool listRead = false;  // whether the run reads a copy list at all
  std::int32_t sum = 0;
  std::vector<PlanEntry> plan;     // in entry order
  std::vector<Finding> findings;   // by line, the folder's own last
  // 0 when clean, 1 with warnings only, 2 with any error.
  int ExitStatus() const;
};

// Checks FOLDER/mirrolet.ini and the files beside it. Never fails: what cannot
// be read becomes a finding.
Report Check(const std::filesystem::path& folder, unsigned codePage);

struct BuildResult {
  std::vector<std::wstring> refused;  // every name or value that cannot ship, one line each
  std::wstring failure;               // what else stopped the build, if anything
  Report report;                      // the check of what was written
  bool written = false;               // OUT_FOLDER now holds the update folder
  int ExitStatus() const;
};

// Makes an update folder at `out` from `tree`, laid out like the product
// folder: every regular file under the same relative path (links followed), mirrolet.ini in
// `codePage` with CRLF line ends and entries sorted by path, and `program`
// (when not empty) beside it. The folder is built beside `out` and renamed
// into place only when its check finds no error, so `out` is never left half
// written. Refuses an `out` that is not empty, and anything in `tree` that is
// neither a regular file nor a folder after following links.
BuildResult Build(const std::filesystem::path& tree, const std::filesystem::path& out,
                  const std::filesystem::path& program, unsigned codePage);

// The report as printed: the plan, then a line per finding, then a count.
std::wstring FormatReport(const Report& report);

// The command line without the program's name: "check ...", "build ..." or
// "--help". Prints to the console and returns the exit status.
int Run(const std::vector<std::filesystem::path>& arguments);

}  // namespace mirrolet::pack
