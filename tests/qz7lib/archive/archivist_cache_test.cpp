#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <latch>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qz7lib/archive/archivist.h"
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
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kMiB = 1ull << 20;
constexpr const char* kFreeCache = "qz7lib::archive::Archivist::freeCacheIfRequired";
constexpr const char* kPrefetch =
    "qz7lib::archive::Archivist::prefetchAllWithSuffix::<lambda_1>::operator ()";

// Compressible text that differs from file to file.
std::string makeContent(int seed, std::size_t size) {
  std::string text;
  while (text.size() < size)
    text += "file " + std::to_string(seed) + " line " + std::to_string(text.size()) + "\n";
  text.resize(size);
  return text;
}

std::span<std::byte> bytesOf(std::string& buffer) {
  return std::as_writable_bytes(std::span(buffer.data(), buffer.size()));
}

// The expected log records of eviction and prefetch; sizes as printed, in MiB.
CapturedLog freeingLine(const std::string& size, const std::string& target, int entries) {
  return {LogLevel::Info, kFreeCache, 254,
          "Freeing KVZ cache, current size " + size + " MiB, target size " + target +
              " MiB; current entries " + std::to_string(entries) + "\n"};
}
CapturedLog freedLine(const std::string& size, int removed) {
  return {LogLevel::Info, kFreeCache, 271,
          "KVZ cache size now " + size + " MiB, removed " + std::to_string(removed) + " entries\n"};
}
CapturedLog prefetchStarted(const std::string& suffix) {
  return {LogLevel::Info, kPrefetch, 212,
          "Starting prefetching for all archive data with suffix \"" + suffix + "\"."};
}
CapturedLog prefetchFinished(const std::string& suffix, int files) {
  return {LogLevel::Info, kPrefetch, 231,
          "Finished prefetching all archive data with suffix \"" + suffix + "\": " +
              std::to_string(files) + " files."};
}

class CacheFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    qz7lib::setFatalHandler([this] { ++fatalCalls; });
  }
  void TearDown() override { qz7lib::setFatalHandler(&std::abort); }

  // Writes the archive, registers it and remembers where its blocks lie.
  std::string add(const std::string& fileName, const std::vector<TestEntry>& entries) {
    const std::string path = dir.file(fileName);
    built = qz7test::writeArchive(path, entries);
    archivist.addArchive(path);
    return path;
  }

  // Inverts the first stored byte of the entry's block, so that its hash check
  // fails; a second call repairs it.
  void flipFirstStoredByte(const std::string& path, std::size_t entryIndex) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    const auto offset = static_cast<std::streamoff>(built.entries.at(entryIndex).startOffset);
    char byte = 0;
    file.seekg(offset);
    file.read(&byte, 1);
    byte = static_cast<char>(~byte);
    file.seekp(offset);
    file.write(&byte, 1);
    ASSERT_TRUE(file.good());
  }

  // The file's content read through getFile by name.
  std::string read(std::string_view name) {
    std::string buffer(archivist.getFileSize(name), '\0');
    archivist.getFile(name, bytesOf(buffer));
    return buffer;
  }

  std::int32_t queued() { return ArchivistInspector::queue(archivist).count.load(); }
  bool cached(std::string_view name) { return !archivist.hasFile(name)->data.empty(); }

  qz7test::TempDir dir;
  qz7test::LogCapture log;
  Archivist archivist;
  qz7test::BuiltArchive built;
  int fatalCalls = 0;
};

class ArchivistCacheTest : public CacheFixture {};
class ArchivistCacheConcurrentTest : public CacheFixture {};
class ArchivistPrefetchConcurrentTest : public CacheFixture {};

// The limit.

TEST_F(ArchivistCacheTest, LimitBelowOneGibTurnsTheCacheOff) {
  archivist.setCacheLimit(1073741823);
  EXPECT_EQ(ArchivistInspector::cacheLimit(archivist), 0u);
  archivist.setCacheLimit(1073741824);
  EXPECT_EQ(ArchivistInspector::cacheLimit(archivist), 1073741824u);
  archivist.setCacheLimit(5 * kGiB);
  EXPECT_EQ(ArchivistInspector::cacheLimit(archivist), 5 * kGiB);
  archivist.setCacheLimit(1);
  EXPECT_EQ(ArchivistInspector::cacheLimit(archivist), 0u);
  // Nothing was cached, so nothing was evicted.
  EXPECT_THAT(log.records(), IsEmpty());
}

