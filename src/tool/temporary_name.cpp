#include "tool/temporary_name.h"

#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr std::size_t kMaxFileNameBytes = 255;
constexpr int kMaxNameAttempts = 100;

}  // namespace

std::string temporaryFileName(const std::string& targetName, pid_t pid, int attempt) {
  const std::string suffix =
      attempt == 0 ? fmt::format(".{}.tmp", pid) : fmt::format(".{}-{}.tmp", pid, attempt);
  return targetName.substr(0, std::min(targetName.size(), kMaxFileNameBytes - suffix.size())) + suffix;
}

std::filesystem::path directoryOf(const std::filesystem::path& target) {
  return target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
}

std::string claimTemporaryName(const std::filesystem::path& target,
                               const std::function<bool(const std::string&)>& make) {
  const std::string targetName = target.filename().string();
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    const std::string name =
        (directoryOf(target) / temporaryFileName(targetName, ::getpid(), attempt)).string();
    if (make(name)) return name;
    if (errno != EEXIST) break;
  }
  return {};
}
