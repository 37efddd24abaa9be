#include "tool/input_collection.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string_view>
#include <unordered_set>

#include "qz7lib/utils/glob.h"
#include "qz7lib/utils/strings.h"

namespace fs = std::filesystem;
using qz7lib::utils::isAscii;
using qz7lib::utils::lessIgnoreCase;
using qz7lib::utils::toLower;

namespace {

// Longest path, in bytes, that fits an entry name.
constexpr std::size_t kMaxPathLength = 255;

bool isSlash(char c) { return c == '/' || c == '\\'; }

bool isDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Absolute by the rules of Windows paths, which archives must also be safe to
// extract on: "C:\x" or "C:/x", a server name as in "\\server\share", and the
// device prefixes "\\?\", "\\.\" and "\??\". "C:x" and a single leading slash
// are relative there.
bool isWindowsAbsolute(std::string_view p) {
  if (p.size() >= 2 && isDriveLetter(p[0]) && p[1] == ':') return p.size() >= 3 && isSlash(p[2]);
  if (p.size() < 2 || !isSlash(p[0])) return false;
  if (p.size() >= 4 && isSlash(p[3]) && (p.size() == 4 || !isSlash(p[4])) &&
      ((isSlash(p[1]) && (p[2] == '?' || p[2] == '.')) || (p[1] == '?' && p[2] == '?'))) {
    return true;
  }
  return p.size() >= 3 && isSlash(p[1]) && !isSlash(p[2]);
}

// A leading '/' is absolute here; such a name would extract outside the target.
bool isAbsolutePath(std::string_view p) {
  return isWindowsAbsolute(p) || (!p.empty() && p.front() == '/');
}

[[noreturn]] void rejectPath(const std::string& path, std::string_view reason) {
  std::cerr << "ERROR: the path specifier " << path << reason;
  std::exit(-1);
}

// What the path names, following symbolic links. A missing path is no error;
// any other failure throws.
fs::file_type fileTypeOf(const std::string& path) { return fs::status(path).type(); }

// Collapses runs of '/' and drops one leading "./", so that a typed path names
// its file as the walk does ('d//a.txt' and './d/a.txt' become 'd/a.txt') and
// a file reached both ways counts as a duplicate.
void tidyCollectedPath(std::string& path) {
  const auto doubledSlash = [](char a, char b) { return a == '/' && b == '/'; };
  path.erase(std::unique(path.begin(), path.end(), doubledSlash), path.end());
  if (path.size() >= 2 && path[0] == '.' && path[1] == '/') path.erase(0, 2);
}

}  // namespace

std::vector<std::string> loadExcludeFrom(std::vector<std::string> excludes,
                                         const std::string& path) {
  if (path.empty()) return excludes;

  auto fail = [&] {
    std::cerr << "Error loading exclude-from file: " << path << "\n";
    std::exit(-1);
  };
  std::ifstream file(path, std::ios::binary);
  if (!file) fail();
  std::string line;
  while (std::getline(file, line, '\n')) excludes.push_back(qz7lib::utils::trim(line));
  // A directory opens as a stream here but cannot be read.
  if (file.bad()) fail();
  return excludes;
}

void validatePathSpecifiers(std::vector<std::string> paths, bool strict) {
  constexpr std::string_view kPseudoPath =
      " contains a pseudo-path (\".\" or \"..\"). This is not allowed.\nAborting.\n";
  std::unordered_set<std::string> seen;
  for (const std::string& p : paths) {
    if (p.size() > kMaxPathLength) {
      rejectPath(p, " is longer than the allowed maximum (" + std::to_string(kMaxPathLength + 1) +
                        ").\nAborting.\n");
    }
    if (!seen.insert(toLower(p)).second) {
      rejectPath(p, " occurred more than once with different capitalization.\nAborting.\n");
    }
    if (!isAscii(p)) {
      rejectPath(p,
                 " contains a non-ASCII character. This is not supported by the kvz format.\n"
                 "Aborting.\n");
    }
    if (isAbsolutePath(p)) {
      rejectPath(p, " is an absolute path. Only relative paths are allowed.\nAborting.\n");
    }
    if (strict && p.find('\\') != std::string::npos) {
      rejectPath(p, " contains a backslash.\nAborting.\n");
    }
    if (strict && p.find("./") != std::string::npos) rejectPath(p, kPseudoPath);
    if (p.find("../") != std::string::npos) rejectPath(p, kPseudoPath);
  }
}

std::string toEntryName(std::filesystem::path path) {
  std::string name = path.string();
  std::replace(name.begin(), name.end(), '\\', '/');
  return toLower(name);
}

std::vector<std::regex> compileExcludeGlobs(const std::vector<std::string>& excludes) {
  std::vector<std::regex> regexes;
  regexes.reserve(excludes.size());
  for (const std::string& glob : excludes) {
    regexes.emplace_back(qz7lib::utils::globToRegex(glob));
  }
  return regexes;
}

void removeExcludedPaths(std::vector<std::string>& files,
                         const std::vector<std::regex>& excludes) {
  auto excluded = [&](const std::string& file) {
    return std::any_of(excludes.begin(), excludes.end(),
                       [&](const std::regex& re) { return std::regex_match(file, re); });
  };
  files.erase(std::remove_if(files.begin(), files.end(), excluded), files.end());
}

std::vector<std::string> collectInputFiles(const std::vector<std::string>& inputs,
                                           const std::vector<std::regex>& excludes) {
  validatePathSpecifiers(inputs, false);

  // A regular file is taken by name, exactly as typed: on a case-sensitive file
  // system another letter case could name another file. A directory contributes
  // every file below it whose name has a '.'; anything else is a glob.
  std::vector<std::string> files;
  std::vector<std::string> globs;
  for (const std::string& input : inputs) {
    switch (fileTypeOf(input)) {
      case fs::file_type::regular:
        files.push_back(input);
        break;
      case fs::file_type::directory:
        globs.push_back(input + "/**/*.*");
        break;
      default:
        globs.push_back(input);
        break;
    }
  }

  for (const std::string& glob : globs) {
    for (std::string& found : qz7lib::utils::findFilesByGlob(".", glob)) {
      if (fileTypeOf(found) == fs::file_type::regular) files.push_back(std::move(found));
    }
  }

  for (std::string& file : files) tidyCollectedPath(file);

  validatePathSpecifiers(files, true);
  if (!excludes.empty()) removeExcludedPaths(files, excludes);
  std::sort(files.begin(), files.end(),
            [](const std::string& a, const std::string& b) { return lessIgnoreCase(a, b); });
  return files;
}
