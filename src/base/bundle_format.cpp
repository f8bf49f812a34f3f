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
  std::uint32_t count = 0, version = 0;
  Digest digest{};
};

Unpacked Locate(const ReadAt& read, const ProgramLayout& layout, std::uint32_t version, Located& found) {
  if (layout.payloadEnd == layout.imageEnd) return Unpacked::kNone;
  std::uint8_t trailer[kTrailerSize];
  const std::uint64_t length = layout.payloadEnd - layout.imageEnd;
  if (length < kTrailerSize || !Read(read, layout.payloadEnd - kTrailerSize, trailer, kTrailerSize) ||
      std::memcmp(trailer + 56, kMagic, 8) != 0) {
    return Unpacked::kDamaged;
  }
  found.version = static_cast<std::uint32_t>(Load(trailer + 4, 4));
  if (version != 0 ? found.version != version : found.version != kFormatVersion && found.version != kWholeHashVersion) {
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

// The digest the trailer holds, computed: version 2 over the directory and
// the trailer's head, version 1 over the whole payload up to the digest.
bool DigestHolds(const ReadAt& read, const Located& found, const HasherFactory& factory) {
  const std::unique_ptr<Hasher> hasher = factory();
  std::vector<std::uint8_t> buffer(kChunk);
  const std::uint64_t end = found.trailer + 24;
  for (std::uint64_t at = found.version == kWholeHashVersion ? found.begin : found.directory; at < end;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
    if (!Read(read, at, buffer.data(), n)) return false;
    hasher->Update(buffer.data(), n);
    at += n;
  }
  return hasher->Finish() == found.digest;
}

// Reads the directory whole. False when it is malformed; the names are the
// caller's to check.
bool Walk(const ReadAt& read, const Located& found, std::vector<FileEntry>& files) {
  Cursor cursor(read, found.directory, found.trailer);
  std::uint64_t data = found.begin;
  for (std::uint32_t i = 0; i < found.count; ++i) {
    std::uint8_t head[kEntryHead];
    if (!cursor.Take(head, sizeof head)) return false;
    FileEntry entry;
    entry.size = Load(head, 8);
    std::memcpy(entry.digest.data(), head + 8, entry.digest.size());
    const std::uint64_t nameSize = Load(head + 40, 4);
    const std::uint64_t flags = Load(head + 44, 4);
    if (nameSize == 0 || nameSize > kMaxName || flags > 1) return false;
    entry.executable = flags == 1;
    std::vector<std::uint8_t> name(Padded(nameSize));
    if (!cursor.Take(name.data(), name.size())) return false;
    entry.name.assign(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(nameSize));
    if (i > 0 && entry.name <= files.back().name) return false;
    if (entry.size > found.directory - data || Padded(entry.size) > found.directory - data) return false;
    entry.offset = data;
    data += Padded(entry.size);
    files.push_back(std::move(entry));
  }
  return data == found.directory && cursor.AtEnd();
}

}  // namespace

Unpacked ReadDirectory(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& factory,
                       Directory& directory, NameVerdict* refused, std::uint32_t version) {
  Located found;
  const Unpacked located = Locate(read, layout, version, found);
  if (located != Unpacked::kDone) return located;
  // The digest first: nothing of a directory that does not hold is believed,
  // not even its names' verdict.
  if (!DigestHolds(read, found, factory)) return Unpacked::kDamaged;
  std::vector<FileEntry> files;
  if (!Walk(read, found, files)) return Unpacked::kDamaged;
  std::vector<std::string> names;
  names.reserve(files.size());
  for (const FileEntry& file : files) names.push_back(file.name);
  NameVerdict verdict = CheckNames(names);
  const bool kept = verdict.rule == NameRule::kOk;
  if (refused) *refused = std::move(verdict);
  if (!kept) return Unpacked::kDamaged;
  directory = {found.version, found.digest, std::move(files)};
  return Unpacked::kDone;
}

Unpacked StreamFile(const ReadAt& read, const FileEntry& entry, const HasherFactory& factory,
                    const std::function<bool(const std::uint8_t*, std::size_t)>& write) {
  const std::unique_ptr<Hasher> hasher = factory ? factory() : nullptr;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, Padded(entry.size) + 8)));
  for (std::uint64_t done = 0; done < entry.size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), entry.size - done));
    if (!Read(read, entry.offset + done, buffer.data(), n)) return Unpacked::kDamaged;
    if (hasher) hasher->Update(buffer.data(), n);
    if (!write(buffer.data(), n)) return Unpacked::kWriteFailed;
    done += n;
  }
  if (!PaddingIsZero(read, entry)) return Unpacked::kDamaged;
  return !hasher || hasher->Finish() == entry.digest ? Unpacked::kDone : Unpacked::kDamaged;
}

