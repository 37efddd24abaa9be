#include "qz7lib/utils/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace qz7lib::utils {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

}  // namespace

RegularFile::RegularFile(const std::string& path) {
  // O_NONBLOCK only affects the open here: reads of a regular file never wait.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return;
  struct statx status {};
  if (::statx(descriptor, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE | STATX_INO | STATX_BTIME,
              &status) != 0 ||
      !S_ISREG(status.stx_mode)) {
    ::close(descriptor);
    return;
  }
  descriptor_ = descriptor;
  size_ = status.stx_size;
  identity_.device = ::makedev(status.stx_dev_major, status.stx_dev_minor);
  identity_.inode = status.stx_ino;
  if ((status.stx_mask & STATX_BTIME) != 0) {
    identity_.created = status.stx_btime.tv_sec * kNanosecondsPerSecond + status.stx_btime.tv_nsec;
  }
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
