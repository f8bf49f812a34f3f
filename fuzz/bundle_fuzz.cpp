// A bundle's payload from arbitrary bytes: the directory walk and the name
// rule never crash or loop, and what the rule keeps Windows keeps apart. The
// first byte chooses: even, the rest is a payload after an 8-byte program;
// odd, it is names, one a line, which the rule must judge as a pairwise
// compare of a few of them does.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/bundle_format.h"
#include "base/name_fold.h"
#include "base/utf8.h"
#include "os/sha256.h"

namespace {

using namespace mirrolet;

class Sink final : public bundle::FileSink {
 public:
  std::vector<std::string> names;
  bool Open(const bundle::FileEntry& entry) override {
    names.push_back(entry.name);
    return true;
  }
  bool Write(const std::uint8_t*, std::size_t) override { return true; }
  bool Close() override { return true; }
};

// Folded, with a "/" after, so that a file that is also a folder is a prefix.
std::wstring Folded(const std::string& name) { return FoldName(FromUtf8(name)) + L"/"; }

void Payload(const std::uint8_t* data, std::size_t size) {
  const std::string bytes = "program!" + std::string(reinterpret_cast<const char*>(data), size);
  const bundle::ReadAt read = [&](std::uint64_t at, std::uint8_t* into, std::size_t n) {
    if (at > bytes.size() || n > bytes.size() - at) return false;
    std::memcpy(into, bytes.data() + at, n);
    return true;
  };
  Sink sink;
  bundle::NameVerdict refused;
  const bundle::Unpacked unpacked = bundle::Unpack(read, {false, 8, bytes.size()}, os::NewSha256, sink, &refused);
  // Nothing reaches the sink unless the names, checked together, hold.
  if (!sink.names.empty() && bundle::CheckNames(sink.names).rule != bundle::NameRule::kOk) __builtin_trap();
  if (refused.rule != bundle::NameRule::kOk && (unpacked != bundle::Unpacked::kDamaged || !sink.names.empty())) {
    __builtin_trap();
  }
}

void Names(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> names;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (std::size_t start = 0; start <= text.size() && names.size() < 64;) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    names.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  const bundle::NameVerdict verdict = bundle::CheckNames(names);
  bool alone = true;
  for (const std::string& name : names) alone = alone && bundle::CheckName(name) == bundle::NameRule::kOk;
  if (alone != (verdict.rule == bundle::NameRule::kOk || verdict.rule == bundle::NameRule::kCaseTwins ||
                verdict.rule == bundle::NameRule::kFileAndFolder)) {
    __builtin_trap();
  }
  if (!alone) return;
  // Every pair: equal folds, a fold that begins another's folder, or one
  // folder spelt two ways; the rule must find some such pair exactly when one is there.
  bool clash = false;
  for (std::size_t i = 0; i < names.size() && !clash; ++i) {
    const std::wstring a = Folded(names[i]);
    for (std::size_t j = 0; j < names.size() && !clash; ++j) {
      if (i == j) continue;
      const std::wstring b = Folded(names[j]);
      clash = a == b || b.starts_with(a);
      // The longest folder both hold, by fold, spelt differently.
      const std::wstring rawA = FromUtf8(names[i]) + L"/", rawB = FromUtf8(names[j]) + L"/";
      for (std::size_t k = 0; !clash && k < a.size() && k < b.size() && a[k] == b[k]; ++k) {
        if (a[k] == L'/' && k + 1 < a.size() && k + 1 < b.size()) clash = rawA.substr(0, k) != rawB.substr(0, k);
      }
    }
  }
  if (clash == (verdict.rule == bundle::NameRule::kOk)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    Payload(data + 1, size - 1);
  } else {
    Names(data + 1, size - 1);
  }
  return 0;
}
