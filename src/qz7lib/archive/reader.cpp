#include "qz7lib/archive/reader.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "qz7lib/archive/archive_file.h"
#include "qz7lib/archive/errors.h"
#include "qz7lib/utils/regular_file.h"

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

// Reads exactly size bytes into destination; the caller tests the stream state.
void readBytes(std::istream& stream, void* destination, std::uint64_t size) {
  stream.read(static_cast<char*>(destination), static_cast<std::streamsize>(size));
}

using HashState = std::unique_ptr<XXH64_state_t, XXH_errorcode (*)(XXH64_state_t*)>;

// A streaming XXH64 with seed 0.
HashState newHashState() {
  HashState state(XXH64_createState(), XXH64_freeState);
  XXH64_reset(state.get(), 0);
  return state;
}

// An archive file while its index is read, from its start on. Every byte read
// is hashed, so that the index records which bytes it was read from.
class IndexFile {
 public:
  explicit IndexFile(std::string_view path) : file_(std::string(path)) {
    if (!file_.isOpen()) throw ArchiveFileAccessError();
  }

  const utils::FileIdentity& identity() const { return file_.identity(); }
  // Bytes of the file, at its length when opened, after those read.
  std::uint64_t remaining() const { return file_.size() > read_ ? file_.size() - read_ : 0; }
  IndexBytes bytesRead() const { return {read_, XXH64_digest(hash_.get())}; }

  // Reads exactly size bytes into destination; false when the file ends first.
  bool read(void* destination, std::uint64_t size) {
    if (!file_.readExactly({static_cast<char*>(destination), static_cast<std::size_t>(size)})) {
      return false;
    }
    XXH64_update(hash_.get(), destination, static_cast<std::size_t>(size));
    read_ += size;
    return true;
  }

 private:
  utils::RegularFile file_;
  const HashState hash_ = newHashState();
  std::uint64_t read_ = 0;
};

// Reads the index records into index.entries.
void readEntries(IndexFile& file, ArchiveIndex& index) {
  const std::uint64_t count = index.header.fileCount;
  // Older archives always use 296-byte records and carry no entry size.
  const std::uint64_t stride =
      index.header.version == kArchiveVersion ? index.extendedHeader.entrySize : kLegacyEntrySize;
  // The records must fit in the file before they are allocated. A record too
  // short to hold an entry's fields describes nothing, and it would make the
  // index in memory up to 304 times the size of the file.
  if (count > 0 && (stride < kLegacyEntrySize || count > file.remaining() / stride)) {
    throw ArchiveIndexReadError();
  }

  index.entries.resize(count);  // value-initialised: all bytes zero
  if (stride == kEntrySize) {
    if (!file.read(index.entries.data(), count * kEntrySize)) throw ArchiveIndexReadError();
    return;
  }
  // Read whole, then record by record: a record takes at most its 304 bytes,
  // the rest of a shorter one stays zero and the excess of a longer one is
  // dropped.
  std::vector<char> records(count * stride);
  if (!file.read(records.data(), records.size())) throw ArchiveIndexReadError();
  const std::uint64_t kept = std::min<std::uint64_t>(stride, kEntrySize);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::memcpy(&index.entries[i], records.data() + i * stride, kept);
  }
}

// Reads the dictionary block.
std::unique_ptr<DecompressionDictionary> readDictionary(IndexFile& file) {
  DictionaryHeader header;
  if (!file.read(&header, sizeof header)) throw ArchiveDictionaryReadError();
  if (header.magic != kDictionaryMagic) throw UnknownDictionaryType();
  if (header.size > file.remaining()) throw ArchiveDictionaryReadError();

  std::vector<char> bytes(header.size);
  if (!file.read(bytes.data(), bytes.size())) throw ArchiveDictionaryReadError();
  return std::make_unique<DecompressionDictionary>(bytes);
}

// Open archive streams of the calling thread, closed when the thread ends.
ArchiveStreamMap& threadStreams() {
  thread_local ArchiveStreamMap streams;
  return streams;
}

// Whether the stream's file starts with bytes: reads and hashes them.
bool startsWith(std::istream& stream, const IndexBytes& bytes) {
  stream.clear();
  stream.seekg(0);
  const HashState hash = newHashState();
  std::vector<char> chunk(std::min<std::uint64_t>(bytes.length, 1 << 16));
  for (std::uint64_t left = bytes.length; left > 0;) {
    const std::uint64_t size = std::min<std::uint64_t>(left, chunk.size());
    readBytes(stream, chunk.data(), size);
    if (!stream.good()) return false;
    XXH64_update(hash.get(), chunk.data(), static_cast<std::size_t>(size));
    left -= size;
  }
  return XXH64_digest(hash.get()) == bytes.hash;
}

// Whether the stream's file holds the bytes of index: at once when it is the
// file the index was read from, or was found to hold them before; otherwise by
// reading them, once for the stream.
bool holdsIndex(std::ifstream& stream, const ArchiveIndex& index) {
  KnownArchiveFile known = knownArchiveFile(stream);
  if (known.identity == index.file || known.holds == *index.indexBytes) return true;
  if (!startsWith(stream, *index.indexBytes)) return false;
  known.holds = *index.indexBytes;
  rememberArchiveFile(stream, known);
  return true;
}

// The thread's stream for archivePath when its file holds the index, which an
// index the caller built does without. Otherwise the path is opened once more
// in its place, for a stream opened before the archive was replaced; when that
// file does not hold the index either, the indexed file cannot be reached:
// ArchiveFileAccessError, rather than another file's bytes under the index's
// offsets.
std::ifstream& indexedArchiveStream(ArchiveStreamMap& streams, std::string_view archivePath,
                                    const ArchiveIndex& index) {
  std::ifstream& stream = getArchiveStream(streams, archivePath);
  if (!index.indexBytes || holdsIndex(stream, index)) return stream;
  stream = openArchiveFile(std::string(archivePath));
  if (!holdsIndex(stream, index)) throw ArchiveFileAccessError();
  return stream;
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
  // Read through a plain descriptor in a few whole regions, and closed on return.
  IndexFile file(path);
  index.file = file.identity();

  if (!file.read(&index.header, sizeof index.header)) throw ArchiveHeaderReadError();
  // The hash comes first: a damaged magic under a stale hash is a hash failure.
  if (index.header.hash != index.header.computeHash()) throw HashCheckFailed();
  if (index.header.magic != kArchiveMagic) throw UnknownArchiveType();
  if (index.header.version > kArchiveVersion) {
    throw IncompatibleArchiveVersion(index.header.version, kArchiveVersion);
  }

  index.extendedHeader = defaultExtendedHeader;
  if (index.header.version == kArchiveVersion) {
    if (!file.read(&index.extendedHeader, sizeof index.extendedHeader)) {
      throw ArchiveHeaderReadError();
    }
    if (index.extendedHeader.hash != index.extendedHeader.computeHash()) throw HashCheckFailed();
  }

  readEntries(file, index);
  if ((index.header.flags & kFlagHasDictionary) != 0) index.dictionary = readDictionary(file);
  index.indexBytes = file.bytesRead();
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
  return readCheckedBlock(indexedArchiveStream(threadStreams(), archivePath, index), entry, verify);
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
