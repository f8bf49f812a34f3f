#include "pack/bundle.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/bundle_format.h"
#include "base/name_fold.h"
#include "base/utf8.h"
#include "os/sha256.h"
#include "pack/pack.h"
#include "pack/pack_host.h"
#include "pack/program_mark.h"
#include "pack/tree.h"

namespace mirrolet::pack {

namespace fs = std::filesystem;

namespace {

// A program file opened for reading at any offset.
class ProgramFile {
 public:
  explicit ProgramFile(const fs::path& path) {
    errno = 0;
    in_.open(path, std::ios::binary);
    error_ = errno;
    std::error_code error;
    size_ = fs::file_size(path, error);
    if (error) in_.close();
  }
  bool Open() const { return in_.is_open(); }
  int Error() const { return error_; }  // errno from the open
  std::uint64_t Size() const { return size_; }
  bundle::ReadAt Reader() {
    return [this](std::uint64_t offset, std::uint8_t* into, std::size_t size) {
      in_.clear();
      in_.seekg(static_cast<std::streamoff>(offset));
      in_.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(size));
      return in_.gcount() == static_cast<std::streamsize>(size);
    };
  }

 private:
  std::ifstream in_;
  std::uint64_t size_ = 0;
  int error_ = 0;
};

// A line on standard error, rewritten as the work goes, once the work has
// taken a second and only on a terminal, so that a pipeline's output stays clean.
class Progress {
 public:
  Progress(std::wstring what, std::uint64_t total)
      : what_(std::move(what)), total_(total), start_(Clock::now()), terminal_(ErrorIsTerminal()) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (shown_) Write(true, L"\rmirrolet-pack: " + what_ + L": done" + std::wstring(24, L' ') + L"\n");
  }
  void Add(std::uint64_t bytes) {
    done_ += bytes;
    if (!terminal_) return;
    const Clock::time_point now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || (shown_ && now - last_ < std::chrono::milliseconds(250))) return;
    last_ = now;
    shown_ = true;
    const std::uint64_t percent = total_ ? std::min<std::uint64_t>(100, done_ * 100 / total_) : 100;
    Write(true, L"\rmirrolet-pack: " + what_ + L": " + std::to_wstring(percent) + L"% (" +
                    std::to_wstring(done_ >> 20) + L" of " + std::to_wstring(total_ >> 20) + L" MiB)   ");
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::wstring what_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  Clock::time_point start_, last_;
  bool terminal_;
  bool shown_ = false;
};

// The most a bundle may be: a signed Windows file holds its length in 32 bits.
constexpr std::uint64_t kMaxBundleBytes = 0xFFFFFFFFu;

// What the bundle's length will be: the program, each file padded to 8
// bytes, a directory entry for each (48 bytes and the padded name), the trailer.
std::uint64_t BundleLength(std::uint64_t imageEnd, const std::map<std::string, fs::path>& files) {
  const auto padded = [](std::uint64_t n) { return (n + 7) / 8 * 8; };
  std::uint64_t length = imageEnd + bundle::kTrailerSize;
  for (const auto& [name, path] : files) {
    std::error_code error;
    const std::uint64_t size = fs::file_size(path, error);
    length += padded(error ? 0 : size) + 48 + padded(name.size());
  }
  return length;
}

// The files the bundle carries: the list and every file it names, by their
// names in the folder ("/" between parts, UTF-8), in byte order.
std::optional<std::map<std::string, fs::path>> PayloadFiles(const fs::path& folder, const Report& report) {
  std::map<std::wstring, const TreeEntry> onDisk;
  WalkTree(folder, [&](const TreeEntry& entry) {
    if (entry.type == EntryType::kFile) onDisk.emplace(FoldName(entry.name), entry);
  }, {{}, report.policy.allowed.contains(Kind::kLinkOutside)});
  std::vector<std::wstring> wanted{L"mirrolet.ini"};
  for (const PlanEntry& entry : report.plan) wanted.push_back(entry.source);
  std::map<std::string, fs::path> files;
  for (const std::wstring& source : wanted) {
    // Check has already refused a source that leaves the folder.
    const auto found = onDisk.find(FoldName(BelowFolder(source).value_or(L"")));
    if (found == onDisk.end()) return std::nullopt;
    std::wstring name;
    for (const fs::path& part : found->second.relative) name += (name.empty() ? L"" : L"/") + Text(part);
    files.emplace(ToUtf8(name), found->second.path);
  }
  return files;
}

