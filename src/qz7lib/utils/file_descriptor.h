#pragma once

// An open file descriptor, closed when its owner goes.

#include <unistd.h>

#include <utility>

namespace qz7lib::utils {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  // Takes fd; a negative value holds nothing.
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  bool isOpen() const { return fd_ >= 0; }
  int get() const { return fd_; }

  // Closes the descriptor now, reporting whether the close succeeded: on some
  // file systems a failed close means written bytes were lost.
  bool close() { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; }
  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

}  // namespace qz7lib::utils
