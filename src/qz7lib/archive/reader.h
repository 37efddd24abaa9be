#pragma once

// Opening archives and reading single entries. Each thread keeps its own map of
// open archive streams, keyed by the archive path text as passed to readFile.
// Entries of an index that readArchiveIndex returned are read only from a file
// that holds the very bytes the index was read from: when another file has
// taken its place under the path (an update replaces an archive by renaming a
// new one onto it), a thread whose stream still reads the indexed file goes on
// reading it, a stream opened before the replacement is reopened for an index
// of the new file, and any other read fails with ArchiveFileAccessError.

#include <cstddef>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qz7lib/archive/archive_file.h"
#include "qz7lib/archive/compression.h"
#include "qz7lib/archive/format.h"
#include "qz7lib/utils/file_identity.h"

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
  // Where readArchiveIndex read it from. An index the caller built has no
  // bytes, and its entries are read from whatever file the path names.
  utils::FileIdentity file;              // the file, as of its opening; all zero when built
  std::optional<IndexBytes> indexBytes;  // the bytes read, header through dictionary block
};

using ArchiveStreamMap = std::unordered_map<std::string, std::ifstream>;

// Opens, checks and loads an archive's headers, index and dictionary. The file
// is open only during the call.
ArchiveIndex readArchiveIndex(std::string_view path);

// Writes the entry's uncompressed bytes to the front of out; with verify set the
// stored block's hash is checked first. The same as decodeStoredBlock of
// readStoredBlock, after testing that out can hold the entry.
void readFile(std::string_view archivePath, const ArchiveIndex& index, const ArchiveEntry& entry,
              std::span<std::byte> out, bool verify);

// An entry's stored block as read from its archive.
struct StoredBlock {
  std::unique_ptr<std::byte[]> bytes;
  std::size_t size = 0;

  std::span<const std::byte> span() const { return {bytes.get(), size}; }
};

// The first half of readFile, for callers that allocate the output only once
// the claimed size is known to be possible: reads the entry's stored block
// through the calling thread's stream for archivePath, tests its hash when
// verify is set, and checks with checkDecodedSize that it can decode to the
// entry's uncompressedSize. An entry of size 0 needs nothing from the archive.
StoredBlock readStoredBlock(std::string_view archivePath, const ArchiveIndex& index,
                            const ArchiveEntry& entry, bool verify);

// The second half: decodes the block into the front of out. DecompressionFailed
// when it does not decode to exactly the entry's uncompressedSize bytes within out.
void decodeStoredBlock(const StoredBlock& block, const ArchiveIndex& index,
                       const ArchiveEntry& entry, std::span<std::byte> out);

// The reading step of readFile, given the thread's stream map and the
// dictionary; it reads whatever file the map's stream for archivePath reads.
void readEntryData(ArchiveStreamMap& streams, std::string_view archivePath,
                   const ArchiveEntry& entry, std::span<std::byte> out, bool verify,
                   const DecompressionDictionary* dictionary);

// The map's stream for archivePath, opened and added on first use.
std::ifstream& getArchiveStream(ArchiveStreamMap& streams, std::string_view archivePath);

}  // namespace qz7lib::archive
