#include "tool/entry_checks.h"

#include <stdexcept>
#include <string_view>

using qz7lib::archive::ArchiveEntry;

namespace {

bool hasParentComponent(std::string_view name) {
  while (!name.empty()) {
    const std::size_t slash = name.find('/');
    if (name.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) break;
    name.remove_prefix(slash + 1);
  }
  return false;
}

}  // namespace

void checkEntryName(const ArchiveEntry& entry) {
  if (!qz7lib::archive::hasTerminatedName(entry)) {
    throw std::runtime_error("entry name is not terminated within its 256 bytes");
  }
  const std::string_view name = qz7lib::archive::entryName(entry);
  if (name.empty()) throw std::runtime_error("entry name is empty");
  if (name.front() == '/') {
    throw std::runtime_error("entry name is an absolute path; only relative paths are extracted");
  }
  if (hasParentComponent(name)) {
    throw std::runtime_error(
        "entry name contains \"..\"; nothing is written outside the current directory");
  }
}