bool PaddingIsZero(const ReadAt& read, const FileEntry& entry) {
  const std::size_t padding = static_cast<std::size_t>(Padded(entry.size) - entry.size);
  std::uint8_t pad[8] = {};
  return Read(read, entry.offset + entry.size, pad, padding) &&
         std::none_of(pad, pad + padding, [](std::uint8_t b) { return b != 0; });
}

Unpacked Unpack(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& factory, FileSink& sink,
                NameVerdict* refused, Directory* out) {
  Directory directory;
  const Unpacked found = ReadDirectory(read, layout, factory, directory, refused, 0);
  if (found != Unpacked::kDone) return found;
  for (const FileEntry& entry : directory.files) {
    // Read again: each name on its own is checked once more before it is used.
    if (CheckName(entry.name) != NameRule::kOk) return Unpacked::kDamaged;
    if (!sink.Open(entry)) return Unpacked::kWriteFailed;
    const Unpacked streamed =
        StreamFile(read, entry, factory, [&sink](const std::uint8_t* bytes, std::size_t size) { return sink.Write(bytes, size); });
    if (streamed != Unpacked::kDone) return streamed;
    if (!sink.Close()) return Unpacked::kWriteFailed;
  }
  if (out) *out = std::move(directory);
  return Unpacked::kDone;
}

Unpacked List(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& factory,
              const std::function<void(const FileEntry&)>& visit, NameVerdict* refused) {
  Directory directory;
  const Unpacked found = ReadDirectory(read, layout, factory, directory, refused, 0);
  if (found != Unpacked::kDone) return found;
  const auto discard = [](const std::uint8_t*, std::size_t) { return true; };
  for (const FileEntry& entry : directory.files) {
    if (StreamFile(read, entry, factory, discard) != Unpacked::kDone) return Unpacked::kDamaged;
  }
  for (const FileEntry& entry : directory.files) visit(entry);
  return Unpacked::kDone;
}

Digest PayloadDigest(const HasherFactory& factory, std::string_view directory, std::string_view trailerHead) {
  const std::unique_ptr<Hasher> hasher = factory();
  hasher->Update(reinterpret_cast<const std::uint8_t*>(directory.data()), directory.size());
  hasher->Update(reinterpret_cast<const std::uint8_t*>(trailerHead.data()), trailerHead.size());
  return hasher->Finish();
}

PayloadWriter::PayloadWriter(const HasherFactory& hasher, Sink sink) : factory_(hasher), sink_(std::move(sink)) {}

bool PayloadWriter::Put(const std::uint8_t* bytes, std::size_t size) {
  written_ += size;
  return sink_(bytes, size);
}

bool PayloadWriter::Pad() {
  static constexpr std::uint8_t kZeros[8] = {};
  return Put(kZeros, static_cast<std::size_t>(Padded(written_) - written_));
}

bool PayloadWriter::AddFile(const std::string& name, const std::function<long long(std::uint8_t*, std::size_t)>& read,
                            bool executable) {
  if (CheckName(name) != NameRule::kOk || (count_ > 0 && name <= names_.back()) || count_ == kMaxFiles) return false;
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
  names_.push_back(name);
  ++count_;
  return true;
}

bool PayloadWriter::Finish() {
  if (CheckNames(names_).rule != NameRule::kOk) return false;
  std::string trailer;
  Store(trailer, count_, 4);
  Store(trailer, kFormatVersion, 4);
  Store(trailer, directory_.size(), 8);
  Store(trailer, written_ + directory_.size() + kTrailerSize, 8);
  const auto bytes = [](const std::string& text) { return reinterpret_cast<const std::uint8_t*>(text.data()); };
  if (!Put(bytes(directory_), directory_.size()) || !Put(bytes(trailer), trailer.size())) return false;
  digest_ = bundle::PayloadDigest(factory_, directory_, trailer);
  trailer.assign(digest_.begin(), digest_.end());
  trailer.append(kMagic, 8);
  written_ += trailer.size();
  return sink_(bytes(trailer), trailer.size());
}

}  // namespace mirrolet::bundle
