#pragma once

// The on-disk layout of a qz7 archive, in file order:
//   ArchiveHeader        32 bytes at offset 0
//   ExtendedHeader       16 bytes at offset 32 (version 1200 only)
//   index                fileCount x ArchiveEntry (304 bytes; 296 before 1200)
//   dictionary block     DictionaryHeader + size bytes, when flags bit 0 is set
//   data region          one block per entry in index order, each on a 64-byte boundary
// All integers are little-endian; all hashes are XXH64 with seed 0.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "qz7lib/archive/compression_scheme.h"

namespace qz7lib::archive {

static_assert(std::endian::native == std::endian::little,
              "records are read and written in host byte order, which must be little-endian");

// Version written into every new archive; the highest version the reader accepts.
inline constexpr std::uint32_t kArchiveVersion = 1200;

// First 8 bytes of every archive and of the dictionary block (the zero byte included).
inline constexpr std::array<char, 8> kArchiveMagic = {'Q', 'Z', '7', 'A', 'R', 'C', 'V', '\0'};
inline constexpr std::array<char, 8> kDictionaryMagic = {'K', 'V', 'Z', 'D', 'I', 'C', 'T', '\0'};

inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kExtendedHeaderSize = 16;
inline constexpr std::size_t kEntrySize = 304;
// Archives older than version 1200 have no fileHash field.
inline constexpr std::size_t kLegacyEntrySize = 296;
inline constexpr std::size_t kDictionaryHeaderSize = 16;
// Every stored block starts at a file offset that is a multiple of this.
inline constexpr std::uint64_t kBlockAlignment = 64;
// The name field holds at most 255 name bytes and always a terminating zero.
inline constexpr std::size_t kNameFieldSize = 256;
inline constexpr std::size_t kMaxNameLength = kNameFieldSize - 1;

// Bit 0 of ArchiveHeader::flags: a dictionary block follows the index.
inline constexpr std::uint32_t kFlagHasDictionary = 1;

struct ArchiveHeader {
  ArchiveHeader() = default;
  // Fills in the magic and the hash.
  ArchiveHeader(std::uint32_t flags, std::uint64_t fileCount, std::uint32_t version);

  // XXH64 of the first 24 bytes (magic, flags, version, fileCount).
  std::uint64_t computeHash() const;
  // True when hash matches the bytes; neither magic nor version is tested.
  bool isValid() const;

  std::array<char, 8> magic{};   // kArchiveMagic
  std::uint32_t flags = 0;       // kFlagHasDictionary or 0
  std::uint32_t version = 0;     // format version, kArchiveVersion when written
  std::uint64_t fileCount = 0;   // number of index records
  std::uint64_t hash = 0;        // computeHash() of this header
};

struct ExtendedHeader {
  ExtendedHeader() = default;
  // Fills in the hash.
  ExtendedHeader(std::uint32_t headerSize, std::uint32_t entrySize);

  // XXH64 of the 8 bytes headerSize and entrySize.
  std::uint64_t computeHash() const;
  bool isValid() const;

  std::uint64_t hash = 0;        // computeHash() of this record
  std::uint32_t headerSize = 0;  // size of this record: 16
  std::uint32_t entrySize = 0;   // stride of the index in the file: 304
};

// One index record. Value-initialise it (ArchiveEntry{}) to start with all bytes zero.
struct ArchiveEntry {
  char name[kNameFieldSize];        // relative '/'-separated lower-case ASCII path, zero-padded
  CompressionScheme scheme;         // how the block is stored
  std::uint64_t compressedSize;     // length of the stored block
  std::uint64_t uncompressedSize;   // length of the file
  std::uint64_t startOffset;        // absolute file offset of the block, a multiple of 64
  std::uint64_t compressedHash;     // XXH64 of the stored block
  std::uint64_t fileHash;           // XXH64 of the file's bytes; 0 in archives older than 1200
};

struct DictionaryHeader {
  DictionaryHeader() = default;
  // Fills in the magic.
  explicit DictionaryHeader(std::uint64_t size);

  std::array<char, 8> magic{};  // kDictionaryMagic
  std::uint64_t size = 0;       // number of dictionary bytes that follow
};

static_assert(sizeof(ArchiveHeader) == kHeaderSize);
static_assert(offsetof(ArchiveHeader, flags) == 8);
static_assert(offsetof(ArchiveHeader, version) == 12);
static_assert(offsetof(ArchiveHeader, fileCount) == 16);
static_assert(offsetof(ArchiveHeader, hash) == 24);
static_assert(sizeof(ExtendedHeader) == kExtendedHeaderSize);
static_assert(offsetof(ExtendedHeader, headerSize) == 8);
static_assert(offsetof(ExtendedHeader, entrySize) == 12);
static_assert(sizeof(ArchiveEntry) == kEntrySize);
static_assert(offsetof(ArchiveEntry, scheme) == 256);
static_assert(offsetof(ArchiveEntry, compressedSize) == 264);
static_assert(offsetof(ArchiveEntry, uncompressedSize) == 272);
static_assert(offsetof(ArchiveEntry, startOffset) == 280);
static_assert(offsetof(ArchiveEntry, compressedHash) == 288);
static_assert(offsetof(ArchiveEntry, fileHash) == kLegacyEntrySize);
static_assert(sizeof(DictionaryHeader) == kDictionaryHeaderSize);
static_assert(offsetof(DictionaryHeader, size) == 8);

// Used in place of the extended header for archives older than version 1200:
// both sizes 0, hash valid.
extern const ExtendedHeader defaultExtendedHeader;

// The entry's name: the bytes before the first zero byte, never beyond the field.
std::string_view entryName(const ArchiveEntry& entry);

// False when the name field holds no zero byte, which only a damaged archive has.
bool hasTerminatedName(const ArchiveEntry& entry);

// Copies at most kMaxNameLength bytes of name into the field; the rest stays zero.
void setEntryName(ArchiveEntry& entry, std::string_view name);

// The first offset at or after position that is a multiple of kBlockAlignment.
constexpr std::uint64_t alignBlockOffset(std::uint64_t position) {
  return (position + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
}

}  // namespace qz7lib::archive
