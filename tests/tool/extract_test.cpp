// The extract command against the built binary: what lands on disk, what is
// printed, and how damaged or hostile archives are refused.

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "support/archive_builder.h"
#include "support/scoped_umask.h"
#include "tool/tool_test.h"

namespace qz7test {
namespace {

namespace fs = std::filesystem;
using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::CompressionScheme;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ExtractTest : public ToolTest {
 protected:
  std::string closingLine(const std::string& archive = "a.kvz") const {
    return "Archive " + archive + " extracted to " + quotedPath(dir()) + ".\n";
  }
  // Writes a.kvz after letting damage change the bytes of the built archive.
  template <typename Damage>
  void writeDamaged(const std::vector<TestEntry>& entries, Damage damage) const {
    BuiltArchive built = buildArchive(entries);
    damage(built);
    write("a.kvz", built.bytes);
  }
  // The names in a directory of the test's, sorted.
  std::vector<std::string> namesIn(std::string_view relative) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path(relative))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Runs qz7 in the test's directory unable to write files beyond 4096 bytes.
  ProcessResult runWithSmallFileLimit(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {qz7Binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.cwd = dir();
    options.fileSizeLimit = 4096;
    return runProcess(argv, options);
  }
};

// The index record of entry i inside the archive bytes; the index carries no
// hash, so changing it leaves the archive loadable.
ArchiveEntry& record(BuiltArchive& built, std::size_t i) {
  return *reinterpret_cast<ArchiveEntry*>(built.bytes.data() + built.indexOffset +
                                          i * qz7lib::archive::kEntrySize);
}

const std::string kText = "The quick brown fox jumps over the lazy dog. ";

std::string repeated(const std::string& text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

std::vector<TestEntry> mixedEntries() {
  return {
      {"a.txt", CompressionScheme::none, "alpha"},
      {"docs/b.md", CompressionScheme::lz4, repeated(kText, 40)},
      {"docs/deep/c.bin", CompressionScheme::zStd, repeated(kText, 300)},
      {"empty.txt", CompressionScheme::none, ""},
      {"z/empty.dat", CompressionScheme::zStd, ""},
  };
}

TEST_F(ExtractTest, WritesEveryEntryUnderItsName) {
  writeArchive(path("a.kvz").string(), mixedEntries());
  EXPECT_RUN(run({"extract", "a.kvz"}), 0, closingLine(), "");
  for (const TestEntry& entry : mixedEntries()) {
    EXPECT_EQ(contents(entry.name), entry.content) << entry.name;
  }
}

TEST_F(ExtractTest, VerboseReportsEachFileInIndexOrder) {
  writeArchive(path("a.kvz").string(), mixedEntries());
  EXPECT_RUN(run({"extract", "a.kvz", "-v"}), 0,
             "Extracting a.kvz to " + quotedPath(dir()) + "\n" +
                 "Extracted file to a.txt\n"
                 "Extracted file to docs/b.md\n"
                 "Extracted file to docs/deep/c.bin\n"
                 "Extracted file to empty.txt\n"
                 "Extracted file to z/empty.dat\n" +
                 closingLine(),
             "");
  EXPECT_TRUE(fs::is_directory(path("docs/deep")));
  EXPECT_EQ(fs::file_size(path("z/empty.dat")), 0u);
}

TEST_F(ExtractTest, DictionaryArchive) {
  const std::vector<TestEntry> entries = {
      {"one.txt", CompressionScheme::zStdDict, repeated(kText, 20)},
      {"two.txt", CompressionScheme::zStdDict, "short"},
  };
  ArchiveOptions options;
  options.dictionary = sampleDictionary();
  writeArchive(path("d.kvz").string(), entries, options);
  EXPECT_RUN(run({"extract", "d.kvz"}), 0, closingLine("d.kvz"), "");
  EXPECT_EQ(contents("one.txt"), entries[0].content);
  EXPECT_EQ(contents("two.txt"), "short");
}

TEST_F(ExtractTest, EmptyArchivePrintsOnlyItsLines) {
  writeArchive(path("a.kvz").string(), {});
  EXPECT_RUN(run({"extract", "a.kvz"}), 0, closingLine(), "");
  EXPECT_RUN(run({"extract", "--verbose", "a.kvz"}), 0,
             "Extracting a.kvz to " + quotedPath(dir()) + "\n" + closingLine(), "");
}

TEST_F(ExtractTest, CurrentDirectoryIsPrintedQuoted) {
  const fs::path odd = path("we\"ird\\dir");
  fs::create_directory(odd);
  writeArchive((odd / "a.kvz").string(), {{"x.txt", CompressionScheme::none, "x"}});
  // The test's directory escaped as any path is, then the odd name spelled out.
  std::string shown = quotedPath(dir());
  shown.pop_back();
  shown += "/we\\\"ird\\\\dir\"";
  EXPECT_RUN(runIn(odd, {"extract", "-v", "a.kvz"}), 0,
             "Extracting a.kvz to " + shown + "\nExtracted file to x.txt\n" +
                 "Archive a.kvz extracted to " + shown + ".\n",
             "");
}

TEST_F(ExtractTest, MissingArchive) {
  const std::string error = "Error: archive missing.kvz does not exist!\n";
  EXPECT_RUN(run({"extract", "missing.kvz"}), 255, "", error);
  // The verbose line comes before the archive is looked at.
  EXPECT_RUN(run({"extract", "missing.kvz", "-v"}), 255,
             "Extracting missing.kvz to " + quotedPath(dir()) + "\n", error);
}

TEST_F(ExtractTest, ArchivesThatCannotBeLoaded) {
  fs::create_directory(path("folder.kvz"));
  EXPECT_RUN(run({"extract", "folder.kvz"}), 255, "",
             "Error loading archive folder.kvz :\nQZ7 archive file access error\n");

  write("short.kvz", "QZ7");
  EXPECT_RUN(run({"extract", "short.kvz"}), 255, "",
             "Error loading archive short.kvz :\nQZ7 archive header reading failed\n");

  ArchiveOptions newer;
  newer.version = 1201;
  writeArchive(path("new.kvz").string(), {{"x.txt", CompressionScheme::none, "x"}}, newer);
  // The version message ends in its own newline, so an empty line follows.
  EXPECT_RUN(run({"extract", "new.kvz"}), 255, "",
             "Error loading archive new.kvz :\nUnsupported kvz version 1201. Supporting only up "
             "to 1200\n\n");
  EXPECT_FALSE(exists("x.txt"));
}

TEST_F(ExtractTest, ExistingFilesAreSkippedWithoutOverwrite) {
  // b.txt's block is damaged: a skipped entry is not even read.
  writeDamaged({{"a.txt", CompressionScheme::none, "new a"},
                {"b.txt", CompressionScheme::none, "new b"},
                {"dir", CompressionScheme::none, "file"},
                {"c.txt", CompressionScheme::none, "new c"}},
               [](BuiltArchive& built) { built.bytes[built.entries[1].startOffset] ^= 1; });
  write("a.txt", "old a, longer than the new one");
  write("b.txt", "old b");
  fs::create_directory(path("dir"));

  EXPECT_RUN(run({"extract", "a.kvz"}), 0,
             "a.txt already exists, skipping (use -o to overwrite)\n"
             "b.txt already exists, skipping (use -o to overwrite)\n"
             "dir already exists, skipping (use -o to overwrite)\n" +
                 closingLine(),
             "");
  EXPECT_EQ(contents("a.txt"), "old a, longer than the new one");
  EXPECT_EQ(contents("b.txt"), "old b");
  EXPECT_TRUE(fs::is_directory(path("dir")));
  EXPECT_EQ(contents("c.txt"), "new c");
}

TEST_F(ExtractTest, OverwriteReplacesWholeFiles) {
  writeArchive(path("a.kvz").string(), {{"a.txt", CompressionScheme::lz4, repeated(kText, 3)},
                                        {"gone.txt", CompressionScheme::none, ""}});
  write("a.txt", repeated(kText, 10));
  fs::permissions(path("a.txt"), static_cast<fs::perms>(0640));
  write("gone.txt", "something");
  EXPECT_RUN(run({"extract", "a.kvz", "-o", "-v"}), 0,
             "Extracting a.kvz to " + quotedPath(dir()) +
                 "\nExtracted file to a.txt\nExtracted file to gone.txt\n" + closingLine(),
             "");
  EXPECT_EQ(contents("a.txt"), repeated(kText, 3));
  EXPECT_EQ(fs::status(path("a.txt")).permissions(), static_cast<fs::perms>(0640));
  EXPECT_EQ(fs::file_size(path("gone.txt")), 0u);
}

TEST_F(ExtractTest, HashFailureStopsBeforeTheEntryTouchesTheDisk) {
  writeDamaged({{"a.txt", CompressionScheme::none, "first"},
                {"sub/b.txt", CompressionScheme::zStd, repeated(kText, 5)},
                {"c.txt", CompressionScheme::none, "third"}},
               [](BuiltArchive& built) {
                 built.bytes[built.entries[1].startOffset + built.entries[1].compressedSize - 1] ^=
                     0x20;
               });
  EXPECT_RUN(run({"extract", "a.kvz"}), 255, "",
             "Error extracting sub/b.txt : QZ7 archive hash check failed\n");
  EXPECT_EQ(contents("a.txt"), "first");
  EXPECT_FALSE(exists("sub"));
  EXPECT_FALSE(exists("c.txt"));
}

TEST_F(ExtractTest, UnwritableDestinationsEndTheCommand) {
  writeArchive(path("a.kvz").string(), {{"a/b", CompressionScheme::none, "content"}});
  write("a", "a regular file");
  EXPECT_RUN(run({"extract", "a.kvz"}), 255, "",
             "Error extracting a/b : cannot create a/b: Not a directory\n");
  EXPECT_EQ(contents("a"), "a regular file");

  writeArchive(path("d.kvz").string(), {{"dir", CompressionScheme::none, "content"}});
  fs::create_directory(path("dir"));
  EXPECT_RUN(run({"extract", "d.kvz", "-o"}), 255, "",
             "Error extracting dir : cannot create dir: Is a directory\n");
  EXPECT_THAT(namesIn("."), ElementsAre("a", "a.kvz", "d.kvz", "dir"));
}

TEST_F(ExtractTest, FailedWriteLeavesNoFileBehind) {
  const std::string content = repeated(kText, 400);
  writeArchive(path("a.kvz").string(), {{"sub/big.txt", CompressionScheme::lz4, content}});
  const std::string error = "Error extracting sub/big.txt : cannot write sub/big.txt: File too large\n";
  EXPECT_RUN(runWithSmallFileLimit({"extract", "a.kvz"}), 255, "", error);
  EXPECT_THAT(namesIn("sub"), IsEmpty());
  // Nothing stands in its place, so the next run extracts it.
  EXPECT_RUN(run({"extract", "a.kvz"}), 0, closingLine(), "");
  EXPECT_EQ(contents("sub/big.txt"), content);

  // A file being replaced stays whole when its replacement cannot be written.
  write("sub/big.txt", "old");
  EXPECT_RUN(runWithSmallFileLimit({"extract", "a.kvz", "-o"}), 255, "", error);
  EXPECT_EQ(contents("sub/big.txt"), "old");
  EXPECT_THAT(namesIn("sub"), ElementsAre("big.txt"));
}

TEST_F(ExtractTest, OverwriteReplacesASymbolicLinkInsteadOfWritingThroughIt) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  writeArchive(path("a.kvz").string(), {{"full", CompressionScheme::none, "a few bytes"}});
  fs::create_symlink("/dev/full", path("full"));
  EXPECT_RUN(run({"extract", "a.kvz", "-o"}), 0, closingLine(), "");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path("full"))));
  EXPECT_EQ(contents("full"), "a few bytes");
}

