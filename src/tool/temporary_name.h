#pragma once

// Names for a file written beside its destination before it takes the
// destination's place: "<name>.<pid>.tmp", then "<name>.<pid>-<n>.tmp" for
// the n-th name tried after it. The process id keeps concurrent runs apart,
// the counter steps over names already taken.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>

// The attempt-th temporary name of process pid for the file named targetName;
// targetName is shortened so that the result still fits a directory entry.
std::string temporaryFileName(const std::string& targetName, pid_t pid, int attempt);

// The directory that target lies in ("." for a bare name).
std::filesystem::path directoryOf(const std::filesystem::path& target);

// Calls make with this process's temporary names beside target in turn until
// it succeeds, or fails with another error than EEXIST. Returns the name it
// succeeded with, or an empty one with errno telling why.
std::string claimTemporaryName(const std::filesystem::path& target,
                               const std::function<bool(const std::string&)>& make);
