// The fields of a program's headers that this code reads, as the PE and ELF
// formats name them: for the layout of a bundle (program_layout.cpp) and for
// the program's own mark (mirrolet-pack). Offsets only; reading is the
// caller's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirrolet::bundle {

// A little-endian field of a header: where it starts and how wide it is.
struct Field {
  std::uint64_t offset;
  int width;
};

inline std::uint64_t Load(const std::uint8_t* bytes, Field field) {
  std::uint64_t value = 0;
  for (int i = field.width - 1; i >= 0; --i) value = value << 8 | bytes[field.offset + static_cast<std::uint64_t>(i)];
  return value;
}

// The PE headers a bundle and the program's mark need, as the PE format names them.
namespace pe {
constexpr std::size_t kDosHeaderSize = 64;
constexpr Field kNewHeaderOffset{0x3C, 4};  // e_lfanew: where "PE\0\0" is

constexpr std::size_t kSignatureSize = 4;
constexpr std::size_t kFileHeaderSize = 20;
// The COFF file header's fields, counted from the signature.
constexpr Field kNumberOfSections{kSignatureSize + 2, 2};
constexpr Field kPointerToSymbolTable{kSignatureSize + 8, 4};
constexpr Field kNumberOfSymbols{kSignatureSize + 12, 4};
constexpr Field kSizeOfOptionalHeader{kSignatureSize + 16, 2};

// The PE32+ optional header's fields, counted from the signature.
constexpr std::uint64_t kOptionalHeader = kSignatureSize + kFileHeaderSize;
constexpr std::size_t kOptionalHeaderSize = 240;  // up to the end of the 16 data directories
constexpr Field kMagic{kOptionalHeader + 0, 2};
constexpr std::uint64_t kMagicPe32Plus = 0x20B;
constexpr Field kSizeOfHeaders{kOptionalHeader + 60, 4};
constexpr Field kCheckSum{kOptionalHeader + 64, 4};
constexpr Field kNumberOfRvaAndSizes{kOptionalHeader + 108, 4};  // how many data directories there are
constexpr std::uint64_t kDataDirectories = kOptionalHeader + 112;
constexpr std::uint64_t kDataDirectorySize = 8;
constexpr std::uint64_t kResourceIndex = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr std::uint64_t kResourceDirectory = kDataDirectories + kResourceIndex * kDataDirectorySize;
constexpr Field kResourceTable{kResourceDirectory + 0, 4};  // an address (RVA)
constexpr Field kResourceTableSize{kResourceDirectory + 4, 4};
constexpr std::uint64_t kSecurityDirectory = kDataDirectories + 4 * kDataDirectorySize;  // IMAGE_DIRECTORY_ENTRY_SECURITY
// The security directory holds a file offset, not an address.
constexpr Field kCertificateTable{kSecurityDirectory + 0, 4};
constexpr Field kCertificateTableSize{kSecurityDirectory + 4, 4};

constexpr std::size_t kSectionHeaderSize = 40;
constexpr Field kVirtualSize{8, 4};
constexpr Field kVirtualAddress{12, 4};
constexpr Field kSizeOfRawData{16, 4};
constexpr Field kPointerToRawData{20, 4};

constexpr std::uint64_t kSymbolSize = 18;
constexpr Field kStringTableSize{0, 4};  // counts its own 4 bytes
}  // namespace pe

// The ELF64 headers a bundle and the program's mark need, as the ELF format names them.
namespace elf {
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kClass = 4;  // EI_CLASS
constexpr std::uint8_t kClass64 = 2;
constexpr std::size_t kData = 5;  // EI_DATA
constexpr std::uint8_t kLittleEndian = 1;
constexpr Field kProgramHeaderOffset{32, 8};  // e_phoff
constexpr Field kSectionHeaderOffset{40, 8};  // e_shoff
constexpr Field kProgramHeaderSize{54, 2};    // e_phentsize
constexpr Field kProgramHeaderCount{56, 2};   // e_phnum
constexpr Field kSectionHeaderSize{58, 2};    // e_shentsize
constexpr Field kSectionHeaderCount{60, 2};   // e_shnum
constexpr Field kSectionNamesIndex{62, 2};    // e_shstrndx
constexpr std::uint64_t kMaxEntrySize = 256;  // far above either table's own

constexpr Field kSegmentOffset{8, 8};     // p_offset
constexpr Field kSegmentFileSize{32, 8};  // p_filesz
constexpr std::uint64_t kSectionEntrySize = 64;  // an Elf64_Shdr
constexpr Field kSectionName{0, 4};       // sh_name: an offset into the names section
constexpr Field kSectionType{4, 4};       // sh_type
constexpr std::uint64_t kNoBits = 8;      // SHT_NOBITS: nothing in the file
constexpr Field kSectionOffset{24, 8};    // sh_offset
constexpr Field kSectionFileSize{32, 8};  // sh_size
}  // namespace elf

}  // namespace mirrolet::bundle
