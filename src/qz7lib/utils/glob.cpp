#include "qz7lib/utils/glob.h"

#include <cctype>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <system_error>

namespace qz7lib::utils {

namespace {

// Stands in for "**/" while single stars are expanded and the path is normalised.
constexpr const char* kGlobstarPlaceholder = "__GLOBSTAR__/";

std::string replaceAll(const std::string& text, const char* pattern, const char* replacement) {
  return std::regex_replace(text, std::regex(pattern), replacement);
}

// A character that stands for itself in a pattern element of a fixed directory
// name. Anything else may be an operator, so the fixed part ends before it.
bool isPlainNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == ' ' ||
         c == '~' || c == '@' || c == '#' || c == '%' || c == '=' || c == ',';
}

// The directory names that every match of the pattern text must begin with:
// the leading elements that are spelled literally (letters, digits, a few
// inert characters and escaped dots), each followed by '/'. Empty when the
// pattern holds an alternation anywhere, or when the '/' after the last
// fixed element is made optional or repeatable by a quantifier.
std::vector<std::string> fixedLeadingDirectories(const std::string& pattern) {
  std::vector<std::string> directories;
  if (pattern.find('|') != std::string::npos) return directories;
  std::string name;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '/') {
      const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
      if (name.empty() || name == "." || name == ".." || next == '?' || next == '*' ||
          next == '+' || next == '{') {
        break;
      }
      directories.push_back(name);
      name.clear();
    } else if (c == '\\' && i + 1 < pattern.size() && pattern[i + 1] == '.') {
      name += '.';
      ++i;
    } else if (isPlainNameCharacter(c)) {
      name += c;
    } else {
      break;
    }
  }
  return directories;
}

// Advances the walk. The standard library's failure does not say where; this
// one names the directory that could not be entered or read, with the reason.
void advance(std::filesystem::recursive_directory_iterator& it) {
  const std::filesystem::path current = it->path();
  const bool entering = it.recursion_pending();
  std::error_code error;
  it.increment(error);
  if (!error) return;
  // The walk enters only real directories, never links to them.
  std::error_code ignored;
  if (entering && std::filesystem::is_directory(std::filesystem::symlink_status(current, ignored))) {
    throw std::filesystem::filesystem_error("cannot open directory", current, error);
  }
  throw std::filesystem::filesystem_error("cannot read directory", current.parent_path(), error);
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
  const std::string pattern = globToRegex(glob);
  const std::regex expression(pattern);
  // Every match lies below these directories, so the walk descends only into
  // them until it is below the last one. The walk is still the one over
  // baseDir, so paths, order and the walk's own decisions stay those of a
  // walk over the whole tree; it only skips subtrees that cannot match.
  const std::vector<std::string> fixed = fixedLeadingDirectories(pattern);
  const std::filesystem::path base(baseDir);
  std::vector<std::string> matches;
  for (auto it = std::filesystem::recursive_directory_iterator(base);
       it != std::filesystem::recursive_directory_iterator(); advance(it)) {
    const auto depth = static_cast<std::size_t>(it.depth());
    if (depth < fixed.size()) {
      // Too shallow to match; worth entering only on the fixed way down.
      if (it->path().filename().generic_string() != fixed[depth]) it.disable_recursion_pending();
      continue;
    }
    const std::string relative = it->path().lexically_relative(base).generic_string();
    if (std::regex_match(relative, expression)) matches.push_back(it->path().generic_string());
  }
  return matches;
}

}  // namespace qz7lib::utils
