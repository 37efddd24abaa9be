#pragma once

// Builds archive files byte by byte for tests, independently of the tool's writer,
// so that tests can also produce old versions and damaged archives.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qz7lib/archive/format.h"

namespace qz7test {

struct TestEntry {
  std::string name;
  qz7lib::archive::CompressionScheme scheme = qz7lib::archive::CompressionScheme::none;
  std::string content;
};

struct BuiltArchive {
  std::string bytes;                                   // the whole archive file
  std::vector<qz7lib::archive::ArchiveEntry> entries;  // the index as written
  std::uint64_t indexOffset = 0;                       // where the index starts
  std::uint64_t dataOffset = 0;                        // first byte after index / dictionary
};

struct ArchiveOptions {
  std::uint32_t version = qz7lib::archive::kArchiveVersion;
  // Written as the dictionary block when non-empty (or when forceDictionaryFlag is set);
  // zStdDict entries are compressed with it.
  std::string dictionary;
  bool forceDictionaryFlag = false;
  // Version 1200 only: the entrySize written into the extended header and used
  // as the index stride. Shorter records are cut, longer ones padded with 0xEE.
  std::optional<std::uint32_t> entrySize;
};

// Compresses each entry's content under its scheme and lays out the archive by
// the format's placement rule. Versions below 1200 get no extended header and
// 296-byte records.
BuiltArchive buildArchive(const std::vector<TestEntry>& entries, const ArchiveOptions& options = {});

// Same, written to path.
BuiltArchive writeArchive(const std::string& path, const std::vector<TestEntry>& entries,
                          const ArchiveOptions& options = {});

// Lays out pre-made index records and blocks (for damaged archives): the records'
// offsets are taken as given, blocks are written at them.
std::string layoutArchive(const qz7lib::archive::ArchiveHeader& header,
                          const std::vector<qz7lib::archive::ArchiveEntry>& entries);

// Rewrites the hash of the header stored at the front of bytes after a test changed it.
void rehashHeader(std::string& bytes);

// A zstd dictionary trained from generated samples (a few KiB), for dictionary tests.
std::string sampleDictionary();

}  // namespace qz7test
