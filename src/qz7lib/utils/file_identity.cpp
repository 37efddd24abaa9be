#include "qz7lib/utils/file_identity.h"

namespace qz7lib::utils {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

}  // namespace

FileIdentity fileIdentity(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::uint64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * kNanosecondsPerSecond +
              status.st_mtim.tv_nsec};
}

}  // namespace qz7lib::utils