// Reading with and without the cache.

TEST_F(ArchivistCacheTest, WithoutTheCacheEveryReadGoesToTheArchive) {
  const std::string content = makeContent(1, 3000);
  const std::string path = add("a.kvz", {{"a.txt", CompressionScheme::zStd, content},
                                         {"empty.txt", CompressionScheme::none, ""}});
  EXPECT_EQ(read("a.txt"), content);
  EXPECT_FALSE(cached("a.txt"));
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(archivist.getCacheSize(), 0u);

  // An empty buffer cannot take a non-empty file; an empty file needs none.
  EXPECT_THROW(archivist.getFile("a.txt", {}), InsufficientSpace);
  EXPECT_NO_THROW(archivist.getFile("empty.txt", {}));

  flipFirstStoredByte(path, 0);
  EXPECT_THROW(read("a.txt"), HashCheckFailed);
}

TEST_F(ArchivistCacheTest, CachedFileIsReadOnceThenServedFromMemory) {
  const std::string content = makeContent(2, 5000);
  const std::string path = add("a.kvz", {{"a.txt", CompressionScheme::lz4, content}});
  archivist.setCacheLimit(kGiB);
  FileRecord* record = archivist.hasFile("a.txt");

  std::string first(content.size(), '\0');
  archivist.getFile(record, bytesOf(first));
  EXPECT_EQ(first, content);
  EXPECT_EQ(queued(), 1);
  EXPECT_EQ(archivist.getCacheSize(), content.size());

  // The archive is damaged now: only a copy from memory can still succeed.
  flipFirstStoredByte(path, 0);
  EXPECT_EQ(read("a.txt"), content);
  EXPECT_EQ(read("A.TXT"), content);
  EXPECT_EQ(queued(), 1);
  EXPECT_EQ(archivist.getCacheSize(), content.size());
}

TEST_F(ArchivistCacheTest, BufferSizesWithTheCacheOn) {
  const std::string content = makeContent(3, 1000);
  add("a.kvz", {{"a.txt", CompressionScheme::zStd, content}});
  archivist.setCacheLimit(kGiB);

  // One byte short: refused before anything is read or queued.
  std::string shortBuffer(content.size() - 1, '\0');
  EXPECT_THROW(archivist.getFile("a.txt", bytesOf(shortBuffer)), InsufficientSpace);
  EXPECT_FALSE(cached("a.txt"));
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(archivist.getCacheSize(), 0u);

  // Empty: fills the cache and copies nothing.
  archivist.getFile("a.txt", {});
  EXPECT_TRUE(cached("a.txt"));
  EXPECT_EQ(archivist.getCacheSize(), content.size());

  // Larger: the bytes behind the file stay untouched.
  std::string large(content.size() + 8, '#');
  archivist.getFile("a.txt", bytesOf(large));
  EXPECT_EQ(large, content + "########");
  EXPECT_EQ(queued(), 1);
}

TEST_F(ArchivistCacheTest, FailedLoadStaysUncachedAndIsReadAgain) {
  const std::string content = makeContent(4, 2000);
  const std::string path = add("a.kvz", {{"a.txt", CompressionScheme::lz4, content}});
  archivist.setCacheLimit(kGiB);
  flipFirstStoredByte(path, 0);

  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_THROW(read("a.txt"), HashCheckFailed);
    EXPECT_FALSE(cached("a.txt"));
    EXPECT_EQ(queued(), 0);
    EXPECT_EQ(archivist.getCacheSize(), 0u);
  }
  // Repaired on disk: the next request reads again and succeeds.
  flipFirstStoredByte(path, 0);
  EXPECT_EQ(read("a.txt"), content);
  EXPECT_EQ(queued(), 1);
}

