#pragma once

// The old archive of an update, opened once: the blocks an update reuses are
// read from the very file whose index decided their reuse, even when another
// run renames a new archive over the name in the meantime.

#include <xxhash.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "qz7lib/archive/format.h"
#include "qz7lib/archive/reader.h"
#include "qz7lib/utils/regular_file.h"

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

  // Reads the entry's stored block from its startOffset in chunks, handing each
  // to sink in turn. True when the block was read in full and its bytes match
  // the entry's compressedHash; a caller that used the chunks discards them
  // otherwise.
  bool readBlock(const qz7lib::archive::ArchiveEntry& entry,
                 const std::function<void(std::span<const std::byte>)>& sink);
  // Whether the entry's stored block is there, whole and sound.
  bool holdsBlock(const qz7lib::archive::ArchiveEntry& entry) {
    return readBlock(entry, [](std::span<const std::byte>) {});
  }

 private:
  std::unique_ptr<const qz7lib::utils::RegularFile> file_;
  std::vector<std::byte> buffer_;  // one chunk of a block
  std::unique_ptr<XXH64_state_t, XXH_errorcode (*)(XXH64_state_t*)> hash_;
};