// What the bundle's writing needs to name in a failure.
struct BundlePaths {
  const fs::path& program;
  const fs::path& out;
  Progress& progress;
};

// What the bundle's name rule found, for a person.
std::wstring Refusal(const bundle::NameVerdict& verdict) {
  const std::wstring name = Quote(FromUtf8(verdict.name)), other = Quote(FromUtf8(verdict.other));
  switch (verdict.rule) {
    case bundle::NameRule::kOk: break;
    case bundle::NameRule::kMalformed: return name + L" is no name a bundle can hold";
    case bundle::NameRule::kEndsWithDotOrSpace: return name + L" ends a part with a dot or a space, which Windows drops";
    case bundle::NameRule::kDeviceName: return name + L" has a part that is a device name on Windows";
    case bundle::NameRule::kPartTooLong:
      return name + L" has a part longer than " + std::to_wstring(bundle::kMaxPartUnits) + L" UTF-16 units";
    case bundle::NameRule::kTooDeep: return name + L" is more than " + std::to_wstring(bundle::kMaxDepth) + L" parts deep";
    case bundle::NameRule::kTooLong: return name + L" is longer than " + std::to_wstring(bundle::kMaxNameBytes) + L" bytes";
    case bundle::NameRule::kCaseTwins: return name + L" and " + other + L" differ only in case: Windows keeps one";
    case bundle::NameRule::kFileAndFolder: return name + L" is a file and also a folder of " + other;
  }
  return {};
}

// What a bundle's writing gives back: the payload's length and digest.
struct Written {
  std::uint64_t length = 0;
  bundle::Digest digest{};
};

// Writes the program's own bytes, without a signature or an earlier payload,
// then the payload. Returns what was written, or nothing on a failure
// with what could not be read or written, and why, in `why`.
std::optional<Written> WriteBundle(ProgramFile& program, const bundle::ProgramLayout& layout,
                                         const std::map<std::string, fs::path>& files, std::ofstream& out,
                                         const BundlePaths& paths, std::wstring& why) {
  const auto failed = [&why](const std::wstring& what, const fs::path& path) {
    why = L"cannot " + what + L" " + Text(path) + L": " + ErrnoReason(errno);
    return std::nullopt;
  };
  std::vector<std::uint8_t> buffer(1 << 20);
  const bundle::ReadAt read = program.Reader();
  for (std::uint64_t at = 0; at < layout.imageEnd;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), layout.imageEnd - at));
    errno = 0;
    if (!read(at, buffer.data(), n)) return failed(L"read", paths.program);
    // A program that was signed: its security directory entry goes, as
    // osslsigncode remove-signature does, so the bundle reads as unsigned.
    if (layout.certificateSize != 0 && layout.securityEntry >= at && layout.securityEntry + 8 <= at + n) {
      std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(layout.securityEntry - at), 8, 0);
    }
    if (!out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(n))) {
      return failed(L"write", paths.out);
    }
    at += n;
    paths.progress.Add(n);
  }
  bundle::PayloadWriter writer(os::NewSha256, [&out, &paths](const std::uint8_t* bytes, std::size_t size) {
    errno = 0;
    paths.progress.Add(size);
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
  });
  for (const auto& [name, path] : files) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return failed(L"read", path);
    bool readFailed = false;
    const bool added = writer.AddFile(name, [&](std::uint8_t* into, std::size_t size) -> long long {
      errno = 0;
      in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(size));
      readFailed = in.bad();
      return readFailed ? -1 : in.gcount();
    }, Executable(path));
    if (!added) return readFailed ? failed(L"read", path) : failed(L"write", paths.out);
  }
  if (!writer.Finish()) return failed(L"write", paths.out);
  return Written{writer.Length(), writer.PayloadDigest()};
}

