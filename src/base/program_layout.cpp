#include "base/program_layout.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "base/program_headers.h"

namespace mirrolet::bundle {

namespace {

bool Read(const ReadAt& read, std::uint64_t offset, std::uint8_t* into, std::size_t size) {
  return size == 0 || read(offset, into, size);
}

std::optional<ProgramLayout> PeLayout(const ReadAt& read, std::uint64_t fileSize) {
  std::uint8_t dos[pe::kDosHeaderSize];
  if (!Read(read, 0, dos, sizeof dos)) return std::nullopt;
  const std::uint64_t at = Load(dos, pe::kNewHeaderOffset);
  std::uint8_t head[pe::kOptionalHeader + pe::kOptionalHeaderSize];
  if (at + sizeof head > fileSize || !Read(read, at, head, sizeof head)) return std::nullopt;
  if (std::memcmp(head, "PE\0\0", pe::kSignatureSize) != 0 || Load(head, pe::kMagic) != pe::kMagicPe32Plus) {
    return std::nullopt;
  }
  const std::uint64_t sections = Load(head, pe::kNumberOfSections), optionalSize = Load(head, pe::kSizeOfOptionalHeader);
  if (optionalSize < pe::kOptionalHeaderSize) return std::nullopt;
  ProgramLayout layout;
  layout.pe = true;
  layout.checksumField = at + pe::kCheckSum.offset;
  layout.securityEntry = at + pe::kSecurityDirectory;
  layout.imageEnd = Load(head, pe::kSizeOfHeaders);
  const std::uint64_t table = at + pe::kOptionalHeader + optionalSize;
  for (std::uint64_t i = 0; i < sections; ++i) {
    std::uint8_t section[pe::kSectionHeaderSize];
    if (!Read(read, table + pe::kSectionHeaderSize * i, section, sizeof section)) return std::nullopt;
    const std::uint64_t size = Load(section, pe::kSizeOfRawData), start = Load(section, pe::kPointerToRawData);
    if (size != 0) layout.imageEnd = std::max(layout.imageEnd, start + size);
  }
  // A program linked without -s keeps a COFF symbol table, and its string
  // table, after the last section: still the program's own bytes.
  const std::uint64_t symbols = Load(head, pe::kPointerToSymbolTable), symbolCount = Load(head, pe::kNumberOfSymbols);
  if (symbols != 0) {
    std::uint8_t strings[pe::kStringTableSize.width];
    const std::uint64_t end = symbols + pe::kSymbolSize * symbolCount;
    if (end + sizeof strings > fileSize || !Read(read, end, strings, sizeof strings)) return std::nullopt;
    layout.imageEnd = std::max(layout.imageEnd, end + std::max<std::uint64_t>(sizeof strings, Load(strings, pe::kStringTableSize)));
  }
  const std::uint64_t certificate = Load(head, pe::kCertificateTable);
  layout.certificateSize = Load(head, pe::kCertificateTableSize);
  layout.payloadEnd = fileSize;
  if (certificate != 0) {
    if (certificate < layout.imageEnd || certificate + layout.certificateSize > fileSize) return std::nullopt;
    layout.payloadEnd = certificate;
  } else {
    layout.certificateSize = 0;
  }
  if (layout.imageEnd > layout.payloadEnd) return std::nullopt;
  return layout;
}

std::optional<ProgramLayout> ElfLayout(const ReadAt& read, std::uint64_t fileSize) {
  std::uint8_t head[elf::kHeaderSize];
  if (!Read(read, 0, head, sizeof head) || head[elf::kClass] != elf::kClass64 || head[elf::kData] != elf::kLittleEndian) {
    return std::nullopt;
  }
  ProgramLayout layout;
  layout.imageEnd = sizeof head;
  // The headers and whatever they point at: segments and sections alike.
  struct Table {
    std::uint64_t offset, entrySize, count;
    Field at, size;
    bool sections;
  };
  const std::array tables{
      Table{Load(head, elf::kProgramHeaderOffset), Load(head, elf::kProgramHeaderSize), Load(head, elf::kProgramHeaderCount),
            elf::kSegmentOffset, elf::kSegmentFileSize, false},
      Table{Load(head, elf::kSectionHeaderOffset), Load(head, elf::kSectionHeaderSize), Load(head, elf::kSectionHeaderCount),
            elf::kSectionOffset, elf::kSectionFileSize, true}};
  for (const Table& table : tables) {
    if (table.count == 0) continue;
    if (table.entrySize < table.size.offset + 8 || table.entrySize > elf::kMaxEntrySize || table.offset > fileSize ||
        table.entrySize * table.count > fileSize - table.offset) {
      return std::nullopt;
    }
    layout.imageEnd = std::max(layout.imageEnd, table.offset + table.entrySize * table.count);
    std::vector<std::uint8_t> entries(table.entrySize * table.count);
    if (!Read(read, table.offset, entries.data(), entries.size())) return std::nullopt;
    for (std::uint64_t i = 0; i < table.count; ++i) {
      const std::uint8_t* entry = entries.data() + i * table.entrySize;
      if (table.sections && Load(entry, elf::kSectionType) == elf::kNoBits) continue;
      const std::uint64_t at = Load(entry, table.at), size = Load(entry, table.size);
      if (at > fileSize || size > fileSize - at) return std::nullopt;
      layout.imageEnd = std::max(layout.imageEnd, at + size);
    }
  }
  layout.payloadEnd = fileSize;
  if (layout.imageEnd > fileSize) return std::nullopt;
  return layout;
}

// Bounds far above either kind of program's own tables.
constexpr std::uint64_t kMaxSections = 4096;
constexpr std::uint64_t kMaxSectionNames = 1 << 20;

std::optional<FileRange> PeSection(const ReadAt& read, std::uint64_t fileSize, std::string_view name) {
  std::uint8_t dos[pe::kDosHeaderSize];
  if (name.size() > 8 || !Read(read, 0, dos, sizeof dos)) return std::nullopt;
  const std::uint64_t at = Load(dos, pe::kNewHeaderOffset);
  std::uint8_t head[pe::kOptionalHeader];
  if (at > fileSize || sizeof head > fileSize - at || !Read(read, at, head, sizeof head)) return std::nullopt;
  const std::uint64_t sections = Load(head, pe::kNumberOfSections);
  const std::uint64_t table = at + pe::kOptionalHeader + Load(head, pe::kSizeOfOptionalHeader);
  for (std::uint64_t i = 0; i < sections; ++i) {
    std::uint8_t section[pe::kSectionHeaderSize];
    if (!Read(read, table + pe::kSectionHeaderSize * i, section, sizeof section)) return std::nullopt;
    char stored[9] = {};
    std::memcpy(stored, section, 8);
    if (std::string_view(stored) != name) continue;
    // The raw size is rounded up to the file alignment; the section itself is its virtual size.
    const std::uint64_t raw = Load(section, pe::kSizeOfRawData), used = Load(section, pe::kVirtualSize);
    const FileRange range{Load(section, pe::kPointerToRawData), used != 0 ? std::min(raw, used) : raw};
    if (range.size == 0 || range.offset > fileSize || range.size > fileSize - range.offset) return std::nullopt;
    return range;
  }
  return std::nullopt;
}

std::optional<FileRange> ElfSection(const ReadAt& read, std::uint64_t fileSize, std::string_view name) {
  std::uint8_t head[elf::kHeaderSize];
  if (!Read(read, 0, head, sizeof head)) return std::nullopt;
  const std::uint64_t tableAt = Load(head, elf::kSectionHeaderOffset), entrySize = Load(head, elf::kSectionHeaderSize);
  const std::uint64_t count = Load(head, elf::kSectionHeaderCount), namesIndex = Load(head, elf::kSectionNamesIndex);
  if (entrySize < elf::kSectionEntrySize || entrySize > elf::kMaxEntrySize || count > kMaxSections ||
      namesIndex >= count || tableAt > fileSize || entrySize * count > fileSize - tableAt) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> table(entrySize * count);
  if (!Read(read, tableAt, table.data(), table.size())) return std::nullopt;
  const auto range = [&](std::uint64_t i) -> std::optional<FileRange> {
    const std::uint8_t* entry = table.data() + i * entrySize;
    const FileRange found{Load(entry, elf::kSectionOffset), Load(entry, elf::kSectionFileSize)};
    if (Load(entry, elf::kSectionType) == elf::kNoBits || found.size == 0 || found.offset > fileSize ||
        found.size > fileSize - found.offset) {
      return std::nullopt;
    }
    return found;
  };
  const auto namesRange = range(namesIndex);
  if (!namesRange || namesRange->size > kMaxSectionNames) return std::nullopt;
  std::vector<char> names(namesRange->size + 1, '\0');  // ends with a NUL whatever the file holds
  if (!Read(read, namesRange->offset, reinterpret_cast<std::uint8_t*>(names.data()), namesRange->size)) return std::nullopt;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = Load(table.data() + i * entrySize, elf::kSectionName);
    if (at < namesRange->size && std::string_view(names.data() + at) == name) return range(i);
  }
  return std::nullopt;
}

}  // namespace

