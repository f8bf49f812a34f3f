#include "platform/carried_payload.h"

#include <string>
#include <utility>

#include "base/copy_list_model.h"
#include "base/name_fold.h"
#include "base/utf8.h"

namespace mirrolet {

namespace {

// A copy list is small; one that is not is no list (as the stand-in's bound).
constexpr std::uint64_t kMaxListBytes = 16 << 20;

}  // namespace

PayloadState CarriedPayload::Open(bundle::ReadAt read, std::uint64_t size, const std::optional<bundle::Digest>& seal,
                                  bundle::HasherFactory hasher, CarriedUpdate& update) {
  read_ = std::move(read);
  hasher_ = std::move(hasher);
  const auto layout = bundle::ReadProgramLayout(read_, size);
  if (!layout) return seal ? PayloadState::kDamaged : PayloadState::kNone;
  bundle::Directory directory;
  const bundle::Unpacked found = bundle::ReadDirectory(read_, *layout, hasher_, directory);
  // Only a payload that the program was sealed with counts: the checksums
  // alone say only that a payload agrees with itself.
  if (found == bundle::Unpacked::kNone) return seal ? PayloadState::kDamaged : PayloadState::kNone;
  if (found != bundle::Unpacked::kDone || !seal || directory.digest != *seal) return PayloadState::kDamaged;
  files_ = std::move(directory.files);
  checked_.assign(files_.size(), false);

  update = {};
  const std::wstring listName = FoldName(kCopyListName);
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const std::wstring name = FromUtf8(files_[i].name);
    update.names.push_back(name);
    if (FoldName(name) != listName) continue;
    if (files_[i].size > kMaxListBytes) return PayloadState::kDamaged;
    std::string list;
    const auto append = [&list](const std::uint8_t* bytes, std::size_t n) {
      list.append(reinterpret_cast<const char*>(bytes), n);
      return true;
    };
    if (Stream(i, append) != bundle::Unpacked::kDone) return PayloadState::kDamaged;
    update.list = std::move(list);
  }
  return PayloadState::kReady;
}

const bundle::FileEntry* CarriedPayload::File(std::size_t file) const {
  return file < files_.size() ? &files_[file] : nullptr;
}

std::optional<CarriedFile> CarriedPayload::Source(std::size_t file) {
  const bundle::FileEntry* entry = File(file);
  if (!entry) return std::nullopt;
  return CarriedFile{entry->size, entry->executable, entry->offset, checked_[file],
                     [this, file](const ByteSink& write) { return Stream(file, write); },
                     [this, file](const ReadBack& written) { return Check(file, written); }};
}

bundle::Unpacked CarriedPayload::Check(std::size_t file, const ReadBack& written) {
  if (file >= files_.size()) return bundle::Unpacked::kDamaged;
  const bundle::FileEntry& entry = files_[file];
  const std::unique_ptr<bundle::Hasher> hasher = hasher_();
  std::uint64_t size = 0;
  const bool read = written([&](const std::uint8_t* bytes, std::size_t n) {
    hasher->Update(bytes, n);
    size += n;
    return true;
  });
  if (!read || size != entry.size || hasher->Finish() != entry.digest) return bundle::Unpacked::kDamaged;
  if (!bundle::PaddingIsZero(read_, entry)) return bundle::Unpacked::kDamaged;  // from the program's file
  checked_[file] = true;
  return bundle::Unpacked::kDone;
}

bundle::Unpacked CarriedPayload::Stream(std::size_t file, const ByteSink& write) {
  if (file >= files_.size()) return bundle::Unpacked::kDamaged;
  // Once a file's bytes were found whole, the same bytes need no second
  // hash: the program's file cannot be written while it runs, and the handle
  // it is read through stays open.
  const bundle::Unpacked streamed = bundle::StreamFile(read_, files_[file], checked_[file] ? nullptr : hasher_, write);
  if (streamed == bundle::Unpacked::kDone) checked_[file] = true;
  return streamed;
}

}  // namespace mirrolet
