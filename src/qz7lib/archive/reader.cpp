#include "qz7lib/archive/reader.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "qz7lib/archive/archive_file.h"
#include "qz7lib/archive/errors.h"

namespace qz7lib::archive {

namespace {

// Blocks up to this size are allocated without first asking for the file's
// length, which would cost a system call per read: such an allocation is
// harmless, and a block running past the end fails its read. Larger sizes are
// checked against the file's length before anything is allocated.
constexpr std::uint64_t kUncheckedBlockSize = 1 << 20;

// The largest offset a stream can seek to.
constexpr std::uint64_t kMaxStreamOffset = std::numeric_limits<std::streamoff>::max();

// The length of the file behind stream, or nothing when it cannot be sought.
// Leaves the stream positioned at the end.
std::optional<std::uint64_t> fileLength(std::istream& stream) {
  const std::streamoff end = stream.rdbuf()->pubseekoff(0, std::ios::end, std::ios::in);
  if (end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}

// File bytes from position to the end; 0 when the file has shrunk below it.
std::uint64_t bytesAfter(std::uint64_t length, std::uint64_t position) {
  return length > position ? length - position : 0;
}

// Reads exactly size bytes into destination; the caller tests the stream state.
void readBytes(std::istream& stream, void* destination, std::uint64_t size) {
  stream.read(static_cast<char*>(destination), static_cast<std::streamsize>(size));
}

// Reads the index records into index.entries and returns the length of the
// index in the file. available is the number of file bytes from its start.
std::uint64_t readEntries(std::istream& stream, ArchiveIndex& index, std::uint64_t available) {
  const std::uint64_t count = index.header.fileCount;
  // Older archives always use 296-byte records and carry no entry size.
  const std::uint64_t stride =
      index.header.version == kArchiveVersion ? index.extendedHeader.entrySize : kLegacyEntrySize;
  // The records must fit in the file before they are allocated. A record too
  // short to hold an entry's fields describes nothing, and it would make the
  // index in memory up to 304 times the size of the file.
  if (count > 0 && (stride < kLegacyEntrySize || count > available / stride)) {
    throw ArchiveIndexReadError();
  }

  index.entries.resize(count);  // value-initialised: all bytes zero
  if (stride == kEntrySize) {
    readBytes(stream, index.entries.data(), count * kEntrySize);
  } else {
    // Read whole, then record by record: a record takes at most its 304 bytes,
    // the rest of a shorter one stays zero and the excess of a longer one is
    // dropped.
    std::vector<char> records(count * stride);
    readBytes(stream, records.data(), records.size());
    const std::uint64_t kept = std::min<std::uint64_t>(stride, kEntrySize);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::memcpy(&index.entries[i], records.data() + i * stride, kept);
    }
  }
  if (!stream.good()) throw ArchiveIndexReadError();
  return count * stride;
}

// Reads the dictionary block. available is the number of file bytes from its start.
std::unique_ptr<DecompressionDictionary> readDictionary(std::istream& stream,
                                                        std::uint64_t available) {
  DictionaryHeader header;
  readBytes(stream, &header, sizeof header);
  if (!stream.good()) throw ArchiveDictionaryReadError();
  if (header.magic != kDictionaryMagic) throw UnknownDictionaryType();
  if (header.size > bytesAfter(available, sizeof header)) {
    throw ArchiveDictionaryReadError();
  }

  std::vector<char> bytes(header.size);
  readBytes(stream, bytes.data(), bytes.size());
  if (!stream.good()) throw ArchiveDictionaryReadError();
  return std::make_unique<DecompressionDictionary>(bytes);
}

// Open archive streams of the calling thread, closed when the thread ends.
ArchiveStreamMap& threadStreams() {
  thread_local ArchiveStreamMap streams;
  return streams;
}

// The thread's stream for archivePath when it reads the indexed file. Otherwise
// the path is opened again, and when it now holds the indexed file, the new
// stream takes the old one's place in the map. When it does not, the indexed
// file cannot be reached: ArchiveFileAccessError, rather than another file's
// bytes under the index's offsets.
std::ifstream& indexedArchiveStream(ArchiveStreamMap& streams, std::string_view archivePath,
                                    const utils::FileIdentity& indexed) {
  std::ifstream& stream = getArchiveStream(streams, archivePath);
  if (archiveFileIdentity(stream) == indexed) return stream;
  std::string key(archivePath);
  std::ifstream reopened = openArchiveFile(key);
  if (archiveFileIdentity(reopened) != indexed) throw ArchiveFileAccessError();
  streams.erase(key);
  return streams.emplace(std::move(key), std::move(reopened)).first->second;
}

// Reads the entry's stored block from stream, tests its hash when verify is set
// and checks that it can decode to the size the entry claims, so that the
// caller may allocate that size.
StoredBlock readCheckedBlock(std::ifstream& stream, const ArchiveEntry& entry, bool verify) {
  // A failed read of a damaged entry must not fail later reads of healthy ones.
  stream.clear();

  if (entry.startOffset > kMaxStreamOffset) throw ArchiveEntryReadError();
  if (entry.compressedSize > kUncheckedBlockSize) {
    // A large block must lie inside the file before its buffer is allocated.
    const std::optional<std::uint64_t> length = fileLength(stream);
    if (!length || entry.startOffset > *length ||
        entry.compressedSize > *length - entry.startOffset) {
      throw ArchiveEntryReadError();
    }
  }
  // Every byte is overwritten by the read, so the buffer is not zero-filled.
  StoredBlock block{std::make_unique_for_overwrite<std::byte[]>(entry.compressedSize),
                    static_cast<std::size_t>(entry.compressedSize)};

  stream.seekg(static_cast<std::streamoff>(entry.startOffset));
  if (!stream.good()) throw ArchiveEntryReadError();
  readBytes(stream, block.bytes.get(), block.size);
  if (!stream.good()) throw ArchiveEntryReadError();

  if (verify && XXH64(block.bytes.get(), block.size, 0) != entry.compressedHash) {
    throw HashCheckFailed();
  }
  checkDecodedSize(block.span(), entry.uncompressedSize, entry.scheme);
  return block;
}

// Decodes block into the front of out. The index is not covered by a hash: a
// block that decodes to another length than the entry claims is damage, not a
// short or padded file.
void decodeBlock(const StoredBlock& block, const ArchiveEntry& entry, std::span<std::byte> out,
                 const DecompressionDictionary* dictionary) {
  const std::size_t expected = static_cast<std::size_t>(
      std::min<std::uint64_t>(entry.uncompressedSize, out.size()));
  if (decompress(block.span(), out.first(expected), entry.scheme, dictionary) !=
      entry.uncompressedSize) {
    throw DecompressionFailed();
  }
}

}  // namespace

ArchiveIndex readArchiveIndex(std::string_view path) {
  ArchiveIndex index;
  std::string key(path);
  // Unbuffered, as the thread keeps it for reading entries: the index is read
  // in a few whole regions.
  std::ifstream stream = openArchiveFile(key);
  index.file = archiveFileIdentity(stream);
  const std::optional<std::uint64_t> length = fileLength(stream);
  if (!length) throw ArchiveFileAccessError();
  stream.seekg(0);

  readBytes(stream, &index.header, sizeof index.header);
  if (!stream.good()) throw ArchiveHeaderReadError();
  // The hash comes first: a damaged magic under a stale hash is a hash failure.
  if (index.header.hash != index.header.computeHash()) throw HashCheckFailed();
  if (index.header.magic != kArchiveMagic) throw UnknownArchiveType();
  if (index.header.version > kArchiveVersion) {
    throw IncompatibleArchiveVersion(index.header.version, kArchiveVersion);
  }

  std::uint64_t position = kHeaderSize;
  index.extendedHeader = defaultExtendedHeader;
  if (index.header.version == kArchiveVersion) {
    readBytes(stream, &index.extendedHeader, sizeof index.extendedHeader);
    if (!stream.good()) throw ArchiveHeaderReadError();
    if (index.extendedHeader.hash != index.extendedHeader.computeHash()) throw HashCheckFailed();
    position += kExtendedHeaderSize;
  }

  position += readEntries(stream, index, bytesAfter(*length, position));

  if ((index.header.flags & kFlagHasDictionary) != 0) {
    index.dictionary = readDictionary(stream, bytesAfter(*length, position));
  }
  // The calling thread reads the entries from the very file it indexed, even
  // when another file is renamed onto the path before its first read.
  threadStreams().insert_or_assign(std::move(key), std::move(stream));
  return index;
}

void readFile(std::string_view archivePath, const ArchiveIndex& index, const ArchiveEntry& entry,
              std::span<std::byte> out, bool verify) {
  if (entry.uncompressedSize == 0) return;
  if (out.size() < entry.uncompressedSize) throw InsufficientSpace();
  decodeStoredBlock(readStoredBlock(archivePath, index, entry, verify), index, entry, out);
}

StoredBlock readStoredBlock(std::string_view archivePath, const ArchiveIndex& index,
                            const ArchiveEntry& entry, bool verify) {
  if (entry.uncompressedSize == 0) return {};
  return readCheckedBlock(indexedArchiveStream(threadStreams(), archivePath, index.file), entry,
                          verify);
}

void decodeStoredBlock(const StoredBlock& block, const ArchiveIndex& index,
                       const ArchiveEntry& entry, std::span<std::byte> out) {
  if (entry.uncompressedSize == 0) return;
  decodeBlock(block, entry, out, index.dictionary.get());
}

void readEntryData(ArchiveStreamMap& streams, std::string_view archivePath,
                   const ArchiveEntry& entry, std::span<std::byte> out, bool verify,
                   const DecompressionDictionary* dictionary) {
  decodeBlock(readCheckedBlock(getArchiveStream(streams, archivePath), entry, verify), entry, out,
              dictionary);
}

std::ifstream& getArchiveStream(ArchiveStreamMap& streams, std::string_view archivePath) {
  std::string key(archivePath);
  if (auto found = streams.find(key); found != streams.end()) return found->second;
  std::ifstream stream = openArchiveFile(key);
  return streams.emplace(std::move(key), std::move(stream)).first->second;
}

}  // namespace qz7lib::archive
