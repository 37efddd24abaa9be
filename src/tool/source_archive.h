#pragma once

// The old archive of an update, opened once: the blocks an update reuses are
// read from the very file whose index decided their reuse, even when another
// run renames a new archive over the name in the meantime.

#include <memory>
#include <string>

#include "qz7lib/archive/format.h"
#include "qz7lib/archive/reader.h"
#include "qz7lib/utils/regular_file.h"
#include "tool/hashed_read.h"

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

  // Reads the entry's stored block from its startOffset in chunks, handing
  // each to consume when one is given. True when the block lies within the
  // file, is read in full and matches the entry's compressedHash; a consumer
  // has then been handed exactly the block. May be called from several
  // threads at once.
  bool readBlock(const qz7lib::archive::ArchiveEntry& entry, const ChunkConsumer& consume = {}) const;

 private:
  std::unique_ptr<const qz7lib::utils::RegularFile> file_;
};
