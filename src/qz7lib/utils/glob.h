#pragma once

// Globs are '/'-separated path patterns ('\' counts as '/'):
//   *     any run of characters other than '/', the empty run included
//   **/   zero or more whole directory levels
//   .     a literal dot
// Every other character keeps its ECMAScript regular-expression meaning, so
// '?', '+', '(', '[', '{', '|', '^' and '$' are operators, not literals.
// Matching is case-sensitive and covers the whole relative path.

#include <string>
#include <string_view>
#include <vector>

namespace qz7lib::utils {

// The ECMAScript pattern text of a glob, with '.' and '..' elements and
// repeated separators resolved lexically. Throws std::runtime_error when '**'
// is followed by anything other than '/' or ends the glob.
std::string globToRegex(std::string_view glob);

// Walks the tree below baseDir (symbolic links to directories are not
// followed) and returns, in walk order, every entry of any type whose
// '/'-separated path relative to baseDir matches glob. Subtrees outside the
// glob's fixed leading directories ('src/lib/' of 'src/lib/**/*.c') are not
// entered; the result is that of a walk over the whole tree. Each result is baseDir
// joined with the relative path, so with baseDir "." results begin with "./".
// Throws what globToRegex throws, std::regex_error for a pattern that does not
// compile and std::filesystem::filesystem_error, naming the directory, when
// the walk fails.
std::vector<std::string> findFilesByGlob(const std::string& baseDir, std::string_view glob);

}  // namespace qz7lib::utils
