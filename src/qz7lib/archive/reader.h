#pragma once

// Opening archives and reading single entries. Each thread keeps its own map of
// open archive streams, keyed by the archive path text as passed to readFile.

#include <cstddef>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qz7lib/archive/compression.h"
#include "qz7lib/archive/format.h"

namespace qz7lib::archive {

// One opened archive in memory. Movable, not copyable; read-only once returned.
struct ArchiveIndex {
  ArchiveIndex() = default;
  ArchiveIndex(ArchiveIndex&&) = default;
  ArchiveIndex& operator=(ArchiveIndex&&) = default;

  ArchiveHeader header{0, 0, kArchiveVersion};                   // as stored in the file
  ExtendedHeader extendedHeader{kExtendedHeaderSize, kEntrySize};  // defaultExtendedHeader before 1200
  std::vector<ArchiveEntry> entries;                              // header.fileCount records
  std::unique_ptr<DecompressionDictionary> dictionary;           // null without a dictionary block
};

using ArchiveStreamMap = std::unordered_map<std::string, std::ifstream>;

// Opens, checks and loads an archive's headers, index and dictionary.
ArchiveIndex readArchiveIndex(std::string_view path);

// Writes the entry's uncompressed bytes to the front of out; with verify set the
// stored block's hash is checked first.
void readFile(std::string_view archivePath, const ArchiveIndex& index, const ArchiveEntry& entry,
              std::span<std::byte> out, bool verify);

// The reading step of readFile, given the thread's stream map and the dictionary.
void readEntryData(ArchiveStreamMap& streams, std::string_view archivePath,
                   const ArchiveEntry& entry, std::span<std::byte> out, bool verify,
                   const DecompressionDictionary* dictionary);

// The map's stream for archivePath, opened and added on first use.
std::ifstream& getArchiveStream(ArchiveStreamMap& streams, std::string_view archivePath);

}  // namespace qz7lib::archive
