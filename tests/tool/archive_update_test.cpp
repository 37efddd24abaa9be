// Updating archives through the built binary: which entries are reused, when
// nothing is written at all, the decision between updating and re-creating,
// and reused blocks that can no longer be read from the old archive.

#include <fcntl.h>
#include <signal.h>
#include <gmock/gmock.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "qz7lib/utils/file_descriptor.h"
#include "support/archive_builder.h"
#include "support/scoped_umask.h"
#include "support/unnamed_files.h"
#include "tool/archive_check.h"

namespace qz7test {
namespace {

using namespace qz7lib::archive;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::IsEmpty;

class ArchiveUpdateTest : public ToolTest {
 protected:
  // Writes the files and remembers them as the expected archive content.
  void put(const std::string& name, const std::string& content) {
    write(name, content);
    files_[name] = content;
  }
  void remove(const std::string& name) {
    std::filesystem::remove(path(name));
    files_.erase(name);
  }
  // Archives every file of the expected content with extra arguments.
  ProcessResult archive(const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> args = {"archive", "a.kvz"};
    for (const auto& [name, content] : files_) args.push_back(name);
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }
  std::vector<CompressionScheme> schemes() const {
    std::vector<CompressionScheme> result;
    for (const auto& entry : expectArchiveHolds(path("a.kvz"), files_).entries) {
      result.push_back(entry.scheme);
    }
    return result;
  }
  // The lines that end a successful run.
  static std::string reusedAndWritten(int reused) {
    return "Update: reused " + std::to_string(reused) + " files.\nArchive a.kvz created successfully.\n";
  }

