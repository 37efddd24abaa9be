// Archivist reads: getFile of the same entries with the read cache off and on
// (reads/s; the ratio is what the cache saves), and prefetch throughput for
// 1 to 8 pool threads.

#include <benchmark/benchmark.h>
#include <unistd.h>
#include <xxhash.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qz7lib/archive/archivist.h"
#include "qz7lib/archive/compression.h"
#include "qz7lib/archive/format.h"

namespace {

using namespace qz7lib::archive;

constexpr int kFiles = 512;
constexpr std::size_t kFileSize = 32 * 1024;
constexpr std::uint64_t kCacheLimit = 1ull << 30;

// Compressible text that differs from file to file, like scripts and configs.
std::vector<std::byte> makeContent(int seed) {
  std::string text;
  while (text.size() < kFileSize) {
    text += "entity_" + std::to_string(seed) + " = spawn(\"props/crate.mdl\", " +
            std::to_string(text.size() % 977) + ")\n";
  }
  text.resize(kFileSize);
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  return {bytes, bytes + text.size()};
}

// An archive of kFiles files, half lz4 and half zstd, in the temporary
// directory; removed at exit.
class BenchArchive {
 public:
  BenchArchive()
      : path_((std::filesystem::temp_directory_path() /
               ("qz7_archivist_bench_" + std::to_string(::getpid()) + ".kvz"))
                  .string()) {
    std::vector<ArchiveEntry> entries(kFiles);
    std::vector<std::unique_ptr<std::vector<std::byte>>> blocks;
    std::uint64_t offset = kHeaderSize + kExtendedHeaderSize + kFiles * kEntrySize;
    for (int i = 0; i < kFiles; ++i) {
      const std::vector<std::byte> content = makeContent(i);
      ArchiveEntry& entry = entries[static_cast<std::size_t>(i)];
      setEntryName(entry, "assets/file" + std::to_string(i) + ".bin");
      entry.scheme = i % 2 == 0 ? CompressionScheme::lz4 : CompressionScheme::zStd;
      blocks.push_back(compress(content, entry.scheme, nullptr));
      offset = alignBlockOffset(offset);
      entry.compressedSize = blocks.back()->size();
      entry.uncompressedSize = content.size();
      entry.startOffset = offset;
      entry.compressedHash = XXH64(blocks.back()->data(), blocks.back()->size(), 0);
      entry.fileHash = XXH64(content.data(), content.size(), 0);
      offset += entry.compressedSize;
    }

    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    const ArchiveHeader header(0, kFiles, kArchiveVersion);
    const ExtendedHeader extended(kExtendedHeaderSize, kEntrySize);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    out.write(reinterpret_cast<const char*>(&extended), sizeof extended);
    out.write(reinterpret_cast<const char*>(entries.data()),
              static_cast<std::streamsize>(entries.size() * sizeof(ArchiveEntry)));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      out.seekp(static_cast<std::streamoff>(entries[i].startOffset));
      out.write(reinterpret_cast<const char*>(blocks[i]->data()),
                static_cast<std::streamsize>(blocks[i]->size()));
    }
    if (!out.good()) throw std::runtime_error("cannot write " + path_);
  }
  ~BenchArchive() { std::filesystem::remove(path_); }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& archivePath() {
  static const BenchArchive archive;
  return archive.path();
}

// Reads the archive's files round-robin through getFile.
void readRoundRobin(benchmark::State& state, std::uint64_t cacheLimit) {
  Archivist archivist;
  archivist.addArchive(archivePath());
  archivist.setCacheLimit(cacheLimit);
  std::vector<FileRecord*> records;
  for (int i = 0; i < kFiles; ++i)
    records.push_back(archivist.hasFile("assets/file" + std::to_string(i) + ".bin"));
  if (cacheLimit != 0) archivist.prefetchAllWithSuffix("", 0, true);

  std::vector<std::byte> buffer(kFileSize);
  std::size_t next = 0;
  for (auto _ : state) {
    archivist.getFile(records[next], buffer);
    benchmark::DoNotOptimize(buffer.data());
    next = (next + 1) % records.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_GetFileUncached(benchmark::State& state) { readRoundRobin(state, 0); }
void BM_GetFileCached(benchmark::State& state) { readRoundRobin(state, kCacheLimit); }

// One prefetch of every file into an empty cache per iteration.
void BM_Prefetch(benchmark::State& state) {
  Archivist archivist;
  archivist.addArchive(archivePath());
  const auto threads = static_cast<unsigned int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    archivist.setCacheLimit(0);  // evicts everything
    archivist.setCacheLimit(kCacheLimit);
    state.ResumeTiming();
    archivist.prefetchAllWithSuffix("", threads, true);
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFiles * kFileSize));
}

BENCHMARK(BM_GetFileUncached);
BENCHMARK(BM_GetFileCached);
BENCHMARK(BM_Prefetch)->DenseRange(1, 8)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
