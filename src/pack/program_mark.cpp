// The program's identity, read from its own headers: for a PE its version
// resource (the resource directory: type 16, its first name, its first
// language; then the VS_VERSIONINFO tree of blocks), for ELF the section
// ".mirrolet". Every offset is checked against what was read.
#include "pack/program_mark.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "base/program_headers.h"
#include "version.h"

namespace mirrolet::pack {

namespace {

// No header, table or resource mirrolet-pack reads is larger.
constexpr std::uint64_t kMaxRead = 1 << 20;

// Bytes read from the file, with little-endian fields at checked offsets.
struct Bytes {
  std::vector<std::uint8_t> data;
  bool Has(std::uint64_t at, std::uint64_t size) const { return at <= data.size() && size <= data.size() - at; }
  std::uint64_t Get(std::uint64_t at, int size) const { return bundle::Load(data.data(), {at, size}); }
  // A header's field, in the header that starts at `base`.
  std::uint64_t Get(std::uint64_t base, bundle::Field field) const { return Get(base + field.offset, field.width); }
};

std::optional<Bytes> ReadBytes(const bundle::ReadAt& read, std::uint64_t fileSize, std::uint64_t at, std::uint64_t size) {
  if (at > fileSize || size > fileSize - at || size > kMaxRead) return std::nullopt;
  Bytes bytes{std::vector<std::uint8_t>(static_cast<std::size_t>(size))};
  if (size != 0 && !read(at, bytes.data.data(), bytes.data.size())) return std::nullopt;
  return bytes;
}

class PeReader {
 public:
  PeReader(const bundle::ReadAt& read, std::uint64_t fileSize) : read_(read), fileSize_(fileSize) {}

  ProgramMark Read() {
    ProgramMark mark;
    const auto version = VersionResource();
    if (!version) return mark;
    mark.found = true;
    Block(*version, 0, version->data.size(), 0, false, mark);
    return mark;
  }

 private:
  // The section table, as file offsets for RVAs.
  struct Section {
    std::uint64_t address, size, offset;
  };

  std::optional<std::uint64_t> FileOffset(std::uint64_t rva, std::uint64_t size) const {
    for (const Section& section : sections_) {
      if (rva >= section.address && rva - section.address <= section.size && size <= section.size - (rva - section.address)) {
        return section.offset + (rva - section.address);
      }
    }
    return std::nullopt;
  }

  std::optional<Bytes> VersionResource() {
    namespace pe = bundle::pe;
    const auto dos = ReadBytes(read_, fileSize_, 0, pe::kDosHeaderSize);
    if (!dos) return std::nullopt;
    const std::uint64_t at = dos->Get(0, pe::kNewHeaderOffset);
    const auto head = ReadBytes(read_, fileSize_, at, pe::kOptionalHeader + pe::kOptionalHeaderSize);
    if (!head || std::memcmp(head->data.data(), "PE\0\0", pe::kSignatureSize) != 0 ||
        head->Get(0, pe::kMagic) != pe::kMagicPe32Plus) {
      return std::nullopt;
    }
    const std::uint64_t sections = head->Get(0, pe::kNumberOfSections);
    const std::uint64_t optionalSize = head->Get(0, pe::kSizeOfOptionalHeader);
    // Without the resource directory's entry there is no version resource.
    constexpr std::uint64_t kThroughResources = pe::kResourceDirectory + pe::kDataDirectorySize - pe::kOptionalHeader;
    if (head->Get(0, pe::kNumberOfRvaAndSizes) <= pe::kResourceIndex || optionalSize < kThroughResources) {
      return std::nullopt;
    }
    const std::uint64_t resourceRva = head->Get(0, pe::kResourceTable), resourceSize = head->Get(0, pe::kResourceTableSize);
    const auto table = ReadBytes(read_, fileSize_, at + pe::kOptionalHeader + optionalSize, sections * pe::kSectionHeaderSize);
    if (!table) return std::nullopt;
    for (std::uint64_t i = 0; i < sections; ++i) {
      const std::uint64_t entry = i * pe::kSectionHeaderSize;
      const std::uint64_t virtualSize = table->Get(entry, pe::kVirtualSize), rawSize = table->Get(entry, pe::kSizeOfRawData);
      sections_.push_back({table->Get(entry, pe::kVirtualAddress), virtualSize ? std::min(virtualSize, rawSize) : rawSize,
                           table->Get(entry, pe::kPointerToRawData)});
    }
    const auto where = FileOffset(resourceRva, resourceSize);
    const auto resources = where ? ReadBytes(read_, fileSize_, *where, resourceSize) : std::nullopt;
    if (!resources) return std::nullopt;
    // Type 16 (RT_VERSION), then the first name and the first language.
    std::uint64_t directory = 0;
    for (int level = 0; level < 3; ++level) {
      const auto entry = Entry(*resources, directory, level == 0 ? std::optional<std::uint64_t>(16) : std::nullopt);
      if (!entry) return std::nullopt;
      const bool subdirectory = (*entry & 0x80000000u) != 0;
      if (subdirectory != (level < 2)) return std::nullopt;
      directory = *entry & 0x7FFFFFFFu;
    }
    if (!resources->Has(directory, 16)) return std::nullopt;
    const std::uint64_t dataRva = resources->Get(directory, 4), dataSize = resources->Get(directory + 4, 4);
    const auto data = FileOffset(dataRva, dataSize);
    return data ? ReadBytes(read_, fileSize_, *data, dataSize) : std::nullopt;
  }

