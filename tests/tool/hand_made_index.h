#pragma once

// Index records made by hand, for archives that no writer produces: damaged
// sizes, unknown schemes, numbers too large for real files.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qz7lib/archive/format.h"
#include "support/archive_builder.h"

namespace qz7test {

inline qz7lib::archive::ArchiveEntry makeEntry(std::string_view name, std::uint64_t scheme,
                                               std::uint64_t compressedSize,
                                               std::uint64_t uncompressedSize,
                                               std::uint64_t startOffset,
                                               std::uint64_t compressedHash = 0,
                                               std::uint64_t fileHash = 0) {
  qz7lib::archive::ArchiveEntry entry{};
  qz7lib::archive::setEntryName(entry, name);
  entry.scheme = static_cast<qz7lib::archive::CompressionScheme>(scheme);
  entry.compressedSize = compressedSize;
  entry.uncompressedSize = uncompressedSize;
  entry.startOffset = startOffset;
  entry.compressedHash = compressedHash;
  entry.fileHash = fileHash;
  return entry;
}

// A current-version archive holding exactly these records and no blocks.
inline std::string handMadeArchive(const std::vector<qz7lib::archive::ArchiveEntry>& entries) {
  return layoutArchive(
      qz7lib::archive::ArchiveHeader(0, entries.size(), qz7lib::archive::kArchiveVersion), entries);
}

// An archive of one healthy entry "huge" stored under scheme, whose index
// record claims 2^62 bytes for it, which no allocation can provide.
inline std::string archiveClaimingHugeSize(qz7lib::archive::CompressionScheme scheme) {
  BuiltArchive built = buildArchive({{"huge", scheme, "0123456789"}});
  const std::uint64_t claim = std::uint64_t{1} << 62;
  std::memcpy(built.bytes.data() + built.indexOffset + offsetof(qz7lib::archive::ArchiveEntry, uncompressedSize),
              &claim, sizeof claim);
  return built.bytes;
}

// Lets a sanitizer build report a failed huge allocation as bad_alloc instead
// of aborting (it still prints a warning first); ignored by other builds.
inline const std::vector<std::string> kMayReturnNull = {"ASAN_OPTIONS=allocator_may_return_null=1"};

}  // namespace qz7test
