#pragma once

// A regular file opened for reading by path, closed when the object goes.

#include <sys/stat.h>

#include <cstddef>
#include <span>
#include <string>

namespace qz7lib::utils {

class RegularFile {
 public:
  // Opens path without waiting (opening a named pipe would wait for a writer)
  // and keeps it only when it is a regular file.
  explicit RegularFile(const std::string& path);
  ~RegularFile();
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  // False when the path could not be opened or names no regular file.
  bool isOpen() const { return descriptor_ >= 0; }
  int descriptor() const { return descriptor_; }
  // The file's status as of the opening; valid when isOpen().
  const struct stat& status() const { return status_; }

  // Fills destination from the current position; false when the file ends
  // first or a read fails.
  bool readExactly(std::span<char> destination) const;

 private:
  int descriptor_ = -1;
  struct stat status_ {};
};

}  // namespace qz7lib::utils
