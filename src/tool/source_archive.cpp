#include "tool/source_archive.h"

using qz7lib::utils::RegularFile;

SourceArchive::SourceArchive(const std::string& path) : file_(std::make_unique<const RegularFile>(path)) {}

bool SourceArchive::readBlock(const qz7lib::archive::ArchiveEntry& entry, const ChunkConsumer& consume) const {
  // The index is not covered by a hash: a block must lie within the file, as
  // long as it was when opened.
  const std::uint64_t length = file_->size();
  if (!file_->isOpen() || entry.startOffset > length || entry.compressedSize > length - entry.startOffset) {
    return false;
  }
  return readHashedAt(file_->descriptor(), entry.startOffset, entry.compressedSize, consume) ==
         entry.compressedHash;
}
