#pragma once

// A regular file opened for reading by path, closed when the object goes.

#include <cstdint>
#include <span>
#include <string>

#include "qz7lib/utils/file_identity.h"

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
  // The file's size and identity as of the opening; valid when isOpen().
  std::uint64_t size() const { return size_; }
  const FileIdentity& identity() const { return identity_; }

  // Fills destination from the current position; false when the file ends
  // first or a read fails.
  bool readExactly(std::span<char> destination) const;

 private:
  int descriptor_ = -1;
  std::uint64_t size_ = 0;
  FileIdentity identity_;
};

}  // namespace qz7lib::utils
