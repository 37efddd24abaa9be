// Random entry reads from a warm archive of a few thousand files of mixed
// sizes, next to the two things they are measured against:
//   Pread*      pread of the same stored block plus the raw codec call: the
//               floor no archive reader can beat;
//   PlainFiles  open + read + close of the same files in a directory.
// Every benchmark reads the same random sequence of files; compare reads/s.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lz4.h>
#include <unistd.h>
#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "qz7lib/archive/compression.h"
#include "qz7lib/archive/reader.h"

namespace {

namespace fs = std::filesystem;
using namespace qz7lib::archive;

constexpr int kFileCount = 3000;
// Length of the random read sequence, long enough that no pattern repeats soon.
constexpr std::size_t kSequenceLength = 1 << 16;

// Text-like content with some repetition, compressing roughly 2-4x.
std::string fileContent(std::mt19937_64& rng, std::size_t size) {
  static const char* const words[] = {"texture", "mesh", "0x1f", "shader", "entity", "=", "{",
                                      "}", "\n", "spawn", "props/", ".mdl", "origin", "  "};
  std::string s;
  s.reserve(size + 16);
  while (s.size() < size) {
    if (rng() % 5 == 0) {
      s += std::to_string(rng() % 100000);
    } else {
      s += words[rng() % std::size(words)];
    }
    s += ' ';
  }
  s.resize(size);
  return s;
}

std::string compressBlock(const std::string& content, CompressionScheme scheme) {
  if (content.empty()) return {};
  std::string block;
  if (scheme == CompressionScheme::lz4) {
    block.resize(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(content.size()))));
    block.resize(static_cast<std::size_t>(LZ4_compress_default(
        content.data(), block.data(), static_cast<int>(content.size()), static_cast<int>(block.size()))));
  } else {
    // The level does not matter for reading; a fast one keeps set-up short.
    block.resize(ZSTD_compressBound(content.size()));
    block.resize(ZSTD_compress(block.data(), block.size(), content.data(), content.size(), 3));
  }
  return block;
}

template <typename T>
void append(std::string& bytes, const T& record) {
  bytes.append(reinterpret_cast<const char*>(&record), sizeof record);
}

// The files, one archive of them per scheme and the plain copies, in a
// temporary directory that lives until the program ends.
class Corpus {
 public:
  Corpus() {
    std::string pattern = (fs::temp_directory_path() / "qz7-reader-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;

    std::mt19937_64 rng(1200);
    std::vector<std::string> contents;
    for (int i = 0; i < kFileCount; ++i) {
      // Sizes spread evenly on a log scale from 64 bytes to 256 KiB.
      const double exponent = 6.0 + 12.0 * static_cast<double>(rng() % 1000) / 1000.0;
      contents.push_back(fileContent(rng, static_cast<std::size_t>(std::exp2(exponent))));
      plainPaths_.push_back((dir_ / "plain" / ("file" + std::to_string(i) + ".txt")).string());
    }
    fs::create_directories(dir_ / "plain");
    for (int i = 0; i < kFileCount; ++i) writeBytes(plainPaths_[i], contents[i]);
    lz4_ = writeArchive("lz4.kvz", contents, CompressionScheme::lz4);
    zstd_ = writeArchive("zstd.kvz", contents, CompressionScheme::zStd);

    std::uniform_int_distribution<std::size_t> pick(0, kFileCount - 1);
    for (std::size_t i = 0; i < kSequenceLength; ++i) sequence_.push_back(pick(rng));
    for (const std::string& content : contents) largest_ = std::max(largest_, content.size());
  }
  ~Corpus() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  Corpus(const Corpus&) = delete;
  Corpus& operator=(const Corpus&) = delete;

  struct Archive {
    std::string path;
    ArchiveIndex index;
  };

  const Archive& archive(CompressionScheme scheme) const {
    return scheme == CompressionScheme::lz4 ? lz4_ : zstd_;
  }
  const std::vector<std::string>& plainPaths() const { return plainPaths_; }
  const std::vector<std::size_t>& sequence() const { return sequence_; }
  std::size_t largest() const { return largest_; }

 private:
  static void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
  }

