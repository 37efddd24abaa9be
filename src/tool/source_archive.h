#pragma once

// The old archive of an update, opened once: the blocks an update reuses are
// read from the very file whose index decided their reuse, even when another
// run renames a new archive over the name in the meantime.

#include <memory>
#include <optional>
#include <string>

#include "qz7lib/archive/format.h"
#include "qz7lib/archive/reader.h"
#include "qz7lib/utils/regular_file.h"
#include "tool/block_bytes.h"

class SourceArchive {
 public:
  // Opens the file path names for reading. Open it before the index is read
  // through path: readIndex then tells whether the index came from this file.
  // A file that cannot be opened, or is no regular file, leaves the object
  // without one.
  explicit SourceArchive(const std::string& path);

  // True when index was read from the file opened here, as far as their
  // identities tell; a block that does not hold what the index says is caught
  // by its hash all the same.
  bool readIndex(const qz7lib::archive::ArchiveIndex& index) const {
    return file_->isOpen() && file_->identity() == index.file;
  }

  // The entry's stored block, read whole from its startOffset; nothing when it
  // does not lie within the file, cannot be read in full or does not match the
  // entry's compressedHash. May be called from several threads at once.
  std::optional<BlockBytes> readBlock(const qz7lib::archive::ArchiveEntry& entry) const;

 private:
  std::unique_ptr<const qz7lib::utils::RegularFile> file_;
};
