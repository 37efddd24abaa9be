#pragma once

// Writing a finished file over an existing one in place, for a destination
// that may be written but not replaced: its directory is not writable, or it
// is another user's file in a sticky directory.

#include <cstdint>
#include <string>

// Copies the first length bytes of the file open as source over the regular
// file target (never through a symbolic link), cuts target to that length and,
// when durable, flushes it to disk. Before the first byte changes it takes an
// exclusive lock on target, so that a second in-place writer waits for this
// one, and holds the space, so that a full disk fails with target as it was:
// it reserves the blocks, or, where the file system cannot, writes the bytes
// beyond target's old end first and cuts target back to that end when they do
// not fit. Overwriting the old bytes then needs no new space on a file system
// that writes blocks where they are. SIGINT, SIGTERM and SIGHUP wait until the
// copy is done; SIGKILL or a power loss during it can leave target half old,
// half new, or with part of the new tail after the old bytes. Throws
// std::system_error naming target.
void overwriteInPlace(int source, std::uint64_t length, const std::string& target, bool durable);

// An unnamed readable and writable file in the system's temporary directory,
// to hold the bytes until they are copied; -1 when none can be created.
int openScratchFile();