TEST_F(ArchivistCacheTest, ImpossibleClaimedSizesFailBeforeTheirBufferIsAllocated) {
  add("a.kvz", {{"z.bin", CompressionScheme::zStd, makeContent(5, 1000)},
                {"l.bin", CompressionScheme::lz4, makeContent(6, 1000)},
                {"n.bin", CompressionScheme::none, makeContent(7, 1000)}});
  archivist.setCacheLimit(kGiB);
  // No hash covers the index, so a damaged one may claim any size for a healthy block.
  for (const char* name : {"z.bin", "l.bin", "n.bin"}) {
    FileRecord* record = archivist.hasFile(name);
    const std::uint64_t real = record->entry.uncompressedSize;
    for (std::uint64_t claim : {std::uint64_t{1} << 44, (std::uint64_t{1} << 63) + 5}) {
      record->entry.uncompressedSize = claim;
      EXPECT_THROW(archivist.getFile(record, {}), DecompressionFailed) << name << " " << claim;
      EXPECT_FALSE(cached(name));
    }
    record->entry.uncompressedSize = real;
  }
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(archivist.getCacheSize(), 0u);
}

TEST_F(ArchivistCacheTest, EmptyFileNeverTakesASlot) {
  add("a.kvz", {{"empty.txt", CompressionScheme::none, ""}});
  archivist.setCacheLimit(kGiB);
  for (int i = 0; i < 10; ++i) archivist.getFile("empty.txt", {});
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(archivist.getCacheSize(), 0u);
}

TEST_F(ArchivistCacheTest, OnlyGetFileMarksTheRegistryAsLoaded) {
  add("a.kvz", {{"a.png", CompressionScheme::none, "png"}});
  archivist.setCacheLimit(kGiB);
  archivist.getFileCached(archivist.hasFile("a.png"), {});
  archivist.prefetchAllWithSuffix(".png", 1, true);
  EXPECT_FALSE(ArchivistInspector::fileLoaded(archivist));

  archivist.getFile("a.png", {});
  EXPECT_TRUE(ArchivistInspector::fileLoaded(archivist));
  add("b.kvz", {{"b.png", CompressionScheme::none, "png"}});
  EXPECT_THAT(log.withLine(60), SizeIs(1));
}

TEST_F(ArchivistCacheTest, AbsentNameIsFatalThenThrowsNamingTheFile) {
  add("a.kvz", {{"a.txt", CompressionScheme::none, "a"}});
  std::string buffer(16, '\0');
  try {
    archivist.getFile("nowhere.txt", bytesOf(buffer));
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("nowhere.txt"));
  }
  EXPECT_EQ(fatalCalls, 1);
  EXPECT_THAT(log.withLine(244), SizeIs(1));
  EXPECT_FALSE(ArchivistInspector::fileLoaded(archivist));
}

// Eviction by size.

TEST_F(ArchivistCacheTest, TurningTheCacheOffEvictsEverything) {
  add("a.kvz", {{"a.txt", CompressionScheme::none, "aaa"},
                {"b.txt", CompressionScheme::lz4, "bbbb"},
                {"c.txt", CompressionScheme::zStd, "ccccc"}});
  archivist.setCacheLimit(kGiB);
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) archivist.getFile(name, {});
  EXPECT_EQ(archivist.getCacheSize(), 12u);

  archivist.setCacheLimit(0);
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(archivist.getCacheSize(), 0u);
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) EXPECT_FALSE(cached(name)) << name;
  EXPECT_THAT(log.records(),
              ElementsAre(freeingLine("0.00", "0.00", 3), freedLine("0.00", 3)));
}

TEST_F(ArchivistCacheTest, LoweredLimitEvictsOldestFirstDownToTheHeadroom) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 5; ++i)
    entries.push_back({std::to_string(i) + ".bin", CompressionScheme::none, "x"});
  add("a.kvz", entries);
  archivist.setCacheLimit(2 * kGiB);
  for (int i = 0; i < 5; ++i) archivist.getFile(std::to_string(i) + ".bin", {});

  // Gigabytes of cached data would make the test slow: let each cached record
  // count as 256 MiB instead.
  for (int i = 0; i < 5; ++i)
    archivist.hasFile(std::to_string(i) + ".bin")->entry.uncompressedSize = 256 * kMiB;
  ArchivistInspector::setCacheSize(archivist, 5 * 256 * kMiB);

  // 1280 MiB against a 1024 MiB limit: two go, leaving exactly 256 MiB of headroom.
  archivist.setCacheLimit(kGiB);
  EXPECT_EQ(queued(), 3);
  EXPECT_EQ(archivist.getCacheSize(), 768 * kMiB);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(cached(std::to_string(i) + ".bin"), i >= 2) << i;
  EXPECT_THAT(log.records(),
              ElementsAre(freeingLine("1280.00", "1024.00", 5), freedLine("768.00", 2)));
}

