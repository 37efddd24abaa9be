#include "tool/entry_contents.h"

ZeroedBuffer readEntryContents(const std::string& archivePath,
                               const qz7lib::archive::ArchiveIndex& index,
                               const qz7lib::archive::ArchiveEntry& entry) {
  const qz7lib::archive::StoredBlock block =
      qz7lib::archive::readStoredBlock(archivePath, index, entry, true);
  ZeroedBuffer buffer(entry.uncompressedSize);
  qz7lib::archive::decodeStoredBlock(block, index, entry, buffer.span());
  return buffer;
}
