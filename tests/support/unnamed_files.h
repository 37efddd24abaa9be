#pragma once

#include <filesystem>

namespace qz7test {

// Whether this process may make an unnamed file in directory and give it a
// name, as the tool does where it can: not on a file system without unnamed
// files, nor, before Linux 6.10, without CAP_DAC_READ_SEARCH. Where it may
// not, the tool writes its files under temporary names from the start.
bool mayNameUnnamedFiles(const std::filesystem::path& directory);

}  // namespace qz7test
