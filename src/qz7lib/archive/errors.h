#pragma once

#include <cstdint>
#include <stdexcept>

namespace qz7lib::archive {

// Failures of reading an archive. Each carries a fixed message; callers catch
// them as std::runtime_error and report what().

class ArchiveFileAccessError : public std::runtime_error {
 public:
  ArchiveFileAccessError() : std::runtime_error("QZ7 archive file access error") {}
};

class ArchiveHeaderReadError : public std::runtime_error {
 public:
  ArchiveHeaderReadError() : std::runtime_error("QZ7 archive header reading failed") {}
};

class HashCheckFailed : public std::runtime_error {
 public:
  HashCheckFailed() : std::runtime_error("QZ7 archive hash check failed") {}
};

class UnknownArchiveType : public std::runtime_error {
 public:
  UnknownArchiveType() : std::runtime_error("Unknown archive type") {}
};

class IncompatibleArchiveVersion : public std::runtime_error {
 public:
  IncompatibleArchiveVersion(std::uint32_t version, std::uint32_t supported);
};

class ArchiveIndexReadError : public std::runtime_error {
 public:
  ArchiveIndexReadError() : std::runtime_error("QZ7 archive index reading failed") {}
};

class ArchiveDictionaryReadError : public std::runtime_error {
 public:
  ArchiveDictionaryReadError() : std::runtime_error("QZ7 archive dictionary reading failed") {}
};

class UnknownDictionaryType : public std::runtime_error {
 public:
  UnknownDictionaryType() : std::runtime_error("Unknown dictionary type") {}
};

class ArchiveEntryReadError : public std::runtime_error {
 public:
  ArchiveEntryReadError() : std::runtime_error("QZ7 archive entry reading failed") {}
};

class InsufficientSpace : public std::runtime_error {
 public:
  InsufficientSpace() : std::runtime_error("Insufficient storage space provided") {}
};

// Failures of the compression layer.

class CompressionFailed : public std::runtime_error {
 public:
  CompressionFailed() : std::runtime_error("Compression failed for given data") {}
};

class DecompressionFailed : public std::runtime_error {
 public:
  DecompressionFailed() : std::runtime_error("Decompression failed for given data") {}
};

class FileTooLarge : public std::runtime_error {
 public:
  FileTooLarge()
      : std::runtime_error("Encountered file which is too large for the target compression scheme") {}
};

class IncompatibleCompressionScheme : public std::runtime_error {
 public:
  IncompatibleCompressionScheme()
      : std::runtime_error(
            "Incompatible compression scheme (dictionary provided with no dictionary support)") {}
};

class UnknownCompressionScheme : public std::runtime_error {
 public:
  UnknownCompressionScheme() : std::runtime_error("Unknown compression scheme") {}
};

}  // namespace qz7lib::archive
