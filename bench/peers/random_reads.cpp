// Single-file reads from a qz7 archive next to the same reads from a zip
// archive (libzip) and from the unpacked tree, and the floor that plain
// pread plus the raw codec call sets for qz7. Used by bench/compare.sh.
//
//   random_reads reads DIR ARCHIVE.kvz [ARCHIVE.zip] [--reads N] [--seed S]
//     Picks N files of DIR at random (fixed seed), then reads that same
//     sequence through every reader. Prints one line per reader:
//       reader <TAB> reads <TAB> bytes <TAB> best seconds of three timed passes
//
//   random_reads extract ARCHIVE.kvz OUTDIR
//     Writes every entry below OUTDIR in index order with one pread, one raw
//     decompression and one write per entry: the floor for an extraction.
//     Prints: seconds <TAB> files <TAB> bytes
//
//   random_reads stats ARCHIVE.kvz
//     Prints: entries <TAB> stored block bytes <TAB> file bytes <TAB> archive bytes

#include <fcntl.h>
#include <lz4.h>
#include <unistd.h>
#include <zstd.h>
#ifdef QZ7_HAVE_LIBZIP
#include <zip.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "qz7lib/archive/reader.h"
#include "qz7lib/utils/strings.h"

namespace {

namespace fs = std::filesystem;
using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveIndex;
using qz7lib::archive::CompressionScheme;

constexpr int kTimedPasses = 3;

// One file of the tree: its path relative to the tree's root and its size.
struct TreeFile {
  std::string name;
  std::uint64_t size = 0;
};

// A reader reads file i of the chosen sequence into the shared buffer.
using ReadOne = std::function<void(std::size_t i, std::span<std::byte> out)>;

// Closes a file descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~FileDescriptor() { ::close(fd_); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads exactly out.size() bytes at offset, or throws.
void preadAll(int fd, std::span<std::byte> out, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + done, out.size() - done,
                              static_cast<off_t>(offset + done));
    if (n <= 0) throw std::runtime_error("short pread");
    done += static_cast<std::size_t>(n);
  }
}

void writeAll(int fd, std::span<const std::byte> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw std::runtime_error("short write");
    done += static_cast<std::size_t>(n);
  }
}

// The raw codec call for one stored block, without hash checks or bounds tests.
void decodeBlock(const ArchiveEntry& entry, std::span<const std::byte> stored,
                 std::span<std::byte> out, ZSTD_DCtx* context, const ArchiveIndex& index) {
  std::size_t produced = 0;
  switch (entry.scheme) {
    case CompressionScheme::none:
      std::memcpy(out.data(), stored.data(), stored.size());
      produced = stored.size();
      break;
    case CompressionScheme::lz4: {
      const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(stored.data()),
                                        reinterpret_cast<char*>(out.data()),
                                        static_cast<int>(stored.size()), static_cast<int>(out.size()));
      produced = n < 0 ? 0 : static_cast<std::size_t>(n);
      break;
    }
    case CompressionScheme::zStd:
      produced = ZSTD_decompressDCtx(context, out.data(), out.size(), stored.data(), stored.size());
      break;
    case CompressionScheme::zStdDict:
      produced = ZSTD_decompress_usingDDict(context, out.data(), out.size(), stored.data(),
                                            stored.size(), index.dictionary->get());
      break;
  }
  if (produced != entry.uncompressedSize) throw std::runtime_error("decoding failed");
}

std::vector<TreeFile> listTree(const fs::path& root) {
  std::vector<TreeFile> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    files.push_back({item.path().lexically_relative(root).generic_string(), item.file_size()});
  }
  std::sort(files.begin(), files.end(),
            [](const TreeFile& a, const TreeFile& b) { return a.name < b.name; });
  return files;
}

// Times kTimedPasses passes over the sequence after one warming pass and
// returns the best; the bytes of every read are summed as a cross-check.
double timeReader(const ReadOne& read, std::size_t count, std::span<std::byte> buffer,
                  std::uint64_t& checksum) {
  for (std::size_t i = 0; i < count; ++i) read(i, buffer);
  double best = 1e300;
  for (int pass = 0; pass < kTimedPasses; ++pass) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) read(i, buffer);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  checksum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    read(i, buffer);
    checksum = checksum * 1099511628211ULL + static_cast<std::uint64_t>(buffer[0]) + i;
  }
  return best;
}

