#include "pack/bundle.h"

#include <algorithm>
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
#include "pack/tree.h"

namespace mirrolet::pack {

namespace fs = std::filesystem;

namespace {

// A program file opened for reading at any offset.
class ProgramFile {
 public:
  explicit ProgramFile(const fs::path& path) : in_(path, std::ios::binary) {
    std::error_code error;
    size_ = fs::file_size(path, error);
    if (error) in_.close();
  }
  bool Open() const { return in_.is_open(); }
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
};

// The files the bundle carries: the list and every file it names, by their
// names in the folder ("/" between parts, UTF-8), in byte order.
std::optional<std::map<std::string, fs::path>> PayloadFiles(const fs::path& folder, const Report& report) {
  std::map<std::wstring, const TreeEntry> onDisk;
  WalkTree(folder, [&](const TreeEntry& entry) {
    if (entry.type == EntryType::kFile) onDisk.emplace(FoldName(entry.name), entry);
  });
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

int Fail(const std::wstring& text) {
  Write(true, L"mirrolet-pack: " + text + L"\n");
  return 2;
}

// Writes the program's own bytes, without a signature or an earlier payload,
// then the payload. Returns the payload's length, or nothing on a failure.
std::optional<std::uint64_t> WriteBundle(ProgramFile& program, const bundle::ProgramLayout& layout,
                                         const std::map<std::string, fs::path>& files, std::ofstream& out) {
  std::vector<std::uint8_t> buffer(1 << 20);
  const bundle::ReadAt read = program.Reader();
  for (std::uint64_t at = 0; at < layout.imageEnd;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), layout.imageEnd - at));
    if (!read(at, buffer.data(), n)) return std::nullopt;
    // A program that was signed: its security directory entry goes, as
    // osslsigncode remove-signature does, so the bundle reads as unsigned.
    if (layout.certificateSize != 0 && layout.securityEntry >= at && layout.securityEntry + 8 <= at + n) {
      std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(layout.securityEntry - at), 8, 0);
    }
    out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(n));
    at += n;
  }
  bundle::PayloadWriter writer(os::NewSha256, [&out](const std::uint8_t* bytes, std::size_t size) {
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
  });
  for (const auto& [name, path] : files) {
    std::ifstream in(path, std::ios::binary);
    const bool added = in && writer.AddFile(name, [&in](std::uint8_t* into, std::size_t size) -> long long {
      in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(size));
      return in.bad() ? -1 : in.gcount();
    }, Executable(path));
    if (!added) return std::nullopt;
  }
  if (!writer.Finish()) return std::nullopt;
  return writer.Length();
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
  explicit FolderSink(fs::path root) : root_(std::move(root)) {}
  bool Open(const bundle::FileEntry& entry) override {
    const fs::path path = root_ / NamePath(FromUtf8(entry.name));
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    out_.open(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out_);
  }
  bool Write(const std::uint8_t* bytes, std::size_t size) override {
    out_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    return static_cast<bool>(out_);
  }
  bool Close() override {
    out_.close();
    return static_cast<bool>(out_);
  }

 private:
  fs::path root_;
  std::ofstream out_;
};

}  // namespace

int Bundle(const fs::path& folder, const fs::path& out, fs::path program, unsigned codePage) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) return Fail(L"\"" + Text(folder) + L"\" is not a folder");
  const Report report = Check(folder, codePage);
  Write(false, FormatReport(report));
  if (report.ExitStatus() == 2) return Fail(L"refused: the check found errors; " + Text(out) + L" was not written");
  if (program.empty()) program = folder / NamePath(kProgramName);
  ProgramFile file(program);
  const auto read = file.Open() ? bundle::ReadProgramLayout(file.Reader(), file.Size()) : std::nullopt;
  if (!read) return Fail(L"\"" + Text(program) + L"\" is no 64-bit Windows program (PE) or Linux program (ELF)");
  const bundle::ProgramLayout layout = read.value();
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

  // Written beside OUT and renamed into place, so that OUT is never half written.
  const fs::path partial = out.string() + ".partial";
  std::ofstream stream(partial, std::ios::binary | std::ios::trunc);
  const auto length = stream ? WriteBundle(file, layout, *files, stream) : std::nullopt;
  stream.close();
  if (!length || !stream) {
    fs::remove(partial, error);
    return Fail(L"cannot write " + Text(out));
  }
  if (layout.pe && !SetPeChecksum(partial, layout.checksumField)) {
    fs::remove(partial, error);
    return Fail(L"cannot write " + Text(out));
  }
  fs::permissions(partial, fs::status(program, error).permissions(), error);
  fs::rename(partial, out, error);
  if (error) return Fail(L"cannot write " + Text(out) + L": " + Text(fs::path(error.message())));
  Write(false, L"wrote " + Text(out) + L": " + std::to_wstring(files->size()) + L" files, " +
                   std::to_wstring(*length) + L" bytes after the program\n");
  return report.ExitStatus();
}

int CheckBundle(const fs::path& path, unsigned codePage) {
  ProgramFile file(path);
  const auto layout = file.Open() ? bundle::ReadProgramLayout(file.Reader(), file.Size()) : std::nullopt;
  if (!layout) return Fail(L"\"" + Text(path) + L"\" is neither a folder nor a program");
  std::random_device random;
  const fs::path folder = fs::temp_directory_path() / NamePath(L"mirrolet-pack-" + std::to_wstring(random()));
  std::error_code error;
  if (!fs::create_directory(folder, error)) return Fail(L"cannot make a folder to check in: " + Text(folder));
  FolderSink sink(folder);
  bundle::NameVerdict refused;
  const bundle::Unpacked unpacked = bundle::Unpack(file.Reader(), *layout, os::NewSha256, sink, &refused);
  int status = 2;
  if (unpacked == bundle::Unpacked::kNone) {
    Fail(Text(path) + L" carries no update: it is a plain program");
  } else if (unpacked == bundle::Unpacked::kDamaged && refused.rule != bundle::NameRule::kOk) {
    Fail(Text(path) + L" is damaged: " + Refusal(refused));
  } else if (unpacked == bundle::Unpacked::kDamaged) {
    Fail(Text(path) + L" is damaged: its payload does not match its checksums");
  } else if (unpacked == bundle::Unpacked::kWriteFailed) {
    Fail(L"cannot unpack " + Text(path) + L" into " + Text(folder));
  } else {
    Report report = Check(folder, codePage);
    // The program is the bundle itself, not a file beside the list.
    std::erase_if(report.findings, [](const Finding& finding) { return finding.kind == Kind::kNoProgram; });
    Write(false, Text(path) + L": the payload and every file in it match their checksums" +
                     (layout->certificateSize ? L"; signed (the signature itself is for osslsigncode verify)\n" : L"\n") +
                     FormatReport(report));
    status = report.ExitStatus();
  }
  fs::remove_all(folder, error);
  return status;
}

}  // namespace mirrolet::pack
