#include "tool/archive_writer.h"

#include <sys/stat.h>

#include <system_error>

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveHeader;
using qz7lib::archive::DictionaryHeader;
using qz7lib::archive::ExtendedHeader;

namespace {

constexpr int kMaxSymlinkHops = 40;
constexpr std::byte kZeros[qz7lib::archive::kBlockAlignment] = {};
// Writes are gathered up to this many bytes, so that the padding and the
// blocks of many small files cost few system calls.
constexpr std::size_t kBufferBytes = 1 << 20;
// A piece at least this large is written at once, not copied into the buffer.
constexpr std::size_t kDirectWriteBytes = 64 << 10;

}  // namespace

std::filesystem::path ArchiveWriter::targetOf(const std::string& archiveName) {
  std::filesystem::path target = archiveName;
  std::error_code error;
  for (int hops = 0; hops < kMaxSymlinkHops && std::filesystem::is_symlink(target, error); ++hops) {
    const std::filesystem::path link = std::filesystem::read_symlink(target, error);
    if (error) break;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  return target;
}

ArchiveWriter::ArchiveWriter(const std::string& archiveName, std::uint64_t fileCount,
                             const std::vector<char>* dictionary)
    : fileCount_(fileCount),
      dictionary_(dictionary),
      position_(qz7lib::archive::kHeaderSize + qz7lib::archive::kExtendedHeaderSize +
                fileCount * qz7lib::archive::kEntrySize +
                (dictionary != nullptr
                     ? qz7lib::archive::kDictionaryHeaderSize + dictionary->size()
                     : 0)) {
  const std::filesystem::path target = targetOf(archiveName);
  // A name without a file name part ("" or "dir/") cannot be a file.
  if (target.has_filename()) {
    struct stat existing {};
    const bool exists = ::lstat(target.c_str(), &existing) == 0;
    try {
      file_.emplace(target.string(), exists ? &existing : nullptr, true);
    } catch (const std::system_error&) {
    }
  }
  if (!file_) failure_ = Failure::header;
}

void ArchiveWriter::write(std::span<const std::byte> bytes) {
  if (buffer_.size() + bytes.size() > kBufferBytes || bytes.size() >= kDirectWriteBytes) flush();
  if (bytes.size() >= kDirectWriteBytes) {
    writeAt(position_, bytes);
  } else {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  }
  position_ += bytes.size();
}

void ArchiveWriter::flush() {
  writeAt(position_ - buffer_.size(), buffer_);
  buffer_.clear();
}

void ArchiveWriter::writeAt(std::uint64_t offset, std::span<const std::byte> bytes) {
  if (failure_ != Failure::none || bytes.empty()) return;
  try {
    file_->writeAt(offset, bytes);
  } catch (const std::system_error&) {
    failure_ = Failure::data;
  }
}

std::uint64_t ArchiveWriter::placeNextBlock() {
  const std::uint64_t start = qz7lib::archive::alignBlockOffset(position_);
  write(std::span(kZeros).first(static_cast<std::size_t>(start - position_)));
  return start;
}

void ArchiveWriter::writeBlock(ArchiveEntry& entry, std::span<const std::byte> bytes) {
  entry.startOffset = placeNextBlock();
  write(bytes);
}

bool ArchiveWriter::copyBlock(ArchiveEntry& entry, const SourceArchive& source) {
  const ArchiveEntry old = entry;
  entry.startOffset = placeNextBlock();
  return source.readBlock(old, [this](std::span<const std::byte> chunk) { write(chunk); });
}

ArchiveWriter::Failure ArchiveWriter::commit(const std::vector<ArchiveEntry>& entries) {
  flush();
  if (failure_ == Failure::none) {
    const std::uint64_t end = position_;
    position_ = 0;
    const ArchiveHeader header(dictionary_ != nullptr ? qz7lib::archive::kFlagHasDictionary : 0,
                               fileCount_, qz7lib::archive::kArchiveVersion);
    const ExtendedHeader extendedHeader(qz7lib::archive::kExtendedHeaderSize,
                                        qz7lib::archive::kEntrySize);
    writeRecords(&header, 1);
    writeRecords(&extendedHeader, 1);
    writeRecords(entries.data(), entries.size());
    if (dictionary_ != nullptr) {
      const DictionaryHeader dictionaryHeader(dictionary_->size());
      writeRecords(&dictionaryHeader, 1);
      writeRecords(dictionary_->data(), dictionary_->size());
    }
    flush();
    position_ = end;
    try {
      if (failure_ == Failure::none) file_->commit();
    } catch (const std::system_error&) {
      failure_ = Failure::data;
    }
  }
  discard();
  return failure_;
}

void ArchiveWriter::discard() {
  if (file_) file_->discard();
}
