#pragma once

// Archive files as the reader meets them: the bytes an index is read from, and
// streams that remember which file they read and which index it was found to
// hold.

#include <cstdint>
#include <fstream>
#include <string>

#include "qz7lib/utils/file_identity.h"

namespace qz7lib::archive {

// The front of an archive file that its index is read from: headers, index and
// dictionary block, contiguous from offset 0.
struct IndexBytes {
  std::uint64_t length = 0;
  std::uint64_t hash = 0;  // XXH64 with seed 0

  bool operator==(const IndexBytes&) const = default;
};

// What an archive stream knows of the file it reads. It is kept in the stream
// itself and moves with it.
struct KnownArchiveFile {
  utils::FileIdentity identity;  // as of the opening; all zero when the path changed meanwhile
  IndexBytes holds;              // the index bytes it was last found to hold; length 0 for none
};

// Opens the regular file at path for binary reading, without waiting for a
// writer on a named pipe; ArchiveFileAccessError when it cannot be opened or is
// no regular file. The stream is unbuffered: each read goes straight into its
// destination. It knows its file's identity, and no index bytes.
std::ifstream openArchiveFile(const std::string& path);

// What a stream of openArchiveFile knows of its file; all zero for any other stream.
KnownArchiveFile knownArchiveFile(std::ios_base& stream);
void rememberArchiveFile(std::ios_base& stream, const KnownArchiveFile& known);

}  // namespace qz7lib::archive
