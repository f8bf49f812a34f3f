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

// What a directory walk's visitor says after each entry.
enum class Step { kGoOn, kStop };

// Walks the directory; `visit` gets each entry and the offset of its bytes.
// False when the directory is malformed; a stop is not. The names are the
// caller's to check.
bool Walk(const ReadAt& read, const Located& found, const std::function<Step(const FileEntry&, std::uint64_t)>& visit) {
  Cursor cursor(read, found.directory, found.trailer);
  std::uint64_t data = found.begin;
  std::string last;
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
    if (i > 0 && entry.name <= last) return false;
    if (entry.size > found.directory - data || Padded(entry.size) > found.directory - data) return false;
    if (visit(entry, data) == Step::kStop) return true;
    data += Padded(entry.size);
    last = std::move(entry.name);
  }
  return data == found.directory && cursor.AtEnd();
}

// The directory is checked whole, its names together, before anything is
// written, so a malformed one never leaves some files written and the rest not.
bool WellFormed(const ReadAt& read, const Located& found, NameVerdict* refused) {
  std::vector<std::string> names;
  const bool walked = Walk(read, found, [&names](const FileEntry& entry, std::uint64_t) {
    names.push_back(entry.name);
    return Step::kGoOn;
  });
  if (!walked) return false;
  NameVerdict verdict = CheckNames(names);
  const bool kept = verdict.rule == NameRule::kOk;
  if (refused) *refused = std::move(verdict);
  return kept;
}

}  // namespace

Unpacked Unpack(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& factory, FileSink& sink,
                NameVerdict* refused) {
  Located found;
  const Unpacked located = Locate(read, layout, found);
  if (located != Unpacked::kDone) return located;
  if (!WellFormed(read, found, refused)) return Unpacked::kDamaged;
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
  Unpacked failed = Unpacked::kDone;
  const auto stop = [&failed](Unpacked why) {
    failed = why;
    return Step::kStop;
  };
  const bool walked = Walk(read, found, [&](const FileEntry& entry, std::uint64_t at) {
    // Read again: each name on its own is checked once more before it is used.
    if (CheckName(entry.name) != NameRule::kOk) return stop(Unpacked::kDamaged);
    if (!sink.Open(entry)) return stop(Unpacked::kWriteFailed);
    const std::unique_ptr<Hasher> hasher = factory();
    for (std::uint64_t done = 0; done < entry.size;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), entry.size - done));
      if (!take(at + done, n)) return stop(Unpacked::kDamaged);
      hasher->Update(buffer.data(), n);
      if (!sink.Write(buffer.data(), n)) return stop(Unpacked::kWriteFailed);
      done += n;
    }
    if (!take(at + entry.size, static_cast<std::size_t>(Padded(entry.size) - entry.size))) return stop(Unpacked::kDamaged);
    if (!sink.Close()) return stop(Unpacked::kWriteFailed);
    return hasher->Finish() == entry.digest ? Step::kGoOn : stop(Unpacked::kDamaged);
  });
  if (failed != Unpacked::kDone) return failed;
  if (!walked) return Unpacked::kDamaged;
  // Then the directory and the trailer's head, which the whole hash covers too.
  for (std::uint64_t at = found.directory, end = found.trailer + 24; at < end;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
    if (!take(at, n)) return Unpacked::kDamaged;
    at += n;
  }
  return whole->Finish() == found.digest ? Unpacked::kDone : Unpacked::kDamaged;
}

Unpacked List(const ReadAt& read, const ProgramLayout& layout, const HasherFactory& factory,
              const std::function<void(const FileEntry&)>& visit, NameVerdict* refused) {
  Located found;
  const Unpacked located = Locate(read, layout, found);
  if (located != Unpacked::kDone) return located;
  if (!Verify(read, found, factory) || !WellFormed(read, found, refused)) return Unpacked::kDamaged;
  Walk(read, found, [&](const FileEntry& entry, std::uint64_t) {
    visit(entry);
    return Step::kGoOn;
  });
  return Unpacked::kDone;
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
  const Digest digest = whole_->Finish();
  trailer.assign(digest.begin(), digest.end());
  trailer.append(kMagic, 8);
  written_ += trailer.size();
  return sink_(bytes(trailer), trailer.size());
}

}  // namespace mirrolet::bundle