TEST_F(ArchivistCacheTest, RecordReplacedWhileQueuedIsEmptiedAndNeverDrivesTheSizeBelowZero) {
  add("first.kvz", {{"a.txt", CompressionScheme::none, "abc"}});
  archivist.setCacheLimit(kGiB);
  archivist.getFile("a.txt", {});
  add("second.kvz", {{"a.txt", CompressionScheme::none, "longer content"}});
  EXPECT_FALSE(cached("a.txt"));
  EXPECT_EQ(queued(), 1);
  EXPECT_EQ(archivist.getCacheSize(), 3u);

  // The stale slot takes off the new, larger size: held at 0.
  archivist.setCacheLimit(0);
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(archivist.getCacheSize(), 0u);
}

// The ring of 100000 records, filled with one-byte files.

class ArchivistRingTest : public ::testing::Test {
 protected:
  static constexpr int kFiles = 100001;

  static void SetUpTestSuite() {
    dir_ = new qz7test::TempDir;
    std::vector<TestEntry> entries;
    entries.reserve(kFiles);
    for (int i = 0; i < kFiles; ++i) entries.push_back({name(i), CompressionScheme::none, "x"});
    path_ = dir_->file("ring.kvz");
    qz7test::writeArchive(path_, entries);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::string name(int i) {
    std::string digits = std::to_string(i);
    return "f" + std::string(6 - digits.size(), '0') + digits;
  }

  void SetUp() override {
    archivist.addArchive(path_);
    archivist.setCacheLimit(kGiB);
    for (int i = 0; i < kFiles; ++i) records.push_back(archivist.hasFile(name(i)));
  }

  // Loads files 0 to 99999: the ring is full.
  void fillRing() {
    for (int i = 0; i + 1 < kFiles; ++i) archivist.getFile(records[static_cast<std::size_t>(i)], {});
  }

  CacheQueue& queue() { return ArchivistInspector::queue(archivist); }

  static inline qz7test::TempDir* dir_ = nullptr;
  static inline std::string path_;
  qz7test::LogCapture log;
  Archivist archivist;
  std::vector<FileRecord*> records;
};

TEST_F(ArchivistRingTest, FullRingEvictsOldestAcrossTheWrapUntilAThousandSlotsAreFree) {
  fillRing();
  EXPECT_EQ(queue().count.load(), 100000);
  EXPECT_EQ(queue().head, 0u);  // wrapped: the first record went to slot 1
  EXPECT_EQ(archivist.getCacheSize(), 100000u);
  EXPECT_THAT(log.records(), IsEmpty());

  archivist.getFile(records.back(), {});
  EXPECT_EQ(queue().count.load(), 99001);
  EXPECT_EQ(queue().head, 1u);
  EXPECT_EQ(queue().slots[1], records.back());
  EXPECT_EQ(archivist.getCacheSize(), 99001u);
  for (std::size_t i : {0u, 1u, 999u}) EXPECT_TRUE(records[i]->data.empty()) << i;
  for (std::size_t i : {1000u, 1001u, 99999u, 100000u}) EXPECT_FALSE(records[i]->data.empty()) << i;
  EXPECT_THAT(log.records(),
              ElementsAre(freeingLine("0.10", "1024.00", 100000), freedLine("0.09", 1000)));

  // The oldest is now record 1000 in slot 1001; turning the cache off walks
  // from there across the wrap to slot 1.
  archivist.setCacheLimit(0);
  EXPECT_EQ(queue().count.load(), 0);
  EXPECT_EQ(archivist.getCacheSize(), 0u);
  EXPECT_TRUE(records[1000]->data.empty());
  EXPECT_TRUE(records.back()->data.empty());
}

TEST_F(ArchivistRingTest, QueuingIntoAFullRingEvictsTheRecordItDisplaces) {
  fillRing();
  // As when other threads filled the ring between a load's eviction test and
  // its queuing.
  FileRecord* late = records.back();
  late->data.assign(1, std::byte{'x'});
  ArchivistInspector::enqueueLoaded(archivist, late);

  EXPECT_EQ(queue().count.load(), 100000);
  EXPECT_EQ(queue().head, 1u);
  EXPECT_EQ(queue().slots[1], late);
  EXPECT_TRUE(records[0]->data.empty());
  EXPECT_FALSE(records[1]->data.empty());
  EXPECT_EQ(archivist.getCacheSize(), 100000u);
}

// Several threads.

TEST_F(ArchivistCacheConcurrentTest, SimultaneousRequestsLoadEachFileOnce) {
  constexpr int kFilesInArchive = 24;
  constexpr int kThreads = 8;
  std::vector<TestEntry> entries;
  std::uint64_t total = 0;
  for (int i = 0; i < kFilesInArchive; ++i) {
    const auto scheme = i % 2 == 0 ? CompressionScheme::lz4 : CompressionScheme::zStd;
    entries.push_back({"f" + std::to_string(i) + ".bin", scheme, makeContent(i, 64 * 1024 + i)});
    total += entries.back().content.size();
  }
  add("a.kvz", entries);
  archivist.setCacheLimit(kGiB);

  // All threads ask for the same files in the same order, to collide on each.
  std::latch start(kThreads);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (const TestEntry& entry : entries) {
        std::string buffer(entry.content.size(), '\0');
        archivist.getFile(entry.name, bytesOf(buffer));
        if (buffer != entry.content) ++mismatches;
      }
    });
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(queued(), kFilesInArchive);  // a second load would have queued again
  EXPECT_EQ(archivist.getCacheSize(), total);
}

