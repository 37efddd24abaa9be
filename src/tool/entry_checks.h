#pragma once

// Checks of an index entry that the reader does not make. The index is not
// covered by a hash, so a damaged or hostile archive can hold any name.

#include "qz7lib/archive/format.h"

// Throws std::runtime_error when the entry's name cannot be used as a path
// below the current directory: not zero-terminated within its field, empty,
// absolute, or with a ".." component.
void checkEntryName(const qz7lib::archive::ArchiveEntry& entry);
