// mirrolet-pack: makes update folders and checks them before they ship,
// reading the copy list exactly as MirroletV2.exe will read it on a Windows
// whose ANSI code page is the one given, whatever machine the tool runs on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/copy_list_model.h"

namespace mirrolet::pack {

inline constexpr unsigned kDefaultCodePage = kListCodePage;
inline constexpr unsigned kUtf8CodePage = 65001;  // CP_UTF8
inline constexpr wchar_t kProgramName[] = L"MirroletV2.exe";

// mirrolet-pack's exit status: what a release pipeline branches on.
enum ExitCode : int {
  kExitClean = 0,     // nothing found, or only warnings the vendor allowed
  kExitWarnings = 1,  // warnings only; what was asked for was written
  kExitFailed = 2,    // an error, a refusal, a failure or a usage mistake; nothing was written
};

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
  kSumNotPositive,     // "SUM" absent, zero or negative beside FILE or COPYTO keys: nothing is copied, yet the run says done
  kMisspelledKey,      // a key the run never reads, a near miss of one it needs ("SUMM")
  kNotMirrolet,        // a bundle whose program is not Mirrolet
  kSystemFile,         // a file among the system's own (/proc, /sys, /dev), or reached through them
  kLinkOutside,        // a link whose real target lies outside the folder or tree: the one error --allow takes
  // Warnings.
  kEmptyList,              // "SUM" absent, zero or negative, and no entry keys either
  kUnknownKey,             // a key of [MAIN] the run never reads, nothing like one it needs
  kOtherSection,           // a section other than [MAIN], which the run never reads
  kUnreadKey,              // an entry key the run never reads: past "SUM", misnumbered, in a second [MAIN]
  kDuplicateKey,           // a key repeated in [MAIN]: the first one wins
  kLowerCasePlaceholder,   // "$apppath$" in another case, which is not replaced
  kNoPlaceholder,          // a destination without "$APPPATH$": the same place for every product
  kLeavesProduct,          // a destination whose ".." leaves the product folder
  kFolderNeeded,           // a folder the product must already have: Mirrolet creates none
  kUnusedFile,             // a file in the folder that no entry copies
  kCopiesProgram,          // an entry that copies a MirroletV2.exe into the product
  kNoProgram,              // no MirroletV2.exe beside the list
};

// Whether a finding of this kind is an error (else it is a warning).
bool IsError(Kind kind);
// Whether --allow takes this kind: every warning, and the errors a vendor may mean.
bool Allowable(Kind kind);
// The tag printed with each finding, such as "entry-missing".
const wchar_t* KindName(Kind kind);
// Every kind, in the order of the enum.
std::vector<Kind> AllKinds();

// What the vendor accepts: findings of the kinds allowed (that --allow
// takes) do not count, and with `strict` every other warning counts as an error.
struct Policy {
  std::set<Kind> allowed;
  bool strict = false;
};

enum class Severity { kError, kWarning, kAllowed };
Severity SeverityOf(Kind kind, const Policy& policy);
const wchar_t* SeverityName(Severity severity);  // "error", "warning", "allowed"

struct Finding {
  Kind kind;
  int line;  // of mirrolet.ini; 0 for the folder as a whole
  std::wstring text;
  std::wstring key;  // the key on that line, if it holds one
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
  Policy policy;
  bool listRead = false;  // whether the run reads a copy list at all
  std::int32_t sum = 0;
  std::vector<PlanEntry> plan;     // in entry order
  std::vector<Finding> findings;   // by line, the folder's own last
  // Clean, warnings only, or failed with any error, as the policy counts them.
  ExitCode ExitStatus() const;
};

struct CheckOptions {
  unsigned codePage = kDefaultCodePage;
  // The program's name: no file of that name beside the list is unused.
  std::wstring program = kProgramName;
  Policy policy;
  // Whether the program must be beside the list; not when it ships otherwise
  // (a bundle, or bundle --exe).
  bool programBeside = true;
};

// Checks FOLDER/mirrolet.ini and the files beside it. Never fails: what cannot
// be read becomes a finding.
Report Check(const std::filesystem::path& folder, const CheckOptions& options);
inline Report Check(const std::filesystem::path& folder, unsigned codePage) {
  return Check(folder, CheckOptions{codePage, kProgramName, {}, true});
}

// What a vendor asks of build and bundle beyond the paths.
struct PackOptions {
  Policy policy;
  bool json = false;                  // one JSON document on standard output instead of text
  std::vector<std::wstring> excludes;  // build: more to leave out than the usual junk
  bool force = false;                  // bundle: replace an existing OUT
};

// What a command prints on standard output: text as it goes, or with --json
// one document at the end. Problems also go to standard error as text.
class Printer {
 public:
  Printer(std::wstring command, bool json) : command_(std::move(command)), json_(json) {}
  void Print(const Report& report);
  // A fact such as "wrote": a line of text, or in the document the member
  // `name` holding `value` (the text itself when not given).
  void Note(const std::string& name, const std::wstring& text, const std::wstring& value);
  void Note(const std::string& name, const std::wstring& text) { Note(name, text, text); }
  // The same with a list of names, an array in the document.
  void Note(const std::string& name, const std::wstring& text, const std::vector<std::wstring>& values);
  void Problem(const std::wstring& text);
  // Prints the document, if any; returns `status`.
  ExitCode Finish(ExitCode status);

 private:
  std::wstring command_;
  bool json_;
  const Report* report_ = nullptr;
  struct Fact {
    std::string name;
    std::vector<std::wstring> values;
    bool list;
  };
  std::vector<Fact> notes_;
  std::vector<std::wstring> problems_;
};

struct BuildResult {
  std::vector<std::wstring> refused;  // every name or value that cannot ship, one line each
  std::vector<std::wstring> leftOut;  // junk and what --exclude matched, by name ("\" after a folder)
  std::wstring failure;               // what else stopped the build, if anything
  Report report;                      // the check of what was written
  bool written = false;               // OUT_FOLDER now holds the update folder
  ExitCode ExitStatus() const;
};

// Makes an update folder at `out` from `tree`, laid out like the product
// folder: every regular file under the same relative path (links followed), mirrolet.ini in
// `codePage` with CRLF line ends and entries sorted by path, and `program`
// (when not empty) beside it. The folder is built beside `out` and renamed
// into place only when its check finds no error, so `out` is never left half
// written. Refuses an `out` that is not empty, and anything in `tree` that is
// neither a regular file nor a folder after following links. What leads out
// of `tree` is a finding of the report (kLinkOutside, kSystemFile); nothing
// is written while one counts as an error, and what lies among the system's
// own files is never read.
BuildResult Build(const std::filesystem::path& tree, const std::filesystem::path& out,
                  const std::filesystem::path& program, unsigned codePage, const PackOptions& options = {});

// "1 entry", "2 entries".
std::wstring Count(std::size_t n, const wchar_t* one, const wchar_t* many);

// The report as printed: the plan, then a line per finding, then a count.
std::wstring FormatReport(const Report& report);

// The command line without the program's name: "check ...", "build ..." or
// "--help". Prints to the console and returns the exit status.
ExitCode Run(const std::vector<std::filesystem::path>& arguments);

}  // namespace mirrolet::pack
