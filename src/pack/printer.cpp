// What a command prints: the report as text, or the same as one JSON document
// (nlohmann-json, so that every name and text is escaped as JSON requires).
#include <nlohmann/json.hpp>

#include "base/copy_list_model.h"
#include "base/utf8.h"
#include "pack/pack.h"
#include "pack/pack_host.h"

namespace mirrolet::pack {

namespace {

using nlohmann::ordered_json;

ordered_json Utf8Or(const std::wstring& text) { return text.empty() ? ordered_json() : ordered_json(ToUtf8(text)); }

ordered_json ReportJson(const Report& report) {
  ordered_json document;
  document["list_read"] = report.listRead;
  document["code_page"] = report.codePage;
  document["sum"] = report.sum;
  document["plan"] = ordered_json::array();
  for (const PlanEntry& entry : report.plan) {
    document["plan"].push_back({{"entry", entry.number},
                                {"line", entry.line},
                                {"source", Utf8Or(entry.source)},
                                {"destination", Utf8Or(entry.destination)}});
  }
  document["findings"] = ordered_json::array();
  std::size_t counts[3] = {};
  for (const Finding& finding : report.findings) {
    const Severity severity = SeverityOf(finding.kind, report.policy);
    ++counts[static_cast<int>(severity)];
    document["findings"].push_back({{"kind", ToUtf8(KindName(finding.kind))},
                                    {"severity", ToUtf8(SeverityName(severity))},
                                    {"line", finding.line == 0 ? ordered_json() : ordered_json(finding.line)},
                                    {"key", Utf8Or(finding.key)},
                                    {"text", ToUtf8(finding.text)}});
  }
  document["errors"] = counts[static_cast<int>(Severity::kError)];
  document["warnings"] = counts[static_cast<int>(Severity::kWarning)];
  document["allowed"] = counts[static_cast<int>(Severity::kAllowed)];
  return document;
}

}  // namespace

void Printer::Print(const Report& report) {
  if (json_) {
    report_ = &report;
  } else {
    Write(false, FormatReport(report));
  }
}

void Printer::Note(const std::string& name, const std::wstring& text, const std::wstring& value) {
  if (json_) {
    notes_.push_back({name, {value}, false});
  } else {
    Write(false, text + L"\n");
  }
}

void Printer::Note(const std::string& name, const std::wstring& text, const std::vector<std::wstring>& values) {
  if (json_) {
    notes_.push_back({name, values, true});
  } else {
    Write(false, text + L"\n");
  }
}

void Printer::Problem(const std::wstring& text) {
  Write(true, L"mirrolet-pack: " + text + L"\n");
  problems_.push_back(text);
}

ExitCode Printer::Finish(ExitCode status) {
  if (!json_) return status;
  ordered_json document;
  document["command"] = ToUtf8(command_);
  document["status"] = static_cast<int>(status);
  if (report_ != nullptr) document.update(ReportJson(*report_));
  for (const Fact& fact : notes_) {
    ordered_json values = ordered_json::array();
    for (const std::wstring& value : fact.values) values.push_back(ToUtf8(value));
    document[fact.name] = fact.list ? values : values[0];
  }
  document["problems"] = ordered_json::array();
  for (const std::wstring& problem : problems_) document["problems"].push_back(ToUtf8(problem));
  Write(false, FromUtf8(document.dump(2, ' ', false, ordered_json::error_handler_t::replace)) + L"\n");
  return status;
}

}  // namespace mirrolet::pack