// The seal of `program`: where its digest lies in the file, when the program
// has a seal section that starts with the seal's mark.
std::optional<std::uint64_t> SealDigestAt(ProgramFile& program, bool pe) {
  const bundle::ReadAt read = program.Reader();
  const auto section = bundle::FindSection(read, program.Size(), pe, bundle::kSealSection);
  std::uint8_t mark[bundle::kSealMagicSize];
  if (!section || section->size < bundle::kSealSize || !read(section->offset, mark, sizeof mark) ||
      std::memcmp(mark, bundle::kSealMagic, sizeof mark) != 0) {
    return std::nullopt;
  }
  return section->offset + bundle::kSealMagicSize;
}

// The digest a program's seal holds, or nothing when it has no seal.
std::optional<bundle::Digest> SealOf(ProgramFile& program, bool pe) {
  const auto at = SealDigestAt(program, pe);
  bundle::Digest digest{};
  if (!at || !program.Reader()(*at, digest.data(), digest.size())) return std::nullopt;
  return digest;
}

// Writes `digest` into the seal of the bundle at `path`, at `at`.
bool WriteSeal(const fs::path& path, std::uint64_t at, const bundle::Digest& digest) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(at));
  out.write(reinterpret_cast<const char*>(digest.data()), static_cast<std::streamsize>(digest.size()));
  return static_cast<bool>(out);
}

// The checksum of the whole bundle goes into its PE header, as a linker or a
// signing tool would write it.
bool SetPeChecksum(const fs::path& path, std::uint64_t field) {
  ProgramFile file(path);
  const auto checksum = file.Open() ? bundle::PeChecksum(file.Reader(), file.Size(), field) : std::nullopt;
  if (!checksum) return false;
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(field));
  for (int i = 0; i < 4; ++i) out.put(static_cast<char>(*checksum >> (8 * i) & 0xFF));
  return static_cast<bool>(out);
}


// Writes a payload's files below a fresh folder, for checking.
class FolderSink final : public bundle::FileSink {
 public:
  FolderSink(fs::path root, Progress& progress) : root_(std::move(root)), progress_(progress) {}
  bool Open(const bundle::FileEntry& entry) override {
    const fs::path path = root_ / NamePath(FromUtf8(entry.name));
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    out_.open(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out_);
  }
  bool Write(const std::uint8_t* bytes, std::size_t size) override {
    progress_.Add(size);
    out_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    return static_cast<bool>(out_);
  }
  bool Close() override {
    out_.close();
    return static_cast<bool>(out_);
  }

 private:
  fs::path root_;
  Progress& progress_;
  std::ofstream out_;
};

}  // namespace

