#include "qz7lib/archive/format.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstring>
#include <string>

#include "qz7lib/archive/errors.h"
#include "support/archive_builder.h"

namespace {

using namespace qz7lib::archive;
using qz7test::buildArchive;
using qz7test::TestEntry;

TEST(ArchiveHeaderTest, ConstructorFillsMagicVersionAndValidHash) {
  ArchiveHeader header(0, 0, kArchiveVersion);
  EXPECT_EQ(std::memcmp(&header, "QZ7ARCV\0", 8), 0);
  EXPECT_EQ(header.flags, 0u);
  EXPECT_EQ(header.version, 1200u);
  EXPECT_EQ(header.fileCount, 0u);
  EXPECT_EQ(header.hash, XXH64(&header, 24, 0));
  EXPECT_TRUE(header.isValid());
}

TEST(ArchiveHeaderTest, EveryCoveredByteAndTheHashItselfAreChecked) {
  const ArchiveHeader original(1, 7, kArchiveVersion);
  for (std::size_t i = 0; i < sizeof(ArchiveHeader); ++i) {
    ArchiveHeader damaged = original;
    reinterpret_cast<unsigned char*>(&damaged)[i] ^= 0x01;
    EXPECT_FALSE(damaged.isValid()) << "byte " << i;
  }
}

TEST(ExtendedHeaderTest, HashCoversBothSizesAndItself) {
  const ExtendedHeader original(16, 304);
  EXPECT_TRUE(original.isValid());
  std::uint32_t sizes[2] = {16, 304};
  EXPECT_EQ(original.hash, XXH64(sizes, 8, 0));
  for (std::size_t i = 0; i < sizeof(ExtendedHeader); ++i) {
    ExtendedHeader damaged = original;
    reinterpret_cast<unsigned char*>(&damaged)[i] ^= 0x80;
    EXPECT_FALSE(damaged.isValid()) << "byte " << i;
  }
}

TEST(ExtendedHeaderTest, DefaultForOldVersionsHasZeroSizesAndIsValid) {
  EXPECT_EQ(defaultExtendedHeader.headerSize, 0u);
  EXPECT_EQ(defaultExtendedHeader.entrySize, 0u);
  EXPECT_TRUE(defaultExtendedHeader.isValid());
}

TEST(DictionaryHeaderTest, ConstructorFillsMagicAndSize) {
  DictionaryHeader header(100);
  EXPECT_EQ(std::memcmp(&header, "KVZDICT\0", 8), 0);
  EXPECT_EQ(header.size, 100u);
}

TEST(ArchiveEntryTest, StartsZeroAndNamesStayInsideTheirField) {
  ArchiveEntry entry{};
  for (std::size_t i = 0; i < sizeof entry; ++i) ASSERT_EQ(reinterpret_cast<char*>(&entry)[i], 0);

  setEntryName(entry, std::string(300, 'a'));
  EXPECT_EQ(entryName(entry), std::string(255, 'a'));
  EXPECT_EQ(entry.name[255], '\0');
  EXPECT_TRUE(hasTerminatedName(entry));

  std::memset(entry.name, 'x', kNameFieldSize);
  EXPECT_FALSE(hasTerminatedName(entry));
  EXPECT_EQ(entryName(entry), std::string(256, 'x'));
}

TEST(BlockPlacementTest, FollowsTheAlignmentRule) {
  EXPECT_EQ(alignBlockOffset(352), 384u);
  EXPECT_EQ(alignBlockOffset(656), 704u);
  EXPECT_EQ(alignBlockOffset(960), 960u);
  EXPECT_EQ(alignBlockOffset(468), 512u);
  EXPECT_EQ(alignBlockOffset(384 + 1000), 1408u);
  EXPECT_EQ(alignBlockOffset(0), 0u);
}

TEST(BlockPlacementTest, ArchiveLayoutsMatchTheFormatExamples) {
  EXPECT_EQ(buildArchive({}).bytes.size(), 48u);

  auto one = buildArchive({{"a", CompressionScheme::none, std::string(10, 'x')}});
  EXPECT_EQ(one.entries[0].startOffset, 384u);
  EXPECT_EQ(one.bytes.size(), 394u);
  EXPECT_EQ(one.bytes.substr(352, 32), std::string(32, '\0'));

  auto two = buildArchive({{"a", CompressionScheme::none, "1"}, {"b", CompressionScheme::none, ""}});
  EXPECT_EQ(two.entries[0].startOffset, 704u);
  // An empty block still gets an aligned offset of its own.
  EXPECT_EQ(two.entries[1].startOffset, 768u);

  auto three = buildArchive({{"a", CompressionScheme::none, ""}, {"b", CompressionScheme::none, ""}, {"c", CompressionScheme::none, ""}});
  EXPECT_EQ(three.entries[0].startOffset, 960u);

  qz7test::ArchiveOptions withDictionary;
  withDictionary.dictionary = std::string(100, 'd');
  auto dict = buildArchive({{"a", CompressionScheme::none, "x"}}, withDictionary);
  EXPECT_EQ(dict.dataOffset, 468u);
  EXPECT_EQ(dict.entries[0].startOffset, 512u);

  auto chained = buildArchive({{"a", CompressionScheme::none, std::string(1000, 'a')},
                               {"b", CompressionScheme::none, "b"}});
  EXPECT_EQ(chained.entries[0].startOffset, 704u);
  EXPECT_EQ(chained.entries[1].startOffset, 1728u);
}

TEST(ArchiveEntryTest, EmptyFileHashesAreTheHashOfNothing) {
  auto built = buildArchive({{"empty", CompressionScheme::none, ""}});
  EXPECT_EQ(built.entries[0].compressedSize, 0u);
  EXPECT_EQ(built.entries[0].compressedHash, XXH64("", 0, 0));
  EXPECT_EQ(built.entries[0].fileHash, XXH64("", 0, 0));
}

TEST(ArchiveErrorsTest, MessagesAndVersionText) {
  EXPECT_STREQ(IncompatibleArchiveVersion(1300, 1200).what(),
               "Unsupported kvz version 1300. Supporting only up to 1200\n");
  EXPECT_STREQ(ArchiveFileAccessError().what(), "QZ7 archive file access error");
  EXPECT_STREQ(ArchiveHeaderReadError().what(), "QZ7 archive header reading failed");
  EXPECT_STREQ(HashCheckFailed().what(), "QZ7 archive hash check failed");
  EXPECT_STREQ(UnknownArchiveType().what(), "Unknown archive type");
  EXPECT_STREQ(ArchiveIndexReadError().what(), "QZ7 archive index reading failed");
  EXPECT_STREQ(ArchiveDictionaryReadError().what(), "QZ7 archive dictionary reading failed");
  EXPECT_STREQ(UnknownDictionaryType().what(), "Unknown dictionary type");
  EXPECT_STREQ(ArchiveEntryReadError().what(), "QZ7 archive entry reading failed");
  EXPECT_STREQ(InsufficientSpace().what(), "Insufficient storage space provided");
  EXPECT_STREQ(CompressionFailed().what(), "Compression failed for given data");
  EXPECT_STREQ(DecompressionFailed().what(), "Decompression failed for given data");
  EXPECT_STREQ(FileTooLarge().what(),
               "Encountered file which is too large for the target compression scheme");
  EXPECT_STREQ(IncompatibleCompressionScheme().what(),
               "Incompatible compression scheme (dictionary provided with no dictionary support)");
  EXPECT_STREQ(UnknownCompressionScheme().what(), "Unknown compression scheme");

  try {
    throw HashCheckFailed();
  } catch (const std::exception&) {
    SUCCEED();
  }
}

}  // namespace