  // The offset field of the directory's entry with this id, or its first entry.
  static std::optional<std::uint64_t> Entry(const Bytes& resources, std::uint64_t directory, std::optional<std::uint64_t> id) {
    if (!resources.Has(directory, 16)) return std::nullopt;
    const std::uint64_t named = resources.Get(directory + 12, 2), ids = resources.Get(directory + 14, 2);
    for (std::uint64_t i = id ? named : 0; i < named + ids; ++i) {
      const std::uint64_t at = directory + 16 + i * 8;
      if (!resources.Has(at, 8)) return std::nullopt;
      if (!id || resources.Get(at, 4) == *id) return resources.Get(at + 4, 4);
    }
    return std::nullopt;
  }

  // One block of VS_VERSIONINFO at `at` within `end`: length, value length,
  // type, a NUL-terminated UTF-16 key, its value and its child blocks, each
  // part aligned to 4 bytes. Strings count only below "StringFileInfo".
  void Block(const Bytes& info, std::uint64_t at, std::uint64_t end, int depth, bool strings, ProgramMark& mark) {
    while (at + 6 <= end && depth <= 3) {
      const std::uint64_t length = info.Get(at, 2), valueLength = info.Get(at + 2, 2), type = info.Get(at + 4, 2);
      if (length < 6 || length > end - at) return;
      const std::uint64_t blockEnd = at + length;
      std::uint64_t p = at + 6;
      std::wstring key;
      while (p + 2 <= blockEnd && info.Get(p, 2) != 0) key += static_cast<wchar_t>(info.Get(p, 2)), p += 2;
      p = (p + 2 + 3) / 4 * 4;
      const std::uint64_t valueBytes = type == 1 ? valueLength * 2 : valueLength;
      if (depth == 3 && strings && p <= blockEnd) {
        std::wstring value;
        for (std::uint64_t v = p; v + 2 <= std::min(blockEnd, p + valueBytes) && info.Get(v, 2) != 0; v += 2) {
          value += static_cast<wchar_t>(info.Get(v, 2));
        }
        if (key == L"InternalName") mark.internalName = value;
        if (key == L"OriginalFilename") mark.originalFilename = value;
        if (key == L"FileVersion") mark.version = value;
      } else if (depth < 3) {
        const std::uint64_t children = (p + valueBytes + 3) / 4 * 4;
        if (children < blockEnd) Block(info, children, blockEnd, depth + 1, strings || key == L"StringFileInfo", mark);
      }
      at = (blockEnd + 3) / 4 * 4;
    }
  }

  const bundle::ReadAt& read_;
  std::uint64_t fileSize_;
  std::vector<Section> sections_;
};

// The ELF section ".mirrolet": three NUL-terminated names.
ProgramMark ReadElfMark(const bundle::ReadAt& read, std::uint64_t fileSize) {
  ProgramMark mark;
  const auto where = bundle::FindSection(read, fileSize, false, kMarkSection);
  const auto content = where ? ReadBytes(read, fileSize, where->offset, where->size) : std::nullopt;
  if (!content) return mark;
  mark.found = true;
  std::wstring* fields[] = {&mark.internalName, &mark.originalFilename, &mark.version};
  std::size_t field = 0;
  for (const std::uint8_t c : content->data) {
    if (c == 0) {
      if (++field == std::size(fields)) break;
    } else {
      fields[field]->push_back(static_cast<wchar_t>(c));
    }
  }
  return mark;
}

std::wstring Ascii(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

}  // namespace

bool ProgramMark::IsMirrolet() const {
  return found && internalName == Ascii(MIRROLET_INTERNAL_NAME) && originalFilename == Ascii(MIRROLET_ORIGINAL_FILENAME);
}

std::wstring ProgramMark::Describe() const {
  // Alike for both kinds of program: what is missing is the same two names.
  if (!found) return L"no InternalName or OriginalFilename";
  if (IsMirrolet()) return originalFilename + (version.empty() ? L"" : L" " + version);
  const auto name = [](const std::wstring& text) { return text.empty() ? std::wstring(L"none") : L"\"" + text + L"\""; };
  return L"InternalName " + name(internalName) + L" and OriginalFilename " + name(originalFilename);
}

ProgramMark ReadProgramMark(const bundle::ReadAt& read, std::uint64_t fileSize, bool pe) {
  return pe ? PeReader(read, fileSize).Read() : ReadElfMark(read, fileSize);
}

std::wstring NotMirrolet(const std::filesystem::path& program, const std::wstring& name) {
  std::ifstream in(program, std::ios::binary);
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(program, error);
  const bundle::ReadAt read = [&in](std::uint64_t offset, std::uint8_t* into, std::size_t n) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(n));
    return in.gcount() == static_cast<std::streamsize>(n);
  };
  const auto layout = in && !error ? bundle::ReadProgramLayout(read, size) : std::nullopt;
  if (!layout) return name + L" is not a 64-bit Windows program (PE) or a Linux program (ELF)";
  const ProgramMark mark = ReadProgramMark(read, size, layout->pe);
  if (mark.IsMirrolet()) return {};
  return name + L" is not Mirrolet: " +
         (mark.found ? (layout->pe ? L"its version resource names " : L"its section " + Ascii(kMarkSection) + L" names ")
                     : std::wstring(L"it carries ")) +
         mark.Describe();
}

}  // namespace mirrolet::pack
