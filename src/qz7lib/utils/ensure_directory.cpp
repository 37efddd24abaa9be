#include "qz7lib/utils/ensure_directory.h"

#include <fmt/format.h>

#include <filesystem>

#include "qz7lib/log/logger.h"

namespace qz7lib::utils {

namespace {

// The source line this module reports with its creation failure.
constexpr int kCreateFailureLine = 41;

}  // namespace

void ensureDirectory(const std::string& filePath) {
  const std::filesystem::path path(filePath);
  if (!path.has_parent_path()) return;
  if (std::filesystem::exists(path.parent_path())) return;
  try {
    std::filesystem::create_directories(path.parent_path());
  } catch (const std::filesystem::filesystem_error& e) {
    Logger::log(LogLevel::Error, "qz7lib::utils::ensureDirectory", kCreateFailureLine,
                fmt::format("Settings: Could not create directories for {}: {}", path.native(),
                            e.what()));
  }
}

}  // namespace qz7lib::utils
