#include "qz7lib/archive/reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <typeindex>
#include <vector>

#include "qz7lib/archive/errors.h"
#include "support/archive_builder.h"
#include "support/temp_dir.h"

namespace {

using namespace qz7lib::archive;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using qz7test::ArchiveOptions;
using qz7test::buildArchive;
using qz7test::TestEntry;

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// Overwrites the bytes at offset with value, as a test damages a stored field.
template <typename T>
void patch(std::string& bytes, std::size_t offset, const T& value) {
  std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// Incompressible-looking but deterministic content.
std::string noise(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

// A few entries, one per scheme without a dictionary, and an empty one.
std::vector<TestEntry> mixedEntries() {
  return {{"docs/readme.txt", CompressionScheme::none, "plain text, stored as is"},
          {"data/table.csv", CompressionScheme::lz4, std::string(3000, 'x') + "tail"},
          {"data/empty", CompressionScheme::lz4, ""},
          {"bin/blob", CompressionScheme::zStd, noise(500, 7) + std::string(500, 'z')}};
}

// The number of descriptors the process holds open.
std::ptrdiff_t openDescriptors() {
  return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

bool sameBytes(const ArchiveEntry& a, const ArchiveEntry& b, std::size_t size = sizeof(ArchiveEntry)) {
  return std::memcmp(&a, &b, size) == 0;
}

class ReaderTest : public ::testing::Test {
 protected:
  // Writes bytes to a fresh file of the test's directory and returns its path.
  std::string write(const std::string& bytes, std::string_view name = "archive.kvz") {
    const std::string path = dir_.file(name);
    qz7test::writeFile(path, bytes);
    return path;
  }

  static std::string read(const std::string& path, const ArchiveIndex& index,
                          const ArchiveEntry& entry, bool verify = true) {
    std::string out(entry.uncompressedSize, '\0');
    readFile(path, index, entry, std::as_writable_bytes(std::span(out)), verify);
    return out;
  }

  qz7test::TempDir dir_;
};

TEST_F(ReaderTest, LoadsTheIndexAsStoredAndReadsEveryEntryBack) {
  const auto entries = mixedEntries();
  const auto built = buildArchive(entries);
  const std::string path = write(built.bytes);

  const ArchiveIndex index = readArchiveIndex(path);
  EXPECT_EQ(std::memcmp(&index.header, built.bytes.data(), kHeaderSize), 0);
  EXPECT_EQ(index.extendedHeader.headerSize, 16u);
  EXPECT_EQ(index.extendedHeader.entrySize, 304u);
  EXPECT_EQ(index.dictionary, nullptr);
  ASSERT_EQ(index.entries.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_TRUE(sameBytes(index.entries[i], built.entries[i])) << entries[i].name;
    EXPECT_EQ(entryName(index.entries[i]), entries[i].name);
    EXPECT_EQ(read(path, index, index.entries[i], true), entries[i].content) << entries[i].name;
    EXPECT_EQ(read(path, index, index.entries[i], false), entries[i].content) << entries[i].name;
  }
}

TEST_F(ReaderTest, ReadsIntoTheFrontOfALargerBufferAndLeavesTheRest) {
  const auto built = buildArchive({{"a", CompressionScheme::none, "abc"}});
  const std::string path = write(built.bytes);
  const ArchiveIndex index = readArchiveIndex(path);

  std::string out(6, '-');
  readFile(path, index, index.entries[0], std::as_writable_bytes(std::span(out)), true);
  EXPECT_EQ(out, "abc---");
}

TEST_F(ReaderTest, EmptyArchiveIsExactly48BytesAndHasNoEntries) {
  const auto built = buildArchive({});
  ASSERT_EQ(built.bytes.size(), 48u);
  const ArchiveIndex index = readArchiveIndex(write(built.bytes));
  EXPECT_EQ(index.header.fileCount, 0u);
  EXPECT_TRUE(index.entries.empty());
  EXPECT_EQ(index.dictionary, nullptr);
}

TEST_F(ReaderTest, OldVersionsHaveNoExtendedHeaderAndShortRecords) {
  const auto entries = mixedEntries();
  for (std::uint32_t version : {1199u, 0u}) {
    SCOPED_TRACE(version);
    ArchiveOptions options;
    options.version = version;
    const auto built = buildArchive(entries, options);
    ASSERT_EQ(built.indexOffset, 32u);
    const std::string path = write(built.bytes, "old" + std::to_string(version) + ".kvz");

    const ArchiveIndex index = readArchiveIndex(path);
    EXPECT_EQ(index.header.version, version);
    EXPECT_EQ(std::memcmp(&index.extendedHeader, &defaultExtendedHeader, sizeof(ExtendedHeader)), 0);
    ASSERT_EQ(index.entries.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_TRUE(sameBytes(index.entries[i], built.entries[i], kLegacyEntrySize));
      EXPECT_EQ(index.entries[i].fileHash, 0u);
      EXPECT_EQ(read(path, index, index.entries[i]), entries[i].content);
    }
  }
}

TEST_F(ReaderTest, CurrentVersionWithOtherEntrySizesKeepsTheStride) {
  const auto entries = mixedEntries();

  // 296-byte records: everything but fileHash, which stays zero.
  ArchiveOptions shortRecords;
  shortRecords.entrySize = 296;
  const auto shortBuilt = buildArchive(entries, shortRecords);
  const std::string shortPath = write(shortBuilt.bytes, "short.kvz");
  const ArchiveIndex shortIndex = readArchiveIndex(shortPath);
  EXPECT_EQ(shortIndex.extendedHeader.entrySize, 296u);
  ASSERT_EQ(shortIndex.entries.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_TRUE(sameBytes(shortIndex.entries[i], shortBuilt.entries[i], kLegacyEntrySize));
    EXPECT_EQ(shortIndex.entries[i].fileHash, 0u);
    EXPECT_EQ(read(shortPath, shortIndex, shortIndex.entries[i]), entries[i].content);
  }

  // 400-byte records: the excess of each is skipped, and the dictionary block
  // behind the index is still found.
  ArchiveOptions longRecords;
  longRecords.entrySize = 400;
  longRecords.dictionary = qz7test::sampleDictionary();
  const std::vector<TestEntry> dictEntries = {
      {"a.json", CompressionScheme::zStdDict, "{\"id\": 1, \"kind\": \"texture\"}"},
      {"b.json", CompressionScheme::zStdDict, "{\"id\": 2, \"kind\": \"texture\"}"}};
  const auto longBuilt = buildArchive(dictEntries, longRecords);
  const std::string longPath = write(longBuilt.bytes, "long.kvz");
  const ArchiveIndex longIndex = readArchiveIndex(longPath);
  ASSERT_NE(longIndex.dictionary, nullptr);
  EXPECT_EQ(longIndex.dictionary->size(), longRecords.dictionary.size());
  for (std::size_t i = 0; i < dictEntries.size(); ++i) {
    EXPECT_TRUE(sameBytes(longIndex.entries[i], longBuilt.entries[i]));
    EXPECT_EQ(read(longPath, longIndex, longIndex.entries[i]), dictEntries[i].content);
  }
}

TEST_F(ReaderTest, DictionaryFlagDecidesWhetherADictionaryBlockIsRead) {
  // Only bit 0 counts; other bits set on an archive without a block are ignored.
  std::string otherBits = buildArchive(mixedEntries()).bytes;
  patch(otherBits, 8, std::uint32_t{0xFFFFFFFE});
  qz7test::rehashHeader(otherBits);
  EXPECT_EQ(readArchiveIndex(write(otherBits)).dictionary, nullptr);

  // A dictionary block may end the file.
  ArchiveOptions withDictionary;
  withDictionary.dictionary = qz7test::sampleDictionary();
  const ArchiveIndex index = readArchiveIndex(write(buildArchive({}, withDictionary).bytes, "d.kvz"));
  ASSERT_NE(index.dictionary, nullptr);
  EXPECT_EQ(index.dictionary->size(), withDictionary.dictionary.size());
}

TEST_F(ReaderTest, DictionaryArchiveReadsDictionaryEntriesAndRefusesOthers) {
  ArchiveOptions options;
  options.dictionary = qz7test::sampleDictionary();
  const std::string json = "{\"id\": 42, \"kind\": \"texture\", \"path\": \"textures/hd/stone_42.png\"}";
  const auto built = buildArchive({{"a.json", CompressionScheme::zStdDict, json},
                                   {"b.json", CompressionScheme::zStd, json},
                                   {"empty", CompressionScheme::zStd, ""}},
                                  options);
  const std::string path = write(built.bytes);
  const ArchiveIndex index = readArchiveIndex(path);

  EXPECT_EQ(read(path, index, index.entries[0]), json);
  EXPECT_THROW(read(path, index, index.entries[1]), IncompatibleCompressionScheme);
  EXPECT_EQ(read(path, index, index.entries[2]), "");  // empty entries are never decoded
}

// Every way an archive's front can be damaged, each with its own exception.
TEST_F(ReaderTest, DamagedArchivesAreRefusedWithTheExceptionOfTheirRegion) {
  const std::string valid = buildArchive(mixedEntries()).bytes;
  const std::size_t indexEnd = 48 + 4 * kEntrySize;
  ArchiveOptions dictionaryOptions;
  dictionaryOptions.dictionary = qz7test::sampleDictionary();
  const std::string withDictionary = buildArchive({}, dictionaryOptions).bytes;

  struct Case {
    std::string what;
    std::string bytes;
    std::type_index expected;
  };
  std::vector<Case> cases;
  auto add = [&](std::string what, std::string bytes, std::type_index expected) {
    cases.push_back({std::move(what), std::move(bytes), expected});
  };
  auto rehashed = [](std::string bytes) {
    qz7test::rehashHeader(bytes);
    return bytes;
  };
  auto withField = [](std::string bytes, std::size_t offset, auto value) {
    patch(bytes, offset, value);
    return bytes;
  };
  // A valid extended header that declares another record size.
  auto withEntrySize = [](std::string bytes, std::uint32_t entrySize) {
    patch(bytes, 32, ExtendedHeader(16, entrySize));
    return bytes;
  };

  add("empty file", "", typeid(ArchiveHeaderReadError));
  add("31 bytes", valid.substr(0, 31), typeid(ArchiveHeaderReadError));
  add("header hash damaged", withField(valid, 24, static_cast<char>(valid[24] ^ 1)), typeid(HashCheckFailed));
  add("file count changed under the old hash", withField(valid, 16, std::uint64_t{3}),
      typeid(HashCheckFailed));
  add("wrong magic under the old hash", withField(valid, 0, 'X'), typeid(HashCheckFailed));
  add("wrong magic, rehashed", rehashed(withField(valid, 0, 'X')), typeid(UnknownArchiveType));
  add("magic without its zero byte, rehashed", rehashed(withField(valid, 7, '!')),
      typeid(UnknownArchiveType));
  add("version 1201", rehashed(withField(valid, 12, std::uint32_t{1201})),
      typeid(IncompatibleArchiveVersion));
  add("version 0xFFFFFFFF", rehashed(withField(valid, 12, std::uint32_t{0xFFFFFFFF})),
      typeid(IncompatibleArchiveVersion));
  add("header only", valid.substr(0, 32), typeid(ArchiveHeaderReadError));
  add("ends inside the extended header", valid.substr(0, 40), typeid(ArchiveHeaderReadError));
  add("extended header sizes damaged", withField(valid, 44, std::uint32_t{305}),
      typeid(HashCheckFailed));
  add("extended header hash damaged", withField(valid, 32, static_cast<char>(valid[32] ^ 1)), typeid(HashCheckFailed));
  add("index cut short", valid.substr(0, indexEnd - 1), typeid(ArchiveIndexReadError));
  add("more records claimed than present",
      rehashed(withField(valid.substr(0, indexEnd), 16, std::uint64_t{5})),
      typeid(ArchiveIndexReadError));
  add("file count that cannot be allocated", rehashed(withField(valid, 16, kMaxU64)),
      typeid(ArchiveIndexReadError));
  add("file count whose index length overflows",
      rehashed(withField(valid, 16, kMaxU64 / kEntrySize + 1)), typeid(ArchiveIndexReadError));
  add("entry size 0", withEntrySize(valid, 0), typeid(ArchiveIndexReadError));
  add("entry size too short for an entry", withEntrySize(valid, 1), typeid(ArchiveIndexReadError));
  add("entry size one short of an old entry", withEntrySize(valid, 295), typeid(ArchiveIndexReadError));
  add("entry size beyond the file", withEntrySize(valid, 0xFFFFFFFF), typeid(ArchiveIndexReadError));
  ArchiveOptions old;
  old.version = 1199;
  add("old index cut short", buildArchive(mixedEntries(), old).bytes.substr(0, 32 + 4 * 296 - 1),
      typeid(ArchiveIndexReadError));
  add("dictionary flag, file ends after the index",
      rehashed(withField(valid.substr(0, indexEnd), 8, kFlagHasDictionary)),
      typeid(ArchiveDictionaryReadError));
  add("dictionary header cut short", withDictionary.substr(0, 48 + 15),
      typeid(ArchiveDictionaryReadError));
  add("wrong dictionary magic", withField(withDictionary, 48, 'X'), typeid(UnknownDictionaryType));
  add("dictionary magic without its zero byte", withField(withDictionary, 55, '!'),
      typeid(UnknownDictionaryType));
  add("dictionary cut short", withDictionary.substr(0, withDictionary.size() - 1),
      typeid(ArchiveDictionaryReadError));
  add("dictionary size that cannot be allocated", withField(withDictionary, 56, kMaxU64),
      typeid(ArchiveDictionaryReadError));
  ArchiveOptions badDictionary;
  // zstd's dictionary magic followed by entropy tables that do not parse.
  badDictionary.dictionary = std::string("\x37\xA4\x30\xEC", 4) + std::string(64, '\xFF');
  add("dictionary zstd cannot digest", buildArchive({}, badDictionary).bytes,
      typeid(std::runtime_error));

  for (const Case& c : cases) {
    const std::string path = write(c.bytes);
    try {
      readArchiveIndex(path);
      ADD_FAILURE() << c.what << ": no exception";
    } catch (const std::exception& e) {
      EXPECT_TRUE(std::type_index(typeid(e)) == c.expected)
          << c.what << ": expected " << c.expected.name() << ", got " << typeid(e).name() << " \""
          << e.what() << "\"";
    }
  }
}

TEST_F(ReaderTest, MessagesOfVersionAndDictionaryFailures) {
  std::string v1201 = buildArchive({}).bytes;
  patch(v1201, 12, std::uint32_t{1201});
  qz7test::rehashHeader(v1201);
  try {
    readArchiveIndex(write(v1201));
    FAIL() << "version 1201 accepted";
  } catch (const IncompatibleArchiveVersion& e) {
    EXPECT_STREQ(e.what(), "Unsupported kvz version 1201. Supporting only up to 1200\n");
  }

  ArchiveOptions badDictionary;
  badDictionary.dictionary = std::string("\x37\xA4\x30\xEC", 4) + std::string(64, '\xFF');
  try {
    readArchiveIndex(write(buildArchive({}, badDictionary).bytes));
    FAIL() << "undigestible dictionary accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Could not load decompression dictionary");
  }
}

TEST_F(ReaderTest, ArchivesThatCannotBeOpened) {
  EXPECT_THROW(readArchiveIndex(dir_.file("missing.kvz")), ArchiveFileAccessError);
  EXPECT_THROW(readArchiveIndex(dir_.path().string()), ArchiveFileAccessError);

  ArchiveIndex index;
  ArchiveEntry entry{};
  entry.uncompressedSize = 1;
  entry.compressedSize = 1;
  std::string out(1, '\0');
  EXPECT_THROW(readFile(dir_.file("missing.kvz"), index, entry,
                        std::as_writable_bytes(std::span(out)), false),
               ArchiveFileAccessError);
  EXPECT_THROW(readFile(dir_.path().string(), index, entry, std::as_writable_bytes(std::span(out)),
                        false),
               ArchiveFileAccessError);

  ArchiveStreamMap streams;
  EXPECT_THROW(getArchiveStream(streams, dir_.file("missing.kvz")), ArchiveFileAccessError);
  EXPECT_TRUE(streams.empty());

  // A named pipe is refused at once instead of waiting for a writer.
  ASSERT_EQ(mkfifo(dir_.file("pipe.kvz").c_str(), 0600), 0);
  EXPECT_THROW(readArchiveIndex(dir_.file("pipe.kvz")), ArchiveFileAccessError);
  EXPECT_THROW(getArchiveStream(streams, dir_.file("pipe.kvz")), ArchiveFileAccessError);
}

TEST_F(ReaderTest, EntryChecksBeforeAnyFileAccess) {
  const auto built = buildArchive({{"empty", CompressionScheme::zStd, ""},
                                   {"full", CompressionScheme::none, "0123456789"}});
  const std::string path = write(built.bytes);
  const ArchiveIndex index = readArchiveIndex(path);
  std::filesystem::remove(path);

  // A zero-size entry needs nothing from the file, not even an empty buffer.
  EXPECT_NO_THROW(readFile(path, index, index.entries[0], {}, true));

  // A buffer one byte short is refused before the (deleted) archive is opened.
  std::string out(9, '-');
  EXPECT_THROW(readFile(path, index, index.entries[1], std::as_writable_bytes(std::span(out)), true),
               InsufficientSpace);
  EXPECT_EQ(out, std::string(9, '-'));

  out.resize(10);
  EXPECT_THROW(readFile(path, index, index.entries[1], std::as_writable_bytes(std::span(out)), true),
               ArchiveFileAccessError);
}

TEST_F(ReaderTest, VerifyCatchesAFlippedBlockByteThatAnUncheckedReadPassesOn) {
  auto built = buildArchive({{"a", CompressionScheme::none, "hello world"}});
  built.bytes[built.entries[0].startOffset + 4] ^= 0x20;  // 'o' -> 'O'
  const std::string path = write(built.bytes);
  const ArchiveIndex index = readArchiveIndex(path);

  EXPECT_THROW(read(path, index, index.entries[0], true), HashCheckFailed);
  EXPECT_EQ(read(path, index, index.entries[0], false), "hellO world");
}

TEST_F(ReaderTest, DamagedBlocksFailTheirReadOnly) {
  const auto entries = mixedEntries();
  auto built = buildArchive(entries);
  // Cut the last block short: the index does not notice, the entry read does.
  built.bytes.pop_back();
  const std::string path = write(built.bytes);
  const ArchiveIndex index = readArchiveIndex(path);
  const ArchiveEntry& cut = index.entries.back();
  const ArchiveEntry& healthy = index.entries[0];

  auto withField = [&](std::uint64_t ArchiveEntry::*field, std::uint64_t value) {
    ArchiveEntry entry = healthy;
    entry.*field = value;
    return entry;
  };
  const std::vector<ArchiveEntry> unreadable = {
      cut,
      withField(&ArchiveEntry::startOffset, built.bytes.size() + 64),
      withField(&ArchiveEntry::startOffset, kMaxU64 - 63),                     // offset + size overflows
      withField(&ArchiveEntry::compressedSize, std::uint64_t{1} << 62),      // cannot be allocated
      withField(&ArchiveEntry::compressedSize, built.bytes.size() - healthy.startOffset + 1)};
  for (std::size_t i = 0; i < unreadable.size(); ++i) {
    EXPECT_THROW(read(path, index, unreadable[i]), ArchiveEntryReadError) << "case " << i;
    // The failed read leaves the thread's stream usable for healthy entries.
    EXPECT_EQ(read(path, index, healthy), entries[0].content) << "after case " << i;
  }

  ArchiveEntry unknownScheme = healthy;
  unknownScheme.scheme = static_cast<CompressionScheme>(7);
  EXPECT_THROW(read(path, index, unknownScheme, false), UnknownCompressionScheme);

  ArchiveEntry garbledLz4 = index.entries[1];
  garbledLz4.startOffset = healthy.startOffset;  // the plain text is no valid LZ4 block for it
  garbledLz4.compressedSize = healthy.compressedSize;
  EXPECT_THROW(read(path, index, garbledLz4, false), DecompressionFailed);
  EXPECT_EQ(read(path, index, index.entries[1]), entries[1].content);
}

TEST_F(ReaderTest, BlocksThatDecodeToAnotherSizeThanTheIndexClaimsAreDamage) {
  const auto entries = mixedEntries();
  const auto built = buildArchive(entries);
  const std::string path = write(built.bytes);
  const ArchiveIndex index = readArchiveIndex(path);

  for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
    for (std::int64_t delta : {-1, 1}) {
      ArchiveEntry entry = index.entries[i];
      entry.uncompressedSize += static_cast<std::uint64_t>(delta);
      // Even a buffer with room to spare must not take more than the entry claims.
      std::string out(entries[i].content.size() + 100, '-');
      EXPECT_THROW(readFile(path, index, entry, std::as_writable_bytes(std::span(out)), true),
                   DecompressionFailed)
          << entries[i].name << " " << delta;
      if (delta < 0) {
        EXPECT_EQ(out.substr(entry.uncompressedSize), std::string(out.size() - entry.uncompressedSize, '-'));
      }
    }
  }
}

TEST_F(ReaderTest, AStreamLeftFailedByAnEarlierReadIsClearedForTheNextOne) {
  const auto built = buildArchive(mixedEntries());
  const std::string path = write(built.bytes);
  const ArchiveIndex index = readArchiveIndex(path);

  ArchiveStreamMap streams;
  getArchiveStream(streams, path).setstate(std::ios::eofbit | std::ios::failbit | std::ios::badbit);
  std::string out(index.entries[0].uncompressedSize, '\0');
  readEntryData(streams, path, index.entries[0], std::as_writable_bytes(std::span(out)), true,
                nullptr);
  EXPECT_EQ(out, mixedEntries()[0].content);
}

TEST_F(ReaderTest, StreamsAreKeptPerPathText) {
  const auto built = buildArchive(mixedEntries());
  const std::string path = write(built.bytes);
  const std::string samePathOtherText = (dir_.path() / "." / "archive.kvz").string();
  const ArchiveIndex index = readArchiveIndex(path);

  ArchiveStreamMap streams;
  std::ifstream& first = getArchiveStream(streams, path);
  EXPECT_EQ(&getArchiveStream(streams, path), &first);

  std::string out(index.entries[1].uncompressedSize, '\0');
  for (const std::string& text : {path, path, samePathOtherText}) {
    readEntryData(streams, text, index.entries[1], std::as_writable_bytes(std::span(out)), true,
                  nullptr);
    EXPECT_EQ(out, mixedEntries()[1].content);
  }
  EXPECT_EQ(streams.size(), 2u);
  EXPECT_EQ(&streams.at(path), &first);
}

// Between an index read and its entry reads the archive's metadata changes, a
// byte-identical file takes its place, or another archive is renamed onto its
// path. Entries are read from whatever file holds the index, the path's or a
// stream's opened before, and otherwise fail with ArchiveFileAccessError: never
// another file's bytes or a hash failure. Reading the index holds no descriptor.
TEST_F(ReaderTest, EntriesAreReadFromAnyFileHoldingTheirIndexAndNoOther) {
  // Two archives of one layout: only the bytes of their blocks differ, so a
  // read through the wrong file would go unnoticed without the hash check.
  const std::string first = buildArchive({{"a", CompressionScheme::none, "first"}}).bytes;
  const std::string other = buildArchive({{"a", CompressionScheme::none, "other"}}).bytes;
  const char* const kUnreachable = nullptr;  // ArchiveFileAccessError

  // Each case returns the index to read entries with, once it has changed the
  // archive at path.
  using Change = std::function<ArchiveIndex(const std::string& path)>;
  auto afterIndexing = [](std::function<void(const std::string&)> change) -> Change {
    return [change](const std::string& path) {
      ArchiveIndex index = readArchiveIndex(path);
      change(path);
      return index;
    };
  };
  auto renameOnto = [](const std::string& path, const std::string& bytes, bool keepTime) {
    const std::string added = path + ".new";
    qz7test::writeFile(added, bytes);
    if (keepTime) fs::last_write_time(added, fs::last_write_time(path));
    fs::rename(added, path);
  };
  struct Case {
    std::string what;
    Change change;
    const char* fresh;  // read through a stream opened after the change
    const char* stale;  // read through a stream opened before it
  };
  const std::vector<Case> cases = {
      {"mode changed", afterIndexing([](auto& path) { fs::permissions(path, fs::perms::owner_read); }),
       "first", "first"},
      {"owner changed", afterIndexing([](auto& path) {
         // Only root may give a file away, and only to a user its namespace maps
         // (not so in one that maps root alone); anyone may give it to themselves.
         int changed = ::chown(path.c_str(), geteuid() == 0 ? 1 : geteuid(), -1);
         if (changed != 0 && errno == EINVAL) changed = ::chown(path.c_str(), geteuid(), -1);
         ASSERT_EQ(changed, 0) << std::strerror(errno);
       }),
       "first", "first"},
      {"modification time changed",
       afterIndexing([](auto& path) { fs::last_write_time(path, fs::last_write_time(path) + 1s); }),
       "first", "first"},
      {"hard link added", afterIndexing([](auto& path) { fs::create_hard_link(path, path + ".link"); }),
       "first", "first"},
      {"moved away and back", afterIndexing([](auto& path) {
         fs::rename(path, path + ".away");
         fs::rename(path + ".away", path);
       }),
       "first", "first"},
      // As an overlay file system copies a file up on a metadata change.
      {"copied onto itself", afterIndexing([&](auto& path) { renameOnto(path, first, true); }),
       "first", "first"},
      {"index read from a byte-identical copy",
       [&](const std::string& path) {
         qz7test::writeFile(path + ".copy", first);
         return readArchiveIndex(path + ".copy");
       },
       "first", "first"},
      {"replaced", afterIndexing([&](auto& path) { renameOnto(path, other, false); }), kUnreachable,
       "first"},
      {"replaced and indexed again",
       [&](const std::string& path) {
         renameOnto(path, other, false);
         return readArchiveIndex(path);
       },
       "other", "other"},
  };

  auto expectRead = [&](const char* expected, const std::string& path, const ArchiveIndex& index,
                        bool verify) {
    if (expected == kUnreachable) {
      EXPECT_THROW(read(path, index, index.entries[0], verify), ArchiveFileAccessError);
      return;
    }
    try {
      EXPECT_EQ(read(path, index, index.entries[0], verify), expected);
    } catch (const std::exception& e) {
      ADD_FAILURE() << typeid(e).name() << " \"" << e.what() << "\"";
    }
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const std::string name = "case" + std::to_string(i) + ".kvz";
    const std::string path = write(first, name);
    // Another text of the same path: a stream of this thread's own.
    const std::string staleText = (dir_.path() / "." / name).string();
    const ArchiveIndex before = readArchiveIndex(staleText);
    ASSERT_EQ(read(staleText, before, before.entries[0]), "first");

    const std::ptrdiff_t descriptors = openDescriptors();
    const ArchiveIndex index = c.change(path);
    EXPECT_EQ(openDescriptors(), descriptors);
    for (bool verify : {false, true}) {
      SCOPED_TRACE(verify ? "verified" : "unverified");
      expectRead(c.fresh, path, index, verify);
      std::thread([&] { expectRead(c.fresh, path, index, verify); }).join();
      expectRead(c.stale, staleText, index, verify);
    }
  }
}

TEST_F(ReaderTest, ConcurrentReadsOfDifferentEntriesReturnTheirOwnBytes) {
  constexpr int kEntries = 40;
  constexpr int kThreads = 6;
  const CompressionScheme schemes[] = {CompressionScheme::none, CompressionScheme::lz4,
                                       CompressionScheme::zStd};
  std::vector<TestEntry> entries;
  for (int i = 0; i < kEntries; ++i) {
    entries.push_back({"file" + std::to_string(i), schemes[i % 3],
                       noise(100 + 97 * i, i) + std::string(200 + i, static_cast<char>('a' + i % 26))});
  }
  const std::string path = write(buildArchive(entries).bytes);
  const ArchiveIndex index = readArchiveIndex(path);

  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int pass = 0; pass < 3; ++pass) {
        for (int k = 0; k < kEntries; ++k) {
          // Each thread starts elsewhere; odd ones walk backwards.
          const int step = t % 2 == 0 ? k : kEntries - 1 - k;
          const int i = (step + 7 * t) % kEntries;
          if (read(path, index, index.entries[i], true) != entries[i].content) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
