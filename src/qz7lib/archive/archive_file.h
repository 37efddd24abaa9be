#pragma once

// Opening archive files as streams that know which file they read.

#include <fstream>
#include <string>

#include "qz7lib/utils/file_identity.h"

namespace qz7lib::archive {

// Opens the regular file at path for binary reading, without waiting for a
// writer on a named pipe; ArchiveFileAccessError when it cannot be opened or is
// no regular file. The stream is unbuffered: each read goes straight into its
// destination.
std::ifstream openArchiveFile(const std::string& path);

// The identity of the file that a stream of openArchiveFile reads, as of its
// opening; all zero for any other stream.
utils::FileIdentity archiveFileIdentity(std::ios_base& stream);

}  // namespace qz7lib::archive
