#pragma once

// Writing a finished file over an existing one in place, for an archive that
// may be written but not replaced (its directory is not writable).

#include <filesystem>

// Copies the whole content of the file open as source over target's content,
// then cuts target to that length and flushes it to disk. The target is never
// truncated first. SIGINT, SIGTERM and SIGHUP wait until the copy is done, so
// that they cannot leave a file that is half the one and half the other. Returns
// false when target cannot be opened for writing or a read or write fails.
bool overwriteInPlace(int source, const std::filesystem::path& target);

// A file for the bytes to be copied, in the system's temporary directory,
// without a name, readable and writable; -1 when none can be created.
int openScratchFile();
