#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "host_fixture.h"

namespace mirrolet::testing {

Sandbox::Sandbox() {
  std::random_device random;
  root_ = std::filesystem::temp_directory_path() / ("mirrolet-test-" + std::to_string(random()));
  std::filesystem::create_directories(root_);
}

Sandbox::~Sandbox() {
  // A test that leaves files behind fails.
  const std::string error = RemoveTree(root_);
  if (!error.empty()) ADD_FAILURE() << "the sandbox " << root_.string() << " could not be removed: " << error;
}

std::filesystem::path Sandbox::Native(const std::wstring& relative) const {
  std::wstring parts = relative;
  std::replace(parts.begin(), parts.end(), L'\\', L'/');
  return (root_ / parts).make_preferred();
}

std::wstring Sandbox::HostPath(const std::wstring& relative) const { return Native(relative).wstring(); }

void Sandbox::Write(const std::wstring& relative, const std::string& bytes) const {
  const std::filesystem::path path = Native(relative);
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Sandbox::Read(const std::wstring& relative) const {
  std::ifstream in(Native(relative), std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::wstring> Sandbox::List(const std::wstring& relative) const {
  std::vector<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(Native(relative))) {
    names.push_back(entry.path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace mirrolet::testing
