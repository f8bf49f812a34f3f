#include "base/bundle_format.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/utf8.h"

namespace mirrolet::bundle {

namespace {

// Large enough that reading is not the bottleneck, small enough for the
// run's memory bound.
constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kEntryHead = 48;
// Bounds far above any real update, so that a damaged count or length cannot
// make the run allocate or loop without end.
constexpr std::uint32_t kMaxFiles = 1'000'000;
constexpr std::uint32_t kMaxName = 4096;

std::uint64_t Load(const std::uint8_t* bytes, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void Store(std::string& out, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint64_t Padded(std::uint64_t size) { return (size + 7) / 8 * 8; }

bool Read(const ReadAt& read, std::uint64_t offset, std::uint8_t* into, std::size_t size) {
  return size == 0 || read(offset, into, size);
}

std::optional<ProgramLayout> PeLayout(const ReadAt& read, std::uint64_t fileSize) {
  std::uint8_t dos[64];
  if (!Read(read, 0, dos, sizeof dos)) return std::nullopt;
  const std::uint64_t pe = Load(dos + 0x3C, 4);
  std::uint8_t head[24 + 240];  // signature, file header, a PE32+ optional header
  if (pe + sizeof head > fileSize || !Read(read, pe, head, sizeof head)) return std::nullopt;
  if (std::memcmp(head, "PE\0\0", 4) != 0 || Load(head + 24, 2) != 0x20B) return std::nullopt;
  const std::uint64_t sections = Load(head + 6, 2), optionalSize = Load(head + 20, 2);
  if (optionalSize < 240) return std::nullopt;
  ProgramLayout layout;
  layout.pe = true;
  layout.checksumField = pe + 24 + 64;
  layout.securityEntry = pe + 24 + 112 + 4 * 8;
  layout.imageEnd = Load(head + 24 + 60, 4);  // SizeOfHeaders
  const std::uint64_t table = pe + 24 + optionalSize;
  for (std::uint64_t i = 0; i < sections; ++i) {
    std::uint8_t section[40];
    if (!Read(read, table + 40 * i, section, sizeof section)) return std::nullopt;
    const std::uint64_t size = Load(section + 16, 4), at = Load(section + 20, 4);
    if (size != 0) layout.imageEnd = std::max(layout.imageEnd, at + size);
  }
  // A program linked without -s keeps a COFF symbol table, and its string
  // table, after the last section: still the program's own bytes.
  const std::uint64_t symbols = Load(head + 12, 4), symbolCount = Load(head + 16, 4);
  if (symbols != 0) {
    std::uint8_t strings[4];
    const std::uint64_t end = symbols + 18 * symbolCount;
    if (end + 4 > fileSize || !Read(read, end, strings, sizeof strings)) return std::nullopt;
    layout.imageEnd = std::max(layout.imageEnd, end + std::max<std::uint64_t>(4, Load(strings, 4)));
  }
  const std::uint64_t certificate = Load(head + 24 + 112 + 32, 4);
  layout.certificateSize = Load(head + 24 + 112 + 36, 4);
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
  std::uint8_t head[64];
  if (!Read(read, 0, head, sizeof head) || head[4] != 2 || head[5] != 1) return std::nullopt;  // ELF64, little-endian
  ProgramLayout layout;
  layout.imageEnd = sizeof head;
  // The headers and whatever they point at: segments and sections alike.
  const auto tables = {std::array<std::uint64_t, 5>{Load(head + 32, 8), Load(head + 54, 2), Load(head + 56, 2), 8, 32},
                       std::array<std::uint64_t, 5>{Load(head + 40, 8), Load(head + 58, 2), Load(head + 60, 2), 24, 32}};
  bool sectionTable = true;  // the second table
  for (const auto& [offset, entrySize, count, atField, sizeField] : tables) {
    sectionTable = !sectionTable;
    if (count == 0) continue;
    if (entrySize < sizeField + 8 || entrySize > 256 || offset > fileSize || entrySize * count > fileSize - offset) {
      return std::nullopt;
    }
    layout.imageEnd = std::max(layout.imageEnd, offset + entrySize * count);
    std::vector<std::uint8_t> entries(entrySize * count);
    if (!Read(read, offset, entries.data(), entries.size())) return std::nullopt;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint8_t* entry = entries.data() + i * entrySize;
      if (sectionTable && Load(entry + 4, 4) == 8) continue;  // SHT_NOBITS: nothing in the file
      const std::uint64_t at = Load(entry + atField, 8), size = Load(entry + sizeField, 8);
      if (at > fileSize || size > fileSize - at) return std::nullopt;
      layout.imageEnd = std::max(layout.imageEnd, at + size);
    }
  }
  layout.payloadEnd = fileSize;
  if (layout.imageEnd > fileSize) return std::nullopt;
  return layout;
}

// Reads forward from an offset through a buffer, for the directory.
class Cursor {
 public:
  Cursor(const ReadAt& read, std::uint64_t at, std::uint64_t end) : read_(read), at_(at), end_(end) {}
  bool Take(std::uint8_t* into, std::size_t size) {
    if (size > end_ - at_ + (buffer_.size() - next_)) return false;
    while (size > 0) {
      if (next_ == buffer_.size()) {
        buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(1 << 16, end_ - at_)));
        if (!Read(read_, at_, buffer_.data(), buffer_.size())) return false;
        at_ += buffer_.size();
        next_ = 0;
      }
      const std::size_t n = std::min(size, buffer_.size() - next_);
      std::memcpy(into, buffer_.data() + next_, n);
      into += n;
      next_ += n;
      size -= n;
    }
    return true;
  }
  bool AtEnd() const { return at_ == end_ && next_ == buffer_.size(); }

