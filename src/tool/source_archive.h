#pragma once

// The old archive of an update, opened once: the blocks an update reuses are
// copied from the very file whose index decided their reuse, even when another
// run renames a new archive over the name in the meantime.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "qz7lib/utils/regular_file.h"

class SourceArchive {
 public:
  // Opens the file path names for reading. Open it before the index is read
  // through path: isNamedBy then tells whether the index came from this file.
  // A file that cannot be opened, or is no regular file, leaves the object
  // without one.
  explicit SourceArchive(const std::string& path);

  // True when the file opened is the one path names now. While it is held open
  // its identity cannot pass to another file, so whatever was read through path
  // after the opening and before this test was read from it.
  bool isNamedBy(const std::string& path) const;

  // Reads bytes.size() bytes at offset into bytes; false when they cannot all be read.
  bool read(std::uint64_t offset, std::span<std::byte> bytes) const;

 private:
  std::unique_ptr<const qz7lib::utils::RegularFile> file_;
};
