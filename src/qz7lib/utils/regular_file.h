#pragma once

// A regular file opened for reading by path, closed when the object goes.

#include <cstdint>
#include <span>
#include <string>

#include "qz7lib/utils/file_descriptor.h"
#include "qz7lib/utils/file_identity.h"

namespace qz7lib::utils {

class RegularFile {
 public:
  // Opens path without waiting (opening a named pipe would wait for a writer)
  // and keeps it only when it is a regular file.
  explicit RegularFile(const std::string& path);

  // False when the path could not be opened or names no regular file.
  bool isOpen() const { return descriptor_.isOpen(); }
  int descriptor() const { return descriptor_.get(); }
  // The file's size and identity as of the opening; valid when isOpen().
  std::uint64_t size() const { return identity_.size; }
  const FileIdentity& identity() const { return identity_; }

  // Fills destination with the bytes that follow those read so far; false when
  // the file ends first or a read fails.
  bool readExactly(std::span<char> destination);

 private:
  FileDescriptor descriptor_;
  std::uint64_t position_ = 0;  // where the next readExactly starts
  FileIdentity identity_;
};

}  // namespace qz7lib::utils
