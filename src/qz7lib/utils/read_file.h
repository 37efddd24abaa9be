#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qz7lib::utils {

// Reads the whole regular file as raw bytes. Throws std::runtime_error
// "Error opening file <path>" (also for a directory or a named pipe, without
// waiting for a writer) or "Error reading file <path>".
std::unique_ptr<std::vector<char>> readFileContents(const std::string& path);

}  // namespace qz7lib::utils
