#pragma once

// The archive command's input side: the exclude list, the rules every stored
// path meets, and the expansion of files, directories and globs into the sorted
// list of files to archive.

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

// The exclude list with the lines of the exclude file appended; an empty path
// returns it unchanged. An unreadable file ends the process with status -1.
std::vector<std::string> loadExcludeFrom(std::vector<std::string> excludes, const std::string& path);

// Returns when every path may become an entry name; otherwise prints the first
// failing rule and ends the process with status -1. strict adds the rules for
// collected files (no backslash, no "./").
void validatePathSpecifiers(std::vector<std::string> paths, bool strict);

// The entry name of a file path: '/' separators, ASCII letters lowered.
std::string toEntryName(std::filesystem::path path);

// One regular expression per exclude glob, in list order.
std::vector<std::regex> compileExcludeGlobs(const std::vector<std::string>& excludes);

// Removes every path that one of the expressions matches as a whole, keeping the order.
void removeExcludedPaths(std::vector<std::string>& files, const std::vector<std::regex>& excludes);

// Validates, expands, filters and sorts the command line's inputs into the list
// of files to archive: '/'-separated relative paths, sorted without regard to
// case. A regular-file input stays as typed (less a leading "./" and with
// repeated '/' collapsed), so that it
// still names its file on a case-sensitive file system; directories and globs
// contribute paths in the case the directory listing gives. A path that breaks
// a rule ends the process with status -1.
std::vector<std::string> collectInputFiles(const std::vector<std::string>& inputs,
                                           const std::vector<std::regex>& excludes);
