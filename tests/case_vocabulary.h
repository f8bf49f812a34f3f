// The one vocabulary of the case files: tests/data/fake_runs.txt (the logic
// on the fake host), tests/e2e/scenarios.txt (the real program) and
// tests/data/pack_cases.txt (mirrolet-pack). A directive means the same in
// every file that reads it, and a file's driver fails a directive it does
// not read, so a misspelt one cannot pass unseen.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace mirrolet::testing {

enum CaseFile : unsigned { kFakeRuns = 1, kScenarios = 2, kPackCases = 4 };

// The cases of `file`, whose directives are checked against the table for
// `driver`. A case's own "box" and "report" lines replace the ones "like"
// brought in: a run's boxes are one sequence.
std::vector<Case> ReadCaseFile(const std::filesystem::path& file, CaseFile driver);

// "register: PRODUCT [= PATH] [32] [\]": the product is registered with its
// work path (the fake: PATH, by default C:\PRODUCT; a scenario: the sandbox's
// folder PRODUCT), in the 32-bit view, or with a final "\". An empty line
// registers nothing; without any line Halvix alone is registered.
struct Registration {
  std::string product;
  std::optional<std::string> path;
  bool view32 = false;
  bool slash = false;
};
std::optional<Registration> ParseRegistration(const std::string& argument);

// "entries: FILE = COPYTO | ...": a copy list with these entries, "-" for a
// number without one, and SUM their count.
std::vector<std::optional<std::pair<std::string, std::string>>> ParseEntries(const std::string& argument);
// The same entries as the text of a copy list.
std::string EntriesListText(const std::string& argument);

// "box: KIND [ANSWER ...]" and "report: PART | PART ...": the boxes a run
// shows, in order. KIND is confirm, list-missing, done or nothing; yes, no
// and ok press those buttons (the default: ok), any other word is the
// driver's own (a raw answer for the fake, typed text on Linux). A report is
// the failure report, holding each PART in order, answered ok.
struct ExpectedBox {
  std::string kind;  // or "report"
  std::string parts;
};
struct BoxScript {
  std::vector<ExpectedBox> boxes;
  std::vector<std::string> answers;  // one per press, in order
  // Takes a "box" or "report" line; false for any other directive.
  bool Take(const std::string& directive, const std::string& argument);
};

// A box as a run showed it. `style` is checked where the host tells it.
struct ShownBox {
  std::wstring title;
  std::wstring text;
  bool yesNo = false;
  std::optional<unsigned> style;
};
// Checks the boxes shown against the script; `expand` fills in a report's
// variables once the run is over.
void ExpectBoxes(const std::vector<ShownBox>& shown, const BoxScript& script,
                 const std::function<std::string(const std::string&)>& expand = {});

}  // namespace mirrolet::testing
