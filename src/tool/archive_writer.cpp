#include "tool/archive_writer.h"

#include <unistd.h>

#include <algorithm>
#include <new>

#include "tool/positioned_io.h"

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveHeader;
using qz7lib::archive::DictionaryHeader;
using qz7lib::archive::ExtendedHeader;

namespace {

constexpr std::size_t kCopyChunkSize = 1 << 20;
constexpr std::byte kZeros[qz7lib::archive::kBlockAlignment] = {};

}  // namespace

ArchiveWriter::ArchiveWriter(const std::string& archiveName, std::uint64_t fileCount,
                             const std::vector<char>* dictionary)
    : file_(archiveName),
      fileCount_(fileCount),
      dictionary_(dictionary),
      position_(qz7lib::archive::kHeaderSize + qz7lib::archive::kExtendedHeaderSize +
                fileCount * qz7lib::archive::kEntrySize +
                (dictionary != nullptr
                     ? qz7lib::archive::kDictionaryHeaderSize + dictionary->size()
                     : 0)),
      copyHash_(XXH64_createState(), XXH64_freeState) {
  if (!copyHash_) throw std::bad_alloc();
  if (file_.fd() < 0) failure_ = Failure::header;
}

void ArchiveWriter::write(const void* data, std::size_t size) {
  if (failure_ == Failure::none && !writeAllAt(file_.fd(), data, size, position_)) {
    failure_ = Failure::data;
  }
  position_ += size;
}

std::uint64_t ArchiveWriter::placeNextBlock() {
  const std::uint64_t start = qz7lib::archive::alignBlockOffset(position_);
  write(kZeros, start - position_);
  return start;
}

void ArchiveWriter::writeBlock(ArchiveEntry& entry, std::span<const std::byte> bytes) {
  entry.startOffset = placeNextBlock();
  write(bytes.data(), bytes.size());
}

bool ArchiveWriter::copyBlock(ArchiveEntry& entry, const SourceArchive& source) {
  const std::uint64_t before = position_;
  const std::uint64_t sourceOffset = entry.startOffset;
  entry.startOffset = placeNextBlock();
  // Read and checked even when nothing is written any more: an update that
  // changes nothing relies on every block being sound.
  copyBuffer_.resize(kCopyChunkSize);
  XXH64_reset(copyHash_.get(), 0);
  std::uint64_t done = 0;
  while (done < entry.compressedSize) {
    const auto chunk = std::span(copyBuffer_).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(entry.compressedSize - done, kCopyChunkSize)));
    if (!source.read(sourceOffset + done, chunk)) break;
    XXH64_update(copyHash_.get(), chunk.data(), chunk.size());
    write(chunk.data(), chunk.size());
    done += chunk.size();
  }
  if (done == entry.compressedSize && XXH64_digest(copyHash_.get()) == entry.compressedHash) {
    return true;
  }
  // Bytes already copied are overwritten by what takes this place.
  position_ = before;
  entry.startOffset = sourceOffset;
  return false;
}

ArchiveWriter::Failure ArchiveWriter::commit(const std::vector<ArchiveEntry>& entries) {
  if (failure_ == Failure::none) {
    const std::uint64_t end = position_;
    position_ = 0;
    const ArchiveHeader header(dictionary_ != nullptr ? qz7lib::archive::kFlagHasDictionary : 0,
                               fileCount_, qz7lib::archive::kArchiveVersion);
    const ExtendedHeader extendedHeader(qz7lib::archive::kExtendedHeaderSize,
                                        qz7lib::archive::kEntrySize);
    write(&header, sizeof header);
    write(&extendedHeader, sizeof extendedHeader);
    write(entries.data(), entries.size() * sizeof(ArchiveEntry));
    if (dictionary_ != nullptr) {
      const DictionaryHeader dictionaryHeader(dictionary_->size());
      write(&dictionaryHeader, sizeof dictionaryHeader);
      write(dictionary_->data(), dictionary_->size());
    }
    position_ = end;
    // A copy that was given up may have left bytes behind the last block.
    if (failure_ == Failure::none && ::ftruncate(file_.fd(), static_cast<off_t>(end)) != 0) {
      failure_ = Failure::data;
    }
  }
  if (failure_ == Failure::none && !file_.replaceArchive()) failure_ = Failure::data;
  file_.discard();
  return failure_;
}
