// The info command: prints an archive's header, statistics and index.

#include <args.hxx>

#include <array>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <string>

#include "tool/commands.h"

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveIndex;
using qz7lib::archive::CompressionScheme;

namespace {

// The fileHash field exists from this version on.
constexpr std::uint32_t kFileHashVersion = qz7lib::archive::kArchiveVersion;

constexpr std::array<CompressionScheme, 4> kSchemes = {
    CompressionScheme::none, CompressionScheme::lz4, CompressionScheme::zStd,
    CompressionScheme::zStdDict};

struct IndexStats {
  std::array<std::uint32_t, kSchemes.size()> schemeCounts{};
  std::uint64_t compressedTotal = 0;    // wraps modulo 2^64, like the sizes it sums
  std::uint64_t uncompressedTotal = 0;
};

IndexStats collectStats(const ArchiveIndex& index) {
  IndexStats stats;
  for (const ArchiveEntry& entry : index.entries) {
    const auto scheme = static_cast<std::uint64_t>(entry.scheme);
    // Codes outside the four schemes only occur in damaged archives; they are
    // shown in the table but not counted.
    if (scheme < kSchemes.size()) ++stats.schemeCounts[scheme];
    stats.compressedTotal += entry.compressedSize;
    stats.uncompressedTotal += entry.uncompressedSize;
  }
  return stats;
}

// Compressed size as a whole percentage of the uncompressed size, rounded down.
// The product is taken in 128 bits so that huge totals of a damaged index give
// the true quotient instead of a wrapped one.
double compressionRatio(const IndexStats& stats) {
  if (stats.uncompressedTotal == 0) return 0;
  const unsigned __int128 percent =
      static_cast<unsigned __int128>(stats.compressedTotal) * 100 / stats.uncompressedTotal;
  return static_cast<double>(percent);
}

void printEntryTable(const ArchiveIndex& index) {
  const bool hasFileHash = index.header.version >= kFileHashVersion;
  std::cout << "-----------\n";
  std::cout << std::setw(32) << "file name" << std::setw(10) << "scheme" << std::setw(12)
            << "comp size" << std::setw(12) << "uncomp size" << std::setw(14) << "start offset"
            << std::setw(17) << "comp hash";
  if (hasFileHash) std::cout << std::setw(17) << "file hash";
  std::cout << "\n";

  for (const ArchiveEntry& entry : index.entries) {
    // entryName stops at the field's end when a damaged name has no NUL.
    std::cout << std::setw(32) << qz7lib::archive::entryName(entry) << std::setw(10)
              << qz7lib::archive::compressionSchemeName(entry.scheme) << std::setw(12)
              << entry.compressedSize << std::setw(12) << entry.uncompressedSize << std::setw(14)
              << entry.startOffset << std::hex << std::setw(17) << entry.compressedHash;
    if (hasFileHash) std::cout << std::setw(17) << entry.fileHash;
    std::cout << std::dec << "\n";
  }
}

}  // namespace

void infoCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::Flag verbose(parser, "verbose", "Show detailed information", {'v', "verbose"});
  parser.Parse();
  printArchiveInfo(args::get(archiveFn), verbose);
}

void printArchiveInfo(std::string archivePath, bool verbose) {
  const ArchiveIndex index = openArchiveOrExit(archivePath);

  std::cout << "QZ7 archive " << archivePath << ": " << index.header.fileCount << " files, v"
            << index.header.version << "\n";
  if (index.header.version >= kFileHashVersion) {
    std::cout << "Extended header available: " << index.extendedHeader.headerSize << " bytes, "
              << index.extendedHeader.entrySize << " bytes per index entry\n";
  }

  const IndexStats stats = collectStats(index);
  std::cout << "compression stats: ";
  for (std::size_t i = 0; i < kSchemes.size(); ++i) {
    std::cout << qz7lib::archive::compressionSchemeName(kSchemes[i]) << ":"
              << static_cast<std::int32_t>(stats.schemeCounts[i]) << " ";
  }
  std::cout << "\n";

  std::cout << "  compressed size: " << std::setw(10) << stats.compressedTotal << " ("
            << compressionRatio(stats) << "%) \n";
  std::cout << "uncompressed size: " << std::setw(10) << stats.uncompressedTotal << "\n";

  if (index.dictionary) {
    std::cout << "Has dictionary, " << index.dictionary->size() << " bytes\n";
  } else {
    std::cout << "No dictionary\n";
  }

  if (verbose) printEntryTable(index);
}
