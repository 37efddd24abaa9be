#include "qz7lib/utils/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qz7lib::utils {

RegularFile::RegularFile(const std::string& path) {
  // O_NONBLOCK only affects the open here: reads of a regular file never wait.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return;
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(descriptor);
    return;
  }
  descriptor_ = descriptor;
  size_ = static_cast<std::uint64_t>(status.st_size);
  identity_ = fileIdentity(status);
}

RegularFile::~RegularFile() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

bool RegularFile::readExactly(std::span<char> destination) const {
  while (!destination.empty()) {
    const ssize_t n = ::read(descriptor_, destination.data(), destination.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    destination = destination.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace qz7lib::utils
