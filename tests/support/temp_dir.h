#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qz7test {

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / relative, as a string.
  std::string file(std::string_view relative) const;

 private:
  std::filesystem::path path_;
};

// Writes bytes to path, creating missing parent directories.
void writeFile(const std::filesystem::path& path, std::string_view bytes);
// The whole file; fails the current test when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace qz7test
