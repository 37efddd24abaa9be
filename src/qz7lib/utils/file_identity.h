#pragma once

// Which file something was read from, to tell it from a file that has taken
// its place under the same path.

#include <cstdint>

namespace qz7lib::utils {

// Device and inode name a file while it exists. Its creation time tells it
// from a later file that was given its freed inode number; it stays the same
// when the file's bytes are changed in place. Filesystems that do not record
// creation times give 0.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t created = 0;  // nanoseconds since the epoch

  bool operator==(const FileIdentity&) const = default;
};

}  // namespace qz7lib::utils