TEST_F(ArchivistCacheConcurrentTest, ReadsStayCorrectWhileTheLimitChanges) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 12; ++i)
    entries.push_back(
        {"f" + std::to_string(i) + ".bin", CompressionScheme::lz4, makeContent(i, 8 * 1024)});
  add("a.kvz", entries);

  std::atomic<bool> reading{true};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      for (int round = 0; round < 30; ++round)
        for (const TestEntry& entry : entries) {
          std::string buffer(entry.content.size(), '\0');
          archivist.getFile(entry.name, bytesOf(buffer));
          if (buffer != entry.content) ++mismatches;
        }
    });
  std::thread toggler([&] {
    for (int i = 0; reading.load(); ++i) {
      archivist.setCacheLimit(i % 2 == 0 ? kGiB : 0);
      std::this_thread::yield();
    }
  });
  for (std::thread& reader : readers) reader.join();
  reading = false;
  toggler.join();

  EXPECT_EQ(mismatches.load(), 0);
  // Every loaded record was queued, so turning the cache off empties them all.
  archivist.setCacheLimit(0);
  EXPECT_EQ(queued(), 0);
  EXPECT_EQ(archivist.getCacheSize(), 0u);
  for (const TestEntry& entry : entries) EXPECT_FALSE(cached(entry.name)) << entry.name;
}

// Prefetch.

TEST_F(ArchivistPrefetchConcurrentTest, SuffixSelectsRealFilesByteForByte) {
  archivist.addAlias("alias/", "dir/");
  add("a.kvz", {{"a.png", CompressionScheme::lz4, makeContent(1, 700)},
                {"b.png", CompressionScheme::zStd, makeContent(2, 900)},
                {"upper.PNG", CompressionScheme::none, "upper"},
                {"notes.txt", CompressionScheme::none, "notes"},
                {"dir/c.png", CompressionScheme::lz4, makeContent(3, 1100)}});
  ASSERT_NE(archivist.hasFile("alias/c.png"), nullptr);
  archivist.setCacheLimit(kGiB);

  archivist.prefetchAllWithSuffix(".png", 4, true);
  // The alias leads to dir/c.png, which is counted and queued once.
  EXPECT_EQ(queued(), 3);
  EXPECT_EQ(archivist.getCacheSize(), 700u + 900u + 1100u);
  EXPECT_TRUE(cached("a.png") && cached("b.png") && cached("dir/c.png"));
  EXPECT_FALSE(cached("upper.PNG"));
  EXPECT_FALSE(cached("notes.txt"));
  EXPECT_THAT(log.records(),
              ElementsAre(prefetchStarted(".png"), prefetchFinished(".png", 3)));
}