int runReads(const fs::path& tree, const std::string& kvzPath, const std::string& zipPath,
             std::size_t reads, std::uint64_t seed) {
  const std::vector<TreeFile> files = listTree(tree);
  if (files.empty()) throw std::runtime_error("no files below " + tree.string());

  std::mt19937_64 random(seed);
  std::uniform_int_distribution<std::size_t> pick(0, files.size() - 1);
  std::vector<std::size_t> sequence(reads);
  std::uint64_t totalBytes = 0;
  std::uint64_t largest = 1;
  for (std::size_t& f : sequence) {
    f = pick(random);
    totalBytes += files[f].size;
    largest = std::max(largest, files[f].size);
  }
  // Every reader fills the same buffer, which is large enough for any chosen file;
  // its first byte is zeroed so empty files give the same checksum everywhere.
  std::vector<std::byte> buffer(largest);
  const auto clearFirst = [&buffer] { buffer[0] = std::byte{0}; };

  const ArchiveIndex index = qz7lib::archive::readArchiveIndex(kvzPath);
  std::unordered_map<std::string_view, const ArchiveEntry*> byName;
  for (const ArchiveEntry& entry : index.entries) {
    byName.emplace(qz7lib::archive::entryName(entry), &entry);
  }
  std::vector<const ArchiveEntry*> entries;
  for (std::size_t f : sequence) {
    const auto found = byName.find(qz7lib::utils::toLower(files[f].name));
    if (found == byName.end()) throw std::runtime_error("not in the archive: " + files[f].name);
    entries.push_back(found->second);
  }

  struct Result {
    const char* reader;
    double seconds;
    std::uint64_t checksum;
  };
  std::vector<Result> results;
  const auto measure = [&](const char* name, const ReadOne& read) {
    std::uint64_t checksum = 0;
    const double seconds = timeReader(
        [&](std::size_t i, std::span<std::byte> out) {
          clearFirst();
          read(i, out);
        },
        reads, buffer, checksum);
    results.push_back({name, seconds, checksum});
  };

  measure("files", [&](std::size_t i, std::span<std::byte> out) {
    const TreeFile& file = files[sequence[i]];
    const FileDescriptor fd((tree / file.name).string());
    std::size_t done = 0;
    while (done < file.size) {
      const ssize_t n = ::read(fd.get(), out.data() + done, file.size - done);
      if (n <= 0) throw std::runtime_error("short read of " + file.name);
      done += static_cast<std::size_t>(n);
    }
  });

  measure("qz7", [&](std::size_t i, std::span<std::byte> out) {
    qz7lib::archive::readFile(kvzPath, index, *entries[i], out, false);
  });
  measure("qz7-verify", [&](std::size_t i, std::span<std::byte> out) {
    qz7lib::archive::readFile(kvzPath, index, *entries[i], out, true);
  });

  {
    const FileDescriptor archive(kvzPath);
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    std::vector<std::byte> stored;
    measure("pread-decompress", [&](std::size_t i, std::span<std::byte> out) {
      const ArchiveEntry& entry = *entries[i];
      if (entry.uncompressedSize == 0) return;
      if (entry.scheme == CompressionScheme::none) {
        preadAll(archive.get(), out.first(entry.compressedSize), entry.startOffset);
        return;
      }
      if (stored.size() < entry.compressedSize) stored.resize(entry.compressedSize);
      const std::span<std::byte> block(stored.data(), entry.compressedSize);
      preadAll(archive.get(), block, entry.startOffset);
      decodeBlock(entry, block, out.first(entry.uncompressedSize), context.get(), index);
    });
  }

#ifdef QZ7_HAVE_LIBZIP
  if (!zipPath.empty()) {
    int error = 0;
    std::unique_ptr<zip_t, decltype(&zip_discard)> zip(zip_open(zipPath.c_str(), ZIP_RDONLY, &error),
                                                       zip_discard);
    if (!zip) throw std::runtime_error("cannot open " + zipPath);
    std::vector<zip_uint64_t> zipIndexes;
    for (std::size_t f : sequence) {
      const zip_int64_t found = zip_name_locate(zip.get(), files[f].name.c_str(), 0);
      if (found < 0) throw std::runtime_error("not in the zip archive: " + files[f].name);
      zipIndexes.push_back(static_cast<zip_uint64_t>(found));
    }
    measure("libzip", [&](std::size_t i, std::span<std::byte> out) {
      zip_file_t* file = zip_fopen_index(zip.get(), zipIndexes[i], 0);
      if (file == nullptr) throw std::runtime_error("zip_fopen_index failed");
      const std::uint64_t size = files[sequence[i]].size;
      const zip_int64_t n = zip_fread(file, out.data(), size);
      zip_fclose(file);
      if (n < 0 || static_cast<std::uint64_t>(n) != size) throw std::runtime_error("zip_fread failed");
    });
  }
#else
  if (!zipPath.empty()) std::cerr << "built without libzip: the zip archive is not read\n";
#endif

  for (const Result& r : results) {
    if (r.checksum != results.front().checksum) {
      throw std::runtime_error(std::string("reader ") + r.reader + " returned other bytes");
    }
    std::printf("%s\t%zu\t%llu\t%.6f\n", r.reader, reads,
                static_cast<unsigned long long>(totalBytes), r.seconds);
  }
  return 0;
}

