#include "qz7lib/utils/positioned_io.h"

#include <unistd.h>

#include <cerrno>

namespace qz7lib::utils {

namespace {

// Repeats transfer (pread or pwrite) until size bytes moved; false when it
// fails or moves nothing. A read that finds the end of the file leaves errno 0.
template <typename Byte, typename Transfer>
bool transferAll(int fd, Byte* bytes, std::size_t size, std::uint64_t offset, Transfer transfer) {
  while (size > 0) {
    errno = 0;
    const ssize_t n = transfer(fd, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

}  // namespace

bool readAllAt(int fd, void* data, std::size_t size, std::uint64_t offset) {
  return transferAll(fd, static_cast<char*>(data), size, offset, ::pread);
}

bool writeAllAt(int fd, const void* data, std::size_t size, std::uint64_t offset) {
  return transferAll(fd, static_cast<const char*>(data), size, offset, ::pwrite);
}

}  // namespace qz7lib::utils
