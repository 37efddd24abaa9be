#pragma once

// Checks of an index entry that the reader does not make. The index is not
// covered by a hash, so a damaged or hostile archive can hold any name and size.

#include "qz7lib/archive/format.h"

// Throws std::runtime_error when the entry's name cannot be used as a path
// below the current directory: not zero-terminated within its field, empty,
// absolute, or with a ".." component.
void checkEntryName(const qz7lib::archive::ArchiveEntry& entry);

// Throws std::runtime_error when the entry's uncompressed size cannot come out
// of its stored block, so that no buffer is allocated for an impossible size.
void checkEntrySize(const qz7lib::archive::ArchiveEntry& entry);
