#pragma once

// A file that is written completely before it takes its destination's place,
// so that no partial file ever stands under the destination's name: the one
// way the tool writes both archives and extracted files.
//
// Where the file system allows, it is created without a name in the
// destination's directory (O_TMPFILE) and given the destination's name only
// when complete, so that no way of ending the process leaves anything behind.
// Elsewhere it is created under a temporary name of the tool's (see
// temporary_name.h) that is removed on SIGINT, SIGTERM and SIGHUP, and that a
// later run removes when SIGKILL left it.
//
// A destination that stands already is replaced by rename; a regular file
// hands its owner, group and permission bits on to its replacement as far as
// the user may set them, as writing it in place would have kept them, and a
// regular file the user may not write is refused as the in-place write would
// have been. A file that the user may write but not replace (its directory is
// not writable, or a sticky directory protects it) is written over in place
// at the end, from a scratch file in the system's temporary directory.
// Anything else under the destination's name, a symbolic link included, is
// replaced itself, never written through.

#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "qz7lib/utils/file_descriptor.h"
#include "tool/interrupt_cleanup.h"

class StagedFile {
 public:
  // Creates the file for destination. existing is the lstat of what stands
  // there now, null when nothing does. With durable set, the file is flushed
  // to disk before it takes its place. Throws std::system_error naming
  // destination and the system's reason when it cannot be created.
  StagedFile(std::string destination, const struct stat* existing, bool durable);
  // Removes the file unless it was committed.
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Writes bytes at offset. Throws std::system_error when they cannot all be
  // written. Several threads may write at once, each to its own bytes.
  void writeAt(std::uint64_t offset, std::span<const std::byte> bytes);
  // Puts the file in the destination's place. Throws std::system_error when
  // that fails; the destination is then as it was.
  void commit();
  // Removes the file now, for a process that ends without unwinding. The
  // descriptor stays open until the object goes, for writes still under way.
  void discard();

  // Makes every later file of this process take a temporary name from the
  // start, as on file systems without unnamed files.
  static void useNamedFilesOnly();

 private:
  enum class Kind {
    unnamed,  // created without a name in the destination's directory
    named,    // created under a temporary name in the destination's directory
    scratch,  // created in the temporary directory, copied over the destination
  };

  // Creates the file of the first kind that the directory allows.
  void create();
  // Gives the unnamed file a temporary name beside the destination.
  void nameUnnamed();
  // Renames the temporary name onto the destination, removing the name either
  // way; false where the destination may be written but not replaced, which is
  // then written in place.
  bool renameIntoPlace();
  // Hands the replaced file's owner, group and permissions on where allowed.
  void keepOwnership();
  [[noreturn]] void fail(int error, const char* step) const;

  std::string destination_;
  std::optional<struct stat> existing_;  // what the file replaces, if anything
  bool durable_;
  Kind kind_ = Kind::unnamed;
  qz7lib::utils::FileDescriptor file_;
  std::atomic<std::uint64_t> length_ = 0;  // the file's length as written
  std::string temporaryName_;  // empty while the file has no name
  // Declared last, so it is unregistered only after the file was removed.
  std::optional<interrupt_cleanup::TemporaryFileGuard> guard_;
};
