#include "tool/entry_checks.h"

#include <fmt/format.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::CompressionScheme;

namespace {

// One LZ4 sequence byte yields at most 255 output bytes, and LZ4 addresses
// its output with an int.
constexpr std::uint64_t kLz4MaxExpansion = 255;
constexpr std::uint64_t kLz4MaxOutput = std::numeric_limits<int>::max();

bool hasParentComponent(std::string_view name) {
  while (!name.empty()) {
    const std::size_t slash = name.find('/');
    if (name.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) break;
    name.remove_prefix(slash + 1);
  }
  return false;
}

std::uint64_t lz4Capacity(std::uint64_t compressedSize) {
  if (compressedSize > kLz4MaxOutput / kLz4MaxExpansion) return kLz4MaxOutput;
  return compressedSize * kLz4MaxExpansion;
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

void checkEntrySize(const ArchiveEntry& entry) {
  switch (entry.scheme) {
    case CompressionScheme::none:
      if (entry.uncompressedSize != entry.compressedSize) {
        throw std::runtime_error(fmt::format(
            "uncompressed entry claims {} bytes but stores {}", entry.uncompressedSize,
            entry.compressedSize));
      }
      break;
    case CompressionScheme::lz4:
      if (entry.uncompressedSize > lz4Capacity(entry.compressedSize)) {
        throw std::runtime_error(fmt::format("lz4 entry of {} bytes cannot hold {} bytes",
                                             entry.compressedSize, entry.uncompressedSize));
      }
      break;
    default:
      // zstd frames can expand far more; an allocation that fails is reported by the caller.
      break;
  }
}
