#pragma once

// The tool's six commands. Each command has a callback, which the parser calls
// with the command's own subparser: it declares the command's arguments, parses
// them and calls the command's action. Actions report success by returning and
// failure either by ending the process with status -1 after their own message,
// or by letting a std::runtime_error go, which main reports with status 2.

#include <string>
#include <vector>

#include "qz7lib/archive/reader.h"
#include "tool/compression_option.h"

namespace args {
class Subparser;
}

// Command callbacks, registered by main.
void archiveCommand(args::Subparser& parser);
void extractCommand(args::Subparser& parser);
void infoCommand(args::Subparser& parser);
void verifyCommand(args::Subparser& parser);
void benchmarkCommand(args::Subparser& parser);
void setupCommand(args::Subparser& parser);

// Command actions.
void createArchive(const std::string& archiveName, std::vector<std::string>& inputs,
                   CompressionOption option, int threads, const std::string& dictionaryPath,
                   const std::vector<std::string>& excludes);
void extractArchive(std::string archivePath, bool overwrite, bool verbose);
void printArchiveInfo(std::string archivePath, bool verbose);
void verifyArchive(std::string archivePath, bool compare);
void benchmarkArchive(std::string archivePath, int numFiles);
void setupShellIntegration(bool uninstall);

// The archive of a read command, fully loaded. A missing or unreadable archive
// ends the process with status -1 after a message on standard error.
qz7lib::archive::ArchiveIndex openArchiveOrExit(std::string archivePath);