TEST_F(ArchivistPrefetchConcurrentTest, EmptySuffixPrefetchesEveryRealFile) {
  archivist.addAlias("short/", "long/");
  add("a.kvz", {{"long/a.bin", CompressionScheme::lz4, makeContent(1, 100)},
                {"b.txt", CompressionScheme::none, "bb"},
                {"empty", CompressionScheme::none, ""}});
  archivist.setCacheLimit(kGiB);
  archivist.prefetchAllWithSuffix("", 0, true);
  EXPECT_EQ(queued(), 2);
  EXPECT_EQ(archivist.getCacheSize(), 102u);
  EXPECT_THAT(log.withLine(231), ElementsAre(prefetchFinished("", 3)));
}

TEST_F(ArchivistPrefetchConcurrentTest, EmptyRegistryPrefetchesNothing) {
  archivist.prefetchAllWithSuffix(".png", 2, true);
  EXPECT_THAT(log.records(),
              ElementsAre(prefetchStarted(".png"), prefetchFinished(".png", 0)));
}

TEST_F(ArchivistPrefetchConcurrentTest, WithTheCacheOffEachLoadEvictsTheOneBefore) {
  add("a.kvz", {{"a.bin", CompressionScheme::none, "a"},
                {"b.bin", CompressionScheme::lz4, "bb"},
                {"c.bin", CompressionScheme::zStd, "ccc"}});
  archivist.prefetchAllWithSuffix(".bin", 1, true);
  // One worker loads the files one after another; only the last stays.
  EXPECT_EQ(queued(), 1);
  EXPECT_EQ(int{cached("a.bin")} + int{cached("b.bin")} + int{cached("c.bin")}, 1);
  const CapturedLog freeing = freeingLine("0.00", "0.00", 1);
  const CapturedLog freed = freedLine("0.00", 1);
  EXPECT_THAT(log.withLine(254), ElementsAre(freeing, freeing));
  EXPECT_THAT(log.withLine(271), ElementsAre(freed, freed));
  EXPECT_THAT(log.withLine(231), SizeIs(1));
}

TEST_F(ArchivistPrefetchConcurrentTest, FailingFileIsLeftOutAndTheOthersGoOn) {
  std::vector<TestEntry> entries;
  for (int i = 0; i < 4; ++i)
    entries.push_back({std::to_string(i) + ".png", CompressionScheme::lz4, makeContent(i, 500)});
  const std::string path = add("a.kvz", entries);
  flipFirstStoredByte(path, 2);
  archivist.setCacheLimit(kGiB);

  // More workers than files: one file per block.
  archivist.prefetchAllWithSuffix(".png", 8, true);
  EXPECT_FALSE(cached("2.png"));
  EXPECT_EQ(queued(), 3);
  EXPECT_THAT(log.withLine(231), ElementsAre(prefetchFinished(".png", 3)));
}

TEST_F(ArchivistPrefetchConcurrentTest, WithoutWaitReturnsBeforeThePrefetchEnds) {
  add("a.kvz", {{"a.png", CompressionScheme::lz4, makeContent(1, 800)},
                {"b.png", CompressionScheme::none, "b"}});
  archivist.setCacheLimit(kGiB);
  FileRecord* held = archivist.hasFile("a.png");

  // While the test holds a record's lock the prefetch cannot finish.
  held->lock.lock();
  archivist.prefetchAllWithSuffix(".png", 2, false);
  EXPECT_THAT(log.withLine(231), IsEmpty());
  held->lock.unlock();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (log.withLine(231).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_THAT(log.withLine(231), SizeIs(1));
  EXPECT_EQ(queued(), 2);
  EXPECT_TRUE(cached("a.png"));
}

TEST_F(ArchivistPrefetchConcurrentTest, DestroyingTheArchivistWaitsForADetachedPrefetch) {
  const std::string path = dir.file("own.kvz");
  qz7test::writeArchive(path, {{"a.png", CompressionScheme::lz4, makeContent(1, 800)},
                               {"b.png", CompressionScheme::none, "b"}});
  auto own = std::make_unique<Archivist>();
  own->addArchive(path);
  own->setCacheLimit(kGiB);
  FileRecord* held = own->hasFile("a.png");

  // The prefetch cannot finish while the test holds a record's lock, so the
  // destruction has to wait for it instead of freeing the records under it.
  held->lock.lock();
  own->prefetchAllWithSuffix(".png", 2, false);
  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    own.reset();
    destroyed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(destroyed.load());
  held->lock.unlock();
  destroyer.join();
  EXPECT_THAT(log.withLine(231), ElementsAre(prefetchFinished(".png", 2)));
}

}  // namespace
