#pragma once

// A file written under a temporary name in its destination's directory and
// renamed into place only once it is complete and closed, so that no partial
// file ever stands under the destination's name. The temporary file is removed
// when the holder goes away uncommitted (a failure, an exception) and when
// SIGINT, SIGTERM or SIGHUP ends the process.
//
// A regular file that is replaced hands its permission bits, owner and group
// on to the replacement, as writing it in place would have kept them, and a
// file the caller may not write is refused as the in-place write would have
// been. Anything else under the destination's name, a symbolic link included,
// is replaced itself, never written through.

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "tool/interrupt_cleanup.h"

class StagedFile {
 public:
  // Creates the temporary file. Throws std::system_error naming destination
  // and the system's reason when it cannot be created.
  explicit StagedFile(std::string destination);
  // Removes the temporary file unless it was committed.
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Appends bytes. Throws std::system_error when they cannot all be written.
  void write(std::span<const std::byte> bytes);
  // Closes the file and renames it to the destination. Throws std::system_error
  // when either fails; the temporary file is removed then.
  void commit();

 private:
  std::string destination_;
  std::string temporary_;
  int fd_ = -1;
  bool committed_ = false;
  // Declared last, so it is unregistered only after the destructor's removal.
  std::optional<interrupt_cleanup::TemporaryFileGuard> guard_;
};
