#include "qz7lib/utils/glob.h"

#include <filesystem>
#include <regex>
#include <stdexcept>

namespace qz7lib::utils {

namespace {

// Stands in for "**/" while single stars are expanded and the path is normalised.
constexpr const char* kGlobstarPlaceholder = "__GLOBSTAR__/";

std::string replaceAll(const std::string& text, const char* pattern, const char* replacement) {
  return std::regex_replace(text, std::regex(pattern), replacement);
}

}  // namespace

std::string globToRegex(std::string_view glob) {
  std::string text(glob);
  text = replaceAll(text, R"(\\)", "/");
  if (std::regex_search(text, std::regex(R"(\*\*([^/]|$))"))) {
    throw std::runtime_error("Glob expression must not contain '**' followed by anything other than /");
  }
  text = replaceAll(text, R"(\*\*/)", kGlobstarPlaceholder);
  text = replaceAll(text, R"(\*)", "[^/]*");
  // Normalising after the star expansion also splits "[^/]*" at its '/'; the
  // halves rejoin unchanged unless a ".." follows a starred element.
  text = std::filesystem::path(text).lexically_normal().generic_string();
  text = replaceAll(text, R"(\.)", R"(\.)");
  text = replaceAll(text, kGlobstarPlaceholder, "(.*/)?");
  return text;
}

std::vector<std::string> findFilesByGlob(const std::string& baseDir, std::string_view glob) {
  const std::regex expression(globToRegex(glob));
  const std::filesystem::path base(baseDir);
  std::vector<std::string> matches;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(base)) {
    const std::string relative = entry.path().lexically_relative(base).generic_string();
    if (std::regex_match(relative, expression)) matches.push_back(entry.path().generic_string());
  }
  return matches;
}

}  // namespace qz7lib::utils