int runExtract(const std::string& kvzPath, const fs::path& outDir) {
  const auto start = std::chrono::steady_clock::now();
  const ArchiveIndex index = qz7lib::archive::readArchiveIndex(kvzPath);
  const FileDescriptor archive(kvzPath);
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
  std::vector<std::byte> stored;
  std::vector<std::byte> content;
  std::uint64_t bytes = 0;
  for (const ArchiveEntry& entry : index.entries) {
    const fs::path target = outDir / std::string(qz7lib::archive::entryName(entry));
    fs::create_directories(target.parent_path());
    content.resize(std::max<std::uint64_t>(content.size(), entry.uncompressedSize));
    const std::span<std::byte> out(content.data(), entry.uncompressedSize);
    if (entry.uncompressedSize != 0) {
      if (stored.size() < entry.compressedSize) stored.resize(entry.compressedSize);
      const std::span<std::byte> block(stored.data(), entry.compressedSize);
      preadAll(archive.get(), block, entry.startOffset);
      decodeBlock(entry, block, out, context.get(), index);
    }
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + target.string());
    writeAll(fd, out);
    ::close(fd);
    bytes += entry.uncompressedSize;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%.6f\t%zu\t%llu\n", elapsed.count(), index.entries.size(),
              static_cast<unsigned long long>(bytes));
  return 0;
}

int runStats(const std::string& kvzPath) {
  const ArchiveIndex index = qz7lib::archive::readArchiveIndex(kvzPath);
  std::uint64_t stored = 0;
  std::uint64_t content = 0;
  for (const ArchiveEntry& entry : index.entries) {
    stored += entry.compressedSize;
    content += entry.uncompressedSize;
  }
  std::printf("%zu\t%llu\t%llu\t%llu\n", index.entries.size(),
              static_cast<unsigned long long>(stored), static_cast<unsigned long long>(content),
              static_cast<unsigned long long>(fs::file_size(kvzPath)));
  return 0;
}

[[noreturn]] void usage() {
  std::cerr << "usage: random_reads reads DIR ARCHIVE.kvz [ARCHIVE.zip] [--reads N] [--seed S]\n"
               "       random_reads extract ARCHIVE.kvz OUTDIR\n"
               "       random_reads stats ARCHIVE.kvz\n";
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 3 && args[0] == "reads") {
      std::size_t reads = 10000;
      std::uint64_t seed = 20240611;
      std::vector<std::string> positional;
      for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--reads" && i + 1 < args.size()) {
          reads = std::stoull(args[++i]);
        } else if (args[i] == "--seed" && i + 1 < args.size()) {
          seed = std::stoull(args[++i]);
        } else {
          positional.push_back(args[i]);
        }
      }
      if (positional.size() < 2 || positional.size() > 3) usage();
      return runReads(positional[0], positional[1], positional.size() == 3 ? positional[2] : "",
                      reads, seed);
    }
    if (args.size() == 3 && args[0] == "extract") return runExtract(args[1], args[2]);
    if (args.size() == 2 && args[0] == "stats") return runStats(args[1]);
    usage();
  } catch (const std::exception& e) {
    std::cerr << "random_reads: " << e.what() << "\n";
    return 2;
  }
}