ExitCode Bundle(const fs::path& folder, const fs::path& out, fs::path program, unsigned codePage,
                const PackOptions& options) {
  Printer printer(L"bundle", options.json);
  const auto Fail = [&printer](const std::wstring& text) {
    printer.Problem(text);
    return printer.Finish(kExitFailed);
  };
  std::error_code error;
  if (!fs::exists(folder, error)) return Fail(Quote(Text(folder)) + L" does not exist");
  if (!fs::is_directory(folder, error)) return Fail(Quote(Text(folder)) + L" is not a folder");
  if (fs::is_directory(out, error)) return Fail(Quote(Text(out)) + L" is a folder");
  if (fs::exists(fs::symlink_status(out, error)) && !options.force) {
    return Fail(Quote(Text(out)) + L" exists already: --force replaces it");
  }
  // With --exe, the program is the one given, whatever lies beside the list.
  const Report report =
      Check(folder, {codePage, program.empty() ? kProgramName : Text(program.filename()), options.policy, program.empty()});
  printer.Print(report);
  if (report.ExitStatus() == kExitFailed) return Fail(L"refused: the check found errors; " + Text(out) + L" was not written");
  if (program.empty()) program = folder / NamePath(kProgramName);
  if (!fs::exists(program, error)) return Fail(Quote(Text(program)) + L" does not exist");
  ProgramFile file(program);
  if (!file.Open()) return Fail(L"cannot read " + Text(program) + L": " + ErrnoReason(file.Error()));
  if (const std::wstring why = NotMirrolet(program, Quote(Text(program))); !why.empty()) return Fail(L"refused: " + why);
  const auto read = bundle::ReadProgramLayout(file.Reader(), file.Size());
  if (!read) return Fail(L"cannot read " + Text(program));
  const bundle::ProgramLayout layout = read.value();
  // The run trusts only the payload whose digest its own image carries.
  const auto sealAt = SealDigestAt(file, layout.pe);
  if (!sealAt || *sealAt + 32 > layout.imageEnd) {
    return Fail(L"refused: " + Quote(Text(program)) + L" has no seal (section " + FromUtf8(bundle::kSealSection) +
                L") for its payload's digest: it is a Mirrolet too old to carry a bundle");
  }
  if (layout.certificateSize != 0) {
    Write(true, L"mirrolet-pack: " + Text(program) + L" is signed; the signature is removed, since a signature "
                L"stays valid only when nothing follows it: sign " + Text(out) + L" instead\n");
  } else if (layout.payloadEnd != layout.imageEnd) {
    Write(true, L"mirrolet-pack: " + Text(program) + L" already carries data after the program; it is left out\n");
  }
  const auto files = PayloadFiles(folder, report);
  if (!files) return Fail(L"the files of the list cannot be found in " + Text(folder));
  std::vector<std::string> names;
  for (const auto& [name, path] : *files) names.push_back(name);
  const bundle::NameVerdict verdict = bundle::CheckNames(names);
  if (verdict.rule != bundle::NameRule::kOk) return Fail(L"refused: " + Refusal(verdict) + L"; " + Text(out) + L" was not written");

  const std::uint64_t expected = BundleLength(layout.imageEnd, *files);
  if (const std::uint64_t length = expected; length > kMaxBundleBytes) {
    return Fail(L"refused: " + Text(out) + L" would be " + std::to_wstring(length) + L" bytes, over 4 GiB, " +
                L"the most a signed Windows file can be");
  }

  // Written beside OUT under a name of its own and renamed into place, so
  // that OUT is never half written and an OUT that appears meanwhile stays.
  std::random_device random;
  const fs::path partial = out.parent_path() / NamePath(L".mirrolet-pack-" + std::to_wstring(random()) + L".partial");
  errno = 0;
  std::ofstream stream(partial, std::ios::binary | std::ios::trunc);
  std::wstring why = L"cannot write " + Text(out) + L": " + ErrnoReason(errno);
  std::optional<Written> length;
  {
    Progress progress(L"writing " + Text(out), expected);
    if (stream) length = WriteBundle(file, layout, *files, stream, {program, out, progress}, why);
  }
  errno = 0;
  stream.close();
  if (length && !stream) why = L"cannot write " + Text(out) + L": " + ErrnoReason(errno);
  // The seal goes in before the checksum, which covers it, as will a signature.
  if (length && stream && (!WriteSeal(partial, *sealAt, length->digest) ||
                           (layout.pe && !SetPeChecksum(partial, layout.checksumField)))) {
    why = L"cannot write " + Text(out) + L": " + ErrnoReason(errno);
    stream.setstate(std::ios::failbit);
  }
  if (!length || !stream) {
    fs::remove(partial, error);
    return Fail(why);
  }
  const std::uint64_t payload = length->length;
  if (payload + layout.imageEnd > kMaxBundleBytes) {  // a file grew while it was read
    fs::remove(partial, error);
    return Fail(L"refused: " + Text(out) + L" came out past 4 GiB, the most a signed Windows file can be");
  }
  fs::permissions(partial, fs::status(program, error).permissions(), error);
  if (!RenameIntoPlace(partial, out, options.force, why)) {
    fs::remove(partial, error);
    return Fail(L"cannot write " + Text(out) + L": " + why);
  }
  printer.Note("wrote", L"wrote " + Text(out) + L": " + Count(files->size(), L"file", L"files") + L", " +
                            std::to_wstring(payload) + L" bytes after the program",
               Text(out));
  return printer.Finish(report.ExitStatus());
}