TEST_F(ExtractTest, NamesLeadingOutsideTheCurrentDirectoryAreRefused) {
  const fs::path work = path("work");
  fs::create_directory(work);
  // abs.txt beside work/ by its absolute path. Where that is too long for the
  // name field, by the tool's working directory as /proc shows it instead.
  std::string absolute = path("abs.txt").string();
  if (absolute.size() > qz7lib::archive::kMaxNameLength) absolute = "/proc/self/cwd/../abs.txt";
  const std::string outside =
      "entry name contains \"..\"; nothing is written outside the current directory";
  const struct {
    std::string name;
    std::string reason;
  } cases[] = {
      {"../evil.txt", outside},
      {"sub/../../evil.txt", outside},
      {"..", outside},
      {"sub/..", outside},
      {absolute, "entry name is an absolute path; only relative paths are extracted"},
      {"", "entry name is empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeArchive(path("a.kvz").string(), {{"ok.txt", CompressionScheme::none, "ok"},
                                          {c.name, CompressionScheme::none, "evil"},
                                          {"later.txt", CompressionScheme::none, "later"}});
    EXPECT_RUN(runIn(work, {"extract", "../a.kvz", "-o"}), 255, "",
               "Error extracting " + c.name + " : " + c.reason + "\n");
    EXPECT_EQ(readFile(work / "ok.txt"), "ok");
    EXPECT_FALSE(fs::exists(work / "sub"));
    EXPECT_FALSE(fs::exists(work / "later.txt"));
    EXPECT_FALSE(exists("evil.txt"));
    EXPECT_FALSE(exists("abs.txt"));
  }
}

