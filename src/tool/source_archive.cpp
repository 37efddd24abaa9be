#include "tool/source_archive.h"

#include <xxhash.h>

#include <cstddef>
#include <vector>

#include "qz7lib/utils/positioned_io.h"

using qz7lib::utils::RegularFile;

SourceArchive::SourceArchive(const std::string& path) : file_(std::make_unique<const RegularFile>(path)) {}

std::optional<BlockBytes> SourceArchive::readBlock(const qz7lib::archive::ArchiveEntry& entry) const {
  // The index is not covered by a hash: a block must lie within the file, as
  // long as it was when opened, before its size is allocated.
  const std::uint64_t length = file_->size();
  if (!file_->isOpen() || entry.startOffset > length || entry.compressedSize > length - entry.startOffset) {
    return std::nullopt;
  }
  auto bytes = std::make_unique<std::vector<std::byte>>(static_cast<std::size_t>(entry.compressedSize));
  if (!qz7lib::utils::readAllAt(file_->descriptor(), bytes->data(), bytes->size(), entry.startOffset) ||
      XXH64(bytes->data(), bytes->size(), 0) != entry.compressedHash) {
    return std::nullopt;
  }
  return BlockBytes(std::move(bytes));
}
