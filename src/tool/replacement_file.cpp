#include "tool/replacement_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <functional>
#include <string_view>
#include <system_error>

#include "tool/overwrite_in_place.h"
#include "tool/temporary_name.h"

namespace {

constexpr int kMaxSymlinkHops = 40;

// The file that the archive name stands for. A symbolic link is followed, even
// one whose target does not exist yet, so that the file it names is replaced and
// the link stays, as when the archive is written in place.
std::filesystem::path targetOf(const std::string& archiveName) {
  std::filesystem::path target = archiveName;
  std::error_code error;
  for (int hops = 0; hops < kMaxSymlinkHops && std::filesystem::is_symlink(target, error); ++hops) {
    const std::filesystem::path link = std::filesystem::read_symlink(target, error);
    if (error) break;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }
  return target;
}

// The process whose temporary name for targetName is name, or 0 when it is none.
pid_t temporaryOwner(const std::string& name, const std::string& targetName) {
  std::string_view rest = name;
  if (!rest.ends_with(".tmp")) return 0;
  rest.remove_suffix(4);
  const std::size_t dot = rest.rfind('.');
  if (dot == std::string_view::npos) return 0;
  const char* end = rest.data() + rest.size();
  pid_t pid = 0;
  int attempt = 0;
  auto parsed = std::from_chars(rest.data() + dot + 1, end, pid);
  if (parsed.ec == std::errc() && parsed.ptr != end && *parsed.ptr == '-') {
    parsed = std::from_chars(parsed.ptr + 1, end, attempt);
  }
  if (parsed.ec != std::errc() || parsed.ptr != end || pid <= 0) return 0;
  // Compared with the name made from the numbers, so that nothing else matches.
  return name == temporaryFileName(targetName, pid, attempt) ? pid : 0;
}

std::string descriptorPath(int fd) { return fmt::format("/proc/self/fd/{}", fd); }

}  // namespace

void removeStaleTemporaries(const std::string& archiveName) {
  const std::filesystem::path target = targetOf(archiveName);
  if (!target.has_filename()) return;
  const std::string targetName = target.filename().string();
  std::error_code error;
  for (std::filesystem::directory_iterator item(directoryOf(target), error), end;
       !error && item != end; item.increment(error)) {
    const pid_t owner = temporaryOwner(item->path().filename().string(), targetName);
    // A process that runs, also one of another user, may still be writing its file.
    if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) ::unlink(item->path().c_str());
  }
}

ReplacementFile::ReplacementFile(const std::string& archiveName) : target_(targetOf(archiveName)) {
  // A name without a file name part ("" or "dir/") cannot be a file.
  if (!target_.has_filename()) return;
  create();
}

ReplacementFile::~ReplacementFile() { discard(); }

void ReplacementFile::create() {
  struct stat old {};
  const bool replacesFile = ::stat(target_.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  // An archive that could not be written in place is not replaced either.
  if (replacesFile && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return;

  // Linked in later through its /proc entry, so that entry must exist.
  fd_ = ::open(directoryOf(target_).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  kind_ = Kind::unnamed;
  if (fd_ >= 0 && ::access(descriptorPath(fd_).c_str(), F_OK) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (fd_ < 0) {
    kind_ = Kind::named;
    temporaryName_ = claimTemporaryName(target_, [this](const std::string& name) {
      fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      return fd_ >= 0;
    });
    if (fd_ >= 0) guard_.emplace(temporaryName_);
  }
  if (fd_ < 0 && errno == EACCES && replacesFile) {
    kind_ = Kind::inPlace;
    fd_ = openScratchFile();
    return;
  }
  if (fd_ >= 0 && replacesFile) {
    // An archive rewritten in place would keep its owner, group and permissions;
    // so does its replacement, as far as the user may set them. The owner
    // first: a change of owner clears the set-user-ID and set-group-ID bits.
    if (::fchown(fd_, old.st_uid, old.st_gid) != 0) ::fchown(fd_, static_cast<uid_t>(-1), old.st_gid);
    ::fchmod(fd_, old.st_mode & 07777);
  }
}

bool ReplacementFile::linkIn() {
  const std::string source = descriptorPath(fd_);
  temporaryName_ = claimTemporaryName(target_, [&source](const std::string& name) {
    return ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
  });
  if (temporaryName_.empty()) return false;
  guard_.emplace(temporaryName_);
  return true;
}

bool ReplacementFile::replaceArchive() {
  if (kind_ == Kind::inPlace) {
    const bool done = fd_ >= 0 && overwriteInPlace(fd_, target_);
    discard();
    return done;
  }
  bool done = fd_ >= 0 && ::fsync(fd_) == 0 && (kind_ != Kind::unnamed || linkIn());
  if (fd_ >= 0 && ::close(fd_) != 0) done = false;
  fd_ = -1;
  if (done && std::rename(temporaryName_.c_str(), target_.c_str()) == 0) {
    temporaryName_.clear();
    guard_.reset();
    return true;
  }
  discard();
  return false;
}

void ReplacementFile::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temporaryName_.empty()) {
    ::unlink(temporaryName_.c_str());
    temporaryName_.clear();
  }
  guard_.reset();
}