TEST_F(ExtractTest, DotsInsideNamesAreNotTraversal) {
  writeArchive(path("a.kvz").string(), {{"..data/x..y", CompressionScheme::none, "1"},
                                        {"./dot/./name...", CompressionScheme::none, "2"}});
  EXPECT_RUN(run({"extract", "a.kvz"}), 0, closingLine(), "");
  EXPECT_EQ(contents("..data/x..y"), "1");
  EXPECT_EQ(contents("dot/name..."), "2");
}

TEST_F(ExtractTest, NameFieldWithoutTerminatorIsRefused) {
  writeDamaged({{"n", CompressionScheme::none, "content"}}, [](BuiltArchive& built) {
    std::memset(record(built, 0).name, 'n', qz7lib::archive::kNameFieldSize);
  });
  EXPECT_RUN(run({"extract", "a.kvz"}), 255, "",
             "Error extracting " + std::string(256, 'n') +
                 " : entry name is not terminated within its 256 bytes\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()), 1);
}

TEST_F(ExtractTest, ImpossibleSizesAreRefusedBeforeAllocating) {
  constexpr std::uint64_t kLz4PerStoredByte = 255;
  const struct {
    CompressionScheme scheme;
    std::uint64_t size;  // 0: one byte more than an lz4 block of its stored size can yield
  } cases[] = {
      {CompressionScheme::none, 11},
      {CompressionScheme::none, 9},
      {CompressionScheme::lz4, std::uint64_t{1} << 40},
      {CompressionScheme::lz4, 0},
      {CompressionScheme::zStd, std::uint64_t{1} << 62},
      {CompressionScheme::zStd, std::numeric_limits<std::uint64_t>::max()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string content = c.scheme == CompressionScheme::none ? "0123456789" : "x";
    writeDamaged({{"big.bin", c.scheme, content}}, [&](BuiltArchive& built) {
      ArchiveEntry& entry = record(built, 0);
      entry.uncompressedSize = c.size != 0 ? c.size : entry.compressedSize * kLz4PerStoredByte + 1;
    });
    EXPECT_RUN(runWithFailingAllocations({"extract", "a.kvz"}), 255, "",
               "Error extracting big.bin : Decompression failed for given data\n");
    EXPECT_FALSE(exists("big.bin"));
  }
}

TEST_F(ExtractTest, OversizedClaimOfACompressedEntryCostsNoMemory) {
  // A zstd block can expand far, so a claim of 4 GiB is allocated. The buffer
  // is not written with zeros up front: the claim costs no memory before the
  // block turns out to decode to another length.
  writeDamaged({{"big.bin", CompressionScheme::zStd, repeated(kText, 10)}},
               [](BuiltArchive& built) {
                 record(built, 0).uncompressedSize = std::uint64_t{1} << 32;
               });
  EXPECT_RUN(run({"extract", "a.kvz"}), 255, "",
             "Error extracting big.bin : Decompression failed for given data\n");
  EXPECT_FALSE(exists("big.bin"));
  rusage usage{};
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  // A quarter of the claim, leaving room for a sanitizer's own memory.
  EXPECT_LT(usage.ru_maxrss, 1024 * 1024) << "kilobytes at most in use by the tool";
}

// Overwriting as a user without root's rights: what writing in place would
// allow is allowed, by a rename where possible and in place where the file may
// be written but not replaced; a symbolic link is never written through.
TEST_F(ExtractTest, OverwriteAllowsWhatWritingInPlaceWould) {
  SKIP_UNLESS_OTHER_USER_RUNS(dir());
  // The archive and the directories are readable by that user, whatever the umask.
  const ScopedUmask readable(022);
  writeArchive(path("a.kvz").string(), {{"a.txt", CompressionScheme::none, "new"}});
  const struct {
    const char* what;
    unsigned directoryMode;   // of w/, owned by root
    unsigned fileMode;        // of w/a.txt (or what w/a.txt links to), owned by root
    bool link;                // w/a.txt is a symbolic link to w/target.txt
    int status;
    std::string error;
  } cases[] = {
      {"writable file, closed directory", 0755, 0666, false, 0, ""},
      {"another user's writable file in a sticky directory", 01777, 0666, false, 0, ""},
      {"file the user may not write", 01777, 0644, false, 255,
       "Error extracting a.txt : cannot write a.txt: Permission denied\n"},
      {"link to a writable file, closed directory", 0755, 0666, true, 255,
       "Error extracting a.txt : cannot create a.txt: Permission denied\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path("w"));
    fs::create_directory(path("w"));
    const std::string file = c.link ? "w/target.txt" : "w/a.txt";
    write(file, "old content");
    fs::permissions(path(file), fs::perms(c.fileMode));
    if (c.link) fs::create_symlink("target.txt", path("w/a.txt"));
    fs::permissions(path("w"), fs::perms(c.directoryMode));

    ProcessOptions options;
    options.cwd = path("w");
    EXPECT_RUN(runProcess(asOtherUser({"extract", "../a.kvz", "-o"}), options), c.status,
               c.status == 0 ? "Archive ../a.kvz extracted to " + quotedPath(path("w")) + ".\n" : "",
               c.error);
    EXPECT_EQ(contents(file), c.status == 0 ? "new" : "old content");
    EXPECT_EQ(fs::is_symlink(path("w/a.txt")), c.link);
    const std::vector<std::string> names = {"a.txt", "target.txt"};
    EXPECT_EQ(namesIn("w"), std::vector<std::string>(names.begin(), names.begin() + (c.link ? 2 : 1)));
  }
}

}  // namespace
}  // namespace qz7test