std::optional<FileRange> FindSection(const ReadAt& read, std::uint64_t fileSize, bool pe, std::string_view name) {
  return pe ? PeSection(read, fileSize, name) : ElfSection(read, fileSize, name);
}

std::optional<ProgramLayout> ReadProgramLayout(const ReadAt& read, std::uint64_t fileSize) {
  std::uint8_t magic[4];
  if (fileSize < 64 || !Read(read, 0, magic, sizeof magic)) return std::nullopt;
  if (magic[0] == 'M' && magic[1] == 'Z') return PeLayout(read, fileSize);
  if (std::memcmp(magic, "\x7F" "ELF", 4) == 0) return ElfLayout(read, fileSize);
  return std::nullopt;
}

std::optional<std::uint32_t> PeChecksum(const ReadAt& read, std::uint64_t size, std::uint64_t checksumField) {
  std::vector<std::uint8_t> buffer(1 << 20);  // even, so words never straddle two reads
  std::uint64_t sum = 0;
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
    if (!Read(read, at, buffer.data(), n)) return std::nullopt;
    for (std::size_t i = 0; i < n; i += 2) {
      if (at + i >= checksumField && at + i < checksumField + 4) continue;
      sum += buffer[i] | (i + 1 < n ? buffer[i + 1] << 8 : 0);
      sum = (sum & 0xFFFF) + (sum >> 16);
    }
    at += n;
  }
  return static_cast<std::uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + size);
}

}  // namespace mirrolet::bundle
