#include "tool/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "tool/temporary_name.h"

namespace {

[[noreturn]] void throwSystemError(int error, const char* what, const std::string& path) {
  throw std::system_error(error, std::generic_category(), fmt::format("{} {}", what, path));
}

}  // namespace

StagedFile::StagedFile(std::string destination) : destination_(std::move(destination)) {
  struct stat replaced {};
  const bool replacesFile =
      ::lstat(destination_.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode);
  if (replacesFile && ::faccessat(AT_FDCWD, destination_.c_str(), W_OK, AT_EACCESS) != 0) {
    throwSystemError(errno, "cannot write", destination_);
  }

  temporary_ = claimTemporaryName(destination_, [this](const std::string& name) {
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return fd_ >= 0;
  });
  if (temporary_.empty()) throwSystemError(errno, "cannot create", destination_);
  guard_.emplace(temporary_);

  if (replacesFile) {
    // Without the right to give the file away it stays the caller's, and the
    // group's bits, meant for another group, are not carried over.
    const bool keptOwner = ::fchown(fd_, replaced.st_uid, replaced.st_gid) == 0;
    ::fchmod(fd_, replaced.st_mode & (keptOwner ? 0777 : 0707));
  }
}

StagedFile::~StagedFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temporary_.c_str());
}

void StagedFile::write(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throwSystemError(errno, "cannot write", destination_);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

void StagedFile::commit() {
  // A failed close can mean lost bytes, on network file systems for one.
  const int closed = ::close(std::exchange(fd_, -1));
  if (closed != 0) throwSystemError(errno, "cannot write", destination_);
  if (std::rename(temporary_.c_str(), destination_.c_str()) != 0) {
    throwSystemError(errno, "cannot create", destination_);
  }
  committed_ = true;
  guard_.reset();
}
