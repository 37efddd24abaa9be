#include "qz7lib/archive/archivist.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "qz7lib/archive/errors.h"
#include "support/archive_builder.h"
#include "support/archivist_internals.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using namespace qz7lib::archive;
using qz7lib::LogLevel;
using qz7test::CapturedLog;
using qz7test::TestEntry;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr const char* kAddArchive = "qz7lib::archive::Archivist::addArchive";
constexpr const char* kAddArchivesFromDir = "qz7lib::archive::Archivist::addArchivesFromDir";

// The highest descriptor open in this process, whatever it inherited.
int highestOpenDescriptor() {
  int highest = -1;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
  }
  if (!error) return highest;
  // Without /proc: every descriptor the limit allows is asked for.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  for (rlim_t fd = 0; fd < limit.rlim_cur; ++fd) {
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) highest = static_cast<int>(fd);
  }
  return highest;
}

class ArchivistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qz7lib::setFatalHandler([this] { ++fatalCalls; });
  }
  void TearDown() override { qz7lib::setFatalHandler(&std::abort); }

  // Writes an archive holding one file per name (content: the name repeated
  // `repeat` times) and returns its path.
  std::string archive(const std::string& fileName, const std::vector<std::string>& names,
                      int repeat = 1) {
    std::vector<TestEntry> entries;
    for (const std::string& name : names) {
      std::string content;
      for (int i = 0; i < repeat; ++i) content += name;
      entries.push_back({name, CompressionScheme::lz4, content});
    }
    const std::string path = dir.file(fileName);
    qz7test::writeArchive(path, entries);
    return path;
  }

  static std::string pathOf(const FileRecord* record) {
    return record != nullptr ? record->archivePath : "(none)";
  }

  qz7test::TempDir dir;
  qz7test::LogCapture log;
  Archivist archivist;
  int fatalCalls = 0;
};

// Registry: adding archives and replacing names.

TEST_F(ArchivistTest, LaterArchiveReplacesSameNameInPlaceWithOneLogLine) {
  const std::string first = archive("first.kvz", {"x.txt", "only-first.txt"});
  const std::string second = archive("second.kvz", {"x.txt"}, 3);
  archivist.addArchive(first);
  FileRecord* before = archivist.hasFile("x.txt");
  ASSERT_NE(before, nullptr);
  EXPECT_EQ(before->archiveIndex, 0u);

  archivist.addArchive(second);
  FileRecord* after = archivist.hasFile("x.txt");
  EXPECT_EQ(after, before);  // same record object, new contents
  EXPECT_EQ(after->archiveIndex, 1u);
  EXPECT_EQ(after->archivePath, second);
  EXPECT_EQ(after->entry.uncompressedSize, 15u);
  EXPECT_EQ(pathOf(archivist.hasFile("only-first.txt")), first);
  EXPECT_THAT(log.records(),
              ElementsAre(CapturedLog{LogLevel::Info, kAddArchive, 68,
                                      "Replaced file entry x.txt with new one from " + second}));
}

TEST_F(ArchivistTest, SameNameTwiceInOneArchiveKeepsTheLaterEntry) {
  const std::string path = dir.file("dup.kvz");
  qz7test::writeArchive(path, {{"a.txt", CompressionScheme::none, "1"},
                               {"a.txt", CompressionScheme::none, "22"}});
  archivist.addArchive(path);
  EXPECT_EQ(archivist.getFileSize("a.txt"), 2u);
  EXPECT_THAT(log.withLine(68), SizeIs(1));
}

TEST_F(ArchivistTest, UnreadableArchiveRegistersNothing) {
  const std::string bad = dir.file("bad.kvz");
  qz7test::writeFile(bad, "not an archive");
  EXPECT_THROW(archivist.addArchive(bad), ArchiveHeaderReadError);
  EXPECT_THROW(archivist.addArchive(dir.file("missing.kvz")), ArchiveFileAccessError);
  EXPECT_EQ(ArchivistInspector::archiveCount(archivist), 0u);

  archivist.addArchive(archive("good.kvz", {"a.txt"}));
  EXPECT_EQ(archivist.hasFile("a.txt")->archiveIndex, 0u);
}

