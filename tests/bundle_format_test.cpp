// The bundle payload read back from memory: what was written comes back in
// order, past the directory reader's buffer, and no changed or missing byte
// goes unnoticed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/bundle_format.h"
#include "os/sha256.h"

namespace mirrolet::bundle {
namespace {

std::string Payload(const std::vector<std::string>& names) {
  std::string bytes = "program!";  // stands in for the program image
  PayloadWriter writer(os::NewSha256, [&](const std::uint8_t* data, std::size_t size) {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  });
  for (const std::string& name : names) {
    std::string content = name + name;  // odd and even lengths, so padding shows
    EXPECT_TRUE(writer.AddFile(name, [&](std::uint8_t* into, std::size_t size) -> long long {
      const std::size_t n = std::min(size, content.size());
      std::memcpy(into, content.data(), n);
      content.erase(0, n);
      return static_cast<long long>(n);
    }, name.ends_with(".sh")));
  }
  EXPECT_TRUE(writer.Finish());
  return bytes;
}

Unpacked Read(const std::string& bytes, std::vector<std::string>* names = nullptr) {
  const ReadAt read = [&](std::uint64_t at, std::uint8_t* into, std::size_t size) {
    if (at > bytes.size() || size > bytes.size() - at) return false;
    std::memcpy(into, bytes.data() + at, size);
    return true;
  };
  return List(read, {false, 8, bytes.size()}, os::NewSha256, [&](const FileEntry& entry) {
    if (names) names->push_back(entry.name + " " + std::to_string(entry.size) + (entry.executable ? " x" : ""));
  });
}

TEST(BundleFormat, ReadsBackInOrderAndRefusesAnyChangedOrMissingByte) {
  std::vector<std::string> many, expected, read;
  for (int i = 1000; i < 3000; ++i) many.push_back("Docs/說明-" + std::to_string(i) + std::string(i % 7, 'x') + ".txt");
  for (const std::string& name : many) expected.push_back(name + " " + std::to_string(2 * name.size()));
  const std::string large = Payload(many);
  EXPECT_EQ(large.size() % 8, 0u);
  ASSERT_EQ(Read(large, &read), Unpacked::kDone);
  EXPECT_EQ(read, expected);

  const std::string small = Payload({"a", "b/c.dll", "mirrolet.ini", "run.sh"});
  read.clear();
  ASSERT_EQ(Read(small, &read), Unpacked::kDone);
  EXPECT_EQ(read, (std::vector<std::string>{"a 2", "b/c.dll 14", "mirrolet.ini 24", "run.sh 12 x"}));
  for (std::size_t at = 8; at < small.size(); ++at) {
    std::string changed = small;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    EXPECT_EQ(Read(changed), Unpacked::kDamaged) << "byte " << at << " changed";
    EXPECT_EQ(Read(small.substr(0, at)), at == 8 ? Unpacked::kNone : Unpacked::kDamaged) << "cut at " << at;
  }
}

}  // namespace
}  // namespace mirrolet::bundle
