#pragma once

// The failures of the tool's own file writing: std::system_error whose text
// names the step and the file, followed by the system's reason, as in
// "cannot write a/b.txt: File too large".

#include <fmt/format.h>

#include <string>
#include <system_error>

[[noreturn]] inline void throwFileError(int error, const char* step, const std::string& path) {
  throw std::system_error(error, std::generic_category(), fmt::format("{} {}", step, path));
}