 private:
  const ReadAt& read_;
  std::uint64_t at_, end_;
  std::vector<std::uint8_t> buffer_;
  std::size_t next_ = 0;
};

struct Located {
  std::uint64_t begin = 0, directory = 0, trailer = 0;
  std::uint32_t count = 0;
  Digest digest{};
};

Unpacked Locate(const ReadAt& read, const ProgramLayout& layout, Located& found) {
  if (layout.payloadEnd == layout.imageEnd) return Unpacked::kNone;
  std::uint8_t trailer[kTrailerSize];
  const std::uint64_t length = layout.payloadEnd - layout.imageEnd;
  if (length < kTrailerSize || !Read(read, layout.payloadEnd - kTrailerSize, trailer, kTrailerSize) ||
      std::memcmp(trailer + 56, kMagic, 8) != 0 || Load(trailer + 4, 4) != kFormatVersion) {
    return Unpacked::kDamaged;
  }
  const std::uint64_t directory = Load(trailer + 8, 8);
  found.count = static_cast<std::uint32_t>(Load(trailer, 4));
  if (Load(trailer + 16, 8) != length || directory > length - kTrailerSize || length % 8 != 0 ||
      directory % 8 != 0 || found.count > kMaxFiles) {
    return Unpacked::kDamaged;
  }
  found.begin = layout.imageEnd;
  found.trailer = layout.payloadEnd - kTrailerSize;
  found.directory = found.trailer - directory;
  std::memcpy(found.digest.data(), trailer + 24, found.digest.size());
  return Unpacked::kDone;
}

bool Verify(const ReadAt& read, const Located& found, const HasherFactory& factory) {
  const std::unique_ptr<Hasher> hasher = factory();
  std::vector<std::uint8_t> buffer(kChunk);
  const std::uint64_t end = found.trailer + 24;
  for (std::uint64_t at = found.begin; at < end;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
    if (!Read(read, at, buffer.data(), n)) return false;
    hasher->Update(buffer.data(), n);
    at += n;
  }
  return hasher->Finish() == found.digest;
}

// Walks the directory of a verified payload; `visit` gets each entry and the
// offset of its bytes and returns a result other than kDone to stop.
Unpacked Walk(const ReadAt& read, const Located& found,
              const std::function<Unpacked(const FileEntry&, std::uint64_t)>& visit) {
  Cursor cursor(read, found.directory, found.trailer);
  std::uint64_t data = found.begin;
  std::string last;
  for (std::uint32_t i = 0; i < found.count; ++i) {
    std::uint8_t head[kEntryHead];
    if (!cursor.Take(head, sizeof head)) return Unpacked::kDamaged;
    FileEntry entry;
    entry.size = Load(head, 8);
    std::memcpy(entry.digest.data(), head + 8, entry.digest.size());
    const std::uint64_t nameSize = Load(head + 40, 4);
    const std::uint64_t flags = Load(head + 44, 4);
    if (nameSize == 0 || nameSize > kMaxName || flags > 1) return Unpacked::kDamaged;
    entry.executable = flags == 1;
    std::vector<std::uint8_t> name(Padded(nameSize));
    if (!cursor.Take(name.data(), name.size())) return Unpacked::kDamaged;
    entry.name.assign(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(nameSize));
    if (!ValidName(entry.name) || (i > 0 && entry.name <= last)) return Unpacked::kDamaged;
    if (entry.size > found.directory - data || Padded(entry.size) > found.directory - data) return Unpacked::kDamaged;
    const Unpacked result = visit(entry, data);
    if (result != Unpacked::kDone) return result;
    data += Padded(entry.size);
    last = std::move(entry.name);
  }
  return data == found.directory && cursor.AtEnd() ? Unpacked::kDone : Unpacked::kDamaged;
}

Unpacked Checked(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& factory, Located& found) {
  const Unpacked located = Locate(read, layout, found);
  if (located != Unpacked::kDone) return located;
  if (!Verify(read, found, factory)) return Unpacked::kDamaged;
  // The directory is checked whole before anything is written, so a malformed
  // one never leaves some files written and the rest not.
  return Walk(read, found, [](const FileEntry&, std::uint64_t) { return Unpacked::kDone; });
}

}  // namespace

