#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "test_support.h"
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

namespace {

// Wide text and paths meet through UTF-8: libstdc++ converts wide names on
// Linux only when they are ASCII.
std::filesystem::path PathOf(const std::wstring& text) {
  const std::string utf8 = Utf8(text);
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::wstring TextOf(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  return FromUtf8(std::string(utf8.begin(), utf8.end()));
}

}  // namespace

std::string TestKey(const std::string& subKey) { return "Software\\MirroletTest\\" + subKey; }

std::filesystem::path Sandbox::Native(const std::wstring& relative) const {
  std::wstring parts = relative;
  std::replace(parts.begin(), parts.end(), L'\\', L'/');
  return (root_ / PathOf(parts)).make_preferred();
}

std::wstring Sandbox::HostPath(const std::wstring& relative) const { return TextOf(Native(relative)); }

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
    names.push_back(TextOf(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace mirrolet::testing