ExitCode CheckBundle(const fs::path& path, unsigned codePage, const PackOptions& options) {
  Printer printer(L"check", options.json);
  const auto Fail = [&printer](const std::wstring& text) {
    printer.Problem(text);
    return printer.Finish(kExitFailed);
  };
  ProgramFile file(path);
  const auto layout = file.Open() ? bundle::ReadProgramLayout(file.Reader(), file.Size()) : std::nullopt;
  if (!layout) return Fail(L"\"" + Text(path) + L"\" is neither a folder nor a program");
  std::random_device random;
  const fs::path folder = fs::temp_directory_path() / NamePath(L"mirrolet-pack-" + std::to_wstring(random()));
  std::error_code error;
  if (!fs::create_directory(folder, error)) return Fail(L"cannot make a folder to check in: " + Text(folder));
  bundle::Unpacked unpacked;
  bundle::NameVerdict refused;
  bundle::Directory directory;
  {
    Progress progress(L"checking " + Text(path), file.Size() - layout->imageEnd);
    FolderSink sink(folder, progress);
    unpacked = bundle::Unpack(file.Reader(), *layout, os::NewSha256, sink, &refused, &directory);
  }
  // A payload of the current version counts only as the one its program's seal names.
  const auto seal = SealOf(file, layout->pe);
  const bool sealed = unpacked == bundle::Unpacked::kDone && directory.version == bundle::kFormatVersion;
  if (sealed && seal != directory.digest) unpacked = bundle::Unpacked::kDamaged;
  Report report;
  if (unpacked == bundle::Unpacked::kNone) {
    printer.Problem(Text(path) + L" carries no update: it is a plain program");
  } else if (unpacked == bundle::Unpacked::kDamaged && refused.rule != bundle::NameRule::kOk) {
    printer.Problem(Text(path) + L" is damaged: " + Refusal(refused));
  } else if (unpacked == bundle::Unpacked::kDamaged && sealed) {
    printer.Problem(Text(path) + L" is damaged: its payload is not the one its program's seal names");
  } else if (unpacked == bundle::Unpacked::kDamaged) {
    printer.Problem(Text(path) + L" is damaged: its payload does not match its checksums");
  } else if (unpacked == bundle::Unpacked::kWriteFailed) {
    printer.Problem(L"cannot unpack " + Text(path) + L" into " + Text(folder));
  } else {
    // The program is the bundle itself, not a file beside the list.
    report = Check(folder, {codePage, kProgramName, options.policy, false});
    printer.Note("verified", Text(path) + L": the payload and every file in it match their checksums" +
                                 (sealed ? L" and the program's seal" : L" (an older bundle, whose program carries no seal)") +
                                 (layout->certificateSize ? L"; signed (the signature itself is for osslsigncode verify)" : L""));
    const ProgramMark mark = ReadProgramMark(file.Reader(), file.Size(), layout->pe);
    printer.Note("program", L"the program: " + mark.Describe(), mark.Describe());
    if (!mark.IsMirrolet()) {
      report.findings.push_back({Kind::kNotMirrolet, 0, L"the program is not Mirrolet: the customer's run is not an update", L""});
    }
    printer.Print(report);
  }
  fs::remove_all(folder, error);
  return printer.Finish(unpacked == bundle::Unpacked::kDone ? report.ExitStatus() : kExitFailed);
}

}  // namespace mirrolet::pack
