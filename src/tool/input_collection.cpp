#include "tool/input_collection.h"

#include <stdexcept>

std::vector<std::string> loadExcludeFrom(std::vector<std::string> excludes, const std::string&) {
  return excludes;
}

void validatePathSpecifiers(std::vector<std::string>, bool) {}

std::string toEntryName(std::filesystem::path path) { return path.generic_string(); }

std::vector<std::regex> compileExcludeGlobs(const std::vector<std::string>&) { return {}; }

void removeExcludedPaths(std::vector<std::string>&, const std::vector<std::regex>&) {}

std::vector<std::string> collectInputFiles(const std::vector<std::string>&,
                                           const std::vector<std::regex>&) {
  throw std::runtime_error("not implemented yet");
}