std::optional<ProgramLayout> ReadProgramLayout(const ReadAt& read, std::uint64_t fileSize) {
  std::uint8_t magic[4];
  if (fileSize < 64 || !Read(read, 0, magic, sizeof magic)) return std::nullopt;
  if (magic[0] == 'M' && magic[1] == 'Z') return PeLayout(read, fileSize);
  if (std::memcmp(magic, "\x7F" "ELF", 4) == 0) return ElfLayout(read, fileSize);
  return std::nullopt;
}

Unpacked Unpack(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& factory, FileSink& sink) {
  Located found;
  const Unpacked located = Locate(read, layout, found);
  if (located != Unpacked::kDone) return located;
  // The directory is checked whole before anything is written, so a malformed
  // one never leaves some files written and the rest not.
  const Unpacked listed = Walk(read, found, [](const FileEntry&, std::uint64_t) { return Unpacked::kDone; });
  if (listed != Unpacked::kDone) return listed;
  // One pass over the data: each byte is read once and goes into its file's
  // hash and the whole payload's as it is written. What is written goes only
  // to the run's private folder, which the caller removes unless every hash
  // matched; reading and hashing a large update twice would double its time.
  const std::unique_ptr<Hasher> whole = factory();
  std::vector<std::uint8_t> buffer(kChunk);
  const auto take = [&](std::uint64_t at, std::size_t n) {
    if (!Read(read, at, buffer.data(), n)) return false;
    whole->Update(buffer.data(), n);
    return true;
  };
  const Unpacked written = Walk(read, found, [&](const FileEntry& entry, std::uint64_t at) {
    if (!sink.Open(entry)) return Unpacked::kWriteFailed;
    const std::unique_ptr<Hasher> hasher = factory();
    for (std::uint64_t done = 0; done < entry.size;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), entry.size - done));
      if (!take(at + done, n)) return Unpacked::kDamaged;
      hasher->Update(buffer.data(), n);
      if (!sink.Write(buffer.data(), n)) return Unpacked::kWriteFailed;
      done += n;
    }
    if (!take(at + entry.size, static_cast<std::size_t>(Padded(entry.size) - entry.size))) return Unpacked::kDamaged;
    if (!sink.Close()) return Unpacked::kWriteFailed;
    return hasher->Finish() == entry.digest ? Unpacked::kDone : Unpacked::kDamaged;
  });
  if (written != Unpacked::kDone) return written;
  // Then the directory and the trailer's head, which the whole hash covers too.
  for (std::uint64_t at = found.directory, end = found.trailer + 24; at < end;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
    if (!take(at, n)) return Unpacked::kDamaged;
    at += n;
  }
  return whole->Finish() == found.digest ? Unpacked::kDone : Unpacked::kDamaged;
}