  // Lays the archive out as the archive command does and opens it with the reader.
  Archive writeArchive(const std::string& name, const std::vector<std::string>& contents,
                       CompressionScheme scheme) {
    std::vector<std::string> blocks;
    std::vector<ArchiveEntry> entries;
    std::uint64_t position = kHeaderSize + kExtendedHeaderSize + kEntrySize * contents.size();
    for (std::size_t i = 0; i < contents.size(); ++i) {
      blocks.push_back(compressBlock(contents[i], scheme));
      ArchiveEntry entry{};
      setEntryName(entry, "file" + std::to_string(i) + ".txt");
      entry.scheme = scheme;
      entry.compressedSize = blocks.back().size();
      entry.uncompressedSize = contents[i].size();
      entry.compressedHash = XXH64(blocks.back().data(), blocks.back().size(), 0);
      entry.fileHash = XXH64(contents[i].data(), contents[i].size(), 0);
      entry.compressedHash = XXH64(blocks.back().data(), blocks.back().size(), 0);
      entry.fileHash = XXH64(contents[i].data(), contents[i].size(), 0);
      position = alignBlockOffset(position);
      entry.startOffset = position;
      position += entry.compressedSize;
      entries.push_back(entry);
    }
    std::string bytes;
    append(bytes, ArchiveHeader(0, entries.size(), kArchiveVersion));
    append(bytes, ExtendedHeader(kExtendedHeaderSize, kEntrySize));
    for (const ArchiveEntry& entry : entries) append(bytes, entry);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      bytes.resize(entries[i].startOffset, '\0');
      bytes += blocks[i];
    }
    const std::string path = (dir_ / name).string();
    writeBytes(path, bytes);
    return {path, readArchiveIndex(path)};
  }

  fs::path dir_;
  std::vector<std::string> plainPaths_;
  Archive lz4_;
  Archive zstd_;
  std::vector<std::size_t> sequence_;
  std::size_t largest_ = 0;
};

const Corpus& corpus() {
  static const Corpus instance;
  return instance;
}

// Reports reads/s and MiB/s of uncompressed bytes.
void report(benchmark::State& state, std::uint64_t bytes) {
  state.counters["reads/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
  state.counters["MiB/s"] = benchmark::Counter(static_cast<double>(bytes) / (1024.0 * 1024.0),
                                               benchmark::Counter::kIsRate);
}

void BM_ReadFile(benchmark::State& state, CompressionScheme scheme, bool verify) {
  const Corpus::Archive& archive = corpus().archive(scheme);
  const auto& sequence = corpus().sequence();
  std::vector<std::byte> out(corpus().largest());
  std::uint64_t bytes = 0;
  std::size_t next = 0;
  for (auto _ : state) {
    const ArchiveEntry& entry = archive.index.entries[sequence[next++ % sequence.size()]];
    readFile(archive.path, archive.index, entry, out, verify);
    benchmark::DoNotOptimize(out.data());
    bytes += entry.uncompressedSize;
  }
  report(state, bytes);
}

void BM_PreadAndDecode(benchmark::State& state, CompressionScheme scheme) {
  const Corpus::Archive& archive = corpus().archive(scheme);
  const auto& sequence = corpus().sequence();
  const int fd = open(archive.path.c_str(), O_RDONLY);
  if (fd < 0) {
    state.SkipWithError("cannot open the archive");
    return;
  }
  ZSTD_DCtx* context = ZSTD_createDCtx();
  std::vector<char> block(corpus().largest() + corpus().largest() / 64 + 1024);
  std::vector<char> out(corpus().largest());
  std::uint64_t bytes = 0;
  std::size_t next = 0;
  for (auto _ : state) {
    const ArchiveEntry& entry = archive.index.entries[sequence[next++ % sequence.size()]];
    const auto size = static_cast<std::size_t>(entry.compressedSize);
    if (pread(fd, block.data(), size, static_cast<off_t>(entry.startOffset)) !=
        static_cast<ssize_t>(size)) {
      state.SkipWithError("short pread");
      break;
    }
    if (scheme == CompressionScheme::lz4) {
      benchmark::DoNotOptimize(LZ4_decompress_safe(block.data(), out.data(), static_cast<int>(size),
                                                   static_cast<int>(out.size())));
    } else {
      benchmark::DoNotOptimize(
          ZSTD_decompressDCtx(context, out.data(), out.size(), block.data(), size));
    }
    bytes += entry.uncompressedSize;
  }
  ZSTD_freeDCtx(context);
  close(fd);
  report(state, bytes);
}

void BM_PlainFiles(benchmark::State& state) {
  const auto& paths = corpus().plainPaths();
  const auto& sequence = corpus().sequence();
  std::vector<char> out(corpus().largest());
  std::uint64_t bytes = 0;
  std::size_t next = 0;
  for (auto _ : state) {
    const int fd = open(paths[sequence[next++ % sequence.size()]].c_str(), O_RDONLY);
    const ssize_t n = read(fd, out.data(), out.size());
    close(fd);
    if (n < 0) {
      state.SkipWithError("cannot read a plain file");
      break;
    }
    bytes += static_cast<std::uint64_t>(n);
  }
  report(state, bytes);
}

BENCHMARK_CAPTURE(BM_ReadFile, lz4, CompressionScheme::lz4, false);
BENCHMARK_CAPTURE(BM_ReadFile, lz4_verify, CompressionScheme::lz4, true);
BENCHMARK_CAPTURE(BM_PreadAndDecode, lz4, CompressionScheme::lz4);
BENCHMARK_CAPTURE(BM_ReadFile, zstd, CompressionScheme::zStd, false);
BENCHMARK_CAPTURE(BM_ReadFile, zstd_verify, CompressionScheme::zStd, true);
BENCHMARK_CAPTURE(BM_PreadAndDecode, zstd, CompressionScheme::zStd);
BENCHMARK(BM_PlainFiles);

}  // namespace

BENCHMARK_MAIN();
