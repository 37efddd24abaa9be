// The verify command through the binary: hash checks of every entry, the
// comparison with files on disk, and damaged indexes.

#include <gmock/gmock.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "support/archive_builder.h"
#include "tool/hand_made_index.h"
#include "tool/tool_test.h"

namespace qz7test {
namespace {

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::CompressionScheme;
using testing::EndsWith;
using testing::HasSubstr;
using testing::StartsWith;

constexpr const char* kSuccess = "Archive a.qz7 verified successfully.\n";

class VerifyTest : public ToolTest {
 protected:
  // Three entries under different schemes.
  BuiltArchive writeThree() const {
    return writeArchive(path("a.qz7"),
                        {{"a.txt", CompressionScheme::none, "alpha"},
                         {"dir/b.txt", CompressionScheme::lz4, std::string(5000, 'b')},
                         {"c.txt", CompressionScheme::zStd, std::string(3000, 'c')}});
  }
  // Writes the archive's entries as files on disk with their contents.
  void writeSameFiles() const {
    write("a.txt", "alpha");
    write("dir/b.txt", std::string(5000, 'b'));
    write("c.txt", std::string(3000, 'c'));
  }
  // Writes the built archive with one byte of an entry's block flipped.
  void writeDamaged(BuiltArchive built, std::size_t entry) const {
    built.bytes[built.entries[entry].startOffset] ^= 0x55;
    write("a.qz7", built.bytes);
  }
};

TEST_F(VerifyTest, EmptyArchiveVerifies) {
  writeArchive(path("a.qz7"), {});
  EXPECT_RUN(run({"verify", "a.qz7"}), 0, kSuccess, "");
  EXPECT_RUN(run({"verify", "-c", "a.qz7"}), 0, kSuccess, "");
}

TEST_F(VerifyTest, EverySchemeVerifies) {
  writeThree();
  EXPECT_RUN(run({"verify", "a.qz7"}), 0, kSuccess, "");

  ArchiveOptions options;
  options.dictionary = sampleDictionary();
  writeArchive(path("d.qz7"), {{"x.json", CompressionScheme::zStdDict, "{\"id\": 1}"}}, options);
  EXPECT_RUN(run({"verify", "d.qz7"}), 0, "Archive d.qz7 verified successfully.\n", "");
}

TEST_F(VerifyTest, StopsAtTheFirstDamagedEntryAndStillSucceeds) {
  BuiltArchive built = writeThree();
  writeDamaged(built, 2);
  EXPECT_RUN(run({"verify", "a.qz7"}), 0, "",
             "Error verifying c.txt : QZ7 archive hash check failed\n");

  // Entries after the bad one are not read: only the first damage is reported.
  built.bytes[built.entries[0].startOffset] ^= 0x55;
  writeDamaged(built, 2);
  EXPECT_RUN(run({"verify", "a.qz7"}), 0, "",
             "Error verifying a.txt : QZ7 archive hash check failed\n");
}

TEST_F(VerifyTest, WithoutCompareFilesOnDiskAreNotLookedAt) {
  writeThree();
  write("a.txt", "something else entirely");  // c.txt and dir/b.txt are missing
  EXPECT_RUN(run({"verify", "a.qz7"}), 0, kSuccess, "");
}

TEST_F(VerifyTest, CompareAcceptsIdenticalFiles) {
  writeThree();
  writeSameFiles();
  EXPECT_RUN(run({"verify", "--compare", "a.qz7"}), 0, kSuccess, "");
}

TEST_F(VerifyTest, CompareReportsMissingFileAndReadsNoFurther) {
  BuiltArchive built = writeThree();
  writeSameFiles();
  std::filesystem::remove(path("dir/b.txt"));
  writeDamaged(built, 2);
  const ProcessResult result = run({"verify", "-c", "a.qz7"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, StartsWith("Error verifying dir/b.txt : "));
  EXPECT_THAT(result.err, HasSubstr("No such file or directory"));
  EXPECT_THAT(result.err, testing::Not(HasSubstr("c.txt")));
}

TEST_F(VerifyTest, CompareReportsSizeAndContentDifferences) {
  writeThree();
  writeSameFiles();
  write("dir/b.txt", std::string(4999, 'b'));
  EXPECT_RUN(run({"verify", "-c", "a.qz7"}), 0, "",
             "Error verifying dir/b.txt : File size in archive differs from file in filesystem\n");

  std::string changed(5000, 'b');
  changed[4321] = 'x';
  write("dir/b.txt", changed);
  EXPECT_RUN(run({"verify", "-c", "a.qz7"}), 0, "",
             "Error verifying dir/b.txt : File contents in archive differ from file in filesystem\n");
}

TEST_F(VerifyTest, CompareOfEmptyEntryNeedsAnEmptyFile) {
  writeArchive(path("a.qz7"), {{"empty", CompressionScheme::none, ""}});
  write("empty", "");
  EXPECT_RUN(run({"verify", "-c", "a.qz7"}), 0, kSuccess, "");

  std::filesystem::remove(path("empty"));
  const ProcessResult result = run({"verify", "-c", "a.qz7"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, StartsWith("Error verifying empty : "));
}

TEST_F(VerifyTest, CompareReportsUnreadableFileAsReadFailure) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files regardless of their mode";
  writeArchive(path("a.qz7"), {{"a.txt", CompressionScheme::none, "alpha"}});
  write("a.txt", "alpha");
  std::filesystem::permissions(path("a.txt"), std::filesystem::perms::none);
  EXPECT_RUN(run({"verify", "-c", "a.qz7"}), 0, "",
             "Error verifying a.txt : Error opening file a.txt\n");
}

TEST_F(VerifyTest, CompareReportsShortReadAsReadFailure) {
  // A kernel attribute file claims a full page but reads only a few bytes.
  const std::filesystem::path attribute = "/sys/devices/system/cpu/online";
  std::error_code error;
  if (std::filesystem::file_size(attribute, error) != 4096 || error) {
    GTEST_SKIP() << "no sysfs attribute of 4096 bytes at " << attribute;
  }
  writeArchive(path("a.qz7"), {{"short.txt", CompressionScheme::none, std::string(4096, 's')}});
  std::filesystem::create_symlink(attribute, path("short.txt"));
  EXPECT_RUN(run({"verify", "-c", "a.qz7"}), 0, "",
             "Error verifying short.txt : Error reading file short.txt\n");
}

TEST_F(VerifyTest, CompareTakesTheNameAsAPathRelativeToTheCurrentDirectory) {
  // Reading only: a name that climbs out of the current directory is compared
  // with the file it names.
  std::filesystem::create_directory(path("sub"));
  writeArchive(path("sub/a.qz7"), {{"../outside.txt", CompressionScheme::none, "alpha"}});
  write("outside.txt", "alpha");
  EXPECT_RUN(runIn(path("sub"), {"verify", "-c", "a.qz7"}), 0,
             "Archive a.qz7 verified successfully.\n", "");
  write("outside.txt", "alphA");
  EXPECT_RUN(runIn(path("sub"), {"verify", "-c", "a.qz7"}), 0, "",
             "Error verifying ../outside.txt : File contents in archive differ from file in "
             "filesystem\n");
}

TEST_F(VerifyTest, DamagedSizesAreReportedWithoutCrashing) {
  write("a.qz7", archiveClaimingHugeSize(CompressionScheme::zStd));
  ProcessResult result = run({"verify", "a.qz7"}, kMayReturnNull);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, EndsWith("Error verifying huge : Decompression failed for given data\n"));

  // An uncompressed block cannot hold more bytes than it stores.
  write("a.qz7", archiveClaimingHugeSize(CompressionScheme::none));
  EXPECT_RUN(run({"verify", "a.qz7"}), 0, "",
             "Error verifying huge : Decompression failed for given data\n");
}

TEST_F(VerifyTest, OversizedClaimOfACompressedEntryCostsNoMemory) {
  // 4 GiB are allocated for the claim, but not written before the block turns
  // out to decode to another length.
  BuiltArchive built = buildArchive({{"big.bin", CompressionScheme::zStd, std::string(3000, 'c')}});
  reinterpret_cast<ArchiveEntry*>(built.bytes.data() + built.indexOffset)->uncompressedSize =
      std::uint64_t{1} << 32;
  write("a.qz7", built.bytes);
  EXPECT_RUN(run({"verify", "a.qz7"}), 0, "",
             "Error verifying big.bin : Decompression failed for given data\n");
  rusage usage{};
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  // A quarter of the claim, leaving room for a sanitizer's own memory.
  EXPECT_LT(usage.ru_maxrss, 1024 * 1024) << "kilobytes at most in use by the tool";
}

TEST_F(VerifyTest, UnterminatedNameIsReportedWithinItsField) {
  BuiltArchive built = buildArchive({{"a.txt", CompressionScheme::none, "alpha"}});
  // Fill the name field of the first record; no NUL remains in it.
  std::memset(built.bytes.data() + built.indexOffset, 'n', qz7lib::archive::kNameFieldSize);
  write("a.qz7", built.bytes);
  EXPECT_RUN(run({"verify", "a.qz7"}), 0, kSuccess, "");
  EXPECT_RUN(run({"verify", "-c", "a.qz7"}), 0, "",
             "Error verifying " + std::string(256, 'n') +
                 " : entry name is not terminated within its 256 bytes\n");
}

}  // namespace
}  // namespace qz7test
