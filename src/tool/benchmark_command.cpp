// The benchmark command: times reads of randomly chosen entries.

#include <args.hxx>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <new>
#include <random>
#include <stdexcept>
#include <string>

#include "tool/commands.h"
#include "tool/zeroed_buffer.h"

using qz7lib::archive::ArchiveEntry;
using qz7lib::archive::ArchiveIndex;

namespace {

// Allocated before the clock starts, so that only entries larger than this
// make the timed loop allocate.
constexpr std::uint64_t kInitialBufferSize = std::uint64_t{1} << 30;
constexpr double kMiB = 1.0 / 1024 / 1024;

struct BenchmarkResult {
  double seconds = 0;
  std::uint64_t bytesRead = 0;  // an entry read twice counts twice
};

// Grows buffer for entry; a failed allocation becomes an error that main reports.
void prepareBuffer(ZeroedBuffer& buffer, const ArchiveEntry& entry) {
  if (buffer.size() >= entry.uncompressedSize) return;
  try {
    buffer.growTo(entry.uncompressedSize);
  } catch (const std::bad_alloc&) {
    throw std::runtime_error(fmt::format("not enough memory to read {} ({} bytes)",
                                         qz7lib::archive::entryName(entry),
                                         entry.uncompressedSize));
  }
}

// Reads numReads entries drawn by a generator with a fixed seed, so that every
// run reads the same positions in the same order.
BenchmarkResult timeRandomReads(const std::string& archivePath, const ArchiveIndex& index,
                                int numReads) {
  BenchmarkResult result;
  // Without entries there is nothing to draw from, and nothing is read.
  if (index.entries.empty()) numReads = 0;
  std::mt19937 engine(0);
  std::uniform_int_distribution<std::size_t> positions(
      0, std::max<std::size_t>(index.entries.size(), 1) - 1);
  ZeroedBuffer buffer;
  try {
    buffer.growTo(kInitialBufferSize);
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("not enough memory for the 1 GiB read buffer");
  }

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < numReads; ++i) {
    const ArchiveEntry entry = index.entries[positions(engine)];
    // A damaged index can claim any size: the buffer grows only once the
    // stored block has been found able to yield it.
    const qz7lib::archive::StoredBlock block =
        qz7lib::archive::readStoredBlock(archivePath, index, entry, false);
    prepareBuffer(buffer, entry);
    qz7lib::archive::decodeStoredBlock(block, index, entry, buffer.span());
    result.bytesRead += entry.uncompressedSize;
  }
  const auto end = std::chrono::steady_clock::now();
  result.seconds =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) /
      1000000000;
  return result;
}

// One figure line: two decimals, right-aligned in eight characters.
void printFigure(const char* label, double value, const char* unit) {
  std::cout << label << std::fixed << std::setw(8) << std::setprecision(2) << value << unit;
}

}  // namespace

void benchmarkCommand(args::Subparser& parser) {
  args::Positional<std::string> archiveFn(parser, "archive_fn", "archive file name", "",
                                          args::Options::Required);
  args::ValueFlag<int> numFiles(parser, "num_files", "Number of accesses to measure",
                                {'n', "num_files"}, 1000);
  parser.Parse();
  benchmarkArchive(args::get(archiveFn), args::get(numFiles));
}

void benchmarkArchive(std::string archivePath, int numFiles) {
  std::cout << "Benchmarking " << numFiles << " file reads on " << archivePath << "...\n";
  const ArchiveIndex index = openArchiveOrExit(archivePath);
  const BenchmarkResult result = timeRandomReads(archivePath, index, numFiles);
  const double archiveMiB = static_cast<double>(std::filesystem::file_size(archivePath)) * kMiB;

  // Zero or negative read counts still give the four figures from the same formulas.
  printFigure("Archive size : ", archiveMiB, " MiB\n");
  printFigure("Total time   : ", result.seconds, " seconds\n");
  printFigure("Time / file  : ", result.seconds * 1000 / static_cast<double>(numFiles), " ms\n");
  printFigure("Throughput   : ", static_cast<double>(result.bytesRead) / result.seconds * kMiB,
              " MiB/s\n");
}