  FileMap files_;
};

// How many files' progress lines fill a started run's output pipe, whose size
// is a page, about four times over.
long filesFillingThePipe() { return sysconf(_SC_PAGESIZE) / 4; }

constexpr const char* kThreeFilesProgress =
    "Compressing: 0%\rCompressing: 33%\rCompressing: 66%\n";

TEST_F(ArchiveUpdateTest, UnchangedFilesLeaveTheArchiveUntouched) {
  put("a.txt", std::string(3000, 'a'));
  put("b.txt", "b");
  put("c.txt", noise(64 << 10));
  ASSERT_EQ(archive().status, 0);
  struct stat before {};
  ASSERT_EQ(stat(path("a.kvz").c_str(), &before), 0);
  const std::string bytes = contents("a.kvz");

  const ProcessResult result = archive({"-t", "2"});
  EXPECT_RUN(result, 0,
             std::string("Updating archive a.kvz (3 files) with 3 files.\n") + kThreeFilesProgress +
                 "Update: reused 3 files.\nAll files are up to date, no changes made.\n",
             "");
  // No block written anywhere: beyond its own output, at most what a
  // sanitizer's runtime writes, far less than the stored noise.
  if (result.bytesWritten >= 0) {
    EXPECT_LT(result.bytesWritten, static_cast<long long>(result.out.size() + result.err.size()) + (16 << 10));
  }
  struct stat after {};
  ASSERT_EQ(stat(path("a.kvz").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(contents("a.kvz"), bytes);
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

TEST_F(ArchiveUpdateTest, EditedFileIsRecompressedAndTheOthersCopied) {
  put("a.txt", std::string(3000, 'a'));
  put("b.txt", std::string(2000, 'b'));
  put("c.txt", "c");
  ASSERT_EQ(archive().status, 0);
  const auto old = readArchiveIndex(path("a.kvz").string());

  // The last file changes, so the first two are held back and copied late.
  put("c.txt", "c, edited");
  EXPECT_RUN(archive(), 0,
             std::string("Updating archive a.kvz (3 files) with 3 files.\n") + kThreeFilesProgress +
                 reusedAndWritten(2),
             "");
  const auto index = expectArchiveHolds(path("a.kvz"), files_);
  EXPECT_EQ(index.entries[0].compressedHash, old.entries[0].compressedHash);
  EXPECT_EQ(index.entries[1].compressedHash, old.entries[1].compressedHash);
  EXPECT_NE(index.entries[2].fileHash, old.entries[2].fileHash);
  expectExtractsTo(path("a.kvz"), files_);
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

TEST_F(ArchiveUpdateTest, UpdateHoldsExactlyTheNewFileList) {
  put("a.txt", std::string(3000, 'a'));
  put("b.txt", "b");
  put("c.txt", std::string(3000, 'c'));
  ASSERT_EQ(archive().status, 0);

  remove("b.txt");
  EXPECT_RUN(archive(), 0,
             "Updating archive a.kvz (3 files) with 2 files.\n"
             "Compressing: 0%\rCompressing: 50%\n" +
                 reusedAndWritten(2),
             "");
  expectArchiveHolds(path("a.kvz"), files_);

  put("0.txt", "new first file");
  EXPECT_RUN(archive(), 0,
             std::string("Updating archive a.kvz (2 files) with 3 files.\n") + kThreeFilesProgress +
                 reusedAndWritten(2),
             "");
  expectArchiveHolds(path("a.kvz"), files_);
  expectExtractsTo(path("a.kvz"), files_);
}

TEST_F(ArchiveUpdateTest, ReuseNeedsTheSchemeTheOptionAsksFor) {
  using S = CompressionScheme;
  put("noise.bin", std::string("\x01\x7f\x33\xc4\x90\x12\xee\x5a", 8));
  put("text.txt", std::string(4000, 't'));
  ASSERT_EQ(archive({"--comp", "none"}).status, 0);

  // Automatic accepts entries stored uncompressed.
  EXPECT_THAT(archive().out, EndsWith("Update: reused 2 files.\nAll files are up to date, no changes made.\n"));
  EXPECT_THAT(schemes(), ElementsAre(S::none, S::none));

  // Re-created under automatic: the text becomes lz4, the noise stays stored.
  std::filesystem::remove(path("a.kvz"));
  ASSERT_EQ(archive().status, 0);
  ASSERT_THAT(schemes(), ElementsAre(S::none, S::lz4));
  // lz4 takes only the lz4 entry.
  EXPECT_THAT(archive({"--comp", "lz4"}).out, EndsWith(reusedAndWritten(1)));
  EXPECT_THAT(schemes(), ElementsAre(S::lz4, S::lz4));
  // zstd takes none of them: no reuse line.
  EXPECT_RUN(archive({"--comp", "zstd"}), 0,
             "Updating archive a.kvz (2 files) with 2 files.\n"
             "Compressing: 0%\rCompressing: 50%\nArchive a.kvz created successfully.\n",
             "");
  EXPECT_THAT(schemes(), ElementsAre(S::zStd, S::zStd));
  expectExtractsTo(path("a.kvz"), files_);
}

TEST_F(ArchiveUpdateTest, DictionaryChangesDecideBetweenUpdatingAndRecreating) {
  const std::string dictionary = sampleDictionary();
  put("a.json", "{\"id\": 12, \"kind\": \"texture\", \"path\": \"textures/hd/stone_12.png\"}");
  write("d.bin", dictionary);
  ASSERT_EQ(archive().status, 0);

  // No dictionary before: an update in which nothing fits the dictionary scheme.
  EXPECT_RUN(archive({"-d", "d.bin"}), 0,
             "Updating archive a.kvz (1 files) with 1 files.\nCompressing: 0%\n"
             "Archive a.kvz created successfully.\n",
             "");
  EXPECT_THAT(schemes(), ElementsAre(CompressionScheme::zStdDict));
  EXPECT_THAT(archive({"-d", "d.bin"}).out,
              EndsWith("Update: reused 1 files.\nAll files are up to date, no changes made.\n"));

  const std::string recreated =
      "Creating archive a.kvz containing 1 files.\nCompressing: 0%\n"
      "Archive a.kvz created successfully.\n";
  const std::string warning = "WARNING: the archive a.kvz has ";
  const std::string recreating = ".\nRe-creating instead of updating.\n";

  std::string changed = dictionary;
  changed[changed.size() / 2] ^= 0x20;
  write("changed.bin", changed);
  EXPECT_RUN(archive({"-d", "changed.bin"}), 0, recreated, warning + "a different dictionary" + recreating);
  expectArchiveHolds(path("a.kvz"), files_);

  write("longer.bin", changed + "more");
  EXPECT_RUN(archive({"-d", "longer.bin"}), 0, recreated,
             warning + "a dictionary of a different size" + recreating);
  EXPECT_RUN(archive(), 0, recreated,
             warning + "a dictionary, but none was provided" + recreating);
  EXPECT_THAT(schemes(), ElementsAre(CompressionScheme::lz4));
}

TEST_F(ArchiveUpdateTest, OldVersionIsRecreated) {
  put("a.txt", "alpha");
  ArchiveOptions options;
  options.version = 1100;
  writeArchive(path("a.kvz"), {{"a.txt", CompressionScheme::none, "alpha"}}, options);
  EXPECT_RUN(archive(), 0,
             "Creating archive a.kvz containing 1 files.\nCompressing: 0%\n"
             "Archive a.kvz created successfully.\n",
             "WARNING: the archive a.kvz has an unsupported version.\n"
             "Re-creating instead of updating.\n");
  expectArchiveHolds(path("a.kvz"), files_);
}

// How an update is run: its --comp value, and the scheme that value reuses,
// which a.txt has in the old archive.
struct UpdateOption {
  const char* comp;
  CompressionScheme scheme;
};
constexpr UpdateOption kLz4Update{"lz4", CompressionScheme::lz4};
constexpr UpdateOption kAutoUpdate{"auto", CompressionScheme::lz4};
constexpr UpdateOption kZstdUpdate{"zstd", CompressionScheme::zStd};

// Offset in the archive of a field of the last entry's record.
std::uint64_t lastRecordField(const BuiltArchive& a, std::size_t field) {
  return a.indexOffset + (a.entries.size() - 1) * kEntrySize + field;
}

void setLastScheme(BuiltArchive& a, CompressionScheme scheme) {
  std::memcpy(&a.bytes[lastRecordField(a, offsetof(ArchiveEntry, scheme))], &scheme, sizeof scheme);
}

// b.txt of the damaged archives: text that lz4 and zstd compress, though not so
// far that a zstd frame of it is too short to pass for an lz4 block of its size.
std::string damagedContent() {
  std::string text;
  for (int i = 0; text.size() < 5000; ++i) text += "w" + std::to_string(i % 50) + " ";
  return text;
}

// Stores the last entry's content again as a zstd frame that does not declare
// its size, with its record's size and hash to match.
void storeLastAsSizelessFrame(BuiltArchive& a, const std::string& content) {
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  frame.resize(ZSTD_compress2(context, frame.data(), frame.size(), content.data(), content.size()));
  ZSTD_freeCCtx(context);
  ASSERT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), ZSTD_CONTENTSIZE_UNKNOWN);
  const std::uint64_t size = frame.size();
  const std::uint64_t hash = XXH64(frame.data(), frame.size(), 0);
  std::memcpy(&a.bytes[lastRecordField(a, offsetof(ArchiveEntry, compressedSize))], &size, sizeof size);
  std::memcpy(&a.bytes[lastRecordField(a, offsetof(ArchiveEntry, compressedHash))], &hash, sizeof hash);
  a.bytes.resize(a.entries.back().startOffset);
  a.bytes += frame;
}

// Damage to the last entry of an archive of a.txt and b.txt, to its block or
// to its record, whose hashes still match both files: b.txt, damagedContent(),
// is stored under scheme, and the update runs with update.
struct BlockDamage {
  const char* what;
  void (*apply)(BuiltArchive& archive);
  CompressionScheme scheme = CompressionScheme::lz4;
  UpdateOption update = kLz4Update;
};
const BlockDamage kBlockDamages[] = {
    {"cut short", [](BuiltArchive& a) { a.bytes.resize(a.bytes.size() - a.entries[1].compressedSize / 2); }},
    {"cut by one byte", [](BuiltArchive& a) { a.bytes.pop_back(); }},
    {"one byte flipped", [](BuiltArchive& a) { a.bytes[a.entries[1].startOffset + 7] ^= 0x01; }},
    {"size field changed",
     [](BuiltArchive& a) { a.bytes[lastRecordField(a, offsetof(ArchiveEntry, uncompressedSize))] ^= 0x01; }},
    // A scheme field changed to another valid code; automatic reuses stored entries.
    {"lz4 flipped to none", [](BuiltArchive& a) { setLastScheme(a, CompressionScheme::none); },
     CompressionScheme::lz4, kAutoUpdate},
    {"stored flipped to lz4", [](BuiltArchive& a) { setLastScheme(a, CompressionScheme::lz4); },
     CompressionScheme::none},
    {"zstd flipped to lz4", [](BuiltArchive& a) { setLastScheme(a, CompressionScheme::lz4); },
     CompressionScheme::zStd},
    {"lz4 flipped to zstd", [](BuiltArchive& a) { setLastScheme(a, CompressionScheme::zStd); },
     CompressionScheme::lz4, kZstdUpdate},
    // Sound, but no reader takes a frame without its size.
    {"zstd frame without its size",
     [](BuiltArchive& a) { storeLastAsSizelessFrame(a, damagedContent()); },
     CompressionScheme::zStd, kZstdUpdate},
};

class DamagedArchiveUpdateTest : public ArchiveUpdateTest {
 protected:
  void writeDamaged(const BlockDamage& damage) {
    put("a.txt", "alpha");
    put("b.txt", damagedContent());
    BuiltArchive old = writeArchive(path("a.kvz"), {{"a.txt", damage.update.scheme, "alpha"},
                                                    {"b.txt", damage.scheme, files_["b.txt"]}});
    damage.apply(old);
    write("a.kvz", old.bytes);
  }
};

TEST_F(DamagedArchiveUpdateTest, DamagedReusedBlockIsCompressedAfresh) {
  for (const BlockDamage& damage : kBlockDamages) {
    SCOPED_TRACE(damage.what);
    writeDamaged(damage);
    put("a.txt", "alpha, edited");
    EXPECT_RUN(archive({"--comp", damage.update.comp}), 0,
               "Updating archive a.kvz (2 files) with 2 files.\n"
               "Compressing: 0%\rCompressing: 50%\nArchive a.kvz created successfully.\n",
               "");
    expectArchiveHolds(path("a.kvz"), files_);
    expectExtractsTo(path("a.kvz"), files_);
  }
}

// Unchanged files of a damaged archive: the archive is not left as it is, the
// file whose block is damaged is compressed afresh.
TEST_F(DamagedArchiveUpdateTest, UnchangedFilesOfADamagedArchiveAreWrittenAgain) {
  for (const BlockDamage& damage : kBlockDamages) {
    SCOPED_TRACE(damage.what);
    writeDamaged(damage);
    EXPECT_RUN(archive({"--comp", damage.update.comp}), 0,
               "Updating archive a.kvz (2 files) with 2 files.\n"
               "Compressing: 0%\rCompressing: 50%\n" +
                   reusedAndWritten(1),
               "");
    expectArchiveHolds(path("a.kvz"), files_);
    expectExtractsTo(path("a.kvz"), files_);
    EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
  }
}

// Bytes after the terminating zero of a name leave the name as it was: the
// entry is reused, and when another file's edit has the archive written again,
// it is written as a fresh create writes it.
TEST_F(ArchiveUpdateTest, ReusedEntryIsWrittenWithItsNameAlone) {
  put("a.txt", "alpha");
  put("b.txt", std::string(3000, 'b'));
  ASSERT_EQ(archive().status, 0);
  std::string bytes = contents("a.kvz");
  const std::size_t bName = kHeaderSize + kExtendedHeaderSize + kEntrySize;
  ASSERT_EQ(bytes.substr(bName, 6), std::string("b.txt", 6));
  std::fill(bytes.begin() + bName + 6, bytes.begin() + bName + kNameFieldSize, 'x');
  write("a.kvz", bytes);
  EXPECT_THAT(archive().out, EndsWith("Update: reused 2 files.\nAll files are up to date, no changes made.\n"));

  put("a.txt", "alpha, edited");
  EXPECT_THAT(archive().out, EndsWith(reusedAndWritten(1)));
  ASSERT_EQ(run({"archive", "fresh.kvz", "a.txt", "b.txt"}).status, 0);
  EXPECT_TRUE(contents("a.kvz") == contents("fresh.kvz")) << "differs from a fresh create";
}

// A large block cut short, past the end of the old archive, is compressed
// afresh, and the archive ends right after its last block.
TEST_F(ArchiveUpdateTest, BlockCutShortLeavesNoBytesBehind) {
  put("b.txt", std::string(3 << 20, 'b'));
  BuiltArchive old = writeArchive(path("a.kvz"), {{"b.txt", CompressionScheme::none, files_["b.txt"]}});
  old.bytes.resize(old.bytes.size() - (512 << 10));
  write("a.kvz", old.bytes);
  put("c.txt", "added after the damaged block");

  EXPECT_RUN(archive(), 0,
             "Updating archive a.kvz (1 files) with 2 files.\n"
             "Compressing: 0%\rCompressing: 50%\nArchive a.kvz created successfully.\n",
             "");
  EXPECT_THAT(schemes(), ElementsAre(CompressionScheme::lz4, CompressionScheme::none));
}

// Another update replaces the archive while this one has still to copy its
// reused blocks: they come from the archive whose index decided the reuse, not
// from whatever the name stands for by then. The later rename wins, and the
// archive it leaves is whole.
TEST_F(ArchiveUpdateTest, ConcurrentUpdateCopiesFromTheArchiveItRead) {
  const long edited = filesFillingThePipe();
  for (int i = 0; i < 20; ++i) put("z" + std::to_string(10 + i) + ".txt", std::string(4000 + i, 'z'));
  for (long i = 0; i < edited; ++i) put("a" + std::to_string(1000 + i) + ".txt", "first");
  ASSERT_EQ(archive().status, 0);

  // The edited files come first: their progress lines fill the output pipe
  // before the first reused block is copied.
  for (long i = 0; i < edited; ++i) put("a" + std::to_string(1000 + i) + ".txt", "second");
  std::vector<std::string> args = {"archive", "a.kvz"};
  for (const auto& [name, content] : files_) args.push_back(name);
  const auto first = start(args);
  const std::string count = std::to_string(edited + 20) + " files";
  ASSERT_TRUE(first->readOutputUntil("Updating archive a.kvz (" + count + ") with " + count + ".\n"));

  // The other update moves every reused block to another offset.
  write("b.txt", std::string(5000, 'b'));
  args.push_back("b.txt");
  const ProcessResult second = run(args);
  ASSERT_EQ(second.status, 0) << second.err;

  const ProcessResult result = first->finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(result.out, EndsWith(reusedAndWritten(20)));
  expectArchiveHolds(path("a.kvz"), files_);
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

// A reused block that changes in the old archive after its task found it sound
// and before it is copied, as when another run rewrites the archive in place,
// fails the run instead of being written. The first file's block is checked
// before its progress line is printed; the many unchanged files behind it fill
// the output pipe long before the edited last file opens the output.
TEST_F(ArchiveUpdateTest, ReusedBlockChangedBeforeItIsCopiedFailsTheRun) {
  for (long i = 0; i < 2 * filesFillingThePipe(); ++i) {
    put("a" + std::to_string(1000 + i) + ".txt", std::string(100, 'a'));
  }
  put("z.txt", "last");
  ASSERT_EQ(archive().status, 0);

  put("z.txt", "last, edited");
  std::vector<std::string> args = {"archive", "a.kvz"};
  for (const auto& [name, content] : files_) args.push_back(name);
  const auto running = start(args);
  ASSERT_TRUE(running->readOutputUntil("Compressing: 0%\r"));
  std::string changed = contents("a.kvz");
  const std::uint64_t offset = readArchiveIndex(path("a.kvz").string()).entries[0].startOffset;
  changed[offset] ^= 0x01;
  const int file = open(path("a.kvz").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(pwrite(file, &changed[offset], 1, static_cast<off_t>(offset)), 1);
  close(file);

  const ProcessResult result = running->finish();
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "Error compressing a1000.txt :\nthe stored block changed in a.kvz\n");
  EXPECT_TRUE(contents("a.kvz") == changed) << "the old archive was replaced";
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

TEST_F(ArchiveUpdateTest, ArchiveInsideAnInputDirectoryIsStoredAsAFile) {
  write("d/a.txt", "alpha");
  ASSERT_EQ(run({"archive", "d/a.kvz", "d"}).status, 0);
  const std::string first = contents("d/a.kvz");

  const auto result = run({"archive", "d/a.kvz", "d"});
  EXPECT_THAT(result.out, EndsWith("Update: reused 1 files.\nArchive d/a.kvz created successfully.\n"));
  expectArchiveHolds(path("d/a.kvz"), {{"d/a.kvz", first}, {"d/a.txt", "alpha"}});
}

// Many files on several threads, every other one edited: reused and fresh
// blocks interleave in the new archive.
TEST_F(ArchiveUpdateTest, ConcurrentUpdateInterleavesReusedAndFreshBlocks) {
  for (int i = 0; i < 120; ++i) {
    put("f" + std::to_string(100 + i) + ".txt",
        std::string(static_cast<std::size_t>(50 + i * 31), static_cast<char>('a' + i % 26)) + std::to_string(i));
  }
  ASSERT_EQ(archive({"-t", "4"}).status, 0);
  for (int i = 0; i < 120; i += 2) {
    put("f" + std::to_string(100 + i) + ".txt", "edited " + std::to_string(i));
  }
  const auto result = archive({"-t", "4"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(result.out, EndsWith("Compressing: 99%\n" + reusedAndWritten(60)));
  expectArchiveHolds(path("a.kvz"), files_);
  expectExtractsTo(path("a.kvz"), files_);
}

// The archive's owner, group and permissions decide as they would for a write
// in place. Most of these tests run the tool as kOtherUser, so they need root
// (as in CI) and are skipped otherwise; a run that needs only a user who may
// write the archive but not its directory runs as this user where it is not root.
class ArchivePermissionsTest : public ArchiveUpdateTest {
 protected:
  // The arguments that archive every file of the expected content to archive.
  std::vector<std::string> archiveArgs(const std::string& archive = "a.kvz") const {
    std::vector<std::string> args = {"archive", archive};
    for (const auto& [name, content] : files_) args.push_back(name);
    return args;
  }
  // The command line that runs them as kOtherUser.
  std::vector<std::string> archiveAsUser(const std::string& archive = "a.kvz") const {
    return asOtherUser(archiveArgs(archive));
  }
  void chown(const std::string& name, uid_t owner, gid_t group = kOtherUser) const {
    ASSERT_EQ(::chown(path(name).c_str(), owner, group), 0);
  }
  struct stat status(const std::string& name) const {
    struct stat result {};
    EXPECT_EQ(stat(path(name).c_str(), &result), 0);
    return result;
  }
  // Makes the test's directory one that a user may not write who may write
  // a.kvz, and returns the command line that runs qz7 with args as that user:
  // kOtherUser, given a.kvz, under root; this user, with the directory closed
  // until reopenDirectory, otherwise. Empty, with why set, where no such user runs.
  std::vector<std::string> closeDirectory(const std::vector<std::string>& args, std::string& why) const {
    if (geteuid() != 0) {
      std::filesystem::permissions(dir(), std::filesystem::perms(0555));
      return qz7Command(args);
    }
    why = whyNoOtherUser(dir());
    if (!why.empty()) return {};
    chown("a.kvz", kOtherUser);
    return asOtherUser(args);
  }
  void reopenDirectory() const { std::filesystem::permissions(dir(), std::filesystem::perms(0755)); }

 private:
  // What the tests and the tool as root make is readable by kOtherUser,
  // whatever the umask of whoever runs the tests.
  const ScopedUmask umask_{022};
};

TEST_F(ArchivePermissionsTest, ArchiveTheUserMayNotWriteIsRefused) {
  SKIP_UNLESS_OTHER_USER_RUNS(dir());
  put("a.txt", "alpha");
  ASSERT_EQ(archive().status, 0);
  chown(".", kOtherUser);
  chown("a.kvz", kOtherUser);
  std::filesystem::permissions(path("a.kvz"), std::filesystem::perms(0444));
  const std::string old = contents("a.kvz");

  put("a.txt", "alpha, edited");
  EXPECT_RUN(runProcess(archiveAsUser(), {dir(), {}}), 255,
             "Updating archive a.kvz (1 files) with 1 files.\nCompressing: 0%\n",
             "Failed to write output archive file header for \"a.kvz\".");
  EXPECT_EQ(contents("a.kvz"), old);
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

// The replacement keeps the owner and group that an update in place would
// keep; a group the user cannot give the file takes its permission bits along.
TEST_F(ArchivePermissionsTest, ReplacementKeepsOwnerGroupAndModeAsFarAsAllowed) {
  SKIP_UNLESS_OTHER_USER_RUNS(dir());
  constexpr gid_t kUsers = 100;  // a group that kOtherUser is not in
  const struct {
    const char* who;
    bool asUser;
    gid_t group;         // the old archive's group
    gid_t keptGroup;     // the new archive's group
    unsigned keptMode;   // the new archive's permission bits
  } cases[] = {
      {"root", false, kOtherUser, kOtherUser, 0640},
      {"the owner, not in the group", true, kUsers, kOtherUser, 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    put("a.txt", "alpha");
    ASSERT_EQ(archive().status, 0);
    chown(".", kOtherUser);
    chown("a.kvz", kOtherUser, c.group);
    std::filesystem::permissions(path("a.kvz"), std::filesystem::perms(0640));

    put("a.txt", std::string("alpha, edited by ") + c.who);
    const ProcessResult result = c.asUser ? runProcess(archiveAsUser(), {dir(), {}}) : archive();
    ASSERT_EQ(result.status, 0) << result.err;
    const struct stat after = status("a.kvz");
    EXPECT_EQ(after.st_uid, kOtherUser);
    EXPECT_EQ(after.st_gid, c.keptGroup);
    EXPECT_EQ(after.st_mode & 07777, c.keptMode);
    expectArchiveHolds(path("a.kvz"), files_);
  }
}

// The archive may be written but its directory not: it is written over in
// place, and cut to its new length.
TEST_F(ArchivePermissionsTest, WritableArchiveInADirectoryTheUserMayNotWriteIsWrittenInPlace) {
  SKIP_UNLESS_OTHER_USER_RUNS(dir());
  put("a.txt", "alpha");
  put("b.txt", std::string(3000, 'b'));
  ASSERT_EQ(archive().status, 0);
  chown("a.kvz", kOtherUser);
  const ino_t inode = status("a.kvz").st_ino;

  remove("b.txt");
  put("a.txt", "alpha, edited");
  EXPECT_RUN(runProcess(archiveAsUser(), {dir(), {}}), 0,
             "Updating archive a.kvz (2 files) with 1 files.\nCompressing: 0%\n"
             "Archive a.kvz created successfully.\n",
             "");
  EXPECT_EQ(status("a.kvz").st_ino, inode);
  expectArchiveHolds(path("a.kvz"), files_);
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

// Written in place on a file system without room for the new archive: the
// space is held before the first byte changes, so the run fails with the old
// archive as it was. A tmpfs reserves the space; ext2 cannot, so the new tail
// is written first. Each small file system is mounted in a mount namespace of
// the run's own; a row that cannot mount its file system is skipped.
TEST_F(ArchivePermissionsTest, InPlaceWriteWithoutRoomLeavesTheArchiveAsItWas) {
  SKIP_UNLESS_OTHER_USER_RUNS(dir());
  // Root in a container often lacks the capability.
  const ProcessResult unshare = runProcess({"unshare", "-m", "true"}, {dir(), {}});
  if (unshare.status != 0) GTEST_SKIP() << "cannot make a mount namespace here: " << unshare.err;
  put("a.txt", "alpha");
  ASSERT_EQ(archive().status, 0);
  put("b.txt", noise(200 << 10));
  std::filesystem::create_directory(path("m"));
  const struct {
    const char* fileSystem;
    const char* mount;  // mounts it at m
    const char* fill;   // leaves less room than the new archive needs
  } cases[] = {
      {"tmpfs", "mount -t tmpfs -o size=256k none m", "head -c 131072 /dev/zero > m/fill"},
      {"ext2", "truncate -s 8M ext2.img && mkfs.ext2 -q -m 0 ext2.img && mount -o loop ext2.img m",
       "{ head -c 8M /dev/zero > m/fill 2> /dev/null; truncate -s -64K m/fill; }"},
  };
  std::string skipped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileSystem);
    std::filesystem::remove(path("compared"));
    // Inside the namespace: the old archive on a full file system, then the
    // update as kOtherUser, then whether the archive is still the same file,
    // byte for byte. What the set-up prints (mkfs's warnings, say) is only
    // the reason for a skip; mkfs.ext2 may not be on a user's PATH.
    std::string script = "PATH=/usr/sbin:/sbin:$PATH; { " + std::string(c.mount) +
                         " && cp -p a.kvz m/a.kvz && chown 65534 m/a.kvz && " + c.fill +
                         " && chmod 755 m; } 2> setup.err || exit 99; ";
    for (const std::string& word : archiveAsUser("m/a.kvz")) script += "'" + word + "' ";
    script += "; status=$?; cmp -s a.kvz m/a.kvz && echo same > compared; exit $status";
    const ProcessResult result = runProcess({"unshare", "-m", "sh", "-c", script}, {dir(), {}});
    if (result.status == 99) {
      skipped += std::string("cannot mount ") + c.fileSystem + " here: " + contents("setup.err") + "\n";
      continue;
    }
    EXPECT_RUN(result, 255,
               "Updating archive m/a.kvz (1 files) with 2 files.\n"
               "Compressing: 0%\rCompressing: 50%\nUpdate: reused 1 files.\n",
               "ERROR: Failed to write output archive file for \"m/a.kvz\".");
    EXPECT_EQ(contents("compared"), "same\n");
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A signal that arrives while the run is in a held step ends it only once the
// step is done, whichever of the run's threads the system hands it to: an
// archive written over in place is whole, a file renamed into place stands
// under its name, and the file named to learn whether unnamed files may be
// named is gone. The run sends itself SIGTERM in the step (QZ7_SIGNAL_AT) and
// goes on once a thread took it; an archive run's idle pool workers are there
// to take it. Where no thread may take it, the run goes on at once: extract's
// one thread holds it back in the step, so that it ends the run once the step
// is done, and one ignored by whoever started the run does nothing. Where
// unnamed files cannot be named, a file has its temporary name from the start
// and a signal before its rename removes it; there is no probe then.
TEST_F(ArchivePermissionsTest, SignalInAHeldStepEndsTheRunOnceTheStepIsDone) {
  const std::string updated =
      "Updating archive a.kvz (3 files) with 3 files.\n"
      "Compressing: 0%\rCompressing: 33%\rCompressing: 66%\nUpdate: reused 2 files.\n";
  const std::vector<std::string> update = {"archive", "a.kvz", "a.txt", "b.bin", "c.bin", "-t", "4"};
  // What the run leaves at its target: nothing, the file that stood there, or
  // what the same run writes without the signal; or the step is not taken here.
  enum Left { nothing, oldFile, newFile, noStep };
  const struct {
    const char* what;
    const char* step;               // where the run signals itself
    std::vector<std::string> args;  // the run, in the test's directory
    const char* target;             // the file it writes
    bool exists;                    // the target stands before the run
    bool closedDirectory;           // run by a user who may write the target but not its directory
    bool ignored;                   // whoever starts the run ignores SIGTERM
    int status;
    std::string out;
    Left unnamed;  // what is left where unnamed files may be named
    Left named;    // and where they cannot be
  } cases[] = {
      {"archive, in-place copy", "in-place copy", update, "a.kvz", true, true, false, 128 + SIGTERM, updated,
       newFile, newFile},
      {"archive, rename", "rename", update, "a.kvz", true, false, false, 128 + SIGTERM, updated, newFile,
       oldFile},
      {"archive, rename, SIGTERM ignored", "rename", update, "a.kvz", true, false, true, 0,
       updated + "Archive a.kvz created successfully.\n", newFile, newFile},
      // What a fresh create printed was still buffered.
      {"archive, probe", "probe", update, "a.kvz", false, false, false, 128 + SIGTERM, "", nothing, noStep},
      {"extract, probe", "probe", {"extract", "x.kvz"}, "x.txt", false, false, false, 128 + SIGTERM, "",
       nothing, noStep},
      {"extract -o, rename", "rename", {"extract", "x.kvz", "-o"}, "x.txt", true, false, false, 128 + SIGTERM,
       "", newFile, oldFile},
  };
  const bool unnamedFiles = mayNameUnnamedFiles(dir());
  // Together more than the in-place copy's chunk of 1 MiB, which it signals after.
  put("b.bin", noise(3 << 19, 1));
  put("c.bin", noise(3 << 19, 2));
  std::string skipped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Left expected = unnamedFiles ? c.unnamed : c.named;
    if (expected == noStep) {
      skipped += std::string(c.what) + ": no such step where unnamed files cannot be named\n";
      continue;
    }
    for (const char* file : {"a.kvz", "x.txt"}) std::filesystem::remove(path(file));
    put("a.txt", "first");
    writeArchive(path("x.kvz"), {{"x.txt", CompressionScheme::none, "first"}});
    if (c.exists) {
      ASSERT_EQ(run(c.args).status, 0);
    }
    // Longer by more than 64 bytes: every later block moves.
    put("a.txt", noise(300));
    writeArchive(path("x.kvz"), {{"x.txt", CompressionScheme::lz4, "second, longer"}});
    const std::optional<std::string> old =
        c.exists ? std::optional(contents(c.target)) : std::nullopt;

    std::vector<std::string> argv = qz7Command(c.args);
    if (c.closedDirectory) {
      std::string why;
      argv = closeDirectory(c.args, why);
      if (!why.empty()) {
        skipped += std::string(c.what) + ": " + why + "\n";
        continue;
      }
    }
    if (c.ignored) argv.insert(argv.begin(), {"sh", "-c", "trap '' TERM && exec \"$@\"", "sh"});
    EXPECT_RUN(runProcess(argv, {dir(), {std::string("QZ7_SIGNAL_AT=") + c.step}}), c.status, c.out, "");
    const std::optional<std::string> left = exists(c.target) ? std::optional(contents(c.target)) : std::nullopt;
    EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
    ASSERT_EQ(runProcess(argv, {dir(), {}}).status, 0);
    reopenDirectory();
    switch (expected) {
      case nothing:
        EXPECT_FALSE(left) << c.target << " stands";
        break;
      case oldFile:
        EXPECT_TRUE(left == old) << c.target << " is not the old file";
        break;
      default:
        EXPECT_TRUE(left && *left == contents(c.target)) << c.target << " differs from what the run writes";
    }
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A second in-place write waits for the first one's lock instead of writing
// between its bytes, on either path that writes in place: the archive's
// directory closed to the user, or another user's archive in a sticky
// directory. The test holds the lock as the first writer would and sees the
// run wait for it with the archive untouched; then it lets the run go on, or
// sends it a signal, which ends it at once with the archive as it was and
// nothing left beside it.
TEST_F(ArchivePermissionsTest, InPlaceWriteWaitsForTheArchivesLock) {
  const std::string updating = "Updating archive a.kvz (1 files) with 1 files.\nCompressing: 0%\n";
  const struct {
    const char* what;
    bool sticky;  // another user's archive in a sticky directory, else the user's own in a closed one
    int signal;   // sent while the run waits, 0 for none
  } cases[] = {
      {"closed directory, lock let go", false, 0},
      {"closed directory, SIGTERM", false, SIGTERM},
      {"sticky directory, lock let go", true, 0},
      {"sticky directory, SIGINT", true, SIGINT},
  };
  std::string skipped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(path("a.kvz"));
    put("a.txt", "alpha");
    ASSERT_EQ(archive().status, 0);
    put("a.txt", "alpha, edited");
    const std::string old = contents("a.kvz");
    std::string why;
    std::vector<std::string> argv;
    if (!c.sticky) {
      argv = closeDirectory(archiveArgs(), why);
    } else if (why = whyNoOtherUser(dir()); why.empty()) {
      std::filesystem::permissions(dir(), std::filesystem::perms(01777));
      std::filesystem::permissions(path("a.kvz"), std::filesystem::perms(0666));
      argv = archiveAsUser();
    }
    if (!why.empty()) {
      skipped += std::string(c.what) + ": " + why + "\n";
      continue;
    }

    const qz7lib::utils::FileDescriptor lock(open(path("a.kvz").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(lock.get(), LOCK_EX), 0);
    RunningProcess running(argv, {dir(), {}});
    EXPECT_TRUE(waitsForAFileLock(running.pid()));
    EXPECT_EQ(contents("a.kvz"), old);
    if (c.signal == 0) {
      flock(lock.get(), LOCK_UN);
      EXPECT_RUN(running.finish(), 0, updating + "Archive a.kvz created successfully.\n", "");
      expectArchiveHolds(path("a.kvz"), files_);
    } else {
      running.signal(c.signal);
      EXPECT_RUN(running.finish(std::chrono::seconds(1)), 128 + c.signal, updating, "");
      EXPECT_EQ(contents("a.kvz"), old);
      EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
    }
    reopenDirectory();
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
}  // namespace qz7test
