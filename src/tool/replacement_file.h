#pragma once

// The file a new archive is written to before it takes the place of the file
// that the archive name stands for (through symbolic links: the link stays).
//
// It is created in that file's directory without a name (O_TMPFILE) where the
// file system allows, so that no way of ending the process leaves it behind,
// and linked in under a temporary name only to be renamed over the archive.
// Elsewhere it has the temporary name "<name>.<pid>.tmp" from the start, and
// is removed on SIGINT, SIGTERM and SIGHUP; what SIGKILL leaves there,
// removeStaleTemporaries clears. The replacement keeps the old archive's permission bits, and
// its owner and group where the user may set them.
//
// Replacing respects what writing the archive in place would allow: an
// existing archive that the user may not write is refused, and one that the
// user may write in a directory that the user may not write is written over in
// place at the end, from a file in the system's temporary directory.

#include <filesystem>
#include <optional>
#include <string>

#include "tool/interrupt_cleanup.h"

// Removes the temporary files of the archive's replacements that processes no
// longer running left (ended by SIGKILL, say). Called before the inputs are
// collected, so that no such file is taken for an input.
void removeStaleTemporaries(const std::string& archiveName);

class ReplacementFile {
 public:
  // Creates the file; fd() tells whether that succeeded.
  explicit ReplacementFile(const std::string& archiveName);
  // Removes the file unless it replaced the archive.
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // The descriptor to write the archive to; -1 when the file could not be created.
  int fd() const { return fd_; }

  // Flushes the file to disk and puts it in the archive's place. Returns false
  // when that fails; the file is then removed and the archive left as it was.
  bool replaceArchive();
  // Removes the file now, for a process that ends without unwinding.
  void discard();

 private:
  enum class Kind {
    unnamed,  // created without a name beside the target
    named,    // created under its temporary name beside the target
    inPlace,  // a scratch file elsewhere, copied over the target
  };

  // Creates the file of the first kind that the directory allows.
  void create();
  // Gives the unnamed file a temporary name beside the archive.
  bool linkIn();

  std::filesystem::path target_;  // the file the archive name stands for
  int fd_ = -1;
  Kind kind_ = Kind::named;
  std::string temporaryName_;     // empty while the file has no name
  std::optional<interrupt_cleanup::TemporaryFileGuard> guard_;  // while it has one
};
