// Creating archives through the built binary: the exact bytes and messages,
// schemes and the automatic fallback, dictionaries, the order of many files
// compressed in parallel, and every way the command fails.

#include <gmock/gmock.h>
#include <lz4hc.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qz7lib/utils/strings.h"
#include "support/archive_builder.h"
#include "tool/archive_check.h"

namespace qz7test {
namespace {

using namespace qz7lib::archive;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

template <typename T>
std::string recordBytes(const T& record) {
  return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

// A 100-byte content whose lz4 block at level 12 is exactly compressedSize bytes long.
std::string hundredBytesCompressingTo(int compressedSize) {
  char out[256];
  for (std::uint32_t seed = 1; seed < 1000; ++seed) {
    for (std::size_t run = 0; run < 60; ++run) {
      const std::string content = noise(100 - run, seed) + std::string(run, 'r');
      if (LZ4_compress_HC(content.data(), out, 100, sizeof out, 12) == compressedSize) return content;
    }
  }
  ADD_FAILURE() << "no content compresses to " << compressedSize;
  return {};
}

class ArchiveCreateTest : public ToolTest {
 protected:
  std::vector<CompressionScheme> schemes(std::string_view archive) const {
    std::vector<CompressionScheme> result;
    for (const auto& entry : readArchiveIndex(path(archive).string()).entries) {
      result.push_back(entry.scheme);
    }
    return result;
  }
};

TEST_F(ArchiveCreateTest, OneFileArchiveIsExactlyTheSpecifiedBytes) {
  write("a.txt", "0123456789");
  EXPECT_RUN(run({"archive", "a.kvz", "a.txt", "--comp", "none"}), 0,
             "Creating archive a.kvz containing 1 files.\n"
             "Compressing: 0%\n"
             "Archive a.kvz created successfully.\n",
             "");

  ArchiveEntry entry{};
  setEntryName(entry, "a.txt");
  entry.scheme = CompressionScheme::none;
  entry.compressedSize = entry.uncompressedSize = 10;
  entry.startOffset = 384;
  entry.compressedHash = entry.fileHash = XXH64("0123456789", 10, 0);
  const std::string expected = recordBytes(ArchiveHeader(0, 1, kArchiveVersion)) +
                               recordBytes(ExtendedHeader(16, 304)) + recordBytes(entry) +
                               std::string(32, '\0') + "0123456789";
  ASSERT_EQ(expected.size(), 394u);
  EXPECT_EQ(contents("a.kvz"), expected);
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

TEST_F(ArchiveCreateTest, EmptyFileListWritesHeadersOnly) {
  write("x.txt", "excluded");
  EXPECT_RUN(run({"archive", "a.kvz", "x.txt", "--exclude", "x.txt"}), 0,
             "Creating archive a.kvz containing 0 files.\n"
             "Archive a.kvz created successfully.\n",
             "");
  EXPECT_EQ(contents("a.kvz"),
            recordBytes(ArchiveHeader(0, 0, kArchiveVersion)) + recordBytes(ExtendedHeader(16, 304)));

  const std::string dictionary = sampleDictionary();
  write("d.bin", dictionary);
  ASSERT_EQ(run({"archive", "b.kvz", "x.txt", "--exclude", "x.txt", "-d", "d.bin"}).status, 0);
  EXPECT_EQ(contents("b.kvz"), recordBytes(ArchiveHeader(1, 0, kArchiveVersion)) +
                                   recordBytes(ExtendedHeader(16, 304)) +
                                   recordBytes(DictionaryHeader(dictionary.size())) + dictionary);
}

TEST_F(ArchiveCreateTest, ProgressLinesCountFromZeroAndEndWithANewline) {
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) write(name, name);
  EXPECT_RUN(run({"archive", "a.kvz", "a.txt", "b.txt", "c.txt", "d.txt"}), 0,
             "Creating archive a.kvz containing 4 files.\n"
             "Compressing: 0%\rCompressing: 25%\rCompressing: 50%\rCompressing: 75%\n"
             "Archive a.kvz created successfully.\n",
             "");
}

TEST_F(ArchiveCreateTest, EachOptionSelectsItsScheme) {
  const FileMap files = {{"empty.txt", ""},
                         {"noise.bin", noise(3000, 7)},
                         {"text.txt", std::string(4000, 't') + "end"}};
  for (const auto& [name, content] : files) write(name, content);
  const std::vector<std::string> inputs = {"empty.txt", "noise.bin", "text.txt"};
  auto archiveWith = [&](const std::string& archive, std::vector<std::string> flags) {
    std::vector<std::string> args = {"archive", archive};
    args.insert(args.end(), inputs.begin(), inputs.end());
    args.insert(args.end(), flags.begin(), flags.end());
    const auto result = run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    expectArchiveHolds(path(archive), files);
    return schemes(archive);
  };

  using S = CompressionScheme;
  // Automatic stores the empty file and the noise, which lz4 cannot shrink enough.
  EXPECT_THAT(archiveWith("auto.kvz", {}), ElementsAre(S::none, S::none, S::lz4));
  EXPECT_THAT(archiveWith("none.kvz", {"--comp", "none"}), ElementsAre(S::none, S::none, S::none));
  EXPECT_THAT(archiveWith("lz4.kvz", {"--comp", "lz4"}), ElementsAre(S::lz4, S::lz4, S::lz4));
  EXPECT_THAT(archiveWith("zstd.kvz", {"--comp", "zstd"}), ElementsAre(S::zStd, S::zStd, S::zStd));
  write("d.bin", sampleDictionary());
  EXPECT_THAT(archiveWith("dict.kvz", {"-d", "d.bin"}),
              ElementsAre(S::zStdDict, S::zStdDict, S::zStdDict));
  expectExtractsTo(path("dict.kvz"), files);
}

TEST_F(ArchiveCreateTest, EmptyBlocksAreAlignedAndMayShareAnOffset) {
  write("a.txt", "");
  write("b.txt", "");
  write("c.txt", "c");
  ASSERT_EQ(run({"archive", "a.kvz", "a.txt", "b.txt", "c.txt", "--comp", "lz4"}).status, 0);
  const auto index = expectArchiveHolds(path("a.kvz"), {{"a.txt", ""}, {"b.txt", ""}, {"c.txt", "c"}});
  ASSERT_EQ(index.entries.size(), 3u);
  // The index ends at 960, a multiple of 64: every block starts there.
  for (const auto& entry : index.entries) EXPECT_EQ(entry.startOffset, 960u);
  EXPECT_EQ(index.entries[0].compressedHash, XXH64(nullptr, 0, 0));
  EXPECT_EQ(index.entries[0].fileHash, XXH64(nullptr, 0, 0));
}

TEST_F(ArchiveCreateTest, AutomaticStoresFromNinetyFivePercentOn) {
  write("at95.bin", hundredBytesCompressingTo(95));
  write("at94.bin", hundredBytesCompressingTo(94));
  ASSERT_EQ(run({"archive", "a.kvz", "at95.bin", "at94.bin"}).status, 0);
  const auto index = expectArchiveHolds(
      path("a.kvz"), {{"at94.bin", contents("at94.bin")}, {"at95.bin", contents("at95.bin")}});
  ASSERT_EQ(index.entries.size(), 2u);
  EXPECT_EQ(index.entries[0].scheme, CompressionScheme::lz4);
  EXPECT_EQ(index.entries[0].compressedSize, 94u);
  EXPECT_EQ(index.entries[1].scheme, CompressionScheme::none);
  EXPECT_EQ(index.entries[1].compressedSize, 100u);
}

// Many files of many sizes on several threads, large ones among them (which are
// started ahead of their turn): entries and blocks still come in file-list order,
// every block belongs to its own file, and the archive is the one a single
// thread writes.
TEST_F(ArchiveCreateTest, ConcurrentTasksKeepTheFileListOrder) {
  FileMap files;
  for (int i = 0; i < 150; ++i) {
    const std::string name = "dir" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".dat";
    std::string content = noise(static_cast<std::size_t>(i * 37 % 900), static_cast<std::uint32_t>(i));
    if (i % 2 == 0) content += std::string(static_cast<std::size_t>(i * 53), static_cast<char>('a' + i % 26));
    if (i % 30 == 7) content += noise(static_cast<std::size_t>(256 * 1024 + i * 999), 77);
    write(name, content);
    files[name] = content;
  }
  const auto single = run({"archive", "single.kvz", "dir0", "dir1", "dir2", "-t", "1"});
  ASSERT_EQ(single.status, 0) << single.err;
  const auto result = run({"archive", "a.kvz", "dir0", "dir1", "dir2", "-t", "4"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(result.out, StartsWith("Creating archive a.kvz containing 150 files.\nCompressing: 0%\r"));
  EXPECT_THAT(result.out, ::testing::EndsWith("Compressing: 99%\nArchive a.kvz created successfully.\n"));
  expectArchiveHolds(path("a.kvz"), files);
  expectExtractsTo(path("a.kvz"), files);
  EXPECT_TRUE(readFile(path("a.kvz")) == readFile(path("single.kvz")));
}

TEST_F(ArchiveCreateTest, DictionaryFailures) {
  write("a.txt", "some content");
  write("b.txt", "");
  EXPECT_RUN(run({"archive", "a.kvz", "a.txt", "-d", "missing.bin"}), 255, "",
             "Error loading dictionary:\nError opening file missing.bin\n");
  EXPECT_FALSE(exists("a.kvz"));

  // A zstd dictionary's magic number followed by garbage: the dictionary loads,
  // compressing with it fails.
  write("bad.bin", std::string("\x37\xA4\x30\xEC", 4) + std::string(200, 'x'));
  EXPECT_RUN(run({"archive", "a.kvz", "a.txt", "b.txt", "-d", "bad.bin"}), 255,
             "Creating archive a.kvz containing 2 files.\n",
             "Error compressing a.txt :\nCompression failed for given data\n");
  EXPECT_FALSE(exists("a.kvz"));
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

TEST_F(ArchiveCreateTest, ExistingFileThatIsNoArchiveIsLeftAlone) {
  write("a.txt", "content");
  write("a.kvz", "this is not an archive, just some text");
  EXPECT_RUN(run({"archive", "a.kvz", "a.txt"}), 2, "", "QZ7 archive hash check failed\n");
  EXPECT_EQ(contents("a.kvz"), "this is not an archive, just some text");

  BuiltArchive future = buildArchive({{"a.txt", CompressionScheme::none, "old"}});
  std::memcpy(future.bytes.data() + 12, "\x14\x05\x00\x00", 4);  // version 1300
  rehashHeader(future.bytes);
  write("a.kvz", future.bytes);
  EXPECT_RUN(run({"archive", "a.kvz", "a.txt"}), 2, "",
             "Unsupported kvz version 1300. Supporting only up to 1200\n\n");
  EXPECT_EQ(contents("a.kvz"), future.bytes);
}

TEST_F(ArchiveCreateTest, ArchiveThatCannotBeCreatedReportsTheHeader) {
  write("a.txt", "content");
  EXPECT_RUN(run({"archive", "missing/a.kvz", "a.txt"}), 255,
             "Creating archive missing/a.kvz containing 1 files.\nCompressing: 0%\n",
             "Failed to write output archive file header for \"missing/a.kvz\".");
  EXPECT_FALSE(exists("missing"));

  // A name that cannot be a file's fails the same way.
  EXPECT_RUN(run({"archive", "", "a.txt"}), 255,
             "Creating archive  containing 1 files.\nCompressing: 0%\n",
             "Failed to write output archive file header for \"\".");
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

// The archive replaces the file that its name stands for: through a symbolic
// link (even a dangling one) the link stays and its target is written; a file
// name of 254 bytes still leaves room for the temporary file beside it.
TEST_F(ArchiveCreateTest, ArchiveNameIsTheFileItStandsFor) {
  write("a.txt", "alpha");
  write("b.txt", "bravo");
  std::filesystem::create_directory(path("real"));
  std::filesystem::create_symlink("real/x.kvz", path("link.kvz"));
  EXPECT_RUN(run({"archive", "link.kvz", "a.txt"}), 0,
             "Creating archive link.kvz containing 1 files.\nCompressing: 0%\n"
             "Archive link.kvz created successfully.\n",
             "");
  EXPECT_EQ(run({"archive", "link.kvz", "a.txt", "b.txt"}).out,
            "Updating archive link.kvz (1 files) with 2 files.\n"
            "Compressing: 0%\rCompressing: 50%\nUpdate: reused 1 files.\n"
            "Archive link.kvz created successfully.\n");
  EXPECT_TRUE(std::filesystem::is_symlink(path("link.kvz")));
  expectArchiveHolds(path("real/x.kvz"), {{"a.txt", "alpha"}, {"b.txt", "bravo"}});
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
  EXPECT_THAT(temporaryFiles(path("real")), IsEmpty());

  const std::string longName = std::string(250, 'n') + ".kvz";
  const auto result = run({"archive", longName, "a.txt"});
  EXPECT_EQ(result.status, 0) << result.err;
  expectArchiveHolds(path(longName), {{"a.txt", "alpha"}});
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

TEST_F(ArchiveCreateTest, FailedWriteKeepsTheOldArchiveAndLeavesNoTemporaryFile) {
  write("a.txt", "small");
  ASSERT_EQ(run({"archive", "a.kvz", "a.txt"}).status, 0);
  const std::string old = contents("a.kvz");

  // Beyond the file-size limit of a shell's ulimit -f, the write fails: the
  // tool reports it instead of dying of SIGXFSZ.
  write("a.txt", noise(20000, 3));
  ProcessOptions options;
  options.cwd = dir();
  options.fileSizeLimit = 8192;
  const ProcessResult result = runProcess({qz7Binary(), "archive", "a.kvz", "a.txt"}, options);
  EXPECT_RUN(result, 255,
             "Updating archive a.kvz (1 files) with 1 files.\nCompressing: 0%\n",
             "ERROR: Failed to write output archive file for \"a.kvz\".");
  EXPECT_EQ(contents("a.kvz"), old);
  EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
}

// A run ended by a signal while it writes leaves nothing but the old archive:
// the tool is caught mid-run by an output pipe that the test does not read.
TEST_F(ArchiveCreateTest, InterruptedRunLeavesOnlyTheOldArchive) {
  write("a.txt", "old");
  ASSERT_EQ(run({"archive", "a.kvz", "a.txt"}).status, 0);
  const std::string old = contents("a.kvz");
  // Enough progress lines to fill the pipe twice over.
  const long files = sysconf(_SC_PAGESIZE) / 4;
  for (long i = 0; i < files; ++i) write("d/" + std::to_string(i) + ".txt", "file " + std::to_string(i));

  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(strsignal(signal));
    const auto running = start({"archive", "a.kvz", "a.txt", "d"});
    ASSERT_TRUE(running->readOutputUntil("Compressing: 0%"));
    running->signal(signal);
    EXPECT_EQ(running->finish().status, 128 + signal);
    EXPECT_EQ(contents("a.kvz"), old);
    // What SIGKILL leaves where the file system has no unnamed files, the next run removes.
    if (signal == SIGKILL) {
      EXPECT_EQ(run({"archive", "a.kvz", "a.txt"}).status, 0);
    }
    EXPECT_THAT(temporaryFiles(dir()), IsEmpty());
  }
}

// Temporary files that ended runs left are removed by the next run into the
// same directory: an archive run removes its own archive's before it collects
// its inputs (so that it does not take them for inputs), an extract run those
// of the archive's entries in every directory that it meets, by whatever path.
// A file counts only when it has the tool's form of name and no live run holds
// its lock; everything else stays, whatever process id its name holds, and so
// does a file of that form that the archive holds as an input or an entry.
TEST_F(ArchiveCreateTest, TemporaryFilesOfEndedRunsAreRemovedAndNothingElse) {
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const std::string archiveStale = "a.kvz.qz7-0123456789abcdef.tmp";
  const std::string otherStale = "x.txt.qz7-00000000deadbeef.tmp";
  const std::string live = "a.kvz.qz7-fedcba9876543210.tmp";
  const std::vector<std::string> others = {
      "notes.99999.tmp", "a.kvz." + std::to_string(ended) + ".tmp", "c.qz7-0123.tmp",
      "c.qz7-0123456789ABCDEF.tmp", "c.qz7-0123456789abcdef.tmp.txt", live};
  // The names that expectLeft looks for besides others.
  std::vector<std::string> watched = {archiveStale, otherStale};
  const auto plant = [&](const std::string& directory) {
    for (const std::string& name : {archiveStale, otherStale}) write(directory + name, "left by a killed run");
    for (const std::string& name : others) write(directory + name, "kept");
  };
  const auto expectLeft = [&](const std::string& directory, std::vector<std::string> kept) {
    std::vector<std::string> left;
    for (const auto& item : std::filesystem::directory_iterator(path(directory))) {
      const std::string name = item.path().filename().string();
      if (std::find(watched.begin(), watched.end(), name) != watched.end() ||
          std::find(others.begin(), others.end(), name) != others.end()) {
        left.push_back(name);
      }
    }
    kept.insert(kept.end(), others.begin(), others.end());
    EXPECT_THAT(left, ::testing::UnorderedElementsAreArray(kept)) << directory;
  };

  {
    SCOPED_TRACE("archive");
    plant("d/");
    write("d/a.txt", "alpha");
    // A live run of the tool holds its file's lock; so does this test here.
    const int held = open(path("d/" + live).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ASSERT_EQ(run({"archive", "d/a.kvz", "d"}).status, 0);
    close(held);
    // Another file's temporary name is an input like any other.
    expectLeft("d/", {otherStale});
    FileMap archived = {{"d/a.txt", "alpha"}, {"d/" + otherStale, "left by a killed run"}};
    for (const std::string& name : others) archived[qz7lib::utils::toLower("d/" + name)] = "kept";
    expectArchiveHolds(path("d/a.kvz"), archived);
  }
  {
    SCOPED_TRACE("extract");
    const std::filesystem::path target = path("target");
    std::filesystem::create_directories(target / "kept");
    std::filesystem::create_directory_symlink("kept", target / "link");
    // Entries named as temporary files. own was extracted before and edited
    // since; the user holds notes as Notes, edited; two are named as kept/old.txt's
    // and reached through link, one extracted before and edited since, one new.
    const std::string entryNamed = "own.qz7-0123456789abcdef.tmp";
    const std::string notes = "notes.qz7-0123456789abcdef.tmp";
    const std::string oldEdited = "old.txt.qz7-1111111111111111.tmp";
    const std::string oldNew = "old.txt.qz7-2222222222222222.tmp";
    writeArchive(path("e.kvz").string(), {{"top.txt", CompressionScheme::none, "top"},
                                 {entryNamed, CompressionScheme::none, "new"},
                                 {notes, CompressionScheme::none, "new"},
                                 {"link/" + oldEdited, CompressionScheme::none, "new"},
                                 {"link/" + oldNew, CompressionScheme::none, "new"},
                                 {"kept/old.txt", CompressionScheme::none, "new"},
                                 {"kept/" + entryNamed, CompressionScheme::none, "new"},
                                 {"sub/new.txt", CompressionScheme::none, "new"}});
    plant("target/");
    plant("target/kept/");
    write("target/kept/old.txt", "old");
    const std::vector<std::string> edited = {entryNamed, "Notes.qz7-0123456789abcdef.tmp",
                                             "kept/" + entryNamed, "kept/" + oldEdited};
    for (const std::string& name : edited) write("target/" + name, "edited");
    // Temporary files of entries: the stale ones go, the live ones stay.
    const std::string topStale = "top.txt.qz7-0123456789abcdef.tmp";
    const std::string topLive = "top.txt.qz7-fedcba9876543210.tmp";
    const std::string oldStale = "old.txt.qz7-0123456789abcdef.tmp";
    const std::string oldLive = "old.txt.qz7-fedcba9876543210.tmp";
    watched.insert(watched.end(), {topStale, topLive, oldStale, oldLive});
    for (const std::string& name : {topStale, topLive, "kept/" + oldStale, "kept/" + oldLive}) {
      write("target/" + name, "left by a killed run");
    }
    const int held = open(path("target/" + topLive).c_str(), O_RDONLY | O_CLOEXEC);
    const int heldInKept = open(path("target/kept/" + oldLive).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ASSERT_EQ(flock(heldInKept, LOCK_EX), 0);
    // kept is cleared once, when link reaches it first; kept/old.txt is
    // skipped, its directory cleared all the same.
    const ProcessResult result = runIn(target, {"extract", "../e.kvz"});
    close(held);
    close(heldInKept);
    const std::string skipped = " already exists, skipping (use -o to overwrite)\n";
    EXPECT_RUN(result, 0,
               entryNamed + skipped + "link/" + oldEdited + skipped + "kept/old.txt" + skipped + "kept/" +
                   entryNamed + skipped + "Archive ../e.kvz extracted to " + quotedPath(target) + ".\n",
               "");
    // Files of the form that belong to no entry stay too.
    expectLeft("target/", {archiveStale, otherStale, topLive});
    expectLeft("target/kept/", {archiveStale, otherStale, oldLive});
    for (const std::string& name : edited) EXPECT_EQ(contents("target/" + name), "edited") << name;
    EXPECT_EQ(contents("target/kept/old.txt"), "old");
    for (const std::string& name : {notes, "kept/" + oldNew, std::string("sub/new.txt")}) {
      EXPECT_EQ(contents("target/" + name), "new") << name;
    }
  }
}

}  // namespace
}  // namespace qz7test
