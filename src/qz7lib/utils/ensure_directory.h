#pragma once

#include <string>

namespace qz7lib::utils {

// Makes sure the directory that would hold filePath exists, creating every
// missing level; the file itself is not touched. A failure to create is logged
// at Error level and otherwise ignored. Throws std::filesystem::filesystem_error
// when the parent's existence cannot be determined.
void ensureDirectory(const std::string& filePath);

}  // namespace qz7lib::utils
