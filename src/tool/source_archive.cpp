#include "tool/source_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "tool/positioned_io.h"

SourceArchive::SourceArchive(const std::string& path)
    // Non-blocking, so that a named pipe does not wait here for a writer; the
    // index read refuses it.
    : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}

SourceArchive::~SourceArchive() {
  if (fd_ >= 0) ::close(fd_);
}

SourceArchive::SourceArchive(SourceArchive&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

bool SourceArchive::isNamedBy(const std::string& path) const {
  struct stat opened {};
  struct stat named {};
  return fd_ >= 0 && ::fstat(fd_, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool SourceArchive::read(std::uint64_t offset, std::span<std::byte> bytes) const {
  return readAllAt(fd_, bytes.data(), bytes.size(), offset);
}
