#pragma once

#include <cstdint>

namespace qz7lib::archive {

// How one entry's block is stored. The code is written unchanged into
// ArchiveEntry::scheme; values above zStdDict only occur in damaged archives.
enum class CompressionScheme : std::uint64_t {
  none = 0,      // the file's bytes unchanged
  lz4 = 1,       // one raw LZ4 block (LZ4_compress_HC, level 12), no frame
  zStd = 2,      // one zstd frame at level 22 without dictionary
  zStdDict = 3,  // one zstd frame made with the archive's dictionary
};

// "none", "lz4", "zStd", "zStdDict", or "unknown" for any other code.
const char* compressionSchemeName(CompressionScheme scheme);

}  // namespace qz7lib::archive