TEST_F(ArchivistTest, ArchivesAddedHoldNoDescriptors) {
  constexpr int kArchives = 1500;
  std::vector<std::string> paths;
  for (int i = 0; i < kArchives; ++i) {
    paths.push_back(archive(std::to_string(i) + ".kvz", {"f" + std::to_string(i) + ".txt"}));
  }
  // In a child process, whose lowered limit ends with it: 64 descriptors beyond
  // those it inherited, far fewer than the archives.
  EXPECT_EXIT(
      {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(static_cast<rlim_t>(highestOpenDescriptor()) + 1 + 64,
                                          limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
        for (const std::string& path : paths) archivist.addArchive(path);
        std::exit(archivist.hasFile("f1499.txt") != nullptr ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ArchivistTest, AddingAfterAFileWasLoadedLogsAndStillAdds) {
  ArchivistInspector::markFileLoaded(archivist);
  const std::string path = archive("late.kvz", {"late.txt"});
  archivist.addArchive(path);
  EXPECT_NE(archivist.hasFile("late.txt"), nullptr);
  EXPECT_THAT(log.records(),
              ElementsAre(CapturedLog{LogLevel::Error, kAddArchive, 60,
                                      "Adding archive " + path + " after a file has been loaded!"}));
}

// Alias rules.

TEST_F(ArchivistTest, AliasReachesFileOnlyWhenNothingButAFileNameFollows) {
  archivist.addAlias("textures/", "textures/hd/");
  archivist.addArchive(archive("t.kvz", {"textures/hd/stone.png", "textures/hd/old/stone.png",
                                         "models/hd/tree.obj"}));
  FileRecord* target = archivist.hasFile("textures/hd/stone.png");
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(archivist.hasFile("textures/stone.png"), target);
  EXPECT_EQ(archivist.hasFile("textures/old/stone.png"), nullptr);
  // The source text does not occur in models/hd/tree.obj: skipped silently.
  EXPECT_THAT(log.records(),
              ElementsAre(CapturedLog{LogLevel::Info, kAddArchive, 79,
                                      "Skipping alias textures/hd/ for textures/hd/old/stone.png "
                                      "as it is not followed directly by a file"}));
}

TEST_F(ArchivistTest, AliasSourceMayOccurAnywhereAndOnlyItsFirstOccurrenceIsReplaced) {
  archivist.addAlias("lo", "hi");
  archivist.addAlias("", "this-source-is-longer-than-any-name.txt");
  archivist.addArchive(archive("a.kvz", {"gfx/hi_hi.png"}));
  EXPECT_EQ(archivist.hasFile("gfx/lo_hi.png"), archivist.hasFile("gfx/hi_hi.png"));
  EXPECT_EQ(archivist.hasFile("gfx/lo_lo.png"), nullptr);
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(ArchivistTest, EmptySourcePrefixesNamesWithoutSlash) {
  archivist.addAlias("base/", "");
  archivist.addArchive(archive("a.kvz", {"top.txt", "sub/inner.txt"}));
  EXPECT_EQ(archivist.hasFile("base/top.txt"), archivist.hasFile("top.txt"));
  EXPECT_EQ(archivist.hasFile("base/sub/inner.txt"), nullptr);
  EXPECT_THAT(log.records(),
              ElementsAre(CapturedLog{LogLevel::Info, kAddArchive, 79,
                                      "Skipping alias  for sub/inner.txt as it is not followed "
                                      "directly by a file"}));
}

TEST_F(ArchivistTest, AliasNeverShadowsARealFile) {
  // A rule mapping a name onto itself, and one deriving another entry's name.
  archivist.addAlias("same/", "same/");
  archivist.addAlias("real/", "alt/");
  const std::string path = archive("a.kvz", {"same/a.txt", "real/b.txt", "alt/b.txt"}, 2);
  archivist.addArchive(path);
  FileRecord* real = archivist.hasFile("real/b.txt");
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(real->entry.uncompressedSize, 20u);
  EXPECT_NE(real, archivist.hasFile("alt/b.txt"));
  EXPECT_THAT(log.records(),
              ElementsAre(CapturedLog{LogLevel::Info, kAddArchive, 86,
                                      "Skipping alias same/a.txt for same/a.txt as the latter "
                                      "already exists as a real file"},
                          CapturedLog{LogLevel::Info, kAddArchive, 86,
                                      "Skipping alias real/b.txt for alt/b.txt as the latter "
                                      "already exists as a real file"}));
}

TEST_F(ArchivistTest, AliasDerivedTwiceFollowsTheLaterTargetSilently) {
  archivist.addAlias("x/", "a/");
  archivist.addAlias("x/", "b/");
  archivist.addArchive(archive("a.kvz", {"a/f.txt", "b/f.txt"}));
  EXPECT_EQ(archivist.hasFile("x/f.txt"), archivist.hasFile("b/f.txt"));
  EXPECT_THAT(log.records(), IsEmpty());
}

TEST_F(ArchivistTest, RealFileOfLaterArchiveReplacesAnAlias) {
  archivist.addAlias("x/", "a/");
  archivist.addArchive(archive("first.kvz", {"a/f.txt"}));
  const std::string second = archive("second.kvz", {"x/f.txt"});
  archivist.addArchive(second);
  FileRecord* record = archivist.hasFile("x/f.txt");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->archivePath, second);
  EXPECT_NE(record, archivist.hasFile("a/f.txt"));
  EXPECT_THAT(log.withLine(68), SizeIs(1));
}

TEST_F(ArchivistTest, RuleAppliesOnlyToArchivesAddedAfterIt) {
  archivist.addArchive(archive("first.kvz", {"a/one.txt"}));
  archivist.addAlias("x/", "a/");
  EXPECT_EQ(archivist.hasFile("x/one.txt"), nullptr);
  archivist.addArchive(archive("second.kvz", {"a/two.txt"}));
  EXPECT_NE(archivist.hasFile("x/two.txt"), nullptr);
  EXPECT_EQ(archivist.hasFile("x/one.txt"), nullptr);
}

// Lookup.

TEST_F(ArchivistTest, NormalizedLookupFindsLowerCaseSlashForm) {
  archivist.addArchive(archive("a.kvz", {"dir/sub/file.txt", "caf\xc3\xa9.txt"}));
  FileRecord* record = archivist.hasFile("dir/sub/file.txt");
  ASSERT_NE(record, nullptr);
  EXPECT_THAT(log.records(), IsEmpty());

  EXPECT_EQ(archivist.hasFile("Dir\\Sub//File.TXT"), record);
  EXPECT_EQ(archivist.hasFile("dir\\\\sub///file.txt"), record);
  // Only ASCII letters fold: an upper-case E with acute accent stays different.
  EXPECT_EQ(archivist.hasFile("caf\xc3\x89.txt"), nullptr);
  EXPECT_EQ(archivist.hasFile("absent.txt"), nullptr);
  EXPECT_THAT(log.records(),
              ElementsAre(CapturedLog{LogLevel::Info, "qz7lib::archive::Archivist::hasFile", 150,
                                      "Could not find Dir\\Sub//File.TXT in archives, but found "
                                      "dir/sub/file.txt via normalized lookup."},
                          CapturedLog{LogLevel::Info, "qz7lib::archive::Archivist::hasFile", 150,
                                      "Could not find dir\\\\sub///file.txt in archives, but "
                                      "found dir/sub/file.txt via normalized lookup."}));
}

TEST_F(ArchivistTest, FileSizeThroughExactAliasAndNormalizedNames) {
  archivist.addAlias("short/", "long/path/");
  archivist.addArchive(archive("a.kvz", {"long/path/data.bin"}, 4));
  EXPECT_EQ(archivist.getFileSize("long/path/data.bin"), 72u);
  EXPECT_EQ(archivist.getFileSize("short/data.bin"), 72u);
  EXPECT_EQ(archivist.getFileSize("SHORT\\DATA.BIN"), 72u);
  EXPECT_EQ(fatalCalls, 0);
}

TEST_F(ArchivistTest, AbsentNameIsFatalAndYieldsNothingWhenTheHandlerReturns) {
  EXPECT_EQ(archivist.getFileInternal("nowhere.txt"), nullptr);
  EXPECT_EQ(archivist.getFileSize("nowhere.txt"), 0u);
  EXPECT_EQ(fatalCalls, 2);
  const CapturedLog expected{LogLevel::Fatal, "qz7lib::archive::Archivist::getFileInternal", 244,
                             "Tried getting file nowhere.txt, but not available in any archive."};
  EXPECT_THAT(log.records(), ElementsAre(expected, expected));
}

// Directories of archives.

TEST_F(ArchivistTest, DirectoryAddsOnlyKvzRegularFilesInSortedOrder) {
  const std::string b = archive("b.kvz", {"b.txt", "shared.txt"});
  const std::string a = archive("a.kvz", {"a.txt", "shared.txt"});
  archive("c.KVZ", {"c.txt"});
  archive("d.kvz.bak", {"d.txt"});
  std::filesystem::create_directory(dir.path() / "e.kvz");

  archivist.addArchivesFromDir(dir.path().string());
  EXPECT_EQ(archivist.hasFile("a.txt")->archiveIndex, 0u);
  EXPECT_EQ(archivist.hasFile("b.txt")->archiveIndex, 1u);
  EXPECT_EQ(pathOf(archivist.hasFile("shared.txt")), b);
  EXPECT_EQ(archivist.hasFile("c.txt"), nullptr);
  EXPECT_EQ(archivist.hasFile("d.txt"), nullptr);
  EXPECT_THAT(log.withLine(113),
              ElementsAre(CapturedLog{LogLevel::Info, kAddArchivesFromDir, 113,
                                      "Added archive contents from \"" + a + "\""},
                          CapturedLog{LogLevel::Info, kAddArchivesFromDir, 113,
                                      "Added archive contents from \"" + b + "\""}));
}

TEST_F(ArchivistTest, MissingDirectoryIsLoggedAndAddsNothing) {
  const std::string missing = dir.file("no-such-dir");
  EXPECT_NO_THROW(archivist.addArchivesFromDir(missing));
  EXPECT_EQ(ArchivistInspector::archiveCount(archivist), 0u);
  const auto records = log.records();
  ASSERT_THAT(records, SizeIs(1));
  EXPECT_EQ(records[0].level, LogLevel::Error);
  EXPECT_EQ(records[0].function, kAddArchivesFromDir);
  EXPECT_EQ(records[0].line, 107);
  EXPECT_THAT(records[0].message,
              ::testing::StartsWith("Unable to load archives from directory \"" + missing + "\": "));
}

TEST_F(ArchivistTest, DamagedArchiveInDirectoryStopsTheRestAndPassesItsError) {
  const std::string first = archive("1.kvz", {"one.txt"});
  const std::string second = dir.file("2.kvz");
  qz7test::writeFile(second, "damaged");
  archive("3.kvz", {"three.txt"});

  EXPECT_THROW(archivist.addArchivesFromDir(dir.path().string()), ArchiveHeaderReadError);
  EXPECT_NE(archivist.hasFile("one.txt"), nullptr);
  EXPECT_EQ(archivist.hasFile("three.txt"), nullptr);
  EXPECT_THAT(log.records(),
              ElementsAre(CapturedLog{LogLevel::Info, kAddArchivesFromDir, 113,
                                      "Added archive contents from \"" + first + "\""},
                          CapturedLog{LogLevel::Error, kAddArchivesFromDir, 115,
                                      "Unable to load archive \"" + second +
                                          "\": QZ7 archive header reading failed"}));
}

// Clearing and the process-wide instance.

TEST_F(ArchivistTest, ClearForgetsNamesRulesAndCacheButKeepsArchives) {
  archivist.addAlias("x/", "a/");
  archivist.addArchive(archive("first.kvz", {"a/f.txt"}));
  archivist.addArchive(archive("second.kvz", {"a/g.txt"}));
  ArchivistInspector::markFileLoaded(archivist);
  CacheQueue& queue = ArchivistInspector::queue(archivist);
  queue.head = 7;
  queue.count = 3;
  ArchivistInspector::setCacheSize(archivist, 4096);

  archivist.clear();
  EXPECT_EQ(archivist.hasFile("a/f.txt"), nullptr);
  EXPECT_EQ(archivist.hasFile("x/g.txt"), nullptr);
  EXPECT_EQ(archivist.getCacheSize(), 0u);
  EXPECT_EQ(queue.count.load(), 0);
  EXPECT_EQ(queue.head, 7u);
  EXPECT_TRUE(ArchivistInspector::fileLoaded(archivist));

  // The rules are gone too; new records continue the archive positions.
  archivist.addArchive(archive("third.kvz", {"a/h.txt"}));
  EXPECT_EQ(archivist.hasFile("a/h.txt")->archiveIndex, 2u);
  EXPECT_EQ(archivist.hasFile("x/h.txt"), nullptr);
}

TEST_F(ArchivistTest, InstanceIsCreatedOnceAndRebuiltAfterDestroy) {
  Archivist* shared = Archivist::instance();
  EXPECT_EQ(Archivist::instance(), shared);
  shared->addArchive(archive("a.kvz", {"a.txt"}));
  EXPECT_NE(Archivist::instance()->hasFile("a.txt"), nullptr);

  Archivist::destroyInstance();
  EXPECT_EQ(Archivist::instance()->hasFile("a.txt"), nullptr);
  Archivist::destroyInstance();
  Archivist::destroyInstance();  // nothing to destroy: no effect
}

TEST(FileRecordTest, CopiesNeverCarryCachedData) {
  ArchiveEntry entry{};
  setEntryName(entry, "a.txt");
  entry.uncompressedSize = 3;
  FileRecord source("one.kvz", entry, 1);
  source.data.assign(3, std::byte{1});

  FileRecord copy(source);
  EXPECT_EQ(copy.archivePath, "one.kvz");
  EXPECT_EQ(entryName(copy.entry), "a.txt");
  EXPECT_EQ(copy.archiveIndex, 1u);
  EXPECT_TRUE(copy.data.empty());

  FileRecord target("two.kvz", ArchiveEntry{}, 5);
  target.data.assign(8, std::byte{2});
  target = source;
  EXPECT_EQ(target.archivePath, "one.kvz");
  EXPECT_EQ(target.archiveIndex, 1u);
  EXPECT_TRUE(target.data.empty());
  EXPECT_TRUE(target.lock.try_lock());  // released after the assignment

  source = source;  // self-assignment keeps the description, drops the data
  EXPECT_EQ(source.archivePath, "one.kvz");
  EXPECT_TRUE(source.data.empty());
}

TEST_F(ArchivistTest, ConcurrentLookupsFindTheSameRecords) {
  archivist.addAlias("alias/", "files/");
  std::vector<std::string> names;
  for (int i = 0; i < 200; ++i) names.push_back("files/file" + std::to_string(i) + ".txt");
  archivist.addArchive(archive("many.kvz", names));
  std::vector<FileRecord*> expected;
  for (const std::string& name : names) expected.push_back(archivist.hasFile(name));

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string alias = "alias/file" + std::to_string(i) + ".txt";
        if (archivist.hasFile(names[i]) != expected[i] || archivist.hasFile(alias) != expected[i] ||
            archivist.getFileSize(names[i]) != names[i].size() ||
            archivist.hasFile("absent/" + names[i]) != nullptr)
          ++mismatches;
        // A normalized hit logs from this thread.
        if (i % 50 == 0 && archivist.hasFile("FILES\\" + names[i].substr(6)) != expected[i])
          ++mismatches;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_THAT(log.withLine(150), SizeIs(4 * 4));
}

}  // namespace
