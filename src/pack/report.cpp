// What a check found, as it is printed.
#include <algorithm>
#include <iterator>

#include "base/copy_list_model.h"
#include "pack/pack.h"

namespace mirrolet::pack {

namespace {

struct FindingKind {
  Kind kind;
  const wchar_t* tag;
  Severity severity;
  bool allowable = false;  // an error that --allow takes
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
    {Kind::kSumNotPositive, L"sum-not-positive", Severity::kError},
    {Kind::kMisspelledKey, L"misspelled-key", Severity::kError},
    {Kind::kNotMirrolet, L"not-mirrolet", Severity::kError},
    {Kind::kSystemFile, L"system-file", Severity::kError},
    {Kind::kLinkOutside, L"link-outside", Severity::kError, true},
    {Kind::kEmptyList, L"empty-list", Severity::kWarning},
    {Kind::kUnknownKey, L"unknown-key", Severity::kWarning},
    {Kind::kOtherSection, L"other-section", Severity::kWarning},
    {Kind::kUnreadKey, L"unread-key", Severity::kWarning},
    {Kind::kDuplicateKey, L"duplicate-key", Severity::kWarning},
    {Kind::kLowerCasePlaceholder, L"lower-case-placeholder", Severity::kWarning},
    {Kind::kNoPlaceholder, L"no-placeholder", Severity::kWarning},
    {Kind::kLeavesProduct, L"leaves-product", Severity::kWarning},
    {Kind::kFolderNeeded, L"folder-needed", Severity::kWarning},
    {Kind::kUnusedFile, L"unused-file", Severity::kWarning},
    {Kind::kCopiesProgram, L"copies-program", Severity::kWarning},
    {Kind::kNoProgram, L"no-program", Severity::kWarning},
};

const FindingKind& Row(Kind kind) {
  return *std::find_if(std::begin(kFindingKinds), std::end(kFindingKinds),
                       [kind](const FindingKind& row) { return row.kind == kind; });
}

}  // namespace

std::wstring Count(std::size_t n, const wchar_t* one, const wchar_t* many) {
  return std::to_wstring(n) + L" " + (n == 1 ? one : many);
}

bool IsError(Kind kind) { return Row(kind).severity == Severity::kError; }

bool Allowable(Kind kind) { return !IsError(kind) || Row(kind).allowable; }

const wchar_t* KindName(Kind kind) { return Row(kind).tag; }

std::vector<Kind> AllKinds() {
  std::vector<Kind> kinds;
  for (const FindingKind& row : kFindingKinds) kinds.push_back(row.kind);
  return kinds;
}

Severity SeverityOf(Kind kind, const Policy& policy) {
  if (policy.allowed.contains(kind) && Allowable(kind)) return Severity::kAllowed;
  if (IsError(kind)) return Severity::kError;
  return policy.strict ? Severity::kError : Severity::kWarning;
}

const wchar_t* SeverityName(Severity severity) {
  return severity == Severity::kError ? L"error" : severity == Severity::kWarning ? L"warning" : L"allowed";
}

ExitCode Report::ExitStatus() const {
  ExitCode status = kExitClean;
  for (const Finding& finding : findings) {
    const Severity severity = SeverityOf(finding.kind, policy);
    if (severity == Severity::kError) return kExitFailed;
    if (severity == Severity::kWarning) status = kExitWarnings;
  }
  return status;
}

std::wstring FormatReport(const Report& report) {
  std::wstring out;
  if (report.listRead) {
    out += std::wstring(kCopyListName) + L" read as code page " + std::to_wstring(report.codePage) + L": " +
           kEntryCountKey + L"=" + std::to_wstring(report.sum) + L", " + Count(report.plan.size(), L"entry", L"entries") + L"\n";
  }
  for (const PlanEntry& entry : report.plan) {
    out += L"  " + EntrySuffix(entry.number) + L"  " + (entry.source.empty() ? L"(none)" : entry.source) + L"  ->  " +
           (entry.destination.empty() ? L"(none)" : entry.destination) + L"\n";
  }
  std::size_t counts[3] = {};
  for (const Finding& finding : report.findings) {
    const Severity severity = SeverityOf(finding.kind, report.policy);
    ++counts[static_cast<int>(severity)];
    out += (finding.line ? std::wstring(kCopyListName) + L":" + std::to_wstring(finding.line) : std::wstring(L"folder")) +
           L": " + SeverityName(severity) + L": " + finding.text + L" [" + KindName(finding.kind) + L"]\n";
  }
  const std::size_t errors = counts[static_cast<int>(Severity::kError)];
  const std::size_t warnings = counts[static_cast<int>(Severity::kWarning)];
  const std::size_t allowed = counts[static_cast<int>(Severity::kAllowed)];
  out += errors + warnings == 0 ? std::wstring(L"clean")
                                : Count(errors, L"error", L"errors") + L", " + Count(warnings, L"warning", L"warnings");
  return out + (allowed ? L" (" + std::to_wstring(allowed) + L" allowed)\n" : L"\n");
}

}  // namespace mirrolet::pack
