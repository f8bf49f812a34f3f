#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <utility>

#include "base/utf8.h"

namespace mirrolet::testing {

std::string Utf8(std::wstring_view text) { return ToUtf8(text); }

std::vector<Case> ReadCases(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<Case> cases;
  if (!in) ADD_FAILURE() << "cannot read the case file " << file.string();
  bool ownBoxes = false;  // the case has box lines of its own
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("== ")) {
      cases.push_back({line.substr(3), {}});
      ownBoxes = false;
    } else if (!line.empty() && line[0] != '#' && !cases.empty()) {
      auto [key, value] = Split(line, ":");
      if (value.starts_with(' ')) value.erase(0, 1);
      auto& lines = cases.back().lines;
      const auto like = std::find_if(cases.begin(), cases.end() - 1, [&](const Case& c) { return c.name == value; });
      const bool boxStep = key == "box" || key == "report";
      if (boxStep && !std::exchange(ownBoxes, true)) {
        // A run's boxes are one sequence: a case's own replace those it took with "like".
        std::erase_if(lines, [](const auto& step) { return step.first == "box" || step.first == "report"; });
      }
      if (key != "like") {
        lines.emplace_back(key, value);
      } else if (like != cases.end() - 1) {
        lines.insert(lines.end(), like->lines.begin(), like->lines.end());
      } else {
        ADD_FAILURE() << file.filename().string() << ": no earlier case " << value;
      }
    }
  }
  if (cases.empty()) ADD_FAILURE() << "no cases in " << file;
  return cases;
}

std::pair<std::string, std::string> Split(const std::string& text, const std::string& by) {
  const std::size_t at = text.find(by);
  return at == std::string::npos ? std::pair{text, std::string()} : std::pair{text.substr(0, at), text.substr(at + by.size())};
}

std::vector<std::string> Parts(const std::string& text, const std::string& by) {
  std::vector<std::string> parts;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(by, at), text.size());
    if (end > at) parts.push_back(text.substr(at, end - at));
    at = end + by.size();
  }
  return parts;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
    }
  }
  return out;
}

std::string Repeated(std::string text) {
  for (std::size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at)) {
    const std::size_t space = text.find(' ', at), end = space + 2;
    if (space == std::string::npos || end >= text.size() || text[end] != '}') {
      ++at;
      continue;
    }
    const std::string copies(std::stoul(text.substr(at + 1, space - at - 1)), text[space + 1]);
    text.replace(at, end + 1 - at, copies);
    at += copies.size();
  }
  return text;
}

}  // namespace mirrolet::testing
