#pragma once

// Which file something was read from, to tell it from a file that has taken
// its place under the same path.

#include <sys/stat.h>

#include <cstdint>

namespace qz7lib::utils {

// Device and inode name a file while it exists; its size and modification
// time tell a later file that was given its freed inode number, and a file
// rewritten in place. Equal identities are a cheap sign of the same content,
// not a proof: callers that must know compare the bytes themselves.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds since the epoch

  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file that status describes.
FileIdentity fileIdentity(const struct stat& status);

}  // namespace qz7lib::utils
