#include "qz7lib/utils/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "qz7lib/utils/positioned_io.h"

namespace qz7lib::utils {

RegularFile::RegularFile(const std::string& path) {
  // O_NONBLOCK only affects the open here: reads of a regular file never wait.
  FileDescriptor descriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!descriptor.isOpen()) return;
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode)) return;
  descriptor_ = std::move(descriptor);
  identity_ = fileIdentity(status);
}

bool RegularFile::readExactly(std::span<char> destination) {
  if (!readAllAt(descriptor(), destination.data(), destination.size(), position_)) return false;
  position_ += destination.size();
  return true;
}

}  // namespace qz7lib::utils
