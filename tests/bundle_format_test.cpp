// The bundle payload read back from memory: what was written comes back in
// order, past the directory reader's buffer, no changed or missing byte goes
// unnoticed, and names Windows cannot keep apart are damage even when every
// checksum holds. And where a program's own bytes end, from the fuzz seeds.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/bundle_format.h"
#include "base/program_headers.h"
#include "base/program_layout.h"
#include "os/sha256.h"
#include "platform/carried_payload.h"
#include "test_support.h"

namespace mirrolet::bundle {
namespace {

std::string Payload(const std::vector<std::string>& names, std::string bytes = "program!" /* the program image */) {
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

std::uint64_t Load(const std::string& bytes, std::size_t at, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

void Store(std::string& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i) & 0xFF);
}

// A consistent payload that holds `names` as they stand, which the writer
// would refuse: written under stand-in names, its directory made again with
// these, and the trailer's lengths and hash to match.
std::string Crafted(const std::vector<std::string>& names) {
  std::vector<std::string> standIns;
  for (std::size_t i = 0; i < names.size(); ++i) standIns.push_back(std::string(1, static_cast<char>('A' + i)));
  const std::string written = Payload(standIns);
  std::size_t trailer = written.size() - kTrailerSize, at = trailer - Load(written, trailer + 8, 8);
  std::string bytes = written.substr(0, at);
  const std::size_t directoryStart = at;
  for (const std::string& name : names) {
    std::string head = written.substr(at, 48);
    Store(head, 40, name.size(), 4);
    bytes += head + name + std::string((8 - name.size() % 8) % 8, '\0');
    at += 56;
  }
  const std::size_t directory = bytes.size() - (trailer - Load(written, trailer + 8, 8));
  bytes += written.substr(trailer, 24);
  trailer = bytes.size() - 24;
  Store(bytes, trailer + 8, directory, 8);
  Store(bytes, trailer + 16, bytes.size() + 40 - 8, 8);
  const Digest digest = PayloadDigest(os::NewSha256, std::string_view(bytes).substr(directoryStart, directory),
                                      std::string_view(bytes).substr(trailer, 24));
  bytes.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  return bytes + kMagic;
}

Unpacked Read(const std::string& bytes, std::vector<std::string>* names = nullptr, NameVerdict* refused = nullptr) {
  const ReadAt read = [&](std::uint64_t at, std::uint8_t* into, std::size_t size) {
    if (at > bytes.size() || size > bytes.size() - at) return false;
    std::memcpy(into, bytes.data() + at, size);
    return true;
  };
  return List(read, {false, 8, bytes.size()}, os::NewSha256, [&](const FileEntry& entry) {
    if (names) names->push_back(entry.name + " " + std::to_string(entry.size) + (entry.executable ? " x" : ""));
  }, refused);
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

std::string Repeated(const std::string& part, std::size_t times, const std::string& between = "") {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += (i ? between : "") + part;
  return text;
}

TEST(BundleFormat, NamesMeanOneThingOnEveryHost) {
  const struct {
    std::vector<std::string> names;
    NameRule rule;
  } rows[] = {
      {{"a.dll", "a.dll."}, NameRule::kEndsWithDotOrSpace},
      {{"a.dll", "a.dll "}, NameRule::kEndsWithDotOrSpace},
      {{"sub./a.dll"}, NameRule::kEndsWithDotOrSpace},
      {{"a.dll", "sub/con.ini"}, NameRule::kDeviceName},
      {{"Aux"}, NameRule::kDeviceName},
      {{"nul .txt"}, NameRule::kDeviceName},
      {{"LPT9/x"}, NameRule::kDeviceName},
      {{"com\u00B9.log"}, NameRule::kDeviceName},
      {{"com0.txt", "console", "lpt10"}, NameRule::kOk},
      {{"A.dll", "a.dll"}, NameRule::kCaseTwins},
      {{"Docs/a.txt", "docs/b.txt"}, NameRule::kCaseTwins},        // one folder, two spellings
      {{"\u00C4RGER.txt", "\u00E4rger.txt"}, NameRule::kCaseTwins},  // Ä and ä
      {{"I.txt", "\u0131.txt"}, NameRule::kOk},  // dotless ı has no capital of its own
      {{"x", "x/y"}, NameRule::kFileAndFolder},
      {{"X", "x-a", "x/y"}, NameRule::kFileAndFolder},  // not neighbours by bytes
      {{"x", "x-a", "x.b/y"}, NameRule::kOk},
      {{std::string(255, 'a')}, NameRule::kOk},
      {{"d/" + std::string(256, 'a')}, NameRule::kPartTooLong},
      {{Repeated("\u8AAA", 255)}, NameRule::kOk},  // 765 bytes, 255 units
      {{Repeated("\U0001F600", 128)}, NameRule::kPartTooLong},  // 512 bytes, 256 units
      {{Repeated("a", kMaxDepth, "/")}, NameRule::kOk},
      {{Repeated("a", kMaxDepth + 1, "/")}, NameRule::kTooDeep},
      {{Repeated(std::string(239, 'a'), 16, "/") + "b"}, NameRule::kOk},  // 3,840 bytes
      {{Repeated(std::string(239, 'a'), 16, "/") + "/b"}, NameRule::kTooLong},
      {{"a:b"}, NameRule::kMalformed},
      {{"a/"}, NameRule::kMalformed},
  };
  for (const auto& row : rows) {
    NameVerdict refused;
    EXPECT_EQ(Read(Crafted(row.names), nullptr, &refused), row.rule == NameRule::kOk ? Unpacked::kDone : Unpacked::kDamaged)
        << row.names.back().substr(0, 40);
    EXPECT_EQ(refused.rule, row.rule) << row.names.back().substr(0, 40);
  }
  // The writer refuses the same names, one by one or together.
  PayloadWriter writer(os::NewSha256, [&](const std::uint8_t*, std::size_t) { return true; });
  const auto none = [](std::uint8_t*, std::size_t) -> long long { return 0; };
  EXPECT_FALSE(writer.AddFile("sub/con.ini", none));
  EXPECT_TRUE(writer.AddFile("A.dll", none) && writer.AddFile("a.dll", none));
  EXPECT_FALSE(writer.Finish());
}

// Reads `bytes` as a program file.
ReadAt Over(const std::string& bytes) {
  return [&bytes](std::uint64_t at, std::uint8_t* into, std::size_t size) {
    if (at > bytes.size() || size > bytes.size() - at) return false;
    std::memcpy(into, bytes.data() + at, size);
    return true;
  };
}

std::string Seed(const char* name) {
  std::ifstream in(testing::CasePath(std::string("programs/") + name), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// SHA-256 that counts the bytes it hashes.
struct Counted final : Hasher {
  explicit Counted(std::uint64_t& total) : total_(total), inner_(os::NewSha256()) {}
  void Update(const std::uint8_t* bytes, std::size_t size) override {
    total_ += size;
    inner_->Update(bytes, size);
  }
  Digest Finish() override { return inner_->Finish(); }
  std::uint64_t& total_;
  std::unique_ptr<Hasher> inner_;
};

// What the run takes from its own file: only the payload its seal names, and
// no byte of it hashed twice, however often a file is staged.
TEST(CarriedPayload, CountsOnlyAsTheSealedOneAndHashesEachByteOnce) {
  const std::string program = Seed("marked.elf");
  const std::string bundled = Payload({"a.dll", "mirrolet.ini"}, program);
  std::string wholeHash = bundled;  // the same payload in version 1, hashed from its first byte
  const std::size_t trailer = wholeHash.size() - kTrailerSize;
  Store(wholeHash, trailer + 4, kWholeHashVersion, 4);
  const auto hasher = os::NewSha256();
  hasher->Update(reinterpret_cast<const std::uint8_t*>(wholeHash.data()) + program.size(), trailer + 24 - program.size());
  const Digest whole = hasher->Finish();
  wholeHash.replace(trailer + 24, 32, reinterpret_cast<const char*>(whole.data()), 32);
  Digest sealed{};
  std::memcpy(sealed.data(), bundled.data() + trailer + 24, sealed.size());
  Digest other = sealed;
  other[0] ^= 1;
  const struct {
    const std::string& bytes;
    std::optional<Digest> seal;
    PayloadState state;
  } rows[] = {
      {program, std::nullopt, PayloadState::kNone},
      {program, sealed, PayloadState::kDamaged},  // a seal whose payload was taken off
      {bundled, std::nullopt, PayloadState::kDamaged},
      {bundled, other, PayloadState::kDamaged},   // a payload whole in itself, but another one
      {wholeHash, whole, PayloadState::kDamaged},  // the run reads version 2 only
      {bundled, sealed, PayloadState::kReady},
  };
  for (const auto& row : rows) {
    std::uint64_t hashed = 0;
    CarriedPayload payload;
    CarriedUpdate update;
    const PayloadState state =
        payload.Open(Over(row.bytes), row.bytes.size(), row.seal, [&] { return std::make_unique<Counted>(hashed); }, update);
    EXPECT_EQ(state, row.state) << &row - rows;
    if (state != PayloadState::kReady) continue;
    EXPECT_EQ(update.names, (std::vector<std::wstring>{L"a.dll", L"mirrolet.ini"}));
    EXPECT_EQ(update.list, "mirrolet.inimirrolet.ini");
    const std::uint64_t opened = hashed;
    std::string staged;
    for (int pass = 0; pass < 2; ++pass) {
      EXPECT_EQ(payload.Stream(0, [&](const std::uint8_t* b, std::size_t n) { return staged.append(reinterpret_cast<const char*>(b), n), true; }),
                Unpacked::kDone);
    }
    EXPECT_EQ(staged, "a.dlla.dlla.dlla.dll");
    EXPECT_EQ(hashed - opened, 10u) << "the second pass hashes nothing";
  }
  // A copy made elsewhere is checked as it reads back, and the padding after
  // it, which no hash covers, from the program's file.
  std::string padded = bundled;
  padded[program.size() + 10] = 1;  // after a.dll's 10 bytes
  for (const std::string* bytes : {&bundled, static_cast<const std::string*>(&padded)}) {
    CarriedPayload payload;
    CarriedUpdate update;
    ASSERT_EQ(payload.Open(Over(*bytes), bytes->size(), sealed, os::NewSha256, update), PayloadState::kReady);
    EXPECT_EQ(payload.Check(0, [](const ByteSink& into) { return into(reinterpret_cast<const std::uint8_t*>("a.dlla.dll"), 10); }),
              bytes == &bundled ? Unpacked::kDone : Unpacked::kDamaged);
  }
  EXPECT_EQ(List(Over(wholeHash), ReadProgramLayout(Over(wholeHash), wholeHash.size()).value(), os::NewSha256,
                 [](const FileEntry&) {}),
            Unpacked::kDone)
      << "mirrolet-pack check still reads version 1";
}

// The seeds of fuzz/corpus/program, changed field by field: a 4 KiB PE whose
// last section ends the file and a 9 KiB ELF whose section table does. The
// checksums are what osslsigncode calculates for the same bytes.
TEST(ProgramLayout, EndsWhereTheHeadersSayAndASignatureIsNoPayload) {
  struct Row {
    const char* seed;
    std::vector<std::pair<Field, std::uint64_t>> fields;  // from the PE signature; the ELF's from the start
    std::size_t appended;  // bytes after the seed's own
    std::optional<std::array<std::uint64_t, 3>> layout;  // image end, payload end, certificate size
    std::optional<std::uint32_t> checksum = std::nullopt;
  };
  constexpr Field kRsrcSize{pe::kOptionalHeader + 240 + 5 * 40 + 16, 4}, kRsrcAt{kRsrcSize.offset + 4, 4};
  constexpr Field kSection2{8376 + 64 * 2, 0}, kSection2Type{kSection2.offset + 4, 4};
  constexpr Field kSection2At{kSection2.offset + 24, 8}, kSection2Size{kSection2.offset + 32, 8};
  using Layout = std::array<std::uint64_t, 3>;
  const Row rows[] = {
      {"versioned.exe", {}, 0, Layout{4096, 4096, 0}, 0x1910},
      {"versioned.exe", {}, 16, Layout{4096, 4112, 0}, 0xEBF2},
      {"versioned.exe", {{pe::kCertificateTable, 4096}, {pe::kCertificateTableSize, 64}}, 64, Layout{4096, 4096, 64}},
      {"versioned.exe", {{pe::kCertificateTable, 4100}, {pe::kCertificateTableSize, 64}}, 68, Layout{4096, 4100, 64}},
      {"versioned.exe", {{pe::kCertificateTable, 4000}, {pe::kCertificateTableSize, 64}}, 64, std::nullopt},
      {"versioned.exe", {{pe::kCertificateTable, 4096}, {pe::kCertificateTableSize, 65}}, 64, std::nullopt},
      {"versioned.exe", {{kRsrcSize, 0}, {kRsrcAt, 9999}}, 0, Layout{3584, 4096, 0}},    // a section without file bytes
      {"versioned.exe", {{kRsrcSize, 513}}, 0, std::nullopt},
      // Two symbols and a string table of 10 bytes, then a payload.
      {"versioned.exe", {{pe::kPointerToSymbolTable, 4096}, {pe::kNumberOfSymbols, 2}, {{4096 + 36 - 128, 4}, 10}}, 50,
       Layout{4142, 4146, 0}},
      {"versioned.exe", {{pe::kMagic, 0x10B}}, 0, std::nullopt},
      {"marked.elf", {}, 0, Layout{8824, 8824, 0}},
      {"marked.elf", {{kSection2Type, elf::kNoBits}, {kSection2At, 8824}, {kSection2Size, 50}}, 100, Layout{8824, 8924, 0}},
      {"marked.elf", {{kSection2At, 8824}, {kSection2Size, 50}}, 100, Layout{8874, 8924, 0}},
      {"marked.elf", {{kSection2At, 8824}, {kSection2Size, 101}}, 100, std::nullopt},
      {"marked.elf", {{elf::kSectionHeaderSize, 24}}, 0, std::nullopt},
  };
  for (const Row& row : rows) {
    std::string bytes = Seed(row.seed);
    ASSERT_FALSE(bytes.empty()) << row.seed;
    const std::size_t base = bytes.starts_with("MZ") ? Load(bytes, 0x3C, 4) : 0;
    bytes += std::string(row.appended, 'Z');
    for (const auto& [field, value] : row.fields) Store(bytes, base + field.offset, value, field.width);
    const ReadAt read = Over(bytes);
    const auto layout = ReadProgramLayout(read, bytes.size());
    SCOPED_TRACE(std::string(row.seed) + " row " + std::to_string(&row - rows));
    ASSERT_EQ(layout.has_value(), row.layout.has_value());
    if (!layout) continue;
    EXPECT_EQ((Layout{layout->imageEnd, layout->payloadEnd, layout->certificateSize}), *row.layout);
    EXPECT_EQ(layout->pe, base != 0);
    if (row.checksum) {
      EXPECT_EQ(Load(bytes, layout->checksumField, 4), 0x1910u);
      EXPECT_EQ(PeChecksum(read, bytes.size(), layout->checksumField), row.checksum);
    }
  }
}

}  // namespace
}  // namespace mirrolet::bundle
