#include "tool/overwrite_in_place.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "tool/positioned_io.h"

namespace {

constexpr std::size_t kCopyChunkSize = 1 << 20;

// Holds SIGINT, SIGTERM and SIGHUP back while it lives; they arrive afterwards.
class InterruptsHeld {
 public:
  InterruptsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
    ::pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  ~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t previous_;
};

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes the file, reporting whether that succeeded.
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// Copies length bytes from the start of in to the start of out.
bool copyAll(int in, int out, std::uint64_t length) {
  std::vector<char> buffer(kCopyChunkSize);
  for (std::uint64_t offset = 0; offset < length; offset += buffer.size()) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, buffer.size()));
    if (!readAllAt(in, buffer.data(), size, offset) || !writeAllAt(out, buffer.data(), size, offset)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool overwriteInPlace(int source, const std::filesystem::path& target) {
  const off_t length = ::lseek(source, 0, SEEK_END);
  if (length < 0) return false;
  const InterruptsHeld held;
  Descriptor out(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
  return out.get() >= 0 && copyAll(source, out.get(), static_cast<std::uint64_t>(length)) &&
         ::ftruncate(out.get(), length) == 0 && ::fsync(out.get()) == 0 && out.close();
}

int openScratchFile() {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::temp_directory_path(error);
  if (error) return -1;
  const int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Without unnamed files: a named one, unlinked at once.
  std::string name = (directory / "qz7-XXXXXX").string();
  const int named = ::mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) ::unlink(name.c_str());
  return named;
}
