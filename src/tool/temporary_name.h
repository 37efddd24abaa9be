#pragma once

// The tool's temporary files: a file written beside its destination before it
// takes the destination's place, named "<name>.qz7-<16 hex digits>.tmp" with
// random digits, a name no user chooses. While the run that made it lives, it
// holds an exclusive flock on the file; a file of that form that nobody holds
// was left by a run that ended without cleaning up (SIGKILL, power loss) and
// may be removed. Locks, unlike process ids, hold across PID namespaces.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "qz7lib/utils/file_descriptor.h"

// The directory that target lies in ("." for a bare name).
std::filesystem::path directoryOf(const std::filesystem::path& target);

// Calls make with fresh temporary names beside target until it succeeds, or
// fails with another error than EEXIST. Returns the name it succeeded with, or
// an empty one with errno telling why.
std::string claimTemporaryName(const std::filesystem::path& target,
                               const std::function<bool(const std::string&)>& make);

// Creates an empty temporary file beside target, exclusively, holding its lock.
// Returns the name (empty with errno set on failure) and sets file.
std::string createTemporaryFile(const std::filesystem::path& target,
                                qz7lib::utils::FileDescriptor& file);

// Whether name ends in the form of the tool's temporary names.
bool isTemporaryFileName(std::string_view name);
// Whether name is a temporary name made for target's file.
bool isTemporaryNameFor(std::string_view name, const std::filesystem::path& target);
// What a temporary name keeps of its file's name: all of it, or as much as fits.
std::string_view keptName(std::string_view fileName);
// What the temporary name kept of the name of the file it was made for.
std::string_view keptNameIn(std::string_view temporaryName);

// Removes the files in directory that have a temporary name, that mayRemove
// accepts and that no live run holds. Files of any other name, and files that
// cannot be opened, are left alone.
void removeStaleTemporaries(const std::filesystem::path& directory,
                            const std::function<bool(std::string_view name)>& mayRemove);
