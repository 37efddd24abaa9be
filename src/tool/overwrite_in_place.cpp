#include "tool/overwrite_in_place.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "qz7lib/utils/file_descriptor.h"
#include "qz7lib/utils/positioned_io.h"
#include "tool/file_error.h"
#include "tool/interrupt_cleanup.h"
#include "tool/signal_point.h"

using qz7lib::utils::FileDescriptor;

namespace {

constexpr std::size_t kCopyChunkSize = 1 << 20;

// Copies the bytes at offsets [from, to) of in to the same offsets of out;
// false with errno set when a read or write fails.
bool copyRange(int in, int out, std::uint64_t from, std::uint64_t to) {
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(to - from, kCopyChunkSize)));
  for (std::uint64_t offset = from; offset < to; offset += buffer.size()) {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(to - offset, buffer.size()));
    if (!qz7lib::utils::readAllAt(in, buffer.data(), size, offset)) {
      if (errno == 0) errno = EIO;  // the source ended early
      return false;
    }
    if (!qz7lib::utils::writeAllAt(out, buffer.data(), size, offset)) return false;
    signalPoint("in-place copy");
  }
  return true;
}

}  // namespace

void overwriteInPlace(int source, std::uint64_t length, const std::string& target, bool durable) {
  FileDescriptor out(::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!out.isOpen()) throwFileError(errno, "cannot write", target);
  if (::fstat(out.get(), &status) != 0) throwFileError(errno, "cannot write", target);
  if (!S_ISREG(status.st_mode)) throwFileError(EINVAL, "cannot write", target);
  if (::flock(out.get(), LOCK_EX) != 0) throwFileError(errno, "cannot write", target);
  // Blocks beyond the end are reserved without changing the file's length.
  const bool reserved = ::fallocate(out.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) == 0;
  if (!reserved && errno != EOPNOTSUPP && errno != ENOSYS) throwFileError(errno, "cannot write", target);
  // Without the reservation the length is read again, as another writer may
  // have changed it while this one waited for the lock.
  if (!reserved && ::fstat(out.get(), &status) != 0) throwFileError(errno, "cannot write", target);
  const interrupt_cleanup::InterruptsHeld held;
  // There the new tail is written first, and flushed, since a network file
  // system may find out about space only then; when that fails, the file is
  // cut back to the bytes it had.
  const auto oldLength = static_cast<std::uint64_t>(status.st_size);
  std::uint64_t front = length;
  if (!reserved && length > oldLength) {
    if (!copyRange(source, out.get(), oldLength, length) || ::fdatasync(out.get()) != 0) {
      const int error = errno;
      static_cast<void>(::ftruncate(out.get(), static_cast<off_t>(oldLength)));
      throwFileError(error, "cannot write", target);
    }
    front = oldLength;
  }
  if (!copyRange(source, out.get(), 0, front) || ::ftruncate(out.get(), static_cast<off_t>(length)) != 0 ||
      (durable && ::fsync(out.get()) != 0) || !out.close()) {
    throwFileError(errno, "cannot write", target);
  }
}

int openScratchFile() {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::temp_directory_path(error);
  if (error) return -1;
  const int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Without unnamed files: a named one, unlinked at once.
  std::string name = (directory / "qz7-XXXXXX").string();
  const interrupt_cleanup::InterruptsHeld held;
  const int named = ::mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) ::unlink(name.c_str());
  return named;
}
