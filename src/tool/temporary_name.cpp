#include "tool/temporary_name.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string_view>

using qz7lib::utils::FileDescriptor;

namespace {

constexpr std::size_t kMaxFileNameBytes = 255;
constexpr int kMaxNameAttempts = 100;
constexpr std::string_view kMarker = ".qz7-";
constexpr std::size_t kDigits = 16;
constexpr std::string_view kSuffix = ".tmp";
// What a temporary name adds to the name of its file.
constexpr std::size_t kAddedBytes = kMarker.size() + kDigits + kSuffix.size();
// The most of a file's name that its temporary names keep, so that they fit a
// directory entry.
constexpr std::size_t kKeptNameBytes = kMaxFileNameBytes - kAddedBytes;

// The next 64 random bits for a name: a counter from a random start, mixed
// (splitmix64), so that names differ within a run and between runs without a
// system call per name.
std::uint64_t nextRandom() {
  static std::atomic<std::uint64_t> counter = [] {
    std::uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
      seed = static_cast<std::uint64_t>(::getpid()) ^ static_cast<std::uint64_t>(::time(nullptr)) << 20;
    }
    return seed;
  }();
  std::uint64_t z = counter.fetch_add(0x9e3779b97f4a7c15ULL) + 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// A fresh temporary name for the file named targetName.
std::string temporaryFileName(const std::string& targetName) {
  return fmt::format("{}{}{:016x}{}", keptName(targetName), kMarker, nextRandom(), kSuffix);
}

}  // namespace

bool isTemporaryFileName(std::string_view name) {
  if (name.size() < kAddedBytes || !name.ends_with(kSuffix)) return false;
  const std::string_view added = name.substr(name.size() - kAddedBytes);
  return added.starts_with(kMarker) &&
         std::all_of(added.begin() + kMarker.size(), added.end() - kSuffix.size(), isLowerHex);
}

bool isTemporaryNameFor(std::string_view name, const std::filesystem::path& target) {
  return isTemporaryFileName(name) && keptNameIn(name) == keptName(target.filename().native());
}

std::string_view keptName(std::string_view fileName) { return fileName.substr(0, kKeptNameBytes); }

std::string_view keptNameIn(std::string_view temporaryName) {
  return temporaryName.substr(0, temporaryName.size() - kAddedBytes);
}

std::filesystem::path directoryOf(const std::filesystem::path& target) {
  return target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
}

std::string claimTemporaryName(const std::filesystem::path& target,
                               const std::function<bool(const std::string&)>& make) {
  const std::string targetName = target.filename().string();
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::string name = (directoryOf(target) / temporaryFileName(targetName)).string();
    if (make(name)) return name;
    if (errno != EEXIST) break;
  }
  return {};
}

std::string createTemporaryFile(const std::filesystem::path& target, FileDescriptor& file) {
  return claimTemporaryName(target, [&file](const std::string& name) {
    file = FileDescriptor(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.isOpen()) return false;
    // A cleanup that locked the file between its creation and this lock has
    // removed it, or is removing it: then another name is tried. The lock is
    // not waited for, as the cleanup's run may be stopped while it holds it.
    struct stat status {};
    if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(file.get(), &status) == 0 &&
        status.st_nlink > 0) {
      return true;
    }
    file.reset();
    errno = EEXIST;
    return false;
  });
}

void removeStaleTemporaries(const std::filesystem::path& directory,
                            const std::function<bool(std::string_view name)>& mayRemove) {
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.c_str()), ::closedir);
  if (!listing) return;
  const int directoryFd = ::dirfd(listing.get());
  while (const dirent* item = ::readdir(listing.get())) {
    if (item->d_type != DT_REG && item->d_type != DT_UNKNOWN) continue;
    const std::string name = item->d_name;
    if (!isTemporaryFileName(name) || !mayRemove(name)) continue;
    const FileDescriptor file(
        ::openat(directoryFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    // Unlinked while the lock is held, so a run that creates a file of this
    // name can tell (its lock then finds the file without links).
    struct stat status {};
    if (file.isOpen() && ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(directoryFd, name.c_str(), 0);
    }
  }
}
