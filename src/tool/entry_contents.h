#pragma once

// Reading one whole entry into memory for the read commands.

#include <string>

#include "qz7lib/archive/reader.h"
#include "tool/zeroed_buffer.h"

// The entry's uncompressed bytes, in a buffer of exactly its size, read with
// its stored block's hash checked. The index is not covered by a hash, so the
// size it claims is allocated only once the stored block has been read and
// found able to yield it (the library's DecompressionFailed otherwise).
ZeroedBuffer readEntryContents(const std::string& archivePath,
                               const qz7lib::archive::ArchiveIndex& index,
                               const qz7lib::archive::ArchiveEntry& entry);
