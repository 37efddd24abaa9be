#include "tool/staged_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "qz7lib/utils/positioned_io.h"
#include "tool/file_error.h"
#include "tool/overwrite_in_place.h"
#include "tool/signal_point.h"
#include "tool/temporary_name.h"

using interrupt_cleanup::InterruptsHeld;
using qz7lib::utils::FileDescriptor;

namespace {

// Whether this process may give an unnamed file a name: linkat with
// AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH before Linux 6.10. Asked once, by
// naming an empty unnamed file in directory and removing the name at once. A
// file once named and unnamed again cannot be named anew, so it is not the
// file to be written.
enum class Support { unknown, yes, no };
Support unnamedFiles = Support::unknown;

bool linkUnnamed(int fd, const std::string& name) {
  return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
}

bool mayNameUnnamedFiles(const std::string& directory, const std::string& destination) {
  if (unnamedFiles == Support::unknown) {
    const FileDescriptor probe(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    const InterruptsHeld held;
    const std::string name = claimTemporaryName(
        destination, [&probe](const std::string& name) { return linkUnnamed(probe.get(), name); });
    unnamedFiles = name.empty() ? Support::no : Support::yes;
    if (!name.empty()) {
      signalPoint("probe");
      ::unlink(name.c_str());
    }
  }
  return unnamedFiles == Support::yes;
}

bool replacesRegularFile(const std::optional<struct stat>& existing) {
  return existing && S_ISREG(existing->st_mode);
}

}  // namespace

void StagedFile::useNamedFilesOnly() { unnamedFiles = Support::no; }

StagedFile::StagedFile(std::string destination, const struct stat* existing, bool durable)
    : destination_(std::move(destination)), durable_(durable) {
  if (existing != nullptr) existing_ = *existing;
  create();
}

StagedFile::~StagedFile() { discard(); }

void StagedFile::fail(int error, const char* step) const { throwFileError(error, step, destination_); }

void StagedFile::create() {
  const bool replacesFile = replacesRegularFile(existing_);
  // Refused as writing it in place would be.
  if (replacesFile && ::faccessat(AT_FDCWD, destination_.c_str(), W_OK, AT_EACCESS) != 0) {
    fail(errno, "cannot write");
  }

  if (unnamedFiles != Support::no) {
    const std::string directory = directoryOf(destination_).string();
    file_ = FileDescriptor(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (file_.isOpen() && !mayNameUnnamedFiles(directory, destination_)) file_.reset();
  }
  if (file_.isOpen()) {
    kind_ = Kind::unnamed;
  } else {
    // No signal may end the process between the creation and the registration.
    const InterruptsHeld held;
    temporaryName_ = createTemporaryFile(destination_, file_);
    if (!temporaryName_.empty()) {
      guard_.emplace(temporaryName_);
      kind_ = Kind::named;
    } else if ((errno == EACCES || errno == EPERM) && replacesFile) {
      // The directory is closed to the user, the file is not: written in place
      // at the end, keeping its own owner and permissions.
      kind_ = Kind::scratch;
      file_ = FileDescriptor(openScratchFile());
      if (!file_.isOpen()) fail(errno, "cannot create");
      return;
    } else {
      fail(errno, "cannot create");
    }
  }
  if (replacesFile) keepOwnership();
}

void StagedFile::keepOwnership() {
  const struct stat& old = *existing_;
  mode_t mode = old.st_mode & 07777;
  // The owner first: a change of owner clears the set-user-ID and set-group-ID
  // bits. Without the right to give the file away it stays the user's, and the
  // group's bits go with the group only.
  if (::fchown(file_.get(), old.st_uid, old.st_gid) != 0) {
    mode &= ::fchown(file_.get(), static_cast<uid_t>(-1), old.st_gid) == 0 ? 0777 : 0707;
  }
  ::fchmod(file_.get(), mode);
}

void StagedFile::writeAt(std::uint64_t offset, std::span<const std::byte> bytes) {
  if (!qz7lib::utils::writeAllAt(file_.get(), bytes.data(), bytes.size(), offset)) {
    fail(errno != 0 ? errno : EIO, "cannot write");
  }
  const std::uint64_t end = offset + bytes.size();
  std::uint64_t length = length_.load();
  while (length < end && !length_.compare_exchange_weak(length, end)) {
  }
}

void StagedFile::commit() {
  if (durable_ && ::fsync(file_.get()) != 0) fail(errno, "cannot write");
  // A new file takes its name at once: linkat never replaces anything. Its
  // close is checked after, since a failed close can mean lost bytes on some
  // file systems; the name goes again then.
  if (kind_ == Kind::unnamed && !existing_) {
    if (linkUnnamed(file_.get(), destination_)) {
      if (!file_.close()) {
        const int error = errno;
        ::unlink(destination_.c_str());
        fail(error, "cannot write");
      }
      return;
    }
    if (errno != EEXIST) fail(errno, "cannot create");
  }

  // A file that replaces another is closed before it takes the other's place;
  // a duplicate keeps the file, and its lock, meanwhile.
  FileDescriptor kept(::dup(file_.get()));
  if (!kept.isOpen() || !file_.close()) fail(errno, "cannot write");
  file_ = std::move(kept);
  bool renamed = false;
  switch (kind_) {
    case Kind::scratch:
      break;
    case Kind::unnamed: {
      // No cleanup knows the name it takes: no signal may come between the two.
      const InterruptsHeld held;
      nameUnnamed();
      renamed = renameIntoPlace();
      break;
    }
    case Kind::named:
      renamed = renameIntoPlace();
      break;
  }
  // Outside any held step: the write in place first waits for the destination's
  // lock, which another run may hold for as long as it likes.
  if (!renamed) overwriteInPlace(file_.get(), length_, destination_, durable_);
  file_.reset();
}

void StagedFile::nameUnnamed() {
  // Locked first, so that no cleanup takes the name for a dead run's.
  ::flock(file_.get(), LOCK_EX);
  temporaryName_ = claimTemporaryName(
      destination_, [this](const std::string& name) { return linkUnnamed(file_.get(), name); });
  if (temporaryName_.empty()) fail(errno, "cannot create");
}

bool StagedFile::renameIntoPlace() {
  signalPoint("rename");
  if (std::rename(temporaryName_.c_str(), destination_.c_str()) == 0) {
    temporaryName_.clear();
    guard_.reset();
    return true;
  }
  const int error = errno;
  ::unlink(temporaryName_.c_str());
  temporaryName_.clear();
  guard_.reset();
  // A file the user may write but not replace, such as another user's in a
  // sticky directory, is written over in place.
  if ((error == EACCES || error == EPERM) && replacesRegularFile(existing_)) return false;
  fail(error, "cannot create");
}

void StagedFile::discard() {
  if (!temporaryName_.empty()) {
    ::unlink(temporaryName_.c_str());
    temporaryName_.clear();
  }
  guard_.reset();
}