Unpacked List(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& factory,
              const std::function<void(const FileEntry&)>& visit) {
  Located found;
  const Unpacked checked = Checked(read, layout, factory, found);
  if (checked != Unpacked::kDone) return checked;
  return Walk(read, found, [&](const FileEntry& entry, std::uint64_t) {
    visit(entry);
    return Unpacked::kDone;
  });
}

PayloadWriter::PayloadWriter(const HasherFactory& hasher, Sink sink)
    : factory_(hasher), whole_(hasher()), sink_(std::move(sink)) {}

bool PayloadWriter::Put(const std::uint8_t* bytes, std::size_t size) {
  whole_->Update(bytes, size);
  written_ += size;
  return sink_(bytes, size);
}

bool PayloadWriter::Pad() {
  static constexpr std::uint8_t kZeros[8] = {};
  return Put(kZeros, static_cast<std::size_t>(Padded(written_) - written_));
}

bool PayloadWriter::AddFile(const std::string& name, const std::function<long long(std::uint8_t*, std::size_t)>& read,
                            bool executable) {
  if (!ValidName(name) || (count_ > 0 && name <= lastName_) || count_ == kMaxFiles) return false;
  const std::unique_ptr<Hasher> hasher = factory_();
  std::vector<std::uint8_t> buffer(kChunk);
  std::uint64_t size = 0;
  for (;;) {
    const long long n = read(buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) break;
    hasher->Update(buffer.data(), static_cast<std::size_t>(n));
    if (!Put(buffer.data(), static_cast<std::size_t>(n))) return false;
    size += static_cast<std::uint64_t>(n);
  }
  if (!Pad()) return false;
  const Digest digest = hasher->Finish();
  Store(directory_, size, 8);
  directory_.append(digest.begin(), digest.end());
  Store(directory_, name.size(), 4);
  Store(directory_, executable ? 1 : 0, 4);
  directory_ += name;
  directory_.append(static_cast<std::size_t>(Padded(name.size()) - name.size()), '\0');
  lastName_ = name;
  ++count_;
  return true;
}

bool PayloadWriter::Finish() {
  std::string trailer;
  Store(trailer, count_, 4);
  Store(trailer, kFormatVersion, 4);
  Store(trailer, directory_.size(), 8);
  Store(trailer, written_ + directory_.size() + kTrailerSize, 8);
  const auto bytes = [](const std::string& text) { return reinterpret_cast<const std::uint8_t*>(text.data()); };
  if (!Put(bytes(directory_), directory_.size()) || !Put(bytes(trailer), trailer.size())) return false;
  const Digest digest = whole_->Finish();
  trailer.assign(digest.begin(), digest.end());
  trailer.append(kMagic, 8);
  written_ += trailer.size();
  return sink_(bytes(trailer), trailer.size());
}

std::optional<std::uint32_t> PeChecksum(const ReadAt& read, std::uint64_t size, std::uint64_t checksumField) {
  std::vector<std::uint8_t> buffer(kChunk);  // even, so words never straddle two reads
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

bool ValidName(std::string_view name) {
  bool utf8 = true;
  FromUtf8(name, &utf8);
  if (name.empty() || name.size() > kMaxName || !utf8) return false;
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    for (const char c : part) {
      if (static_cast<unsigned char>(c) < 0x20 || std::string_view("\\:*?\"<>|").find(c) != std::string_view::npos) {
        return false;
      }
    }
    start = end + 1;
  }
  return true;
}

}  // namespace mirrolet::bundle
