#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qz7lib::utils {

// Reads the whole file as raw bytes with one read. Throws std::runtime_error
// "Error opening file <path>" or "Error reading file <path>".
std::unique_ptr<std::vector<char>> readFileContents(const std::string& path);

}  // namespace qz7lib::utils
