#include "qz7lib/utils/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <utility>

#include "qz7lib/utils/positioned_io.h"

namespace qz7lib::utils {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

}  // namespace

RegularFile::RegularFile(const std::string& path) {
  // O_NONBLOCK only affects the open here: reads of a regular file never wait.
  FileDescriptor descriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!descriptor.isOpen()) return;
  struct statx status {};
  if (::statx(descriptor.get(), "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE | STATX_INO | STATX_BTIME,
              &status) != 0 ||
      !S_ISREG(status.stx_mode)) {
    return;
  }
  descriptor_ = std::move(descriptor);
  size_ = status.stx_size;
  identity_.device = ::makedev(status.stx_dev_major, status.stx_dev_minor);
  identity_.inode = status.stx_ino;
  if ((status.stx_mask & STATX_BTIME) != 0) {
    identity_.created = status.stx_btime.tv_sec * kNanosecondsPerSecond + status.stx_btime.tv_nsec;
  }
}

bool RegularFile::readExactly(std::span<char> destination) {
  if (!readAllAt(descriptor(), destination.data(), destination.size(), position_)) return false;
  position_ += destination.size();
  return true;
}

}  // namespace qz7lib::utils
