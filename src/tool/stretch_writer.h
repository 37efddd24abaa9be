#pragma once

// Writes one stretch of a staged file from front to back, gathering small
// pieces in a buffer so that many of them cost few system calls; large pieces
// go to the file at once. Several stretch writers may write one file from
// several threads, each its own bytes: they share a lock that lets one write
// through at a time. The file system serialises writes to one file anyway,
// and writers that wait on its lock spin.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "tool/staged_file.h"

class StretchWriter {
 public:
  // Bytes gathered before they are written.
  static constexpr std::size_t kBufferBytes = 1 << 20;

  // Writes file from start on, gathering in buffer (emptied here), under
  // fileLock. All three must outlive the writer.
  StretchWriter(StagedFile& file, std::mutex& fileLock, std::uint64_t start, std::vector<std::byte>& buffer)
      : file_(&file), fileLock_(&fileLock), position_(start), buffer_(&buffer) {
    buffer.clear();
    buffer.reserve(kBufferBytes);
  }

  void write(std::span<const std::byte> bytes);
  // Writes zero bytes up to offset.
  void padTo(std::uint64_t offset);
  // Writes out the gathered bytes and goes on at offset.
  void skipTo(std::uint64_t offset);
  // Writes out the gathered bytes.
  void flush() { skipTo(position_); }

  std::uint64_t position() const { return position_; }
  // A write failed; nothing was written since, but the position still counts.
  bool failed() const { return failed_; }

 private:
  void writeAt(std::uint64_t offset, std::span<const std::byte> bytes);

  StagedFile* file_;
  std::mutex* fileLock_;
  std::uint64_t position_;          // where the next byte goes
  std::vector<std::byte>* buffer_;  // bytes gathered, up to position_
  bool failed_ = false;
};
