// What a check found, as it is printed.
#include <algorithm>
#include <iterator>

#include "base/copy_list_model.h"
#include "pack/pack.h"

namespace mirrolet::pack {

namespace {

enum class Severity { kError, kWarning };

struct FindingKind {
  Kind kind;
  const wchar_t* tag;
  Severity severity;
};

// Every kind of finding: a new one is a row here.
constexpr FindingKind kFindingKinds[] = {
    {Kind::kNoList, L"no-list", Severity::kError},
    {Kind::kListNotFound, L"list-not-found", Severity::kError},
    {Kind::kListEncoding, L"list-encoding", Severity::kError},
    {Kind::kNoMainSection, L"no-main-section", Severity::kError},
    {Kind::kEntryMissing, L"entry-missing", Severity::kError},
    {Kind::kSourceMissing, L"source-missing", Severity::kError},
    {Kind::kDestinationEmpty, L"destination-empty", Severity::kError},
    {Kind::kNotInCodePage, L"not-in-code-page", Severity::kError},
    {Kind::kValueTooLong, L"value-too-long", Severity::kError},
    {Kind::kSumNotPositive, L"sum-not-positive", Severity::kWarning},
    {Kind::kUnreadKey, L"unread-key", Severity::kWarning},
    {Kind::kDuplicateKey, L"duplicate-key", Severity::kWarning},
    {Kind::kLowerCasePlaceholder, L"lower-case-placeholder", Severity::kWarning},
    {Kind::kNoPlaceholder, L"no-placeholder", Severity::kWarning},
    {Kind::kLeavesProduct, L"leaves-product", Severity::kWarning},
    {Kind::kFolderNeeded, L"folder-needed", Severity::kWarning},
    {Kind::kUnusedFile, L"unused-file", Severity::kWarning},
    {Kind::kNoProgram, L"no-program", Severity::kWarning},
};

const FindingKind& Row(Kind kind) {
  return *std::find_if(std::begin(kFindingKinds), std::end(kFindingKinds),
                       [kind](const FindingKind& row) { return row.kind == kind; });
}

}  // namespace

bool IsError(Kind kind) { return Row(kind).severity == Severity::kError; }

const wchar_t* KindName(Kind kind) { return Row(kind).tag; }

int Report::ExitStatus() const {
  const bool error = std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return IsError(f.kind); });
  return error ? 2 : findings.empty() ? 0 : 1;
}

std::wstring FormatReport(const Report& report) {
  std::wstring out;
  if (report.listRead) {
    out += std::wstring(kCopyListName) + L" read as code page " + std::to_wstring(report.codePage) + L": " +
           kEntryCountKey + L"=" + std::to_wstring(report.sum) + L", " + std::to_wstring(report.plan.size()) + L" entries\n";
  }
  for (const PlanEntry& entry : report.plan) {
    out += L"  " + EntrySuffix(entry.number) + L"  " + (entry.source.empty() ? L"(none)" : entry.source) + L"  ->  " +
           (entry.destination.empty() ? L"(none)" : entry.destination) + L"\n";
  }
  std::size_t errors = 0;
  for (const Finding& finding : report.findings) {
    errors += IsError(finding.kind);
    out += (finding.line ? std::wstring(kCopyListName) + L":" + std::to_wstring(finding.line) : std::wstring(L"folder")) +
           L": " + (IsError(finding.kind) ? L"error: " : L"warning: ") + finding.text + L" [" + KindName(finding.kind) + L"]\n";
  }
  const std::size_t warnings = report.findings.size() - errors;
  const auto count = [](std::size_t n, const wchar_t* what) {
    return std::to_wstring(n) + L" " + what + (n == 1 ? L"" : L"s");
  };
  return out + (report.findings.empty() ? L"clean\n" : count(errors, L"error") + L", " + count(warnings, L"warning") + L"\n");
}

}  // namespace mirrolet::pack
